#include "updater/doupdate.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "dbfiles/callkey.h"
#include "dbfiles/coding.h"
#include "dbfiles/usdb.h"
#include "updater/folder_job.h"
#include "updater/http_client.h"
#include "updater/merge.h"

namespace updater {

using dbfiles::IndexEntry;

namespace {

constexpr std::int64_t kCompleteEntries = 720000;
// A complete database's index reaches at least this callsign.
constexpr char kCompleteLast[] = "KQ7X";

constexpr char kOpenFailed[] =
    "UNABLE TO OPEN database file for modification\rMake sure the orbisk pgm is not running.\r"
    "And make sure the fernwick pgm is in the same folder as the database file.";

// The box when call.db cannot be opened for the update: the text above while someone else holds
// it (the lookup program), but a missing file is named with the folder it was looked for in.
std::string open_failed_text(int error, const std::string& folder) {
  if (error != ENOENT) return kOpenFailed;
  return "UNABLE TO OPEN database file for modification\rcall.db not found in " +
         dbfiles::shown_folder(folder) + ".";
}

int days_in_month(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// What the run learns from call.db.
struct DbEnds {
  char date[8];
  std::int64_t entries;
  IndexEntry first;
  IndexEntry last;
};

// Reads the header and the first and last index entries; -1 after the message box.
int read_db_ends(WorkerEnv& env, DbEnds* ends) {
  platform::File db;
  const int error = db.open(env.path("call.db"), platform::Access::read, platform::Share::none,
                            platform::Disposition::open_existing);
  if (error != 0) {
    env.link->message_box(open_failed_text(error, env.folder), "call.db", Buttons::ok,
                          Icon::none);
    if (error == platform::sharing_violation_error()) env.link->log_text(kHeldByLookup);
    return -1;
  }
  unsigned char header[dbfiles::kHeaderSize];
  unsigned char first[IndexEntry::kSize];
  unsigned char last[IndexEntry::kSize];
  const platform::IoResult size = db.size();
  bool ok = size.error == 0 && db.read_at(0, header, sizeof header).count == sizeof header;
  const std::uint32_t offset = ok ? dbfiles::decode_fixed32(header + 8) : 0;
  // Both end entries must lie in the index: an empty or cut index has none to read.
  ok = ok && offset >= dbfiles::kHeaderSize && size.count >= offset + IndexEntry::kSize;
  ok = ok && db.read_at(offset, first, sizeof first).count == sizeof first;
  ok = ok && db.read_at(size.count - IndexEntry::kSize, last, sizeof last).count == sizeof last;
  ok = db.close() == 0 && ok;
  if (!ok) {
    env.link->message_box("ERROR reading database file.", "call.db", Buttons::ok, Icon::none);
    return -1;
  }
  std::memcpy(ends->date, header, 8);
  ends->entries = static_cast<std::int64_t>((size.count - 12 - offset) / 12 + 1);
  ends->first = IndexEntry::decode(first);
  ends->last = IndexEntry::decode(last);
  return 0;
}

// What UM_UPDATE_DONE carries: rows scheduled, and errors (-1 when nothing was due).
struct RunEnd {
  std::int32_t wparam;
  std::int32_t lparam;
};

RunEnd update_run(WorkerEnv& env, platform::FolderLock& lock);

}  // namespace

int keep_old_database(const std::string& folder, const std::string& saved) {
  static std::atomic<unsigned> counter{0};
  const std::string db = platform::join_path(folder, "call.db");
  const std::string target = platform::join_path(folder, saved);
  // A temporary name of the kind remove_stale_temporaries() clears after a kill.
  const std::string temp = target + ".new-" + std::to_string(platform::current_process_id()) +
                           "-" + std::to_string(counter.fetch_add(1));
  if (platform::link_file(db, temp) == 0) {
    const int error = platform::replace_file(temp, target);
    // Still there when the rename failed, or when both were one file already (a run killed
    // after this step and run again).
    platform::delete_file(temp);
    return error;
  }
  return platform::copy_file(db, target);  // no links here: a copy, put in place whole
}

bool parse_date(const char* text, Date* d) {
  for (int i = 0; i < 8; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  const auto number = [text](int from, int len) {
    int n = 0;
    for (int i = from; i < from + len; ++i) n = n * 10 + (text[i] - '0');
    return n;
  };
  *d = Date{number(0, 4), number(4, 2), number(6, 2)};
  return valid_date(*d);
}

bool valid_date(const Date& d) {
  return d.year >= 1601 && d.year <= 9999 && d.month >= 1 && d.month <= 12 && d.day >= 1 &&
         d.day <= days_in_month(d.year, d.month);
}

// Civil-from-days and days-from-civil over the proleptic Gregorian calendar.
std::int64_t days_since_epoch(const Date& d) {
  const std::int64_t y = d.year - (d.month <= 2 ? 1 : 0);
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t mp = (d.month + 9) % 12;
  const std::int64_t doy = (153 * mp + 2) / 5 + d.day - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

Date date_from_days(std::int64_t days) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t doe = days - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  Date d;
  d.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  d.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  d.year = static_cast<int>(yoe + era * 400 + (d.month <= 2 ? 1 : 0));
  return d;
}

void doupdate(WorkerEnv& env) {
  platform::FolderLock lock;
  const RunEnd end = update_run(env, lock);
  lock.unlock();  // before the window hears that the run is over
  env.link->finished(UM_UPDATE_DONE, end.wparam, end.lparam);
}

namespace {

RunEnd update_run(WorkerEnv& env, platform::FolderLock& lock) {
  WorkerLink& link = *env.link;
  UpdaterState& state = *env.state;
  for (int row = 0; row < kRowCount; ++row) {
    link.set_row_cell(row, RowCell::status, "");
    link.set_row_cell(row, RowCell::bytes, "");
    link.set_row_cell(row, RowCell::total, "");
  }

  // The whole run, downloads to the last rename, is the folder's one writer. A folder without
  // call.db (a home folder, as from the desktop's menu) is told so and gets no lock file.
  const bool has_db = platform::file_exists(env.path("call.db"));
  if (has_db && begin_folder_job(env, &lock) != 0) return RunEnd{0, -1};
  DbEnds ends;
  if (read_db_ends(env, &ends) != 0) return RunEnd{0, -1};
  if (!has_db && begin_folder_job(env, &lock) != 0) return RunEnd{0, -1};

  char line[160];
  std::snprintf(line, sizeof line, "%.2s/%.2s/%.4s", ends.date + 4, ends.date + 6, ends.date);
  link.log_text(std::string(line) + " <<---current database date\r\n");
  link.set_value_cell(ValueCell::db_date, line);

  std::snprintf(line, sizeof line, "%d entries\r\nFirst entry: %s\r\n",
                static_cast<int>(ends.entries), dbfiles::decode_call(ends.first.key));
  link.log_text(line);
  link.log_text("Last entry:  " + std::string(dbfiles::decode_call(ends.last.key)) + "\r\n");

  // Keys sort A < K < N < W: a complete database ends at or beyond KQ7X, usually in W.
  state.db_complete = ends.entries >= kCompleteEntries &&
                      ends.last.key >= dbfiles::encode_call(kCompleteLast);
  if (!state.db_complete) {
    link.log_text("\r\nWARNING: database appears incomplete -- cleanup NOT recommended\r\n");
    link.log_text("Was expecting over 720000 entries and KQ7X as last\r\n\r\n");
  }
  state.rows_in_use = 0;

  const platform::LocalTime now = env.local_now();
  const Date today{now.year, now.month, now.day};
  Date db_date;
  if (!valid_date(today) || !parse_date(ends.date, &db_date)) {
    std::snprintf(line, sizeof line,
                  "ERROR: database date %.8s is not a valid date; no update can be scheduled\r\n",
                  ends.date);
    link.log_text(line);
    return RunEnd{0, -1};
  }
  const std::int64_t reference = days_since_epoch(today) + (now.hour >= 22 ? 1 : 0);

  // One row per week from the database's date, while the week has ended by the reference date.
  std::int64_t last = days_since_epoch(db_date);
  int rows = 0;
  char due[kRowCount][9];  // the date each row's file must carry, YYYYMMDD
  while (rows < kRowCount && last + 7 <= reference) {
    const Date from = date_from_days(last);
    const Date to = date_from_days(last + 7);
    UpdateRow& row = state.update_rows[rows];
    std::snprintf(row.name, sizeof row.name, "%02d%02dto%02d%02d.db", from.month, from.day,
                  to.month, to.day);
    std::snprintf(due[rows], sizeof due[rows], "%04d%02d%02d", to.year, to.month, to.day);
    link.log_text(std::string(row.name) + "\r\n");
    link.set_row_cell(rows, RowCell::name, row.name);
    set_row_state(env, rows, kNeeded);
    last += 7;
    ++rows;
  }
  state.rows_in_use = rows;
  std::snprintf(line, sizeof line, "%d updates\r\n", rows);
  link.log_text(line);
  if (rows == 0) {
    const Date next = date_from_days(days_since_epoch(db_date) + 7);
    std::snprintf(line, sizeof line, "Next update will be %d/%02d/%04d\r\n", next.month, next.day,
                  next.year);
    link.log_text(line);
    return RunEnd{0, -1};
  }

  for (int row = 0; row < rows; ++row) {
    if (platform::file_exists(env.path(state.update_rows[row].name))) {
      set_row_state(env, row, kDownloaded);
    }
  }

  std::int32_t errors = 0;
  for (int row = 0; row < rows; ++row) {
    if (state.update_rows[row].row_state != kNeeded) continue;
    if (env.cancelled()) return RunEnd{rows, errors + 1};
    link.log_text(std::string(state.update_rows[row].name) + " <<--downloading\r\n");
    set_row_state(env, row, kDownloading);
    if (http_get(env, state.update_rows[row].name, row) == 0 &&
        check_fetched_update(env, row) == 0) {
      set_row_state(env, row, kDownloaded);
    } else {
      set_row_state(env, row, kNotAvail);
      errors = 1;
      break;
    }
  }

  // Each file builds on the database the one before it made: merging stops at the first row
  // that is not merged, and the later rows wait, downloaded, for the next run.
  for (int row = 0; row < rows; ++row) {
    UpdateRow& update = state.update_rows[row];
    if (update.row_state != kDownloaded || env.cancelled()) break;
    platform::FileId merged_from;
    if (merge_update(env, row, due[row], &merged_from) != 0) {
      // Told by the merge; a file that failed its check is gone and is fetched again next run.
      set_row_state(env, row, kError);
      ++errors;
      break;
    }
    set_row_state(env, row, kDone);
    // call.db.new is built on the call.db the merge read: kept and replaced only while call.db
    // is still that file (a program that writes without the folder lock may have replaced it).
    platform::FileId current;
    if (platform::file_id(env.path("call.db"), &current) != 0 || !(current == merged_from)) {
      platform::delete_file(env.path(kNewDbName));
      platform::sync_folder(env.folder);
      link.log_text("ERROR: call.db was replaced while it was merged; nothing was changed\r\n");
      set_row_state(env, row, kError);
      return RunEnd{rows, errors + 1};
    }
    char saved[32];
    std::snprintf(saved, sizeof saved, "call%.4s.db", update.name);
    const int err = keep_old_database(env.folder, saved);
    if (err != 0) {
      std::snprintf(line, sizeof line, "ERROR %d moving call.db to %s\r\n", err, saved);
      link.log_text(line);
      set_row_state(env, row, kError);
      return RunEnd{rows, errors + 1};
    }
    if (platform::replace_file(env.path(kNewDbName), env.path("call.db")) != 0) {
      link.log_text("ERROR moving call.db.new to call.db\r\n");
      set_row_state(env, row, kError);
      return RunEnd{rows, errors + 1};
    }
    platform::sync_folder(env.folder);
    link.log_text(std::string(saved) + " <<--saved old call.db file\r\n");
  }
  return RunEnd{rows, errors};
}

}  // namespace

}  // namespace updater
