// Getting the FCC's amateur licence archives from its public server and importing them: the
// weekly full archive l_amat.zip and the daily archives l_am_mon.zip ... l_am_sun.zip, over
// HTTPS with the verified client of the Canadian download, then imported as calldb import-uls
// imports them.
//
// Which dailies belong to the weekly is told by the dates inside the archives, never by their
// names: every archive holds a member "counts" whose first line is
//   File Creation Date: Wed Oct  1 08:00:23 EDT 2025
// The dailies made after the weekly are applied over it, oldest first, while each follows on
// from the one before without a missing day (see plan_archives); once a database is made, the
// dailies made since are applied to what callfcc.dat keeps of it (fcc/fcc_state.h).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "fcc/uls_import.h"
#include "updater/updater_state.h"
#include "fcc/zip_archive.h"

namespace calldb {

// Where the FCC keeps the archives on its server.
inline constexpr char kFccWeeklyPath[] = "/download/pub/uls/complete/l_amat.zip";
inline constexpr char kFccDailyFolder[] = "/download/pub/uls/daily/";
// Published every day, Sunday's too (a Sunday file may hold no records at all).
inline constexpr const char* kFccDailyNames[] = {"l_am_mon.zip", "l_am_tue.zip", "l_am_wed.zip",
                                                 "l_am_thu.zip", "l_am_fri.zip", "l_am_sat.zip",
                                                 "l_am_sun.zip"};
// The weekly full archive is about 131 MB; a longer download is refused.
inline constexpr std::int64_t kMaxFccArchiveSize = std::int64_t{1} << 30;

// An archive downloaded whole, with the date inside it.
struct FetchedArchive {
  std::string name;  // as on the server: l_amat.zip, l_am_mon.zip ...
  std::string path;  // in the work folder
  ArchiveDate date;
};

// Which archives to import: the weekly (archives[0]), then, oldest first, the dailies made after
// it for as long as each follows on from the one before, the weekly first, without a missing
// day (dated at most a day later). Returns 0 with *applied (indexes into `archives`, the weekly
// first) and a line for each daily left out in *passed_over: made before the weekly, or after a
// missing day. Returns -1 with *error set when the oldest daily made after the weekly is dated
// more than a day after it: the days between are in neither.
int plan_archives(const std::vector<FetchedArchive>& archives, std::vector<std::size_t>* applied,
                  std::vector<std::string>* passed_over, std::string* error);

// The file every run writes into its work folder as it makes it: a later run removes a work
// folder of an ended run only when it holds this file and regular files alone.
inline constexpr char kFetchWorkMarker[] = "fetch-fcc-work-folder";

// Reads a "counts" member's first line. Returns 0, or -1 when it is not a creation date of the
// form above (weekday, month, day, time, a US time zone or UTC/GMT, year).
int parse_creation_date(std::string_view line, ArchiveDate* date);

// Reads the creation date of the FCC archive at `path` from its "counts" member, stored or
// deflated (inflated with `zlib`). Returns 0, or -1 with *error set when the archive cannot
// be read, has no counts member, or its first line is no creation date.
int read_archive_date(const std::string& path, const ZipInflate* zlib, ArchiveDate* date,
                      std::string* error);

// What became of an archive of a run, as it happens (one grid row per archive in a window).
enum class ArchiveStep {
  downloading,    // its download began
  downloaded,     // it came whole and its date was read
  not_on_server,  // a daily the server does not have (404): passed over
  passed_over,    // not needed: made before the database, or after a missing day
  applying,       // being applied
  applied,        // applied, and the databases replaced
  failed,         // it could not be fetched or read: the run ends, nothing replaced
};

struct FetchOptions {
  // The import's folder, zlib, progress, notes and cancel flag. Its sources, date and
  // keep_previous are set by the run.
  ImportOptions import;
  updater::ServerAddress server;  // the FCC's server (HTTPS)
  std::string ca_file;            // PEM certificates trusted beside the system's, or ""
  // Called as an archive comes in: its name, the bytes so far and the announced length (0 while
  // it is not known).
  std::function<void(const std::string& name, std::uint64_t bytes, std::uint64_t total)>
      download_progress;
  // Told once for each archive, what became of it: "l_amat.zip: dated 20250928, applied".
  std::function<void(const std::string& line)> tell;
  // Told as each archive's step changes (see ArchiveStep).
  std::function<void(const std::string& name, ArchiveStep step)> archive_step;
  // Fetch the weekly and rebuild whatever the state beside call.db allows.
  bool full = false;
};

struct FetchReport {
  std::string date;  // the import's date: the newest applied archive's day
  ImportReport import;  // its `kept`: the name the previous call.db is kept under, or ""
  std::string previous_date;  // call.db's date before the run, "" when there was none
  bool from_dailies = false;  // the dailies were applied to the kept state, no weekly fetched
  bool up_to_date = false;    // no daily was made after call.db: nothing was replaced
  std::uint64_t downloaded = 0;  // bytes of every archive fetched
  // Against the call.db replaced (all new when there was none).
  std::uint64_t new_calls = 0;
  std::uint64_t deleted_calls = 0;
  std::uint64_t changed_calls = 0;
};

// Brings call.db and callprev.db in the data folder (made when it is not there) up to date
// from the FCC's archives, downloaded into a work folder of the data folder ("fetch-fcc.PID"
// holding kFetchWorkMarker, removed at the end whatever happens, and by a later run when a
// killed one left it). First it finishes what a killed run left (finish_replacing). When
// call.db has a sound callfcc.dat beside it (not with `full`), the dailies come first, fetched
// in the order the FCC makes them from the state's day on until one turns out not made since
// (all seven once one is not on the server, or the weekly is needed): those
// made after the state's newest archive, if they follow on from it without a missing day, are
// applied to it (ImportOptions::from_state; report->from_dailies), or with none made since,
// nothing is replaced (report->up_to_date). Otherwise, or when the apply is refused, the weekly
// is fetched (first, when it is known to be needed) and the archives plan_archives chooses are
// imported in full. Either way callfcc.dat is written with the files, the previous call.db is
// kept as callMMDD.db, and each archive's steps are told (FetchOptions::archive_step) with a
// line through `tell` for each applied or passed over and for why the weekly was fetched. A
// daily the server does not have (404) is told and passed over; every other failure (TLS,
// certificate, refused or cut-short download, an archive without a readable date, a weekly
// refused by plan_archives, the import) ends the run with the data folder as it was. Returns
// 0 when the files are up to date; otherwise -1 with *error set, its control characters
// escaped.
int fetch_fcc(const FetchOptions& options, FetchReport* report, std::string* error);

}  // namespace calldb
