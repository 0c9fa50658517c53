#include "tools/console_link.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <string>

#include "tools/commands.h"
#include "updater/folder_job.h"
#include "updater/updater_state.h"

namespace calldb {

void ConsoleLink::log_text(std::string_view text) {
  print_text(text);
  std::fflush(stdout);
}

updater::Answer ConsoleLink::message_box(std::string_view text, std::string_view caption,
                                         updater::Buttons buttons, updater::Icon) {
  // A box's lines are parted by a lone "\r"; a terminal would print them over each other.
  const std::string shown = updater::escape_controls(text, true);
  std::string lines;
  for (std::size_t i = 0; i < shown.size(); ++i) {
    const bool lone_cr = shown[i] == '\r' && (i + 1 == shown.size() || shown[i + 1] != '\n');
    if (lone_cr) {
      lines.push_back('\n');
    } else if (shown[i] != '\r') {
      lines.push_back(shown[i]);
    }
  }
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s\n", updater::escape_controls(caption).c_str(), lines.c_str());
  switch (buttons) {
    case updater::Buttons::yes_no: return updater::Answer::no;
    case updater::Buttons::retry_cancel: return updater::Answer::cancel;
    default: return updater::Answer::ok;
  }
}

const settings::Settings& program_settings() {
  static const settings::Settings loaded = settings::load();
  return loaded;
}

std::string default_note(settings::Key key) {
  return settings::default_note(program_settings(), key);
}

void add_wait_flag(CLI::App* command, bool* wait) {
  command->add_flag("--wait", *wait,
                    "While another update writes the data folder, wait for it to end "
                    "(else exit 1 at once)");
}

int lock_data_folder(const std::string& folder, bool wait, const std::atomic<bool>* cancel,
                     platform::FolderLock* lock) {
  // A folder that is not there is the engine's to report, in its own words.
  std::error_code ec;
  if (!folder.empty() && !std::filesystem::is_directory(folder, ec)) return 0;
  ConsoleLink link;
  updater::WorkerEnv env;
  env.link = &link;
  env.folder = folder;
  env.wait_for_folder = wait;
  env.cancel = cancel;
  return updater::lock_folder(env, folder, lock);
}

}  // namespace calldb
