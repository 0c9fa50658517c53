// What the FCC import keeps beside call.db so that the FCC's later daily archives can be applied
// without the weekly one (callfcc.dat), and how the import puts call.db, callprev.db and
// callfcc.dat in place together.
//
// callfcc.dat holds every licence active at the end of the import that wrote it, as the import
// holds it: the HD record's unique system identifier, read order, grant date and call sign, the
// kept EN fields (those call.db's record is made from) and the AM record's previous call sign.
// Integers little-endian; a "number" takes 7 bits a byte, lowest first, with the top bit set on
// every byte but its last (at most 10 bytes):
//   0   8  magic "CALLFCC\x1A"
//   8   4  version (2)
//   12  8  call.db's date, YYYYMMDD
//   20  8  the day of the newest archive applied, YYYYMMDD (its "counts" creation date)
//   28  8  that archive's creation moment, seconds since 1970 UTC (signed)
//   36  8  the HD records read so far, over every archive applied (the last read order)
//   44  8  call.db's size      52  4  its CRC-32
//   56  8  callprev.db's size  64  4  its CRC-32
//   68  8  N, the licences that follow
//   76  N licences, by identifier, strictly rising:
//         a number: the identifier less the one before (the first: the identifier itself),
//         a number: the read order (at most the HD records read), 4 grant YYYYMMDD (0: none),
//         then three texts, each a number, its length (at most 16384), and its bytes: the HD
//         call sign, the EN fields joined by 0x1F (empty: no EN record yet), the previous call
//         sign
//   end 4  CRC-32 of every byte before it
// The file is read whole and checked whole (sizes, order, lengths, its CRC); any mismatch,
// another version, or a call.db or callprev.db that is not the one it records makes it unusable:
// the next run imports the weekly archive instead.
//
// The three files are put in place together (updater/file_set.h).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "updater/file_set.h"

namespace calldb {

inline constexpr const char* kFccStateName = updater::kFccStateFile;
using updater::kStagedSuffix;

// When an archive was made.
struct ArchiveDate {
  std::string day;               // YYYYMMDD, the calendar day the line names
  std::int64_t utc_seconds = 0;  // the moment, for putting archives in order
};

// A file's size and CRC-32, to tell whether it is still the file a state was made with.
struct FileStamp {
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
  friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

// Reads `path` whole. Returns 0, or -1 with *error set.
int stamp_file(const std::string& path, FileStamp* stamp, std::string* error);

struct FccStateHeader {
  std::string date;  // call.db's
  ArchiveDate archive;
  std::uint64_t next_order = 0;
  FileStamp call_db;
  FileStamp callprev_db;
  std::uint64_t licences = 0;
};

struct StateLicence {
  std::uint64_t id = 0;
  std::uint64_t order = 0;
  std::uint32_t grant = 0;
  std::string_view call;
  std::string_view en;
  std::string_view am;
};

// Reads the header of the state at `path`. Returns 0, or -1 with *why set.
int read_state_header(const std::string& path, FccStateHeader* header, std::string* why);

// Reads the state at `path` whole, handing each licence to `each` as it goes, and checks it
// whole. Returns 0, or -1 with *why set: then what `each` was given must not be used.
int read_state(const std::string& path, FccStateHeader* header,
               const std::function<void(const StateLicence&)>& each, std::string* why);

// The state's header when callfcc.dat in `folder` is readable and call.db and callprev.db there
// are the ones it records (its licences are not read). Returns 0, or -1 with *why set.
int check_state(const std::string& folder, FccStateHeader* header, std::string* why);

// Writes a state file through `file`: begin(), header.licences times add(), in rising
// identifier order, then finish(). Each returns 0 or the system's error code.
class StateWriter {
 public:
  explicit StateWriter(platform::File* file) : file_(file) {}
  int begin(const FccStateHeader& header);
  int add(const StateLicence& licence);
  int finish();

 private:
  int flush();
  platform::File* file_;
  std::string buffer_;
  std::uint32_t crc_ = 0;
  std::uint64_t last_id_ = 0;
};


}  // namespace calldb
