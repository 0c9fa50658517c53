#include "orbisk/main_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QUrl>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "orbisk/about_box.h"
#include "orbisk/control_ids.h"
#include "orbisk/edition.h"
#include "orbisk/help_opener.h"
#include "orbisk/message_boxes.h"
#include "orbisk/search_dialog.h"
#include "orbisk/text_boxes.h"
#include "platform/platform.h"

namespace lookup {

namespace {

constexpr char kReadErrorCaption[] = "ERROR Reading Database";

// The client area's rows, in pixels from its top: the lines, then the callsign row, then the
// output box down to the bottom. The US-only edition has no Canadian line.
struct Rows {
  int database_top, database_height;
  int canadian_top, canadian_height;
  int prompt_top, prompt_height;
  int controls_top;
  int output_top;
};
constexpr Rows kRows = kUsOnly ? Rows{0, 22, 0, 0, 22, 22, 44, 66}
                               : Rows{0, 18, 18, 22, 36, 22, 58, 80};
constexpr int kRowHeight = 22;
constexpr int kCallsignWidth = 100;
constexpr int kSearchLeft = 100;
constexpr int kSearchWidth = 80;
constexpr int kExtendedLeft = 180;
constexpr int kExtendedWidth = 180;
constexpr int kExitWidth = 80;  // at the right edge

QLabel* text_line(QWidget* parent, const QString& text) {
  auto* label = new QLabel(text, parent);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  return label;
}

QPushButton* button(QWidget* parent, const char* text, int id) {
  auto* b = new QPushButton(QString::fromLatin1(text), parent);
  set_control_id(b, id);
  return b;
}

// How to get a database into `folder` that has none: the updater window, or the command line.
QString how_to_get_data(const QString& folder) {
  QString quoted = QDir::toNativeSeparators(folder);
  if (quoted.contains(QRegularExpression(QStringLiteral("[^A-Za-z0-9/._+-]")))) {
    quoted = QLatin1Char('\'') + quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''")) +
             QLatin1Char('\'');
  }
  return QStringLiteral("To get the current US database from the FCC, start fernwick (\"fernwick\" "
                        "in the menu) or run: calldb fetch-fcc -C %1").arg(quoted);
}

QString without_line_end(std::string line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size()));
}

}  // namespace

MainWindow::MainWindow(MessageBoxes& boxes, HelpOpener& help, QString data_folder,
                       bool fall_back, QWidget* parent)
    : QMainWindow(parent),
      boxes_(boxes),
      help_(help),
      data_folder_(std::move(data_folder)),
      fall_back_(fall_back) {
  setWindowTitle(QString::fromLatin1(kWindowTitle));
  make_menu();
  make_controls();
  resize(kWindowWidth, kWindowHeight);
}

MainWindow::~MainWindow() {
  dbfiles::close_lookup_files(&files_);
}

void MainWindow::make_menu() {
  QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
  help->addAction(QStringLiteral("&Contents"))->setData(kCmdHelpContents);
  help->addAction(QStringLiteral("&About orbisk"))->setData(kCmdHelpAbout);
  connect(help, &QMenu::triggered, this, [this](QAction* action) {
    command(action->data().toInt());
  });
}

void MainWindow::make_controls() {
  client_ = new QWidget(this);
  setCentralWidget(client_);
  client_->installEventFilter(this);

  // Created in this order, the panel first so that everything else lies over it.
  panel_ = text_line(client_, QString());
  database_line_ = text_line(client_, QStringLiteral("Database info here"));
  if (!kUsOnly) canadian_line_ = text_line(client_, QString());
  prompt_ = text_line(client_, QStringLiteral("Enter Callsign and 'enter'"));

  callsign_ = make_fitted_box(client_, kMaxTyped, true);
  set_control_id(callsign_, kIdCallsign);

  search_ = button(client_, "Search", kIdSearch);
  extended_ = button(client_, "Extended Search", kIdExtendedSearch);
  exit_ = button(client_, "Exit", kIdExit);
  for (QPushButton* b : {search_, extended_, exit_}) {
    const int id = control_id(b);
    connect(b, &QPushButton::clicked, this, [this, id] { command(id); });
  }

  output_box_ = new QPlainTextEdit(client_);
  set_control_id(output_box_, kIdOutput);
  output_box_->setReadOnly(true);
  output_box_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  output_box_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  output_box_->setFocusPolicy(Qt::ClickFocus);

  ring_ = {callsign_, search_, extended_, exit_};
  for (QWidget* w : ring_) w->installEventFilter(this);
  lay_out();
}

