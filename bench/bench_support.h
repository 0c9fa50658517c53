// What the benchmark programs share: where the data comes from, a quiet worker link for the
// updater's engines, reading a call.db back into records (to load the same licensees into
// SQLite), and the memory-mapped variant of the callsign lookup with the check of what a map
// does when its file is cut short under it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dbfiles/callkey.h"
#include "dbfiles/dbwriter.h"
#include "dbfiles/usdb.h"
#include "updater/worker_link.h"

namespace bench {

// The folder `calldb demo` made (its calldb/ and server/ folders), from the environment
// variable CALLDB_BENCH_DATA; "" when it is unset or empty. Each benchmark then makes synthetic
// data of the same size itself.
std::string demo_folder();

// A folder for one benchmark's working files under the system's temporary folder, made when
// missing.
std::string work_folder(const std::string& name);

// The updater's worker link with no window: the log and the cells go nowhere, a message box
// is written to stderr ("CAPTION: TEXT") and answered OK, so that a benchmark run shows why a
// step failed.
class NullLink : public updater::WorkerLink {
 public:
  void log_text(std::string_view) override {}
  void set_value_cell(updater::ValueCell, std::string_view) override {}
  void set_row_cell(int, updater::RowCell, std::string_view) override {}
  updater::Answer message_box(std::string_view text, std::string_view caption, updater::Buttons,
                              updater::Icon) override;
  void finished(int, std::int32_t, std::int32_t) override {}
};

// One licence of a call.db as read back: its callsign text and its record.
struct StoredLicence {
  std::string call;
  dbfiles::UsRecord record;
};

// Reads every licence of the call.db at `path`, in index order. The street comes without the
// "PO BOX " prefix the display adds (po_box tells). Returns 0, or -1 with *error set when the
// file cannot be read or an entry's text lies outside the text area.
int read_call_db(const std::string& path, std::vector<StoredLicence>* licences,
                 std::string* error);

// Reads the entries of the callprev.db at `path`. Returns 0, or -1 with *error set.
int read_prev_db(const std::string& path, std::vector<dbfiles::PrevEntry>* entries,
                 std::string* error);

// call.db read through one read-only shared map of the whole file (MAP_SHARED, PROT_READ):
// the lookup reads the index and the record text from the map, nothing is copied in between.
// Not safe against the file being cut short while mapped (see touch_after_truncate), which is
// why the lookup program reads with read calls.
class MappedCallDb {
 public:
  MappedCallDb() = default;
  ~MappedCallDb();
  MappedCallDb(MappedCallDb&& other) noexcept;
  MappedCallDb& operator=(MappedCallDb&& other) noexcept;
  MappedCallDb(const MappedCallDb&) = delete;
  MappedCallDb& operator=(const MappedCallDb&) = delete;

  // Maps `path` and checks its header as open_call_db does. Returns 0 or -1 (*error set).
  int open(const std::string& path, std::string* error);
  void close();

  // The lookup of lookup_us_call, on the map: the same results for the same file.
  dbfiles::LookupStatus lookup(const char* text, dbfiles::LookupResult* result) const;

  std::uint32_t count() const { return count_; }

 private:
  const unsigned char* map_ = nullptr;
  std::size_t size_ = 0;
  std::uint32_t index_offset_ = 0;
  std::uint32_t count_ = 0;
};

// What became of a process that touched a mapped page past the new end of its file.
struct TruncateOutcome {
  bool ran = false;          // the check itself could be set up
  bool signalled = false;    // the child was ended by a signal
  int signal = 0;            // which one
  int exit_code = -1;        // the child's exit code when it was not signalled
  std::string detail;        // what went wrong when !ran
};

// Copies `source` (a call.db, at least two pages long) to a scratch file in `folder`, then
// forks: the child maps the copy read-only and shared, the parent cuts the file to one page
// with ftruncate, and the child reads a byte in the last page that used to be there. Returns
// how the child ended: killed by SIGBUS on Linux. The scratch file is deleted.
TruncateOutcome touch_after_truncate(const std::string& source, const std::string& folder);

}  // namespace bench
