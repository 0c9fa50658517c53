// How the updater's workers reach the window. A worker never touches a widget: it appends log
// text, sets the text of named cells, asks message boxes and, as its last act, sends a finished
// message. Each call returns only once the window has carried it out, so a worker that asks a
// message box waits for the answer. Implementations: the Qt window, calldb's console and the
// recording fake of the tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace updater {

// The eight value and count cells of the window's right-hand block.
enum class ValueCell {
  db_date,
  update_file,
  updating_to,
  records,
  new_calls,
  deleted_calls,
  changed_calls,
  percent_done,
};

// The four cells of a status grid row.
enum class RowCell { name, status, bytes, total };

inline constexpr int kRowCount = 8;

enum class Buttons { ok, yes_no, retry_cancel };
enum class Icon { none, error };
enum class Answer { ok, yes, no, retry, cancel };

// The updater window's title, the caption of its own boxes.
inline constexpr char kWindowTitle[] = "Fernwick 012 for Orbisk";

// Finished messages, with the window message numbers they carry.
inline constexpr int UM_UPDATE_DONE = 1024;
inline constexpr int UM_CLEANUP_DONE = 1025;
inline constexpr int UM_FLOPPY_DONE = 1026;
inline constexpr int UM_CANADA_DONE = 1027;

class WorkerLink {
 public:
  virtual ~WorkerLink() = default;

  // Appends text to the log; texts carry their own "\r\n" line ends.
  virtual void log_text(std::string_view text) = 0;
  virtual void set_value_cell(ValueCell cell, std::string_view text) = 0;
  // REQUIRES: 0 <= row < kRowCount.
  virtual void set_row_cell(int row, RowCell cell, std::string_view text) = 0;
  // A modal message box owned by the main window; returns the button pressed.
  virtual Answer message_box(std::string_view text, std::string_view caption, Buttons buttons,
                             Icon icon) = 0;
  // The worker's finished message; returns once the window has handled it.
  virtual void finished(int message, std::int32_t wparam, std::int32_t lparam) = 0;
};

// Text that may carry bytes from outside (a file name, a reply head, a record) as it is shown
// in the log, on a terminal or in a message box: each control character other than a line end
// (the other C0 controls and DEL) becomes the four characters "\xHH", ESC showing as "\x1b", so
// that nothing reaches a terminal or the log raw. "\r\n" and a lone "\n" stay line ends; a
// lone "\r" stays too when `lone_cr_breaks` (a box parts its lines with it) and shows as
// "\x0d" otherwise.
std::string escape_controls(std::string_view text, bool lone_cr_breaks = false);

// Writes a number into a cell as "%d".
void show_number(WorkerLink& link, ValueCell cell, std::int32_t value);
void show_number(WorkerLink& link, int row, RowCell cell, std::int32_t value);

}  // namespace updater