void MainWindow::lay_out() {
  const int w = client_->width();
  const int h = client_->height();
  panel_->setGeometry(0, 0, w, h);
  database_line_->setGeometry(0, kRows.database_top, w, kRows.database_height);
  if (canadian_line_ != nullptr) {
    canadian_line_->setGeometry(0, kRows.canadian_top, w, kRows.canadian_height);
  }
  prompt_->setGeometry(0, kRows.prompt_top, w, kRows.prompt_height);
  const int y = kRows.controls_top;
  callsign_->setGeometry(0, y, kCallsignWidth, kRowHeight);
  search_->setGeometry(kSearchLeft, y, kSearchWidth, kRowHeight);
  extended_->setGeometry(kExtendedLeft, y, kExtendedWidth, kRowHeight);
  exit_->setGeometry(w - kExitWidth, y, kExitWidth, kRowHeight);
  output_box_->setGeometry(0, kRows.output_top, w, std::max(0, h - kRows.output_top));
}

void MainWindow::start() {
  if (!data_folder_.isEmpty()) {
    const int error =
        platform::set_current_directory(QFile::encodeName(data_folder_).toStdString());
    if (error != 0) {
      const QString folder = QDir::toNativeSeparators(data_folder_);
      folder_trouble_ = error == ENOENT
                            ? QStringLiteral("The data folder %1 does not exist.").arg(folder)
                            : QStringLiteral("The data folder %1 cannot be opened (error %2).")
                                  .arg(folder)
                                  .arg(error);
      if (folder_blocked()) {
        show_unusable_call_db();
        return;
      }
    }
  }
  dbfiles::open_lookup_files("", kEdition, &files_);
  if (canadian_line_ != nullptr) {
    canadian_line_->setText(without_line_end(dbfiles::canadian_line(files_.canada)));
  }
  if (!files_.us_ready) {
    show_unusable_call_db();
    return;
  }
  show_database_line();
  output_.clear();
  startup_line_ = files_.prev_ready;
  if (startup_line_) {
    output_.push_back(dbfiles::prev_line(files_.prev, dbfiles::kCallPrevDbName));
  }
  show_output();
  callsign_->setFocus();
}

void MainWindow::command(int id) {
  switch (id) {
    case kCmdSearch:
      search();
      break;
    case kCmdExtendedSearch:
      extended_search();
      break;
    case kCmdExit:
      exit_program();
      break;
    case kCmdHelpContents:
      help_contents();
      break;
    case kCmdHelpAbout:
      about();
      break;
    default:
      break;
  }
}

void MainWindow::search() {
  const std::string typed = callsign_->text().left(kMaxTyped).toLatin1().toStdString();
  // Without call.db only a Canadian callsign can be looked up: a US one is not called missing.
  const bool canadian = !kUsOnly && typed.starts_with('V');
  if (!open_call_db_again() && (!canadian || folder_blocked())) {
    show_unusable_call_db();
    focus_callsign();
    return;
  }
  const dbfiles::SearchOutput out = dbfiles::search_callsign(files_, typed.c_str(), &slot_);
  if (out.found) {
    history_.push_back(out.text);
    if (history_.size() > kHistoryLimit) history_.pop_front();
    output_.assign(history_.rbegin(), history_.rend());
  } else {
    if (startup_line_) output_.clear();
    output_.push_front(out.text);
  }
  startup_line_ = false;
  // Whole blocks only, the newest first, up to the limit.
  std::size_t bytes = 0;
  std::size_t keep = 0;
  while (keep < output_.size() && bytes + output_[keep].size() <= kOutputBoxLimit) {
    bytes += output_[keep].size();
    ++keep;
  }
  output_.resize(keep);
  show_output();
  if (!out.damaged.empty()) {
    const std::string text = out.damaged + "\r\nDamaged in " + dbfiles::shown_folder("") + ": " +
                             out.why + ".";
    boxes_.show(this, QString::fromLocal8Bit(text.c_str()),
                QString::fromLatin1(kReadErrorCaption), BoxIcon::error);
  }
  focus_callsign();
}

void MainWindow::extended_search() {
  if (!open_call_db_again()) {
    show_unusable_call_db();
    focus_callsign();
    return;
  }
  // Both editions search the index that call.db's opening read: nothing is copied or read again.
  SearchDialog dialog(files_.us, &index_, boxes_, this);
  dialog.run();
  focus_callsign();
}

