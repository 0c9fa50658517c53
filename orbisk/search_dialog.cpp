#include "orbisk/search_dialog.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QFontMetricsF>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include <algorithm>
#include <cmath>

#include "dbfiles/callkey.h"
#include "orbisk/control_ids.h"
#include "orbisk/dialog_units.h"
#include "orbisk/edition.h"
#include "orbisk/message_boxes.h"
#include "orbisk/text_boxes.h"

namespace lookup {

namespace {

// How often the status line is painted while a search runs; in between only its text changes.
constexpr qint64 kStatusPaintMs = 100;
constexpr int kStateDroppedHeight = 100;  // dialog units, list included
constexpr int kLeastResultsHeight = 40;   // dialog units, when the dialog is made smaller
// The longest texts the status line shows (counts of up to five digits).
constexpr const char* kWidestStatus[] = {"Searching names/cities...", "Searching fixed data...",
                                         "Found 99999, 100% done", "Done - found 99999"};

// Pixels that `text` takes across at `font`, rounded up.
int text_width(const QFont& font, const QString& text) {
  return static_cast<int>(std::ceil(QFontMetricsF(font).horizontalAdvance(text)));
}

// What a label needs to show its text whole.
int label_width(const QLabel* label) {
  return std::max(label->sizeHint().width(), text_width(label->font(), label->text()));
}

QLabel* text_at(QWidget* parent, const char* text, Qt::Alignment align) {
  auto* label = new QLabel(QString::fromLatin1(text), parent);
  label->setAlignment(align | Qt::AlignVCenter);
  return label;
}

BoxIcon box_icon(SearchIcon icon) {
  switch (icon) {
    case SearchIcon::warning: return BoxIcon::warning;
    case SearchIcon::error: return BoxIcon::error;
    case SearchIcon::none: break;
  }
  return BoxIcon::none;
}

QString latin1(std::string_view text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

std::string typed(const QLineEdit* box) {
  return box->text().toLatin1().toStdString();
}

}  // namespace

void DialogSearchView::set_status(std::string_view text) {
  QLabel* status = dialog_->status_line();
  status->setText(latin1(text));
  // A search runs without returning to the event loop: paint the progress now and then.
  if (dialog_->isVisible() && (!since_paint_.isValid() || since_paint_.elapsed() >= kStatusPaintMs)) {
    status->repaint();
    since_paint_.start();
  }
}

void DialogSearchView::message_box(std::string_view text, std::string_view caption,
                                   SearchIcon icon) {
  // Before the dialog opens its boxes belong to the main window.
  QWidget* owner = dialog_->isVisible() ? dialog_ : dialog_->parentWidget();
  boxes_.show(owner, latin1(text), latin1(caption), box_icon(icon));
}

SearchDialog::SearchDialog(const dbfiles::UsDatabase& db, IndexCopy* index, MessageBoxes& boxes,
                           QWidget* parent)
    : QDialog(parent), db_(db), index_(index), view_(this, boxes) {
  set_control_id(this, kDialogExtendedSearch);
  setWindowTitle(QString::fromLatin1(kSearchDialogTitle));

  auto* heading = text_at(this, "Search for one or more of the following criteria:", Qt::AlignLeft);
  QLabel* row_labels[4];
  const char* row_texts[] = {"Name", "City", "State", "Zip"};
  for (int row = 0; row < 4; ++row) row_labels[row] = text_at(this, row_texts[row], Qt::AlignRight);

  name_ = make_fitted_box(this, static_cast<int>(kNameLimit), true);
  set_control_id(name_, kIdName);
  city_ = make_fitted_box(this, static_cast<int>(kCityLimit), true);
  set_control_id(city_, kIdCity);

  state_ = new QComboBox(this);
  set_control_id(state_, kIdState);
  state_->addItem(QStringLiteral("(all)"));
  for (int i = 1; i < dbfiles::kStateCount; ++i) {
    state_->addItem(QString::fromLatin1(dbfiles::StateCodes[i]));
  }
  state_->setCurrentIndex(0);

  zip_ = make_fitted_box(this, static_cast<int>(kZipLimit), false);
  set_control_id(zip_, kIdZip);

  auto* hint = text_at(this, "(last, first ...)", Qt::AlignLeft);

  auto* search_button = new QPushButton(QStringLiteral("Search"), this);
  set_control_id(search_button, kIdSearchButton);
  search_button->setDefault(true);
  connect(search_button, &QPushButton::clicked, this, &SearchDialog::search);

  auto* close_button = new QPushButton(QStringLiteral("Close window"), this);
  set_control_id(close_button, kIdCloseButton);
  connect(close_button, &QPushButton::clicked, this, &QDialog::reject);

  status_ = text_at(this, "", Qt::AlignLeft);
  set_control_id(status_, kIdStatus);

  results_ = new QPlainTextEdit(this);
  set_control_id(results_, kIdResults);
  results_->setReadOnly(true);
  results_->setLineWrapMode(QPlainTextEdit::NoWrap);
  results_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

  // The template's arrangement in dialog units, each control widened (and each row heightened)
  // to what its text needs at this font; whatever a control gains moves the ones after it.
  const DialogUnits du(font());
  const int gap = du.x(2);
  int labels_width = 0;
  for (QLabel* label : row_labels) labels_width = std::max(labels_width, label_width(label));
  labels_width = du.x_at_least(20, labels_width);
  const int closed_state_height = state_->sizeHint().height();
  const int row_height =
      du.y_at_least(12, std::max({name_->sizeHint().height(), closed_state_height,
                                  row_labels[0]->sizeHint().height(),
                                  search_button->sizeHint().height(),
                                  close_button->sizeHint().height()}));
  const int row_pitch = row_height + du.y(3);
  const int heading_height = du.y_at_least(15, heading->sizeHint().height());
  const auto row_top = [&](int row) { return heading_height + row * row_pitch; };

  heading->setGeometry(0, 0, label_width(heading), heading_height);
  QLineEdit* row_boxes[] = {name_, city_, nullptr, zip_};
  const int box_widths[] = {100, 100, 0, 40};
  const int box_left = labels_width + gap;
  for (int row = 0; row < 4; ++row) {
    row_labels[row]->setGeometry(0, row_top(row), labels_width, row_height);
    if (row_boxes[row] != nullptr) {
      row_boxes[row]->setGeometry(box_left, row_top(row), du.x(box_widths[row]), row_height);
    }
  }
  const int hint_left = name_->geometry().right() + 1 + gap;
  hint->setGeometry(hint_left, row_top(0), du.x_at_least(100, label_width(hint)), row_height);

  // The listed height is the dropped-down height; closed, the box is as high as its font makes
  // it, and the list shows the rows that fit below it.
  state_->setGeometry(box_left, row_top(2), du.x_at_least(30, state_->sizeHint().width()),
                      closed_state_height);
  const int row_height_in_list = std::max(1, state_->view()->sizeHintForRow(0));
  state_->setMaxVisibleItems(
      std::max(1, (du.y(kStateDroppedHeight) - closed_state_height) / row_height_in_list));

  search_button->setGeometry(box_left, row_top(4),
                             du.x_at_least(30, search_button->sizeHint().width()), row_height);
  close_button->setGeometry(search_button->geometry().right() + 1 + gap, row_top(4),
                            du.x_at_least(50, close_button->sizeHint().width()), row_height);
  int status_width = 0;
  for (const char* text : kWidestStatus) {
    status_width = std::max(status_width, text_width(font(), QString::fromLatin1(text)));
  }
  status_->setGeometry(close_button->geometry().right() + 1 + du.x(6), row_top(4),
                       du.x_at_least(100, status_width), row_height);

  // The result box fills the rest and takes whatever the dialog is enlarged by.
  results_top_ = row_top(5);
  const int controls_width = 1 + std::max({heading->geometry().right(), hint->geometry().right(),
                                            status_->geometry().right()});
  setMinimumSize(controls_width, results_top_ + du.y(kLeastResultsHeight));
  resize(std::max(du.x(300), controls_width), results_top_ + du.y(175));
  place_results();
}

void SearchDialog::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  place_results();
}

void SearchDialog::place_results() {
  results_->setGeometry(0, results_top_, width(), std::max(0, height() - results_top_));
}

bool SearchDialog::prepare() {
  if (index_->db == nullptr && make_index_copy(db_, index_, view_, kUsOnly) != 0) return false;
  name_->setFocus();
  return true;
}

int SearchDialog::run() {
  if (!prepare()) return QDialog::Rejected;
  return exec();
}

void SearchDialog::search() {
  SearchCriteria criteria;
  criteria.name = typed(name_);
  criteria.city = typed(city_);
  criteria.state = state_->currentIndex();
  criteria.zip = typed(zip_);
  // A search that runs starts from an empty result box; without criteria the search only
  // asks for them, and the box keeps what it showed.
  if (has_criteria(criteria)) {
    results_->clear();
    if (isVisible()) results_->viewport()->repaint();
  }
  const SearchOutcome outcome = extended_search(db_, *index_, criteria, kOutputLimit, view_, &cache_);
  if (outcome.ran) results_->setPlainText(shown_text(outcome.text));
}

}  // namespace lookup
