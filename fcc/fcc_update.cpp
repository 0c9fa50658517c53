#include "fcc/fcc_update.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "dbfiles/coding.h"
#include "dbfiles/usdb.h"
#include "fcc/fetch_fcc.h"
#include "updater/folder_job.h"


namespace calldb {

namespace {

using updater::RowCell;
using updater::ValueCell;

// A complete database holds at least this many licences (the update run's rule).
constexpr std::int64_t kCompleteEntries = 720000;

// "MM/DD/YYYY" of YYYYMMDD.
std::string shown_date(const std::string& day) {
  if (day.size() != 8) return day;
  return day.substr(4, 2) + "/" + day.substr(6, 2) + "/" + day.substr(0, 4);
}

// call.db's date and entry count, read with no sharing as the update run reads it: the lookup
// program holding it refuses the run. Returns 0; 1 when there is no call.db; -1 after the box.
int read_database(updater::WorkerEnv& env, std::string* date, std::int64_t* entries) {
  platform::File db;
  const int error = db.open(env.path("call.db"), platform::Access::read, platform::Share::none,
                            platform::Disposition::open_existing);
  if (error == ENOENT) return 1;
  if (error != 0) {
    env.link->message_box(
        "UNABLE TO OPEN database file for modification\rMake sure the orbisk pgm is not "
        "running.\rAnd make sure the fernwick pgm is in the same folder as the database file.",
        "call.db", updater::Buttons::ok, updater::Icon::none);
    return -1;
  }
  unsigned char header[dbfiles::kHeaderSize];
  const platform::IoResult size = db.size();
  const bool ok = size.error == 0 && db.read_at(0, header, sizeof header).count == sizeof header;
  db.close();
  const std::uint32_t offset = ok ? dbfiles::decode_fixed32(header + 8) : 0;
  if (!ok || offset < dbfiles::kHeaderSize || offset > size.count) {
    env.link->message_box("ERROR reading database file.", "call.db", updater::Buttons::ok,
                          updater::Icon::none);
    return -1;
  }
  date->assign(reinterpret_cast<const char*>(header), dbfiles::kDateSize);
  *entries = static_cast<std::int64_t>((size.count - offset) / dbfiles::IndexEntry::kSize);
  return 0;
}

// What UM_UPDATE_DONE carries.
struct RunEnd {
  std::int32_t rows;
  std::int32_t result;  // 0 replaced, -1 nothing due or call.db unreadable, 1 failed
};

class Run {
 public:
  explicit Run(updater::WorkerEnv& env) : env_(env), link_(*env.link) {}

