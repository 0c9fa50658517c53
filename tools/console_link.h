// The updater's workers on a console: log texts go to standard output with "\r\n" turned into
// "\n", cell changes are not shown, message boxes are printed on standard error as
// "CAPTION: TEXT" and answered OK, No or Cancel, as nobody is there to choose. Control
// characters other than line ends are shown escaped (updater::escape_controls).
#pragma once

#include <atomic>
#include <string>

#include "platform/platform.h"
#include "settings/settings.h"
#include "updater/worker_link.h"

namespace CLI {
class App;
}

namespace calldb {

class ConsoleLink : public updater::WorkerLink {
 public:
  void log_text(std::string_view text) override;
  void set_value_cell(updater::ValueCell, std::string_view) override {}
  void set_row_cell(int, updater::RowCell, std::string_view) override {}
  updater::Answer message_box(std::string_view text, std::string_view caption,
                              updater::Buttons buttons, updater::Icon icon) override;
  void finished(int, std::int32_t, std::int32_t) override {}
};

// The settings calldb runs with: the settings file's values over the build's, read at the first
// call (see settings::load). Command-line options override them.
const settings::Settings& program_settings();
// "(default: VALUE, from FILE)" or "(default: VALUE, built in)", for an option's help.
std::string default_note(settings::Key key);

// The --wait flag of every command that writes a data folder.
void add_wait_flag(CLI::App* command, bool* wait);

// Takes the data folder's writer lock for a command whose engine has no worker around it
// (import-uls, fetch-fcc), telling on the console as a worker does (updater::lock_folder);
// with `wait`, waits for another program's job to end unless *cancel gets set. Returns 0 or -1.
int lock_data_folder(const std::string& folder, bool wait, const std::atomic<bool>* cancel,
                     platform::FolderLock* lock);

}  // namespace calldb
