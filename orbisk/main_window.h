// The lookup program's main window: a callsign box with its buttons over the output box, the
// Help menu, and the commands behind them, dispatched by number in command().
#pragma once

#include <QMainWindow>
#include <QString>

#include <array>
#include <deque>
#include <string>

#include "dbfiles/lookup.h"
#include "lookup/extended_search.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace widgets {
class HelpOpener;
}

namespace lookup {

class FittedLineEdit;
using widgets::HelpOpener;
class MessageBoxes;

// The found records kept for the output box, newest last.
inline constexpr std::size_t kHistoryLimit = 512;
// The output box's text never grows past this many bytes.
inline constexpr std::size_t kOutputBoxLimit = 32768;
// The callsign box is read up to this many characters.
inline constexpr int kMaxTyped = 255;
// The window's outer size when it opens, in pixels.
inline constexpr int kWindowWidth = 450;
inline constexpr int kWindowHeight = 450;

class MainWindow : public QMainWindow {
  Q_OBJECT
 public:
  // `data_folder` becomes the current directory at start-up ("" keeps the current one). A
  // folder that cannot be entered is an error box naming it, and nothing is read; with
  // `fall_back` (the build's folder, which the user did not name) the files are read from the
  // current directory instead, which the database line then names.
  MainWindow(MessageBoxes& boxes, HelpOpener& help, QString data_folder, bool fall_back = false,
             QWidget* parent = nullptr);
  ~MainWindow() override;

  // Start-up: the data folder, the files and the lines they give. Once, after the window was
  // made (and shown, so that a box about call.db appears over it).
  void start();

  // Runs a command by its number (lookup/control_ids.h).
  void command(int id);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void make_controls();
  void make_menu();
  void lay_out();

  void search();
  void extended_search();
  void exit_program();
  void help_contents();
  void about();

  void show_output();
  void focus_callsign();
  void show_database_line();
  // The data folder named for this run could not be entered: nothing is read.
  bool folder_blocked() const;
  // Whether call.db is open: start-up's try is made again when it failed (the file was missing,
  // or an update run held it), so that a database put in place since is used.
  bool open_call_db_again();
  void show_unusable_call_db();

  MessageBoxes& boxes_;
  HelpOpener& help_;
  QString data_folder_;
  bool fall_back_ = false;
  // Why the data folder could not be entered, or "".
  QString folder_trouble_;
  bool sized_to_frame_ = false;

  dbfiles::LookupFiles files_;
  dbfiles::LookupResult slot_;
  // The Extended Search's view of call.db's index, made at its first opening.
  IndexCopy index_;

  // Found record blocks, oldest first.
  std::deque<std::string> history_;
  // What the output box shows, newest first: record blocks, miss lines, the start-up line.
  std::deque<std::string> output_;
  // The start-up line about previous calls is shown until the first Search replaces it.
  bool startup_line_ = false;

  QWidget* client_ = nullptr;
  QLabel* panel_ = nullptr;
  QLabel* database_line_ = nullptr;
  QLabel* canadian_line_ = nullptr;  // none in the US-only edition
  QLabel* prompt_ = nullptr;
  FittedLineEdit* callsign_ = nullptr;
  QPushButton* search_ = nullptr;
  QPushButton* extended_ = nullptr;
  QPushButton* exit_ = nullptr;
  QPlainTextEdit* output_box_ = nullptr;
  // The keyboard ring: Tab and Shift+Tab move round these, in this order.
  std::array<QWidget*, 4> ring_{};
};

}  // namespace lookup
