#include "orbisk/search_dialog.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include <algorithm>

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

QLabel* text_at(QWidget* parent, const char* text, const QRect& rect, Qt::Alignment align) {
  auto* label = new QLabel(QString::fromLatin1(text), parent);
  label->setAlignment(align | Qt::AlignTop);
  label->setGeometry(rect);
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
  const DialogUnits du(font());

  text_at(this, "Search for one or more of the following criteria:", du.rect(0, 0, 350, 15),
          Qt::AlignLeft);
  text_at(this, "Name", du.rect(0, 15, 20, 12), Qt::AlignRight);
  text_at(this, "City", du.rect(0, 30, 20, 12), Qt::AlignRight);
  text_at(this, "State", du.rect(0, 45, 20, 12), Qt::AlignRight);
  text_at(this, "Zip", du.rect(0, 60, 20, 12), Qt::AlignRight);

  name_ = make_fitted_box(this, static_cast<int>(kNameLimit), true);
  set_control_id(name_, kIdName);
  name_->setGeometry(du.rect(22, 15, 100, 12));

  city_ = make_fitted_box(this, static_cast<int>(kCityLimit), true);
  set_control_id(city_, kIdCity);
  city_->setGeometry(du.rect(22, 30, 100, 12));

  state_ = new QComboBox(this);
  set_control_id(state_, kIdState);
  state_->addItem(QStringLiteral("(all)"));
  for (int i = 1; i < dbfiles::kStateCount; ++i) {
    state_->addItem(QString::fromLatin1(dbfiles::StateCodes[i]));
  }
  state_->setCurrentIndex(0);
  // The listed height is the dropped-down height; closed, the box is as high as its font makes
  // it, and the list shows the rows that fit below it.
  const QRect state_rect = du.rect(22, 45, 30, kStateDroppedHeight);
  const int closed_height = state_->sizeHint().height();
  state_->setGeometry(state_rect.x(), state_rect.y(), state_rect.width(), closed_height);
  const int row_height = std::max(1, state_->view()->sizeHintForRow(0));
  state_->setMaxVisibleItems(std::max(1, (state_rect.height() - closed_height) / row_height));

  zip_ = make_fitted_box(this, static_cast<int>(kZipLimit), false);
  set_control_id(zip_, kIdZip);
  zip_->setGeometry(du.rect(22, 60, 40, 12));

  text_at(this, "(last, first ...)", du.rect(124, 15, 100, 12), Qt::AlignLeft);

  auto* search_button = new QPushButton(QStringLiteral("Search"), this);
  set_control_id(search_button, kIdSearchButton);
  search_button->setGeometry(du.rect(22, 75, 30, 12));
  search_button->setDefault(true);
  connect(search_button, &QPushButton::clicked, this, &SearchDialog::search);

  auto* close_button = new QPushButton(QStringLiteral("Close window"), this);
  set_control_id(close_button, kIdCloseButton);
  close_button->setGeometry(du.rect(54, 75, 50, 12));
  connect(close_button, &QPushButton::clicked, this, &QDialog::reject);

  status_ = text_at(this, "", du.rect(110, 75, 100, 12), Qt::AlignLeft);
  set_control_id(status_, kIdStatus);

  results_ = new QPlainTextEdit(this);
  set_control_id(results_, kIdResults);
  results_->setReadOnly(true);
  results_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  results_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  results_->setGeometry(du.rect(0, 90, 300, 175));

  setFixedSize(du.size(300, 265));
}

bool SearchDialog::prepare() {
  if (!index_->made && make_index_copy(db_, index_, view_, kUsOnly) != 0) return false;
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
  const SearchOutcome outcome = extended_search(db_, *index_, criteria, kOutputLimit, view_);
  if (outcome.ran) results_->setPlainText(shown_text(outcome.text));
}

}  // namespace lookup
