// A full-size synthetic weekly archive of the FCC's amateur licences, of the shape the FCC
// publishes as l_amat.zip: seeded random licences, the same bytes for the same options.
//
// Members, in this order, each deflated with its sizes in a data descriptor after the data (flag
// bit 3), as a streaming zip tool writes them:
//   counts  "File Creation Date: Sun Dec  6 08:00:10 EST 2026", then each member's line count
//           as `wc -l` gives it, then the total
//   AM.dat  18 fields: operator class and group, region, trustee of clubs, previous call signs
//   CO.dat   8 fields: comments on some cancelled licences and vanity grants
//   EN.dat  30 fields: names (mixed case now and then, suffixes, a few Latin-1 letters), clubs,
//           streets or PO boxes, states (lower case now and then), ZIP codes of 5 or 9 digits,
//           FRNs and licensee ids
//   HD.dat  59 fields: statuses A/C/E/L/P/T/X, radio service HA or HV, grant, expiry and
//           cancellation dates
//   HS.dat   6 fields: the licences' history codes
// Records are '|'-separated with CR LF line ends, one of each of AM, EN and HD per licence in
// the order of their unique system identifiers. Every licence has a call sign of its own (a few
// inactive ones none); exactly `active` of them have status A.
//
// The zip64 form is what a streaming tool writes when it cannot know a member's size: each
// local header carries a zip64 extra field with zero sizes (its own sizes 0xFFFFFFFF), each
// data descriptor 8-byte sizes, each central directory entry a zip64 extra field with the real
// sizes and the local header's offset, and the end of the central directory is found through
// the zip64 end record and its locator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace calldb::demo {

struct FccArchiveOptions {
  std::string path;  // the archive to write; an existing file is never replaced
  std::uint64_t seed = 1;
  std::size_t licences = 1500000;
  std::size_t active = 780000;
  bool zip64 = false;
  std::string date;          // YYYYMMDD, the day the archive was made
  std::string zlib_library;  // zlib's shared library, loaded for the deflate
  // Hears of each member as it is written ("" when done) and how many licences it holds so far.
  std::function<void(const std::string& member, std::uint64_t done, std::uint64_t total)> progress;
};

inline constexpr std::size_t kMaxFccLicences = 3000000;

// Writes the archive. Returns 0; 1 when it could not be written (*error set; nothing is left
// behind) or the file exists; 2 for unusable options (*error set).
int make_fcc_archive(const FccArchiveOptions& options, std::uint64_t* bytes, std::string* error);

// The FCC's daily archives, one for each day after the weekly archive's (kFccDailyNames), each
// named after the weekday of the changes it holds and made the next morning (the first holds
// the changes of the weekly archive's own day, made the day after it). Each is of the weekly's
// shape and holds whole records (AM, EN and HD, with CO and HS as the licence has them) of the
// licences changed that day, as they stand at its end: licences granted (new call signs),
// cancelled, moved, renewed, and vanity call signs with the old one as previous call sign; now
// and then a licence changes on two days.
struct FccDailiesOptions {
  std::string folder;  // where the dailies go; an existing one is never replaced
  int days = 7;        // how many days after the weekly's, 0 to 7
  std::size_t changes_per_day = 1500;
};

// Writes the dailies that follow the weekly archive `weekly` makes (its path is not used) into
// d.folder, oldest first, and lists them in *made. Returns 0; 1 when one could not be written
// or exists (*error set; none is left behind); 2 for unusable options.
int make_fcc_dailies(const FccArchiveOptions& weekly, const FccDailiesOptions& d,
                     std::vector<std::string>* made, std::string* error);

}  // namespace calldb::demo
