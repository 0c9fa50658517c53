// cancall.db, the Canadian database.
//
//   0   1       "C"
//   1   3       last three digits of the year
//   4   2       month
//   6   2       day
//   8   4       index offset ("----" while the file is being written)
//   12  ...     record texts: five zero-terminated strings each (surname or club name, given
//               names, street, city, postal code)
//   ... 0-3     zero bytes up to a multiple of 4
//   index offset, to the end: N CanEntry records in the order of the source list, not sorted;
//   the first entry of a key wins.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dbfiles/callkey.h"
#include "dbfiles/usdb.h"

namespace dbfiles {

// Every record text takes at least 5 bytes of a text area that 24-bit offsets keep below 16 MiB,
// so no sound file has more entries than this; a damaged file's index is cut here.
inline constexpr std::uint64_t kMaxCanadianEntries = 1u << 22;

// The Canadian index, read whole at start-up and kept in memory. The table is as large as the
// file's index; nothing is left out. The file stays open with the table, and record texts are
// read through that handle: a cancall.db put in its place later (an update renames a new file
// over it) is only seen by the next start, never mixed with this index.
struct CanadianTable {
  std::string path;                 // the file the table was loaded from
  platform::File file;              // open from a successful load on
  bool has_header = false;          // false: no Canadian data, no start-up line
  char header[kHeaderSize] = {};
  std::uint32_t index_offset = 0;   // record texts lie in [12, index_offset)
  std::vector<CanEntry> entries;
};

// Reads the header and the whole index of cancall.db. Returns 0 when the header was read; -1
// when the file is missing or shorter than its header (the table stays empty). An index offset
// below 12 or at or beyond the end of the file (an unfinished "----") gives no entries.
int load_canadian_table(const std::string& path, CanadianTable* table);

// "Canadian data %.2s/%.2s/2%.3s, %7d entries\r\n" (month/day/2+year digits, N), or "" when the
// table has no header.
std::string canadian_line(const CanadianTable& table);

// The Canadian lookup of a text beginning with "V": the first entry with its key is the match;
// its record text is read through the handle opened by load_canadian_table(). The callsign shown
// is the one the key holds (letters past the sixth character are not part of it). A record
// that cannot be read, or whose text offset lies outside [12, index offset), still counts as
// found, with only the callsign and the province shown; *why (if given) then receives what was
// wrong (kShortRead or kTextOutsideArea, dbfiles/usdb.h).
LookupStatus lookup_canadian_call(const CanadianTable& table, const char* text,
                                  LookupResult* result, const char** why = nullptr);

}  // namespace dbfiles
