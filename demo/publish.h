// The publisher's weekly update files: from dated snapshots of call.db, every file an update
// server serves under db-files/, so that a client at any snapshot's date reaches the newest
// snapshot through ordinary update runs.
//
// Snapshot dates lie on one weekly grid. Between consecutive snapshots A and B, k weeks apart,
// the file of A's week (A to A+7) carries every change from A to B and the k-1 files after it
// carry none; each file is dated with the end of its own week, so a client's date stays on the
// grid whichever file it merged last. File names carry no year: files are written in date
// order, so of two files of the same name the newer wins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace calldb {

// A dated call.db found in the snapshot folder.
struct Snapshot {
  std::string path;
  std::string date;      // YYYYMMDD, from its header
  std::int64_t day = 0;  // days since 1970-01-01
};

// One weekly update file written.
struct PublishedFile {
  std::string name;     // "MMDDtoMMDD.db"
  std::string path;     // SERVERDIR/db-files/NAME
  std::string date;     // YYYYMMDD, the end of its week
  std::size_t changes = 0;
};

enum class PublishResult {
  ok = 0,
  io_error = 1,        // a file could not be read or written
  bad_snapshots = 2,   // no snapshot, two of one date, off the weekly grid, or not a call.db
};

// Checks that `path` is a sound call.db: a valid date, an index offset inside the file, whole
// index entries in ascending key order, each text inside the text area and terminated within
// 256 bytes. Returns 0 and its date in *date, 1 when it cannot be read, or 2 with *error set.
int check_call_db(const std::string& path, std::string* date, std::string* error);

// Finds the snapshots in `folder`: every regular file named call*.db except callprev.db, each
// checked with check_call_db(), sorted by date. Refuses two of the same date and dates off the
// weekly grid of the oldest one.
PublishResult find_snapshots(const std::string& folder, std::vector<Snapshot>* snapshots,
                             std::string* error);

// The update file's name for the week starting on `day` (days since 1970-01-01).
std::string weekly_file_name(std::int64_t day);

// Writes the weekly files that lead from each of `snapshots` (sorted, on one grid) to the
// newest under server_dir/db-files/ (created), each with its digest file NAME.sha256 beside it
// (sha256sum's line, which the update run checks the fetched file against). Every file is
// written under a temporary name and renamed over NAME only when whole, the update file before
// its digest. `on_file` hears of each update file once both are in place.
PublishResult publish_updates(const std::vector<Snapshot>& snapshots,
                              const std::string& server_dir,
                              const std::function<void(const PublishedFile&)>& on_file,
                              std::string* error);

}  // namespace calldb
