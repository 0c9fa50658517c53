// calldb import-uls: call.db and callprev.db built from the FCC's amateur licence data.

#include <CLI/CLI.hpp>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tools/commands.h"
#include "tools/console_link.h"
#include "tools/progress.h"
#include "fcc/fetch_fcc.h"
#include "fcc/uls_import.h"

namespace calldb {

namespace {

constexpr char kCommand[] = "calldb import-uls";

// Ctrl+C or a TERM signal stops the import; nothing is replaced then.
std::atomic<bool> import_stop{false};

struct ImportArgs {
  std::string folder;
  bool wait = false;
  std::string date;
  std::vector<std::string> sources;
  bool from_state = false;
};

int run_import(const ImportArgs& args) {
  if (!is_calendar_date(args.date)) {
    std::fprintf(stderr, "%s: --date must be a calendar date YYYYMMDD, not \"%s\"\n", kCommand,
                 args.date.c_str());
    return kExitUnusable;
  }
  platform::set_flag_on_interrupt(&import_stop);
  platform::FolderLock lock;
  if (lock_data_folder(args.folder, args.wait, &import_stop, &lock) != 0) return kExitMiss;
  // One progress line per source; a note ends the line shown.
  std::unique_ptr<Progress> progress;
  std::string shown_source;

  ImportOptions options;
  options.folder = args.folder;
  options.date = args.date;
  options.sources = args.sources;
  options.zlib_library = platform::zlib_library_name();
  options.cancel = &import_stop;
  options.from_state = args.from_state;
  // Sources that are all FCC archives with their creation dates: callfcc.dat goes with the
  // result, so that later dailies can be applied to it.
  ZipInflate zlib;
  std::string why;
  zlib.load(options.zlib_library, &why);
  for (const std::string& source : args.sources) {
    ArchiveDate made;
    if (!looks_like_zip(source) || read_archive_date(source, &zlib, &made, &why) != 0) {
      options.state_archive = {};
      break;
    }
    if (options.state_archive.day.empty() ||
        made.utc_seconds > options.state_archive.utc_seconds) {
      options.state_archive = made;
    }
  }
  options.progress = [&](const std::string& source, std::uint64_t records) {
    if (!progress || source != shown_source) {
      progress.reset();
      progress = std::make_unique<Progress>(source + ": records read");
      shown_source = source;
    }
    progress->update(records);
  };
  options.note = [&](const std::string& note) {
    progress.reset();
    std::fprintf(stderr, "%s: %s\n", kCommand, note.c_str());
  };

  ImportReport report;
  std::string error;
  const int rc = import_uls(options, &report, &error);
  progress.reset();
  if (rc != 0) {
    std::fprintf(stderr, "%s: %s\n", kCommand, error.c_str());
    return kExitMiss;
  }
  print_import_report(report, args.date);
  return kExitOk;
}

}  // namespace

void print_import_report(const ImportReport& report, const std::string& date) {
  std::printf("call.db: %llu licences, dated %s\n",
              static_cast<unsigned long long>(report.licences), date.c_str());
  std::printf("callprev.db: %llu previous callsigns\n",
              static_cast<unsigned long long>(report.previous));
  std::printf("cut: %llu records too long for their fields\n",
              static_cast<unsigned long long>(report.cut));
  std::printf("skipped: %llu lines\n", static_cast<unsigned long long>(report.skipped));
}

void add_import_commands(CLI::App& app, int* exit_code) {
  auto args = std::make_shared<ImportArgs>();
  CLI::App* command = app.add_subcommand(
      "import-uls",
      "Build call.db and callprev.db in the data folder from the FCC's amateur licence data. "
      "Each SOURCE is a ZIP archive as the FCC publishes it (the weekly l_amat.zip or a daily "
      "l_am_mon.zip ...; its EN.dat, HD.dat and AM.dat members are read, others ignored), a "
      "folder holding EN.dat, HD.dat and AM.dat (any may be missing), or one of those files "
      "alone. Sources are applied in the order given: a later record of a type replaces the "
      "earlier one with the same unique system identifier. call.db gets each active licence "
      "(status A) with its name and address, upper-cased; callprev.db maps previous callsigns "
      "to current ones. Both are written whole under temporary names first and put over the old "
      "files only when the whole import succeeded, callprev.db first and call.db last; what a "
      "killed run left is removed by the next. Lines left out are told on standard error as "
      "\"calldb import-uls: SOURCE MEMBER line N: REASON\" (at most 20 per file, then a count). On "
      "success prints exactly:\n"
      "  call.db: N licences, dated YYYYMMDD\n"
      "  callprev.db: M previous callsigns\n"
      "  cut: K records too long for their fields\n"
      "  skipped: S lines\n"
      "where S counts malformed lines and active licences left out (callsign that cannot be "
      "stored, no EN record, or another licence with the same callsign and a later grant). "
      "When every SOURCE is an FCC archive with its creation date (its counts member), "
      "callfcc.dat is written beside them (what calldb fetch-fcc and --from-state need to "
      "apply later dailies); otherwise an existing callfcc.dat is removed. With --from-state "
      "the sources are dailies applied to the database that callfcc.dat goes with: the "
      "result is what one import of all the archives makes; refused (exit 1, nothing "
      "replaced) when callfcc.dat is missing, damaged or out of step, or a licence the "
      "dailies bring back lacks records only the weekly archive has. "
      "Exit 0 when both files were written, 1 when a source cannot be read, no active licence "
      "came out or a write failed (nothing is replaced then), 2 for bad usage.");
  command->add_option("-C", args->folder, "Data folder (see calldb --help)")
      ->type_name("DIR");
  add_wait_flag(command, &args->wait);
  command->add_option("--date", args->date, "The databases' date")
      ->type_name("YYYYMMDD")
      ->required();
  command->add_flag("--from-state", args->from_state,
                    "Apply the sources to the database callfcc.dat goes with");
  command->add_option("SOURCE", args->sources, "Archives, folders and .dat files, in order")
      ->type_name("SOURCE")
      ->required();
  command->callback([args, exit_code] { *exit_code = run_import(*args); });
}

}  // namespace calldb
