#include "fernwick/window.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFontDatabase>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <utility>

#include "dbfiles/coding.h"
#include "dbfiles/usdb.h"
#include "updater/canupdate.h"
#include "updater/doupdate.h"
#include "updater/floppy.h"
#include "fernwick/settings_dialog.h"
#include "fernwick/window_boxes.h"
#include "fernwick/window_link.h"
#include "updater/zlib_loader.h"
#include "fcc/fcc_update.h"

namespace fernwick {

namespace {

using updater::RowCell;
using updater::ValueCell;

constexpr char kCleanUpQuestion[] =
    "Clean up old files?\rDo NOT clean up if you want to copy updates to A:";

constexpr int kLabelHeight = 18;
constexpr int kButtonHeight = 22;
constexpr int kRowTop = 40;
constexpr int kGridWidth = 100;

QString latin1(std::string_view text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

// The data folder, whole, as the title and the log name it: control characters escaped.
QString shown_folder(const std::string& folder) {
  const QString path = QDir(folder.empty() ? QDir::currentPath() : QString::fromStdString(folder))
                           .absolutePath();
  return QString::fromStdString(
      updater::escape_controls(QDir::toNativeSeparators(path).toStdString()));
}

int cell_index(ValueCell cell) { return static_cast<int>(cell); }
int cell_index(RowCell cell) { return static_cast<int>(cell); }

}  // namespace

QPushButton* button_by_id(QWidget* window, int id) {
  for (QPushButton* b : window->findChildren<QPushButton*>()) {
    const QVariant value = b->property(kControlIdProperty);
    if (value.isValid() && value.toInt() == id) return b;
  }
  return nullptr;
}

Window::Window(WindowSettings settings, QWidget* parent)
    : QWidget(parent), settings_(std::move(settings)) {
  link_ = std::make_unique<WindowLink>(*this);
  // The folder the window updates follows the title; the boxes keep the title alone.
  setWindowTitle(QString::fromLatin1(kTitle) + QStringLiteral(" - ") +
                 shown_folder(settings_.folder));
  make_controls();
  resize(kWindowWidth, kWindowHeight);
}

Window::~Window() { shut_down(); }

QPushButton* Window::make_button(const char* text, int id, int x, int y, int width) {
  auto* button = new QPushButton(QString::fromLatin1(text), this);
  button->setProperty(kControlIdProperty, id);
  button->setGeometry(x, y, width, kButtonHeight);
  return button;
}

QLabel* Window::make_label(const char* text, Qt::Alignment alignment, int x, int y, int width,
                           int height) {
  auto* label = new QLabel(QString::fromLatin1(text), this);
  label->setAlignment(alignment | Qt::AlignVCenter);
  label->setGeometry(x, y, width, height);
  return label;
}

void Window::make_controls() {
  exit_ = make_button("Exit", kIdExit, 660, 0, 110);
  repeat_update_ = make_button("Repeat update", kIdRepeatUpdate, 0, 0, 110);
  clean_up_ = make_button("Clean up", kIdCleanUp, 110, 0, 110);
  help_ = make_button("Help", kIdHelp, 710, 27, 60);
  settings_button_ = make_button("Settings", kIdSettings, 690, 54, 80);
  settings_button_->setEnabled(!settings_.settings_file.empty());

  log_ = new QPlainTextEdit(this);
  log_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  log_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  log_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  place_log();

  const char* const kValueLabels[4] = {"db date ", "update file ", "updating to ",
                                       "records in update "};
  for (int i = 0; i < 4; ++i) {
    make_label(kValueLabels[i], Qt::AlignRight, 410, 22 + kLabelHeight * i, 125);
  }
  const char* const kCountLabels[4] = {" new calls", " deleted calls", " changed calls",
                                       " % done"};
  for (int i = 0; i < 4; ++i) {
    make_label(kCountLabels[i], Qt::AlignLeft, 540, 94 + kLabelHeight * i, 130);
  }
  const char* const kValueTexts[4] = {"------", "------", "------", "0"};
  for (int i = 0; i < 4; ++i) {
    value_cells_[i] = make_label(kValueTexts[i], Qt::AlignLeft, 540, 22 + kLabelHeight * i, 130);
  }
  for (int i = 0; i < 4; ++i) {
    value_cells_[4 + i] = make_label("0", Qt::AlignRight, 410, 94 + kLabelHeight * i, 125);
  }

  const Qt::Alignment kColumnAlign[4] = {Qt::AlignLeft, Qt::AlignHCenter, Qt::AlignRight,
                                         Qt::AlignRight};
  const char* const kHeadings[4] = {"Update File", "Status", "Bytes read", "Total bytes"};
  for (int c = 0; c < 4; ++c) {
    make_label(kHeadings[c], kColumnAlign[c], 5 + kGridWidth * c, 22, kGridWidth);
  }
  make_label("<SneakerNet>", Qt::AlignHCenter, 440, 0, 110, kButtonHeight);

  update_canada_ = make_button("Update Canada", kIdUpdateCanada, 220, 0, 110);
  copy_to_ = make_button("Copy to A:", kIdCopyTo, 330, 0, 110);
  copy_from_ = make_button("Copy from A:", kIdCopyFrom, 550, 0, 110);

  for (int row = 0; row < updater::kRowCount; ++row) {
    for (int c = 0; c < 4; ++c) {
      grid_[row][c] =
          make_label("", kColumnAlign[c], 5 + kGridWidth * c, kRowTop + kLabelHeight * row,
                     kGridWidth);
    }
  }

  connect(exit_, &QPushButton::clicked, this, &QWidget::close);
  connect(repeat_update_, &QPushButton::clicked, this, &Window::repeat_update);
  connect(clean_up_, &QPushButton::clicked, this, &Window::clean_up);
  connect(help_, &QPushButton::clicked, this, &Window::help);
  connect(settings_button_, &QPushButton::clicked, this, &Window::edit_settings);
  connect(update_canada_, &QPushButton::clicked, this, &Window::update_canada);
  connect(copy_to_, &QPushButton::clicked, this, &Window::copy_to_floppy);
  connect(copy_from_, &QPushButton::clicked, this, &Window::copy_from_floppy);
}

void Window::place_log() { log_->setGeometry(0, kLogTop, width(), height() - kLogTop); }

void Window::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (sized_to_frame_) return;
  sized_to_frame_ = true;
  // The 790 x 500 pixels include the frame, where the system draws one.
  const QSize frame = frameGeometry().size() - geometry().size();
  if (frame.width() > 0 || frame.height() > 0) {
    resize(kWindowWidth - frame.width(), kWindowHeight - frame.height());
  }
}

void Window::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  place_log();
}

