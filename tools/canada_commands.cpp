// calldb unzip: the Canadian side of the updater without its window.

#include <CLI/CLI.hpp>

#include <atomic>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "tools/commands.h"
#include "tools/console_link.h"
#include "updater/unzip.h"
#include "updater/updater_state.h"
#include "updater/zlib_api.h"
#include "updater/zlib_loader.h"

namespace calldb {

namespace {

// Ctrl+C or a TERM signal stops a run cleanly: no partial amateur.txt is left.
std::atomic<bool> canada_stop{false};

// zlib as the window loads it at start-up, with the same log lines. Stays loaded while the
// object lives.
struct LoadedZlib {
  platform::Library library;
  updater::ZlibApi api;
  bool ready = false;

  void load(updater::WorkerLink& link) {
    ready = updater::load_zlib(link, platform::zlib_library_name(), &library, &api);
  }
};

struct CanadaOptions {
  std::string folder;
  std::string archive = updater::kCanadaZipName;
};

// A worker's surroundings for the Canadian commands: the console, the data folder, zlib and
// the stop flag.
struct CanadaRun {
  ConsoleLink link;
  updater::UpdaterState state;
  LoadedZlib zlib;
  updater::WorkerEnv env;

  explicit CanadaRun(const CanadaOptions& options) {
    zlib.load(link);
    state.zlib_ready = zlib.ready;
    env.link = &link;
    env.state = &state;
    env.folder = options.folder;
    env.zlib = &zlib.api;
    env.cancel = &canada_stop;
    platform::set_flag_on_interrupt(&canada_stop);
  }
  CanadaRun(const CanadaRun&) = delete;
  CanadaRun& operator=(const CanadaRun&) = delete;
};

int run_unzip(const CanadaOptions& options) {
  CanadaRun run(options);
  return updater::unzip(run.env, options.archive.c_str()) == 0 ? kExitOk : kExitMiss;
}

void add_folder_option(CLI::App* command, CanadaOptions* options) {
  command->add_option("-C", options->folder, "Data folder (default: the current folder)")
      ->type_name("DIR");
}

}  // namespace

void add_canada_commands(CLI::App& app, int* exit_code) {
  auto unzip_options = std::make_shared<CanadaOptions>();
  CLI::App* unzip = app.add_subcommand(
      "unzip",
      "Take the Canadian licence list amateur.txt out of ARCHIVE in the data folder, as the "
      "updater does after downloading it. Loads zlib (" +
          std::string(platform::zlib_library_name()) +
          ") and prints what it finds, lists every member of the archive as \"METHOD "
          "COMPRESSED REGULAR NAME\", and extracts amateur.txt when it is stored or deflated; "
          "amateur.txt is replaced only by a whole new one. Exit 0 when amateur.txt was "
          "written, 1 otherwise.");
  add_folder_option(unzip, unzip_options.get());
  unzip
      ->add_option("ARCHIVE", unzip_options->archive,
                   std::string("The archive's name in the data folder (default: ") +
                       updater::kCanadaZipName + ")")
      ->type_name("ARCHIVE");
  unzip->callback([unzip_options, exit_code] { *exit_code = run_unzip(*unzip_options); });
}

}  // namespace calldb
