// calldb cleanup, copy-to and copy-from: the updater's clean-up and floppy workers on the
// console.

#include <CLI/CLI.hpp>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tools/commands.h"
#include "tools/console_link.h"
#include "updater/floppy.h"
#include "updater/updater_state.h"

namespace calldb {

namespace {

constexpr std::size_t kMaxNameLength = sizeof(updater::UpdateRow::name) - 1;

// The console link, counting what went wrong: each copy box is answered Cancel, so each one
// is a file given up, and each "NOT deleted" line a file left behind.
class CountingLink : public ConsoleLink {
 public:
  void log_text(std::string_view text) override {
    if (text.find(" NOT deleted, error ") != std::string_view::npos) ++failures_;
    ConsoleLink::log_text(text);
  }
  updater::Answer message_box(std::string_view text, std::string_view caption,
                              updater::Buttons buttons, updater::Icon icon) override {
    // A copy given up, or the job refused (another update writes the folder).
    if (caption == "ERROR copying file" || caption == updater::kWindowTitle) ++failures_;
    return ConsoleLink::message_box(text, caption, buttons, icon);
  }
  int failures() const { return failures_; }

 private:
  int failures_ = 0;
};

struct Options {
  std::string folder;
  std::string floppy = program_settings().floppy_folder;
  int mode = 0;
  std::vector<std::string> files;
  bool wait = false;
};

template <typename Worker>
int run_worker(Worker worker, const Options& options, updater::UpdaterState* state) {
  CountingLink link;
  updater::WorkerEnv env;
  env.link = &link;
  env.state = state;
  env.folder = options.folder;
  env.floppy_folder = options.floppy;
  env.wait_for_folder = options.wait;
  worker(env);
  return link.failures() == 0 ? kExitOk : kExitMiss;
}

int run_cleanup(const Options& options) {
  updater::UpdaterState state;
  state.cleanup_mode = options.mode;
  return run_worker(updater::cleanup_old_files, options, &state);
}

int run_copy_to(const Options& options) {
  updater::UpdaterState state;
  for (const std::string& name : options.files) {
    std::memcpy(state.update_rows[state.rows_in_use++].name, name.c_str(), name.size() + 1);
  }
  return run_worker(updater::copy_to_floppy, options, &state);
}

int run_copy_from(const Options& options) {
  updater::UpdaterState state;
  return run_worker(updater::copy_from_floppy, options, &state);
}

void add_folder_option(CLI::App* command, Options* options) {
  command->add_option("-C", options->folder, "Data folder (see calldb --help)")
      ->type_name("DIR");
  add_wait_flag(command, &options->wait);
}

void add_floppy_option(CLI::App* command, Options* options) {
  command
      ->add_option("--floppy", options->floppy,
                   "Folder that stands for drive A: " + default_note(settings::kFloppyFolder))
      ->type_name("DIR");
}

}  // namespace

void add_floppy_commands(CLI::App& app, int* exit_code) {
  auto cleanup_options = std::make_shared<Options>();
  CLI::App* cleanup = app.add_subcommand(
      "cleanup",
      "Delete old files from the data folder as the updater's clean-up does. Mode 1 deletes "
      "update files (NNNNtoNNNN.db), mode 3 also saved databases (callNNNN.db); other files "
      "are never touched. Prints \"NAME deleted\" or \"NAME NOT deleted, error N\" for each. "
      "Exit 0 when every one was deleted, 1 when any was not.");
  add_folder_option(cleanup, cleanup_options.get());
  cleanup->add_option("--mode", cleanup_options->mode, "1: update files; 3: also saved databases")
      ->required()
      ->type_name("1|3");
  cleanup->callback([cleanup_options, exit_code] {
    // Checked here rather than by a validator, which lets an empty value through as 0.
    const int mode = cleanup_options->mode;
    if (mode != updater::kCleanUpdateFiles &&
        mode != (updater::kCleanUpdateFiles | updater::kCleanSavedDatabases)) {
      throw CLI::ValidationError("--mode", "must be 1 or 3");
    }
    *exit_code = run_cleanup(*cleanup_options);
  });

  auto to_options = std::make_shared<Options>();
  CLI::App* copy_to = app.add_subcommand(
      "copy-to",
      "Copy update files from the data folder to the floppy disk, replacing files of the same "
      "names there, as the updater's Copy to floppy does. Prints \"Copying FILE to A: (DIR)\" "
      "for each and \"Copying complete\", or \"Nothing copied\" when no file was; a copy "
      "that fails is reported on standard error as \"ERROR copying file: A:\\FILE "
      "(DIR/FILE)\" and given up. A floppy folder that is not there is reported once, and "
      "nothing is copied. Exit 0 when every file was copied, 1 when any was not.");
  add_folder_option(copy_to, to_options.get());
  add_floppy_option(copy_to, to_options.get());
  copy_to
      ->add_option("FILE", to_options->files,
                   "Names of the files to copy, at most " + std::to_string(updater::kRowCount) +
                       ", each at most " + std::to_string(kMaxNameLength) + " characters")
      ->required()
      ->check(CLI::Validator(
          [](std::string& name) {
            return name.size() <= kMaxNameLength
                       ? std::string()
                       : "longer than " + std::to_string(kMaxNameLength) + " characters";
          },
          ""));
  copy_to->callback([to_options, exit_code] {
    // One file for each row of the window's status grid.
    if (to_options->files.size() > static_cast<std::size_t>(updater::kRowCount)) {
      throw CLI::ValidationError("FILE", "at most " + std::to_string(updater::kRowCount) +
                                             " files, " +
                                             std::to_string(to_options->files.size()) + " given");
    }
    *exit_code = run_copy_to(*to_options);
  });

  auto from_options = std::make_shared<Options>();
  CLI::App* copy_from = app.add_subcommand(
      "copy-from",
      "Copy update files from the floppy disk to the data folder as the updater's Copy from "
      "floppy does: each *.db file with a name of 13 characters that the data folder does not "
      "have yet. Prints \"Reading floppy disk A: (DIR)...\", then \"Copying FILE from "
      "floppy\" or \"FILE is already on hard disk\" for each and \"Copying complete\", or "
      "\"Nothing copied\" when no file was; a copy that fails is reported on standard error "
      "as \"ERROR copying file: A:\\FILE (DIR/FILE)\" and given up. Exit 0 when nothing "
      "failed, 1 when any copy was given up or the floppy folder is not there.");
  add_folder_option(copy_from, from_options.get());
  add_floppy_option(copy_from, from_options.get());
  copy_from->callback([from_options, exit_code] { *exit_code = run_copy_from(*from_options); });
}

}  // namespace calldb
