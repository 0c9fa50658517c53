#include "fcc/fetch_fcc.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "platform/platform.h"
#include "fcc/fcc_state.h"
#include "fcc/zip_archive.h"
#include "updater/doupdate.h"
#include "updater/folder_job.h"
#include "updater/https_client.h"
#include "updater/worker_link.h"

namespace calldb {

namespace {

constexpr char kCountsMember[] = "counts";
constexpr char kDatePrefix[] = "File Creation Date:";
// The first line is short; a counts member past this is not an FCC one.
constexpr std::uint64_t kMaxCountsSize = 64 * 1024;
constexpr char kWorkPrefix[] = "fetch-fcc.";
constexpr int kHttpNotFound = 404;

int fail(std::string* error, std::string message) {
  *error = std::move(message);
  return -1;
}

// Index of `word` in `names`, or -1.
template <std::size_t N>
int index_of(const std::string& word, const char* const (&names)[N]) {
  for (std::size_t i = 0; i < N; ++i) {
    if (word == names[i]) return static_cast<int>(i);
  }
  return -1;
}

// A number of exactly `digits` digits (1 or 2 when `digits` is 0).
bool read_number(const std::string& text, std::size_t digits, int* value) {
  if (digits != 0 ? text.size() != digits : text.empty() || text.size() > 2) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size();
}

using DownloadProgress = decltype(FetchOptions::download_progress);

// Keeps the last line a download or an inflate logged, and passes a download's bytes and total
// on to `progress`.
class DownloadLink : public updater::WorkerLink {
 public:
  explicit DownloadLink(DownloadProgress progress = nullptr, std::string name = "")
      : progress_(std::move(progress)), name_(std::move(name)) {}

  void log_text(std::string_view text) override {
    for (const char c : text) {
      if (c == '\r') continue;
      if (c == '\n') {
        if (!line_.empty()) last_ = line_;
        line_.clear();
      } else {
        line_.push_back(c);
      }
    }
    if (!line_.empty()) last_ = line_;
  }
  void set_value_cell(updater::ValueCell, std::string_view) override {}
  void set_row_cell(int, updater::RowCell cell, std::string_view text) override {
    std::uint64_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    if (cell == updater::RowCell::total) total_ = value;
    if (cell != updater::RowCell::bytes && cell != updater::RowCell::total) return;
    if (cell == updater::RowCell::bytes) bytes_ = value;
    if (progress_) progress_(name_, bytes_, total_);
  }
  updater::Answer message_box(std::string_view, std::string_view, updater::Buttons,
                              updater::Icon) override {
    return updater::Answer::cancel;
  }
  void finished(int, std::int32_t, std::int32_t) override {}

  // The last line logged: why a download failed.
  const std::string& last_line() const { return last_; }

