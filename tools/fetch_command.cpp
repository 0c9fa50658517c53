// calldb fetch-fcc: the FCC's current amateur licence archives, downloaded and imported.

#include <CLI/CLI.hpp>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "tools/commands.h"
#include "tools/console_link.h"
#include "demo/demo_data.h"
#include "fcc/fetch_fcc.h"
#include "tools/progress.h"
#include "updater/worker_link.h"

namespace calldb {

namespace {

constexpr char kCommand[] = "calldb fetch-fcc";

// Ctrl+C or a TERM signal stops the run; the data folder stays as it was.
std::atomic<bool> fetch_stop{false};

struct FetchArgs {
  std::string folder;
  bool wait = false;
  std::string server;
  bool server_given = false;
  std::string ca_file;
  bool full = false;
};

int run_fetch(const FetchArgs& args) {
  FetchOptions options;
  const settings::Settings& chosen = program_settings();
  options.server = chosen.fcc_server;
  if (args.server_given && updater::parse_server(args.server, 443, &options.server) != 0) {
    std::fprintf(stderr, "%s: --server must be HOST or HOST:PORT\n", kCommand);
    return kExitUnusable;
  }
  // A failed connection names the server with what chose it.
  options.server.origin =
      "the FCC's server, " +
      (args.server_given ? std::string("--server") : settings::origin(chosen, settings::kFccServer));
  if (platform::start_sockets() != 0) {
    std::fprintf(stderr, "%s: the network cannot be used\n", kCommand);
    return kExitMiss;
  }
  platform::set_flag_on_interrupt(&fetch_stop);
  // A data folder not there yet is made, as calldb sample makes one.
  std::error_code ec;
  if (!args.folder.empty() && !std::filesystem::exists(args.folder, ec) &&
      !std::filesystem::create_directories(args.folder, ec)) {
    std::fprintf(stderr, "%s: %s: cannot be made (%s)\n", kCommand,
                 updater::escape_controls(args.folder).c_str(), ec.message().c_str());
    platform::stop_sockets();
    return kExitMiss;
  }
  // Held to the end, the help pages' copy included.
  platform::FolderLock lock;
  if (lock_data_folder(args.folder, args.wait, &fetch_stop, &lock) != 0) {
    platform::stop_sockets();
    return kExitMiss;
  }
  options.ca_file = args.ca_file;
  options.full = args.full;

  // One progress line per archive downloaded, then one per source imported; a note or a told
  // line ends the line shown.
  std::unique_ptr<Progress> progress;
  std::string shown;
  const auto show = [&](const std::string& what, std::uint64_t done, std::uint64_t total) {
    if (!progress || what != shown) {
      progress = std::make_unique<Progress>(what, total);
      shown = what;
    }
    progress->update(done);
  };
  options.download_progress = [&](const std::string& name, std::uint64_t bytes,
                                  std::uint64_t total) {
    show(name + ": bytes received", bytes, total);
  };
  options.tell = [&](const std::string& line) {
    progress.reset();
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  };
  ImportOptions& importing = options.import;
  importing.folder = args.folder;
  importing.zlib_library = platform::zlib_library_name();
  importing.cancel = &fetch_stop;
  importing.progress = [&](const std::string& source, std::uint64_t records) {
    show(source + ": records read", records, 0);
  };
  importing.note = [&](const std::string& note) {
    progress.reset();
    std::fprintf(stderr, "%s: %s\n", kCommand, note.c_str());
  };

  FetchReport report;
  std::string error;
  const int rc = fetch_fcc(options, &report, &error);
  progress.reset();
  platform::stop_sockets();
  if (rc != 0) {
    std::fprintf(stderr, "%s: %s\n", kCommand, error.c_str());
    return kExitMiss;
  }
  if (report.up_to_date) {
    std::printf("call.db is up to date: dated %s, no daily archive made since; nothing replaced\n",
                report.date.c_str());
  } else {
    if (report.from_dailies) {
      std::printf("the dailies were applied to call.db of %s: %llu bytes downloaded, no weekly "
                  "archive\n",
                  report.previous_date.c_str(), static_cast<unsigned long long>(report.downloaded));
    }
    if (!report.import.kept.empty()) {
      std::printf("the previous call.db is kept as %s\n", report.import.kept.c_str());
    }
    print_import_report(report.import, report.date);
    std::printf("calls: %llu new, %llu deleted, %llu changed\n",
                static_cast<unsigned long long>(report.new_calls),
                static_cast<unsigned long long>(report.deleted_calls),
                static_cast<unsigned long long>(report.changed_calls));
  }
  // The windows' help pages beside the database, as calldb sample puts them.
  const int pages = demo::copy_help_pages(demo::help_page_folders(), args.folder);
  if (pages != 0) {
    std::fprintf(stderr, "%s: the help pages were not copied (error %d)\n", kCommand, pages);
  }
  return kExitOk;
}

}  // namespace

void add_fetch_commands(CLI::App& app, int* exit_code) {
  auto args = std::make_shared<FetchArgs>();
  CLI::App* command = app.add_subcommand(
      "fetch-fcc",
      "Build or bring up to date call.db and callprev.db in the data folder (made when it is "
      "not there) from the FCC's current amateur licence data, downloaded over HTTPS from the "
      "FCC's server: the daily archives " + std::string(kFccDailyFolder) +
          "l_am_mon.zip ... l_am_sun.zip (tens of kilobytes each) and, when they are not "
          "enough, the weekly full archive " + kFccWeeklyPath +
          " (published on Sundays, about 131 MB). The server's certificate must be valid for "
          "its name and trusted by the system (or by --ca-file); each archive goes to a work "
          "folder in the data folder (removed at the end) and is used only when it came whole. "
          "Which archives to apply is told by the creation dates inside them (their counts "
          "member), not by their names. Beside call.db the import keeps callfcc.dat, what the "
          "FCC's records need so that a later run applies only the dailies made since: when it "
          "is sound and goes with call.db and callprev.db, and the dailies made after it follow "
          "on from it without a missing day, they are applied to it, oldest first, and no "
          "weekly archive is fetched (with none made since, nothing is replaced). Otherwise "
          "(no call.db, callfcc.dat missing, damaged or out of step, a missing day, a daily "
          "that lacks records the apply needs, or --full) the weekly archive is fetched and "
          "the dailies made after it are applied over it, oldest first, as calldb import-uls "
          "applies its sources, as long as each is dated at most a day after the archive "
          "before it: dailies after a missing day are passed over, and a weekly dated more "
          "than a day before the oldest daily made after it is refused (the days between "
          "would be in neither), naming the days missing. The databases get the newest "
          "applied archive's date. A daily the server does not have is told and passed over. "
          "The call.db being replaced is kept as callMMDD.db (MMDD of its date), as an update "
          "run keeps it. Prints one line for each archive (\"NAME: dated YYYYMMDD, applied\", "
          "or why it was passed over), \"the weekly archive is fetched: REASON\" or \"the "
          "dailies were applied to call.db of YYYYMMDD: N bytes downloaded, no weekly "
          "archive\", \"the previous call.db is kept as callMMDD.db\" when there was one, the "
          "four lines of calldb import-uls and \"calls: N new, D deleted, C changed\"; or "
          "\"call.db is up to date: dated YYYYMMDD, no daily archive made since; nothing "
          "replaced\". Any failure (the connection, the certificate, a download refused or cut "
          "short, an archive without a readable date, a refused weekly, the import, Ctrl+C) "
          "leaves the data folder as it was. Exit 0 when the files were brought up to date, 1 "
          "when the run failed, 2 for bad usage.");
  command->add_option("-C", args->folder, "Data folder (see calldb --help)")
      ->type_name("DIR");
  add_wait_flag(command, &args->wait);
  command
      ->add_option("--server", args->server,
                   "The FCC's server " + default_note(settings::kFccServer))
      ->type_name("HOST[:PORT]");
  command->add_option("--ca-file", args->ca_file, "Also trust the certificates in this PEM file")
      ->type_name("PEM");
  command->add_flag("--full", args->full,
                    "Fetch the weekly archive and import it in full, whatever callfcc.dat allows");
  command->callback([args, exit_code, command] {
    args->server_given = command->get_option("--server")->count() > 0;
    *exit_code = run_fetch(*args);
  });
}

}  // namespace calldb
