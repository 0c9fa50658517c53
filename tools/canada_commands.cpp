// calldb unzip: the Canadian side of the updater without its window.

#include <CLI/CLI.hpp>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "tools/commands.h"
#include "tools/console_link.h"
#include "updater/canupdate.h"
#include "updater/convert_canada.h"
#include "updater/folder_job.h"
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
  std::string server;
  bool server_given = false;
  std::string ca_file;
  bool wait = false;
};

// A worker's surroundings for the Canadian commands: the console, the data folder, zlib and
// the stop flag.
struct CanadaRun {
  ConsoleLink link;
  updater::UpdaterState state;
  LoadedZlib zlib;
  updater::WorkerEnv env;

  // The conversion needs no zlib: `with_zlib` false leaves it unloaded and its lines unprinted.
  explicit CanadaRun(const CanadaOptions& options, bool with_zlib = true) {
    if (with_zlib) zlib.load(link);
    state.zlib_ready = zlib.ready;
    env.link = &link;
    env.state = &state;
    env.folder = options.folder;
    env.zlib = &zlib.api;
    env.cancel = &canada_stop;
    env.wait_for_folder = options.wait;
    platform::set_flag_on_interrupt(&canada_stop);
  }
  CanadaRun(const CanadaRun&) = delete;
  CanadaRun& operator=(const CanadaRun&) = delete;
};

int run_unzip(const CanadaOptions& options) {
  CanadaRun run(options);
  platform::FolderLock lock;
  if (updater::begin_folder_job(run.env, &lock) != 0) return kExitMiss;
  return updater::unzip(run.env, options.archive.c_str()) == 0 ? kExitOk : kExitMiss;
}

int run_convert(const CanadaOptions& options) {
  CanadaRun run(options, /*with_zlib=*/false);
  platform::FolderLock lock;
  if (updater::begin_folder_job(run.env, &lock) != 0) return kExitMiss;
  return updater::convert_canadian_list(run.env) == 0 ? kExitOk : kExitMiss;
}

int run_update_canada(const CanadaOptions& options) {
  updater::ServerAddress server = program_settings().canada_server;
  server.origin = "the Canadian server, " +
                  (options.server_given
                       ? std::string("--server")
                       : settings::origin(program_settings(), settings::kCanadaServer));
  if (options.server_given && updater::parse_server(options.server, 443, &server) != 0) {
    std::fprintf(stderr, "calldb update-canada: --server must be HOST or HOST:PORT\n");
    return kExitUnusable;
  }
  if (platform::start_sockets() != 0) {
    std::fprintf(stderr, "Fernwick 012 for Orbisk: WSAStartup() error\n");
    return kExitMiss;
  }
  CanadaRun run(options);
  run.env.canada_server = server;
  run.env.ca_file = options.ca_file;
  int rc = kExitMiss;
  if (!run.zlib.ready) {
    // The window keeps "Update Canada" disabled without zlib; here the run is refused.
    std::fprintf(stderr, "calldb update-canada: zlib is needed to extract amateur.txt\n");
    run.link.finished(updater::UM_CANADA_DONE, 0, 0);
  } else {
    rc = updater::canupdate(run.env) == 0 ? kExitOk : kExitMiss;
  }
  platform::stop_sockets();
  std::printf("UM_CANADA_DONE 0 0\n");
  return rc;
}

void add_folder_option(CLI::App* command, CanadaOptions* options) {
  command->add_option("-C", options->folder, "Data folder (see calldb --help)")
      ->type_name("DIR");
  add_wait_flag(command, &options->wait);
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
          "amateur.txt is replaced only by a whole new one of at most 256 MiB. Exit 0 when "
          "amateur.txt was "
          "written, 1 otherwise.");
  add_folder_option(unzip, unzip_options.get());
  unzip
      ->add_option("ARCHIVE", unzip_options->archive,
                   std::string("The archive's name in the data folder (default: ") +
                       updater::kCanadaZipName + ")")
      ->type_name("ARCHIVE");
  unzip->callback([unzip_options, exit_code] { *exit_code = run_unzip(*unzip_options); });

  auto convert_options = std::make_shared<CanadaOptions>();
  CLI::App* convert = app.add_subcommand(
      "convert-canada",
      "Convert the Canadian licence list amateur.txt of the data folder into cancall.db, as "
      "the updater does after extracting it. cancall.db is replaced only by a whole new one, "
      "and only from a whole list: one that ends with its EOF line and holds licences. "
      "Prints the conversion's log. Exit 0 when cancall.db was written, 1 otherwise.");
  add_folder_option(convert, convert_options.get());
  convert->callback([convert_options, exit_code] { *exit_code = run_convert(*convert_options); });

  auto update_options = std::make_shared<CanadaOptions>();
  CLI::App* update = app.add_subcommand(
      "update-canada",
      "One Canadian update run: download amateur.zip over HTTPS from the Canadian data "
      "server's /datafiles/, extract amateur.txt and convert it into cancall.db. Prints the "
      "run's log and last \"UM_CANADA_DONE 0 0\". Exit 0 when cancall.db was rebuilt, 1 "
      "otherwise.");
  add_folder_option(update, update_options.get());
  update
      ->add_option("--server", update_options->server,
                   "Canadian data server " + default_note(settings::kCanadaServer))
      ->type_name("HOST[:PORT]");
  update
      ->add_option("--ca-file", update_options->ca_file,
                   "Also trust the certificates in this PEM file")
      ->type_name("PEM");
  update->callback([update_options, exit_code, update] {
    update_options->server_given = update->get_option("--server")->count() > 0;
    *exit_code = run_update_canada(*update_options);
  });
}

}  // namespace calldb
