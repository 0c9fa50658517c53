// fernwick's window: the buttons along the top, the status grid of the update files, the value
// and count cells on the right and the log below. The workers (US update or clean-up, Canadian
// update, floppy copy; one slot each) run the updater's engines on threads of their own and reach
// the window through a WindowLink, which carries out each call on the window's thread while the
// worker waits.
#pragma once

#include <QString>
#include <QWidget>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "updater/updater_state.h"
#include "fernwick/window_rules.h"
#include "updater/worker_link.h"
#include "updater/zlib_api.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace widgets {
class HelpOpener;
}

namespace fernwick {

using widgets::HelpOpener;
class MessageBoxes;
class WindowLink;

inline constexpr const char* kTitle = updater::kWindowTitle;
// The outer size the window opens with, frame included where the system draws one.
inline constexpr int kWindowWidth = 790;
inline constexpr int kWindowHeight = 500;
// The log fills the client area below this line.
inline constexpr int kLogTop = 184;
// Looked for in the data folder, then beside the program, then where the documents are
// installed.
inline constexpr char kHelpFileName[] = "fernwick-help.html";

// Button ids, in the "controlId" property of each button.
inline constexpr int kIdExit = 1;
inline constexpr int kIdCleanUp = 2;
inline constexpr int kIdRepeatUpdate = 3;
inline constexpr int kIdCopyTo = 4;
inline constexpr int kIdCopyFrom = 5;
inline constexpr int kIdUpdateCanada = 6;
inline constexpr int kIdHelp = 7;
inline constexpr int kIdSettings = 8;
inline constexpr char kControlIdProperty[] = "controlId";

// Where the window finds its files and servers, and what it asks of the desktop. The program
// fills it from the build's settings; tests point it at temporary folders and 127.0.0.1.
struct WindowSettings {
  std::string folder;  // the data folder; "" for the current directory
  updater::ServerAddress server;
  std::string floppy_folder;  // stands for drive A:
  updater::ServerAddress canada_server;
  std::string ca_file;       // extra trusted certificates for the Canadian server, or ""
  std::string zlib_library;  // the name zlib is loaded by
  std::function<platform::LocalTime()> now;  // empty: the system's local time
  MessageBoxes* boxes = nullptr;
  HelpOpener* help = nullptr;
  // Called on the window's thread each time a worker sets a grid cell, after the cell shows it.
  std::function<void(int row, updater::RowCell cell, const QString& text)> row_cell_hook;
  // The US source: the FCC's archives from fcc_server (HTTPS, trusting ca_file too) when
  // use_fcc, else the update files of `server`.
  bool use_fcc = false;
  updater::ServerAddress fcc_server;
  // The settings file the Settings dialog shows and saves; "" leaves the button disabled.
  std::string settings_file;
};

class Window : public QWidget {
  Q_OBJECT
 public:
  explicit Window(WindowSettings settings, QWidget* parent = nullptr);
  // Stops the workers as closing does, if the window was not closed.
  ~Window() override;

  // Start-up: the data folder's line, the Canadian database's line, zlib, the sockets, then the
  // US update. Once, after the window was shown, so that its boxes appear over it.
  void start();

  // The workers' calls, on the window's thread (WindowLink brings them there).
  void append_log(std::string_view text);
  void set_value_cell(updater::ValueCell cell, std::string_view text);
  void set_row_cell(int row, updater::RowCell cell, std::string_view text);
  updater::Answer ask(std::string_view text, std::string_view caption, updater::Buttons buttons,
                      updater::Icon icon);
  void worker_finished(int message, std::int32_t wparam, std::int32_t lparam);

  // True from the moment the window starts closing: the workers' calls are then answered
  // without touching the window.
  bool closing() const { return closing_.load(); }

  // Marks a worker's call being carried out on the window's thread: the window cannot wait for
  // its workers while one of them waits for it.
  class CallScope {
   public:
    explicit CallScope(Window& window) : window_(window) { ++window_.calls_in_progress_; }
    ~CallScope() { --window_.calls_in_progress_; }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

   private:
    Window& window_;
  };

 protected:
  void showEvent(QShowEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  enum class Job { us_update, cleanup, canada, copy_to, copy_from };
  struct Worker {
    std::thread thread;
    std::atomic<bool> ended{false};
  };

  void make_controls();
  QPushButton* make_button(const char* text, int id, int x, int y, int width);
  QLabel* make_label(const char* text, Qt::Alignment alignment, int x, int y, int width,
                     int height = 18);
  void place_log();

  void repeat_update();
  void clean_up();
  void update_canada();
  void copy_to_floppy();
  void copy_from_floppy();
  void help();
  void edit_settings();

  void log_canadian_database();
  bool offer_first_database();
  void start_worker(Job job);
  void set_running(Job job, bool running);
  void update_buttons();
  void join_ended_workers();
  void shut_down();

  WindowSettings settings_;
  std::unique_ptr<WindowLink> link_;
  updater::UpdaterState state_;
  platform::Library zlib_library_;
  updater::ZlibApi zlib_;
  bool sockets_started_ = false;
  bool sized_to_frame_ = false;

  Running running_;
  bool copy_to_allowed_ = true;  // as the button is made
  bool buttons_ruled_ = false;   // false until start-up first works the buttons out
  std::atomic<bool> cancel_{false};
  std::atomic<bool> closing_{false};
  bool shut_down_ = false;
  int calls_in_progress_ = 0;
  int us_rows_shown_ = 0;        // grid rows the last US run filled
  bool canada_after_us_ = false;  // the first start's Canadian run waits for the US run

  std::vector<std::unique_ptr<Worker>> workers_;

  QPushButton* exit_ = nullptr;
  QPushButton* repeat_update_ = nullptr;
  QPushButton* clean_up_ = nullptr;
  QPushButton* help_ = nullptr;
  QPushButton* settings_button_ = nullptr;
  QPushButton* update_canada_ = nullptr;
  QPushButton* copy_to_ = nullptr;
  QPushButton* copy_from_ = nullptr;
  QPlainTextEdit* log_ = nullptr;
  std::array<QLabel*, 8> value_cells_{};
  std::array<std::array<QLabel*, 4>, updater::kRowCount> grid_{};
};

// The control with id `id` among the window's buttons, or nullptr.
QPushButton* button_by_id(QWidget* window, int id);

}  // namespace fernwick