  RunEnd go() {
    for (int row = 0; row < updater::kRowCount; ++row) {
      link_.set_row_cell(row, RowCell::name, "");
      link_.set_row_cell(row, RowCell::status, "");
      link_.set_row_cell(row, RowCell::bytes, "");
      link_.set_row_cell(row, RowCell::total, "");
    }
    env_.state->rows_in_use = 0;
    platform::FolderLock lock;
    if (updater::begin_folder_job(env_, &lock) != 0) return {0, -1};
    std::string date;
    std::int64_t entries = 0;
    const int found = read_database(env_, &date, &entries);
    if (found < 0) return {0, -1};
    if (found == 0) {
      link_.log_text(shown_date(date) + " <<---current database date\r\n" +
                     std::to_string(entries) + " entries\r\n");
      link_.set_value_cell(ValueCell::db_date, shown_date(date));
      env_.state->db_complete = entries >= kCompleteEntries;
    } else {
      link_.log_text("No call.db in " + updater::escape_controls(dbfiles::shown_folder(
                                            env_.folder)) +
                     ": the first database comes from the FCC's weekly archive\r\n");
      link_.set_value_cell(ValueCell::db_date, "none");
    }
    link_.log_text("US source: the FCC at " + server_text() + "\r\n");
    for (const ValueCell cell : {ValueCell::update_file, ValueCell::updating_to}) {
      link_.set_value_cell(cell, "------");
    }
    for (const ValueCell cell : {ValueCell::records, ValueCell::new_calls,
                                 ValueCell::deleted_calls, ValueCell::changed_calls,
                                 ValueCell::percent_done}) {
      link_.set_value_cell(cell, "0");
    }

    FetchOptions options;
    options.server = env_.fcc_server;
    options.ca_file = env_.ca_file;
    options.import.folder = env_.folder;
    options.import.zlib_library =
        env_.zlib_library.empty() ? platform::zlib_library_name() : env_.zlib_library;
    options.import.cancel = env_.cancel;
    options.download_progress = [this](const std::string& name, std::uint64_t bytes,
                                       std::uint64_t total) {
      const int row = row_of(name);
      if (row < 0) return;
      if (total != 0) link_.set_row_cell(row, RowCell::total, std::to_string(total));
      link_.set_row_cell(row, RowCell::bytes, std::to_string(bytes));
    };
    options.archive_step = [this](const std::string& name, ArchiveStep step) {
      this->step(name, step);
    };
    options.tell = [this](const std::string& line) {
      link_.log_text(updater::escape_controls(line) + "\r\n");
    };
    options.import.note = options.tell;
    options.import.progress = [this](const std::string&, std::uint64_t records) {
      link_.set_value_cell(ValueCell::records, std::to_string(records));
    };

    FetchReport report;
    std::string error;
    const int rc = fetch_fcc(options, &report, &error);
    const auto rows = static_cast<std::int32_t>(rows_.size());
    if (rc != 0) {
      if (env_.cancelled()) {
        link_.log_text("Update from the FCC cancelled; nothing was replaced\r\n");
        return {rows, 1};
      }
      // The engine's texts come escaped.
      link_.log_text("ERROR: " + error +
                     "\r\nNothing was replaced; the next run fetches again\r\n");
      link_.message_box(error + "\r\rCheck the network connection and the server, " +
                            server_text() + ", then try again.",
                        "ERROR updating from the FCC", updater::Buttons::ok,
                        updater::Icon::error);
      return {rows, 1};
    }
    if (report.up_to_date) {
      link_.log_text("No FCC archive made after the database's date: nothing to do\r\n");
      return {rows, -1};
    }
    link_.set_value_cell(ValueCell::updating_to, shown_date(report.date));
    link_.set_value_cell(ValueCell::records, std::to_string(report.import.records_read));
    link_.set_value_cell(ValueCell::new_calls, std::to_string(report.new_calls));
    link_.set_value_cell(ValueCell::deleted_calls, std::to_string(report.deleted_calls));
    link_.set_value_cell(ValueCell::changed_calls, std::to_string(report.changed_calls));
    link_.set_value_cell(ValueCell::percent_done, "100");
    if (!report.import.kept.empty()) {
      link_.log_text(report.import.kept + " <<--saved old call.db file\r\n");
    }
    link_.log_text(shown_date(report.date) + " <<---new database date, " +
                   std::to_string(report.import.licences) + " entries\r\n" +
                   std::to_string(report.new_calls) + " new, " +
                   std::to_string(report.deleted_calls) + " deleted, " +
                   std::to_string(report.changed_calls) + " changed calls\r\n");
    env_.state->db_complete = report.import.licences >= kCompleteEntries;
    return {rows, 0};
  }

 private:
  // "HOST:PORT (the FCC's server, WHAT CHOSE IT)".
  std::string server_text() const {
    return updater::escape_controls(env_.fcc_server.host + ":" +
                                    std::to_string(env_.fcc_server.port) +
                                    env_.fcc_server.origin_note());
  }

  // The archive's row, given to it when the run first meets it; -1 past the grid.
  int row_of(const std::string& name) {
    const auto found = rows_.find(name);
    if (found != rows_.end()) return found->second;
    const int row = static_cast<int>(rows_.size());
    if (row >= updater::kRowCount) return -1;
    rows_.emplace(name, row);
    updater::UpdateRow& update = env_.state->update_rows[row];
    std::snprintf(update.name, sizeof update.name, "%s", name.c_str());
    link_.set_row_cell(row, RowCell::name, updater::escape_controls(name));
    return row;
  }

  void step(const std::string& name, ArchiveStep step) {
    const int row = row_of(name);
    if (row < 0) return;
    const std::int32_t was = env_.state->update_rows[row].row_state;
    std::int32_t state = updater::kNeeded;
    switch (step) {
      case ArchiveStep::downloading:
        link_.log_text(updater::escape_controls(name) + " <<--downloading\r\n");
        state = updater::kDownloading;
        break;
      case ArchiveStep::downloaded: state = updater::kDownloaded; break;
      case ArchiveStep::not_on_server: state = updater::kNotAvail; break;
      // Its changes are in the database already, or wait for the next run: nothing to do now.
      case ArchiveStep::passed_over: state = updater::kDone; break;
      case ArchiveStep::applying:
        link_.set_value_cell(ValueCell::update_file, updater::escape_controls(name));
        state = updater::kUpdating;
        break;
      case ArchiveStep::applied: state = updater::kDone; break;
      case ArchiveStep::failed:
        state = was == updater::kDownloading ? updater::kNotAvail : updater::kError;
        break;
    }
    updater::set_row_state(env_, row, state);
  }

  updater::WorkerEnv& env_;
  updater::WorkerLink& link_;
  std::map<std::string, int> rows_;
};

}  // namespace

void fcc_update(updater::WorkerEnv& env) {
  RunEnd end{0, -1};
  {
    Run run(env);
    end = run.go();
  }  // the folder's lock goes before the window hears that the run is over
  env.link->finished(updater::UM_UPDATE_DONE, end.rows, end.result);
}

}  // namespace calldb