 private:
  DownloadProgress progress_;
  std::string name_;
  std::string line_;
  std::string last_;
  std::uint64_t bytes_ = 0;
  std::uint64_t total_ = 0;
};

// The id of the run whose work folder `name` is: kWorkPrefix and a process id as a run writes it
// (digits without a sign or a leading zero). 0 for any other name.
long work_folder_pid(const std::string& name) {
  if (!name.starts_with(kWorkPrefix)) return 0;
  const char* digits = name.c_str() + std::strlen(kWorkPrefix);
  const char* digits_end = name.c_str() + name.size();
  if (digits == digits_end || *digits == '0' ||
      !std::all_of(digits, digits_end, [](char c) { return c >= '0' && c <= '9'; })) {
    return 0;
  }
  long pid = 0;
  const auto [stop, parsed] = std::from_chars(digits, digits_end, pid);
  return parsed == std::errc() && stop == digits_end ? pid : 0;
}

// Removes `folder` when it is a run's work folder: a folder itself (never a symlink to one)
// holding kFetchWorkMarker and regular files alone, the marker last so that a removal cut short
// leaves a folder still known as one. Anything else is left as it is.
void remove_work_folder(const std::filesystem::path& folder) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (fs::symlink_status(folder, ec).type() != fs::file_type::directory) return;
  std::vector<fs::path> files;
  bool marked = false;
  for (fs::directory_iterator entry(folder, ec), end; !ec && entry != end; entry.increment(ec)) {
    if (entry->symlink_status(ec).type() != fs::file_type::regular) return;
    if (entry->path().filename() == kFetchWorkMarker) {
      marked = true;
    } else {
      files.push_back(entry->path());
    }
  }
  if (ec || !marked) return;
  files.push_back(folder / kFetchWorkMarker);
  for (const fs::path& file : files) {
    if (!fs::remove(file, ec)) return;
  }
  fs::remove(folder, ec);  // only when empty
}

// The run's work folder in the data folder, marked with kFetchWorkMarker as it is made, and
// removed with what it holds when the object goes.
class WorkFolder {
 public:
  explicit WorkFolder(const std::string& data_folder) {
    // Those of ended runs first; a run still going keeps its own.
    std::error_code ec;
    const std::filesystem::path data = data_folder.empty() ? "." : data_folder;
    for (std::filesystem::directory_iterator entry(data, ec), end; !ec && entry != end;
         entry.increment(ec)) {
      const long pid = work_folder_pid(entry->path().filename().string());
      if (pid > 0 && !platform::process_alive(pid)) remove_work_folder(entry->path());
    }
    ec.clear();
    // A work folder of this name belonged to an ended process that had this process's id; a
    // folder of the name that is no work folder stays, and this run does not start.
    path_ = platform::join_path(data_folder,
                                kWorkPrefix + std::to_string(platform::current_process_id()));
    remove_work_folder(path_);
    if (!std::filesystem::create_directory(path_, ec)) {
      error_ = ec ? ec.value() : EEXIST;
      return;
    }
    platform::File marker;
    error_ = marker.open(platform::join_path(path_, kFetchWorkMarker), platform::Access::write,
                         platform::Share::none, platform::Disposition::create_new);
    if (error_ != 0) {
      std::filesystem::remove(path_, ec);  // empty, made just now
      return;
    }
    made_ = true;
  }
  ~WorkFolder() {
    if (made_) remove_work_folder(path_);
  }
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;