void MainWindow::exit_program() {
  dbfiles::close_lookup_files(&files_);
  close();
}

// The data folder's help page, else the one beside the program, else the installed one. A page
// that is nowhere, or that the desktop cannot show, is a box.
void MainWindow::help_contents() {
  const QString data = data_folder_.isEmpty() ? QDir::currentPath() : data_folder_;
  widgets::open_help_page(help_, this, QString::fromLatin1(kHelpPageName), data,
                          QStringLiteral(ORBISK_HELP_DIR), [this](const QString& text) {
                            boxes_.show(this, text, QStringLiteral("ERROR Opening help"),
                                        BoxIcon::error);
                          });
}

void MainWindow::about() {
  AboutBox box(this, client_);
  box.exec();
}

void MainWindow::show_output() {
  std::string text;
  for (const std::string& block : output_) text += block;
  output_box_->setPlainText(shown_text(text));
}

void MainWindow::focus_callsign() {
  callsign_->setFocus();
  callsign_->selectAll();
}

void MainWindow::show_database_line() {
  // The folder is named after the line, so that a long one cuts nothing of the line itself.
  const QString line = QString::fromLatin1(dbfiles::database_line(files_.us).c_str()) +
                       QStringLiteral(" in ") + QDir::toNativeSeparators(QDir::currentPath());
  database_line_->setText(line);
  database_line_->setToolTip(line);
}

bool MainWindow::folder_blocked() const {
  return !folder_trouble_.isEmpty() && !fall_back_;
}

bool MainWindow::open_call_db_again() {
  if (!files_.us_ready && !folder_blocked()) {
    dbfiles::open_us_files("", &files_);
    if (files_.us_ready) show_database_line();
  }
  return files_.us_ready;
}

// "call.db" with the reason under it: the data folder, the file missing or damaged, or an
// update run holding it; a folder without one says how to get one.
void MainWindow::show_unusable_call_db() {
  QString text = QString::fromLatin1(dbfiles::kCallDbName);
  if (!folder_blocked()) {
    text += QStringLiteral("\r\n") +
            QString::fromLocal8Bit(
                dbfiles::call_db_trouble(files_, dbfiles::shown_folder("")).c_str());
  }
  if (!folder_trouble_.isEmpty()) text += QStringLiteral("\r\n") + folder_trouble_;
  if (!folder_trouble_.isEmpty() || files_.us_error == ENOENT) {
    text += QStringLiteral("\r\n") +
            how_to_get_data(folder_trouble_.isEmpty() ? QDir::currentPath() : data_folder_);
  }
  boxes_.show(this, text, QString::fromLatin1(kReadErrorCaption), BoxIcon::error);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == client_ && event->type() == QEvent::Resize) {
    lay_out();
    return false;
  }
  if (event->type() != QEvent::KeyPress) return QMainWindow::eventFilter(watched, event);
  const auto at = std::find(ring_.begin(), ring_.end(), watched);
  if (at == ring_.end()) return QMainWindow::eventFilter(watched, event);
  const auto* key = static_cast<QKeyEvent*>(event);
  const auto place = static_cast<int>(at - ring_.begin());
  const int count = static_cast<int>(ring_.size());
  const bool shift = (key->modifiers() & Qt::ShiftModifier) != 0;
  switch (key->key()) {
    case Qt::Key_Tab:
    case Qt::Key_Backtab: {
      const bool back = shift || key->key() == Qt::Key_Backtab;
      ring_[(place + (back ? count - 1 : 1)) % count]->setFocus(back ? Qt::BacktabFocusReason
                                                                     : Qt::TabFocusReason);
      return true;
    }
    case Qt::Key_Return:
    case Qt::Key_Enter:
      command(std::max(control_id(watched), kCmdSearch));
      return true;
    default:
      return QMainWindow::eventFilter(watched, event);
  }
}

void MainWindow::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (sized_to_frame_) return;
  sized_to_frame_ = true;
  // The 450 x 450 pixels include the frame, where the system draws one.
  const QSize frame = frameGeometry().size() - geometry().size();
  if (frame.width() > 0 || frame.height() > 0) resize(kWindowWidth - frame.width(), kWindowHeight - frame.height());
}

void MainWindow::closeEvent(QCloseEvent* event) {
  dbfiles::close_lookup_files(&files_);
  event->accept();
}

}  // namespace lookup