void Window::closeEvent(QCloseEvent* event) {
  if (calls_in_progress_ > 0) {
    // Asked to close from within a worker's call (a box it shows runs its own event loop): the
    // worker cannot end before the call returns. Stop the workers now, close once it has.
    closing_.store(true);
    cancel_.store(true);
    event->ignore();
    QTimer::singleShot(50, this, &QWidget::close);
    return;
  }
  shut_down();
  QWidget::closeEvent(event);
}

// ---- Start-up ----

void Window::start() {
  log_->moveCursor(QTextCursor::End);
  log_->insertPlainText(QStringLiteral("Data folder: ") + shown_folder(settings_.folder) +
                        QStringLiteral("\n"));
  log_canadian_database();

  const std::string zlib_name =
      settings_.zlib_library.empty() ? platform::zlib_library_name() : settings_.zlib_library;
  state_.zlib_ready = updater::load_zlib(*link_, zlib_name, &zlib_library_, &zlib_);
  update_buttons();

  if (platform::start_sockets() != 0) {
    ask("WSAStartup() error", kTitle, updater::Buttons::ok, updater::Icon::none);
    return;
  }
  sockets_started_ = true;
  state_.set_partial_download("");
  copy_to_allowed_ = false;
  const bool first = !platform::file_exists(platform::join_path(settings_.folder, "call.db"));
  if (settings_.use_fcc && first && !offer_first_database()) {
    update_buttons();
    return;
  }
  start_worker(Job::us_update);
}

// A data folder without call.db (a first start): one box offers the FCC's database and the
// Canadian list, and makes the folder when it is missing. False when nothing is to be fetched.
bool Window::offer_first_database() {
  const std::string folder = updater::escape_controls(dbfiles::shown_folder(settings_.folder));
  std::string text = "There is no US licence database in " + folder +
                     " yet.\r\rGet the current one from the FCC now? This downloads about 131 MB "
                     "(the FCC's weekly archive) and the daily archives made since (tens of KB "
                     "each)";
  if (state_.zlib_ready) text += ", then the Canadian list (a few MB)";
  text += ".";
  if (ask(text, kTitle, updater::Buttons::yes_no, updater::Icon::none) != updater::Answer::yes) {
    append_log("No US database yet: press \"Repeat update\" to get it from the FCC\r\n");
    return false;
  }
  std::error_code ec;
  if (!settings_.folder.empty() && !std::filesystem::is_directory(settings_.folder) &&
      !std::filesystem::create_directories(settings_.folder, ec)) {
    const std::string why = ec ? ec.message() : "it is not a folder";
    append_log("ERROR making " + folder + ": " + why + "\r\n");
    ask("Cannot make the data folder " + folder + ":\r" + why, kTitle, updater::Buttons::ok,
        updater::Icon::error);
    return false;
  }
  canada_after_us_ = state_.zlib_ready;
  return true;
}