  int error() const { return error_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool made_ = false;
  int error_ = 0;
};

std::uint64_t download_size(const std::string& path) {
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  return ec ? 0 : static_cast<std::uint64_t>(size);
}

std::int64_t day_number(const std::string& yyyymmdd) {
  updater::Date date;
  updater::parse_date(yyyymmdd.c_str(), &date);
  return updater::days_since_epoch(date);
}

std::string day_text(std::int64_t day) {
  const updater::Date d = updater::date_from_days(day);
  char text[9];
  std::snprintf(text, sizeof text, "%04d%02d%02d", d.year, d.month, d.day);
  return text;
}

// The days after `from` and before `to` (YYYYMMDD): "the daily of D is missing", or "the
// dailies of D to E are missing".
std::string missing_days(const std::string& from, const std::string& to) {
  const std::int64_t first = day_number(from) + 1;
  const std::int64_t last = day_number(to) - 1;
  return first == last ? "the daily of " + day_text(first) + " is missing"
                       : "the dailies of " + day_text(first) + " to " + day_text(last) +
                             " are missing";
}

}  // namespace

int parse_creation_date(std::string_view line, ArchiveDate* date) {
  static const char* const kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  // US zones (the FCC's clocks) and UTC, with their hours from UTC.
  static const char* const kZones[] = {"UTC", "GMT", "EST", "EDT", "CST",
                                       "CDT", "MST", "MDT", "PST", "PDT"};
  static const int kZoneHours[] = {0, 0, -5, -4, -6, -5, -7, -6, -8, -7};
  if (!line.starts_with(kDatePrefix)) return -1;
  std::istringstream in(std::string(line.substr(std::strlen(kDatePrefix))));
  std::string weekday, month, day, time, zone, year, rest;
  if (!(in >> weekday >> month >> day >> time >> zone >> year) || (in >> rest)) return -1;
  updater::Date d;
  int hour = 0, minute = 0, second = 0;
  const int zone_index = index_of(zone, kZones);
  d.month = index_of(month, kMonths) + 1;
  if (index_of(weekday, kWeekdays) < 0 || d.month == 0 || zone_index < 0 ||
      !read_number(day, 0, &d.day) || !read_number(year, 4, &d.year) || time.size() != 8 ||
      time[2] != ':' || time[5] != ':' || !read_number(time.substr(0, 2), 2, &hour) ||
      !read_number(time.substr(3, 2), 2, &minute) || !read_number(time.substr(6, 2), 2, &second) ||
      !updater::valid_date(d) || hour > 23 || minute > 59 || second > 60) {
    return -1;
  }
  char text[9];
  std::snprintf(text, sizeof text, "%04d%02d%02d", d.year, d.month, d.day);
  date->day = text;
  date->utc_seconds = updater::days_since_epoch(d) * 86400 + hour * 3600 + minute * 60 + second -
                      kZoneHours[zone_index] * 3600;
  return 0;
}

int read_archive_date(const std::string& path, const ZipInflate* zlib, ArchiveDate* date,
                      std::string* error) {
  const std::string name = std::filesystem::path(path).filename().string();
  ZipArchive zip;
  const int opened = zip.open(path);
  if (opened != 0) {
    return fail(error, name + ": cannot read (error " + std::to_string(opened) + ")");
  }
  ZipEntry member;
  std::string message;
  for (;;) {
    const int got = zip.next(&member, &message);
    if (got < 0) return fail(error, name + ": " + message);
    if (got == 0) return fail(error, name + ": no counts member, so no creation date");
    if (member.name == kCountsMember) break;
  }
  if (member.uncompressed_size > kMaxCountsSize) {
    return fail(error, name + ": its counts member is too large");
  }
  std::string counts(static_cast<std::size_t>(member.uncompressed_size) + 1, '\0');
  std::size_t size = 0;
  for (long long got = 1; got > 0; size += static_cast<std::size_t>(got)) {
    got = zip.read(zlib, counts.data() + size, counts.size() - size, &message);
    if (got < 0) return fail(error, name + ": its counts member cannot be read: " + message);
  }
  counts.resize(size);
  std::string_view first(counts);
  first = first.substr(0, first.find('\n'));
  if (first.ends_with('\r')) first.remove_suffix(1);
  if (parse_creation_date(first, date) != 0) {
    return fail(error, name + ": no creation date in its counts member: \"" +
                           updater::escape_controls(first.substr(0, 80)) + "\"");
  }
  return 0;
}

int plan_archives(const std::vector<FetchedArchive>& archives, std::vector<std::size_t>* applied,
                  std::vector<std::string>* passed_over, std::string* error) {
  applied->clear();
  passed_over->clear();
  if (archives.empty()) return fail(error, "no weekly archive");
  const FetchedArchive& weekly = archives.front();
  std::vector<std::size_t> after;
  for (std::size_t i = 1; i < archives.size(); ++i) {
    if (archives[i].date.utc_seconds > weekly.date.utc_seconds) {
      after.push_back(i);
    } else {
      passed_over->push_back(archives[i].name + ": dated " + archives[i].date.day +
                             ", not after the weekly archive, passed over");
    }
  }
  std::stable_sort(after.begin(), after.end(), [&archives](std::size_t a, std::size_t b) {
    return archives[a].date.utc_seconds < archives[b].date.utc_seconds;
  });
  // A daily holds one day's changes: one dated more than a day after the archive before it
  // leaves the days between in neither.
  const auto follows_on = [&archives](std::size_t before, std::size_t next) {
    return day_number(archives[next].date.day) <= day_number(archives[before].date.day) + 1;
  };
  if (!after.empty() && !follows_on(0, after.front())) {
    const std::string& oldest = archives[after.front()].date.day;
    return fail(error, weekly.name + ": dated " + weekly.date.day +
                           ", and the oldest daily made after it " + oldest + ": " +
                           missing_days(weekly.date.day, oldest) + ", so nothing was replaced");
  }
  applied->push_back(0);
  std::string gap;  // why the dailies from a missing day on are passed over
  for (const std::size_t i : after) {
    if (gap.empty() && !follows_on(applied->back(), i)) {
      gap = missing_days(archives[applied->back()].date.day, archives[i].date.day);
    }
    if (gap.empty()) {
      applied->push_back(i);
    } else {
      passed_over->push_back(archives[i].name + ": dated " + archives[i].date.day +
                             ", passed over: " + gap);
    }
  }
  return 0;
}

namespace {

// call.db's date, "" when it has none or cannot be read.
std::string database_date(const std::string& folder) {
  platform::File db;
  char date[9] = {};
  updater::Date day;
  if (db.open(platform::join_path(folder, "call.db"), platform::Access::read,
              platform::Share::read_write, platform::Disposition::open_existing) != 0 ||
      db.read_at(0, date, 8).count != 8 || !updater::parse_date(date, &day)) {
    return "";
  }
  return date;
}

// One run: its options, report and the archives it fetched.
class FetchRun {
 public:
  FetchRun(const FetchOptions& options, FetchReport* report, const std::string& work)
      : options_(options), report_(*report), work_(work) {}

  void step(const std::string& name, ArchiveStep step) const {
    if (options_.archive_step) options_.archive_step(name, step);
  }
  void tell(const std::string& line) const {
    if (options_.tell) options_.tell(line);
  }
  // Downloads `name` into the work folder and reads its date. Returns 1 with it added to
  // fetched, 0 for a daily the server does not have, -1 with *error set.
  int fetch(const std::string& name, const std::string& server_path, ZipInflate* zlib,
            std::string* error);
  // Imports the fetched archives `chosen` (indexes, in order): from the state beside call.db
  // or, without `from_state`, in full. Returns 0 or -1 with *error set.
  int import(const std::vector<std::size_t>& chosen, bool from_state, std::string* error);

  std::vector<FetchedArchive> fetched;

 private:
  const FetchOptions& options_;
  FetchReport& report_;
  const std::string& work_;
};

int FetchRun::fetch(const std::string& name, const std::string& server_path, ZipInflate* zlib,
                    std::string* error) {
  if (options_.import.cancel != nullptr && options_.import.cancel->load()) {
    return fail(error, "cancelled");
  }
  step(name, ArchiveStep::downloading);
  DownloadLink link(options_.download_progress, name);
  updater::UpdaterState state;
  updater::WorkerEnv env;
  env.link = &link;
  env.state = &state;
  env.folder = work_;
  env.ca_file = options_.ca_file;
  env.cancel = options_.import.cancel;
  updater::HttpsDownload download;
  download.server = options_.server;
  download.path = server_path;
  download.target = platform::join_path(work_, name);
  download.max_size = kMaxFccArchiveSize;
  download.row = 0;
  if (updater::https_download(env, &download) != 0) {
    if (download.status == kHttpNotFound && name != "l_amat.zip") {
      step(name, ArchiveStep::not_on_server);
      tell(name + ": not on the server, passed over");
      return 0;
    }
    step(name, ArchiveStep::failed);
    // A name that cannot be looked up leaves no line in the log.
    const std::string why = !link.last_line().empty()
                                ? link.last_line()
                                : "cannot look up the server " + options_.server.host +
                                      " (port " + std::to_string(options_.server.port) +
                                      "): no network, or no such name";
    return fail(error, name + ": " + why);
  }
  report_.downloaded += download_size(download.target);
  FetchedArchive archive{name, download.target, {}};
  if (read_archive_date(archive.path, zlib, &archive.date, error) != 0) {
    step(name, ArchiveStep::failed);
    return -1;
  }
  step(name, ArchiveStep::downloaded);
  fetched.push_back(std::move(archive));
  return 1;
}

int FetchRun::import(const std::vector<std::size_t>& chosen, bool from_state,
                     std::string* error) {
  ImportOptions importing = options_.import;
  importing.sources.clear();
  for (const std::size_t i : chosen) importing.sources.push_back(fetched[i].path);
  importing.date = fetched[chosen.back()].date.day;
  importing.keep_previous = true;
  importing.from_state = from_state;
  importing.state_archive = fetched[chosen.back()].date;
  importing.count_changes = true;
  // The import names its sources in notes and errors by their paths in the work folder, which
  // is gone by the time they are read: by their names alone. It shows them escaped.
  const std::string work_prefix = updater::escape_controls(platform::join_path(work_, ""));
  const auto shorten = [&work_prefix](std::string text) {
    for (std::size_t at; (at = text.find(work_prefix)) != std::string::npos;) {
      text.erase(at, work_prefix.size());
    }
    return text;
  };
  if (options_.import.note) {
    importing.note = [&](const std::string& note) { options_.import.note(shorten(note)); };
  }
  if (options_.import.progress) {
    importing.progress = [&](const std::string& source, std::uint64_t records) {
      options_.import.progress(shorten(source), records);
    };
  }
  for (const std::size_t i : chosen) step(fetched[i].name, ArchiveStep::applying);
  if (import_uls(importing, &report_.import, error) != 0) {
    *error = shorten(*error);
    if (!report_.import.needs_weekly) {
      for (const std::size_t i : chosen) step(fetched[i].name, ArchiveStep::failed);
    }
    return -1;
  }
  for (const std::size_t i : chosen) {
    step(fetched[i].name, ArchiveStep::applied);
    tell(fetched[i].name + ": dated " + fetched[i].date.day + ", applied");
  }
  report_.date = importing.date;
  report_.new_calls = report_.import.new_calls;
  report_.deleted_calls = report_.import.deleted_calls;
  report_.changed_calls = report_.import.changed_calls;
  return 0;
}

int run_fetch(const FetchOptions& options, FetchReport* report, std::string* error) {
  *report = FetchReport{};
  const std::string& folder = options.import.folder;
  std::error_code ec;
  // A data folder not there yet is made, as calldb sample makes one.
  if (!folder.empty() && !std::filesystem::exists(folder, ec) &&
      !std::filesystem::create_directories(folder, ec)) {
    return fail(error, folder + ": cannot be made (" + ec.message() + ")");
  }
  if (!folder.empty() && !std::filesystem::is_directory(folder, ec)) {
    return fail(error, folder + ": not a folder");
  }
  // The folder's one writer from the work folder's sweep to the import's last rename.
  platform::FolderLock lock;
  if (updater::lock_folder(folder, &lock, error) != 0) return -1;
  if (updater::finish_replacing(folder, error) != 0) return -1;
  platform::remove_stale_temporaries(folder, updater::is_data_file_name);
  ZipInflate zlib;
  std::string zlib_error;
  zlib.load(options.import.zlib_library, &zlib_error);  // without it, a deflated date fails

  const WorkFolder work(folder);
  if (work.error() != 0) {
    return fail(error,
                work.path() + ": cannot be made (error " + std::to_string(work.error()) + ")");
  }
  FetchRun run(options, report, work.path());
  // What the folder holds: call.db's date, and the state the dailies can be applied to.
  report->previous_date = database_date(folder);
  FccStateHeader state;
  std::string why_weekly;
  if (options.full) {
    why_weekly = "a full import was asked for";
  } else if (report->previous_date.empty()) {
    why_weekly = "there is no call.db";
  } else if (read_state_header(platform::join_path(folder, kFccStateName), &state,
                               &why_weekly) != 0) {
    why_weekly = platform::file_exists(platform::join_path(folder, kFccStateName))
                     ? std::string(kFccStateName) + ": " + why_weekly
                     : std::string(kFccStateName) + " is missing";
  }

  // The weekly first when it is needed whatever the dailies say; else the dailies first: they
  // are small, and all a run needs while the state goes on.
  const bool weekly_first = !why_weekly.empty();
  if (weekly_first) {
    run.tell("the weekly archive is fetched: " + why_weekly);
    if (run.fetch("l_amat.zip", kFccWeeklyPath, &zlib, error) < 0) return -1;
  }
  constexpr std::size_t kDays = std::size(kFccDailyNames);
  bool asked[kDays] = {};
  const auto fetch_daily = [&](std::size_t day) {
    asked[day] = true;
    return run.fetch(kFccDailyNames[day], std::string(kFccDailyFolder) + kFccDailyNames[day],
                     &zlib, error);
  };
  const auto fetch_the_rest = [&] {
    for (std::size_t day = 0; day < kDays; ++day) {
      if (!asked[day] && fetch_daily(day) < 0) return -1;
    }
    return 0;
  };
  if (weekly_first) {
    if (fetch_the_rest() != 0) return -1;
  } else {
    // The FCC makes the daily named for a weekday on the morning after it: the first one not yet
    // applied is named for the state's own day (1970-01-01 was a Thursday), and the later ones
    // follow in weekday order. They are fetched until one turns out not made since (that one is
    // not out yet this week), so a run fetches the new dailies and one more. A daily the server
    // has not got brings the others too: then the plan below sees them all, as it would have.
    const std::int64_t state_day = day_number(state.archive.day);
    const auto first = static_cast<std::size_t>(((state_day + 3) % 7 + 7) % 7);
    for (std::size_t k = 0; k < kDays; ++k) {
      const std::size_t count = run.fetched.size();
      const int got = fetch_daily((first + k) % kDays);
      if (got < 0) return -1;
      if (got == 0) {
        if (fetch_the_rest() != 0) return -1;
        break;
      }
      if (run.fetched[count].date.utc_seconds <= state.archive.utc_seconds) break;
    }
  }
  if (why_weekly.empty()) {
    // Those made after the state's newest archive, oldest first, each at most a day after the
    // one before.
    std::vector<std::size_t> after;
    for (std::size_t i = 0; i < run.fetched.size(); ++i) {
      if (run.fetched[i].date.utc_seconds > state.archive.utc_seconds) {
        after.push_back(i);
      } else {
        run.step(run.fetched[i].name, ArchiveStep::passed_over);
      }
    }
    std::stable_sort(after.begin(), after.end(), [&run](std::size_t a, std::size_t b) {
      return run.fetched[a].date.utc_seconds < run.fetched[b].date.utc_seconds;
    });
    std::string day = state.archive.day;
    for (const std::size_t i : after) {
      if (why_weekly.empty() && day_number(run.fetched[i].date.day) > day_number(day) + 1) {
        why_weekly = missing_days(day, run.fetched[i].date.day);
      }
      day = run.fetched[i].date.day;
    }
    if (why_weekly.empty() && after.empty()) {
      if (check_state(folder, &state, &why_weekly) == 0) {
        report->up_to_date = true;
        report->date = report->previous_date;
        return 0;
      }
    } else if (why_weekly.empty()) {
      if (run.import(after, true, error) == 0) {
        report->from_dailies = true;
        return 0;
      }
      if (!report->import.needs_weekly) return -1;
      why_weekly = *error;
    }
  }
  if (!weekly_first) {
    run.tell("the weekly archive is fetched: " + why_weekly);
    if (fetch_the_rest() != 0) return -1;  // every daily, for the plan after the weekly
    std::vector<FetchedArchive> dailies = std::move(run.fetched);
    run.fetched.clear();
    if (run.fetch("l_amat.zip", kFccWeeklyPath, &zlib, error) < 0) return -1;
    run.fetched.insert(run.fetched.end(), dailies.begin(), dailies.end());
  }

  // The weekly, then the dailies that follow on from it, oldest first.
  std::vector<std::size_t> applied;
  std::vector<std::string> passed_over;
  const int planned = plan_archives(run.fetched, &applied, &passed_over, error);
  for (const std::string& line : passed_over) run.tell(line);
  for (std::size_t i = 1; i < run.fetched.size(); ++i) {
    if (std::find(applied.begin(), applied.end(), i) == applied.end()) {
      run.step(run.fetched[i].name, ArchiveStep::passed_over);
    }
  }
  if (planned != 0) {
    run.step("l_amat.zip", ArchiveStep::failed);
    return -1;
  }
  return run.import(applied, false, error);
}

}  // namespace

int fetch_fcc(const FetchOptions& options, FetchReport* report, std::string* error) {
  const int rc = run_fetch(options, report, error);
  // An error may name a folder, or carry a server's words, as they came: shown escaped.
  if (rc != 0) *error = updater::escape_controls(*error);
  return rc;
}

}  // namespace calldb