void Window::log_canadian_database() {
  platform::File file;
  if (file.open(platform::join_path(settings_.folder, "cancall.db"), platform::Access::read,
                platform::Share::read_write, platform::Disposition::open_existing) != 0) {
    return;
  }
  unsigned char header[dbfiles::kHeaderSize];
  const platform::IoResult size = file.size();
  if (size.error != 0 || file.read_at(0, header, sizeof header).count != sizeof header) return;
  const std::uint32_t offset = dbfiles::decode_fixed32(header + 8);
  const std::uint32_t calls = (static_cast<std::uint32_t>(size.count) - offset) / 8u;
  const char* const text = reinterpret_cast<const char*>(header);
  char line[96];
  std::snprintf(line, sizeof line, "Canadian db present: %.2s/%.2s/2%.3s  %d calls\r\n\r\n",
                text + 4, text + 6, text + 1, static_cast<int>(calls));
  append_log(line);
}

// ---- The workers' calls ----

void Window::append_log(std::string_view text) {
  log_->moveCursor(QTextCursor::End);
  log_->insertPlainText(latin1(text));
}

void Window::set_value_cell(ValueCell cell, std::string_view text) {
  value_cells_[cell_index(cell)]->setText(latin1(text));
}

void Window::set_row_cell(int row, RowCell cell, std::string_view text) {
  if (row < 0 || row >= updater::kRowCount) return;
  const QString shown = latin1(text);
  grid_[row][cell_index(cell)]->setText(shown);
  if (settings_.row_cell_hook) settings_.row_cell_hook(row, cell, shown);
}

updater::Answer Window::ask(std::string_view text, std::string_view caption,
                            updater::Buttons buttons, updater::Icon icon) {
  if (settings_.boxes == nullptr) return WindowLink::giving_up(buttons);
  return settings_.boxes->show(this, latin1(text), latin1(caption), buttons, icon);
}

void Window::worker_finished(int message, std::int32_t wparam, std::int32_t lparam) {
  switch (message) {
    case updater::UM_UPDATE_DONE:
      set_running(Job::us_update, false);
      us_rows_shown_ = wparam;
      append_log("thread closed\r\n");
      update_buttons();
      if (std::exchange(canada_after_us_, false) && lparam == 0) {
        update_canada();  // the first start's second half: nothing to clean up yet
      } else if (lparam == 0) {
        const updater::Answer answer =
            ask(kCleanUpQuestion, kTitle, updater::Buttons::yes_no, updater::Icon::none);
        if (answer == updater::Answer::yes) {
          state_.cleanup_mode = updater::kCleanUpdateFiles | updater::kCleanSavedDatabases;
          start_worker(Job::cleanup);
        } else {
          copy_to_allowed_ = state_.rows_in_use > 0;  // an FCC run leaves no update files
        }
      }
      break;
    case updater::UM_CLEANUP_DONE:
      set_running(Job::cleanup, false);
      copy_to_allowed_ = false;
      break;
    case updater::UM_FLOPPY_DONE:
      set_running(Job::copy_to, false);
      set_running(Job::copy_from, false);
      copy_to_allowed_ = state_.rows_in_use > 0;
      break;
    case updater::UM_CANADA_DONE:
      set_running(Job::canada, false);
      break;
    default:
      break;
  }
  update_buttons();
}

// ---- Buttons ----

void Window::repeat_update() {
  if (closing()) return;
  start_worker(Job::us_update);
}

void Window::clean_up() {
  if (closing()) return;
  state_.cleanup_mode = state_.db_complete
                            ? updater::kCleanUpdateFiles | updater::kCleanSavedDatabases
                            : updater::kCleanUpdateFiles;
  start_worker(Job::cleanup);
}

void Window::update_canada() {
  if (closing()) return;
  const int used = std::max<int>(state_.rows_in_use, us_rows_shown_);
  for (int row = 0; row < used && row < updater::kRowCount; ++row) {
    for (QLabel* cell : grid_[row]) cell->clear();
  }
  start_worker(Job::canada);
}

void Window::copy_to_floppy() {
  if (closing()) return;
  start_worker(Job::copy_to);
}

void Window::copy_from_floppy() {
  if (closing()) return;
  start_worker(Job::copy_from);
}

// The data folder's page, else the one beside the program, else the installed one (an update
// server need not serve one). A page that is nowhere, or that the desktop cannot show, is a box,
// not a line on standard error.
void Window::help() {
  const QString data = settings_.folder.empty() ? QDir::currentPath()
                                                : QString::fromStdString(settings_.folder);
  const auto box = [this](const QString& text) {
    if (settings_.boxes == nullptr || closing()) return;
    settings_.boxes->show(this, text, QString::fromLatin1(kTitle), updater::Buttons::ok,
                          updater::Icon::error);
  };
  if (settings_.help == nullptr) {
    box(QStringLiteral("Could not open the help page: no desktop to show it"));
    return;
  }
  widgets::open_help_page(*settings_.help, this, QString::fromLatin1(kHelpFileName), data,
                          QStringLiteral(FERNWICK_HELP_DIR), box);
}

// The values the user changed are used from the next job on (a job takes its own copy as it
// starts); a new data folder waits for the next start, as the jobs share the folder's lock.
void Window::edit_settings() {
  SettingsDialog dialog(settings_.settings_file, this);
  if (dialog.exec() != QDialog::Accepted || closing()) return;
  const settings::Settings& was = dialog.before();
  const settings::Settings& now = dialog.saved();
  const auto changed = [&](settings::Key key) {
    return settings::value_text(was, key) != settings::value_text(now, key);
  };
  if (changed(settings::kUsSource)) {
    settings_.use_fcc = now.use_fcc;
    settings_.server = now.update_server;
  }
  if (changed(settings::kCanadaServer)) settings_.canada_server = now.canada_server;
  if (changed(settings::kFloppyFolder)) settings_.floppy_folder = now.floppy_folder;
  append_log("Settings saved in " + updater::escape_controls(settings_.settings_file) +
             (changed(settings::kDataFolder) ? "; the new data folder is used from the next start"
                                             : std::string()) +
             "\r\n");
}

void Window::update_buttons() {
  const ButtonStates b = button_states(running_, state_.zlib_ready, copy_to_allowed_);
  repeat_update_->setEnabled(b.repeat_update);
  clean_up_->setEnabled(b.clean_up);
  update_canada_->setEnabled(b.update_canada);
  copy_to_->setEnabled(b.copy_to);
  copy_from_->setEnabled(b.copy_from);
}

// ---- Workers ----

void Window::set_running(Job job, bool running) {
  switch (job) {
    case Job::us_update: running_.us_update = running; break;
    case Job::cleanup: running_.cleanup = running; break;
    case Job::canada: running_.canada = running; break;
    case Job::copy_to: running_.copy_to = running; break;
    case Job::copy_from: running_.copy_from = running; break;
  }
}

void Window::start_worker(Job job) {
  if (closing()) return;
  join_ended_workers();
  updater::WorkerEnv env;
  env.link = link_.get();
  env.state = &state_;
  env.folder = settings_.folder;
  env.server = settings_.server;
  env.floppy_folder = settings_.floppy_folder;
  env.canada_server = settings_.canada_server;
  env.ca_file = settings_.ca_file;
  env.zlib = state_.zlib_ready ? &zlib_ : nullptr;
  env.now = settings_.now;
  env.cancel = &cancel_;
  env.use_fcc = settings_.use_fcc;
  env.fcc_server = settings_.fcc_server;
  env.zlib_library = settings_.zlib_library;

  set_running(job, true);
  update_buttons();
  auto worker = std::make_unique<Worker>();
  Worker* const w = worker.get();
  workers_.push_back(std::move(worker));
  // The worker's finished message is its last call on the window; `ended` follows it.
  w->thread = std::thread([job, w, env = std::move(env)]() mutable {
    switch (job) {
      case Job::us_update: env.use_fcc ? calldb::fcc_update(env) : updater::doupdate(env); break;
      case Job::cleanup: updater::cleanup_old_files(env); break;
      case Job::canada: updater::canupdate(env); break;
      case Job::copy_to: updater::copy_to_floppy(env); break;
      case Job::copy_from: updater::copy_from_floppy(env); break;
    }
    w->ended.store(true);
  });
}

// A worker that ended has left every call behind it: joining it does not wait.
void Window::join_ended_workers() {
  for (auto it = workers_.begin(); it != workers_.end();) {
    if ((*it)->ended.load()) {
      if ((*it)->thread.joinable()) (*it)->thread.join();
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
}

void Window::shut_down() {
  if (shut_down_) return;
  shut_down_ = true;
  closing_.store(true);
  cancel_.store(true);
  // A worker may be waiting for the window to carry a call out: keep events flowing until
  // every worker has seen the cancel flag and ended.
  for (;;) {
    bool all_ended = true;
    for (const auto& w : workers_) all_ended = all_ended && w->ended.load();
    if (all_ended) break;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(2);
  }
  for (const auto& w : workers_) {
    if (w->thread.joinable()) w->thread.join();
  }
  workers_.clear();

  const std::string partial = state_.partial_download();
  if (!partial.empty()) platform::delete_file(partial);
  state_.set_partial_download("");
  zlib_ = updater::ZlibApi{};
  zlib_library_.close();
  if (sockets_started_) platform::stop_sockets();
  sockets_started_ = false;
}

}  // namespace fernwick
