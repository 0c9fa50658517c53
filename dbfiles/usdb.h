// call.db, the US database, and callprev.db, the table of previous callsigns.
//
// call.db:
//   0   8       date, eight ASCII digits YYYYMMDD, no terminator
//   8   4       index offset
//   12  ...     record texts: name (name_len bytes), street (street_len bytes), city, zero byte;
//               at most 256 bytes each with the terminator, in index order
//   ... 0-3     zero bytes up to a multiple of 4
//   index offset, to the end: N IndexEntry records sorted by key (unsigned), no key twice
//   N = (file size - index offset) / 12, a partial entry at the end is ignored.
//
// callprev.db:
//   0   8       date, YYYYMMDD
//   8   8 * N   PrevEntry records sorted by old_key (unsigned); entry i lies at 8 * i, 1 <= i <= N
//   N = file size / 8 - 1.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "dbfiles/callkey.h"
#include "platform/platform.h"

namespace dbfiles {

inline constexpr std::size_t kHeaderSize = 12;      // date + index offset
inline constexpr std::size_t kDateSize = 8;
inline constexpr std::size_t kMaxRecordText = 256;  // a record text with its terminator
inline constexpr std::size_t kRecordReadSize = 1024;

// What was wrong with a damaged file, for the damaged-file messages: a lookup's record text
// (call.db, cancall.db), or call.db's header or index at opening.
inline constexpr char kShortRead[] = "a read came back short";
inline constexpr char kTextOutsideArea[] = "a record text lies outside the text area";
inline constexpr char kShortHeader[] = "its header is shorter than 12 bytes";
inline constexpr char kIndexOutsideFile[] = "its index offset lies outside the file";

// How one lookup went. `damaged` is set when a read came back short or a stored offset points
// outside its area: what could not be read counts as absent, and the caller says the file is
// damaged.
struct LookupStatus {
  bool found = false;
  bool damaged = false;
};

// An open call.db, held with read and write sharing for as long as the object lives. Its index
// is read whole at opening and searched in memory; only record texts are read from the file
// afterwards, so a file changed behind our back gives stale answers or damaged texts.
struct UsDatabase {
  platform::File file;
  char date[kDateSize + 1] = {};
  std::uint32_t index_offset = 0;
  std::uint32_t count = 0;  // N, index entries
  // The N entries as stored, IndexEntry::kSize bytes each (null when N is 0 or nothing is open).
  std::unique_ptr<unsigned char[]> index;
  // Tells this opening from every other one in the process, so that what was made from the file
  // as it was read then is not used for another.
  std::uint64_t opening = 0;

  // The stored bytes of entry i, i < count.
  const unsigned char* entry(std::size_t i) const { return index.get() + i * IndexEntry::kSize; }
  // Closes the file and lets the index go.
  void close();
};

// Opens call.db for reading (others may read and write), reads its header and then its whole
// index. Returns 0, or -1 when the file cannot be opened, its header or index cannot be read
// (or the index finds no memory: ENOMEM), its header is short, its index offset lies below 12
// or beyond the end of the file, or the index read comes back short (the file shrank while it
// was read); *error receives the system error code, if any, and *why (when there is none: a
// damaged file) kShortHeader, kIndexOutsideFile or kShortRead.
int open_call_db(const std::string& path, UsDatabase* db, int* error = nullptr,
                 const char** why = nullptr);

// The folder that holds call.db, written out in full for messages ("" is the current folder).
std::string shown_folder(const std::string& folder);

// "Database date %.2s/%.2s/%.4s, %d entries" (month/day/year, N).
std::string database_line(const UsDatabase& db);

// Binary search of `count` stored index entries (sorted by key) at `index`.
LookupStatus find_index_entry(const unsigned char* index, std::uint32_t count, CallKey key,
                              IndexEntry* entry);

// Binary search of the index held in memory; reads nothing from the file, so the status is
// never damaged.
LookupStatus find_entry(const UsDatabase& db, CallKey key, IndexEntry* entry);

// The US lookup: encodes `text`, finds its entry, reads the record text and fills *result.
// A text that does not begin with A, K, N or W is not found without a search. When the lookup
// comes back damaged, *why (if given) receives what was wrong: kShortRead or kTextOutsideArea.
LookupStatus lookup_us_call(const UsDatabase& db, const char* text, LookupResult* result,
                            const char** why = nullptr);

// An open callprev.db, its entries read at opening and searched in memory.
struct PrevDatabase {
  platform::File file;
  char date[kDateSize + 1] = {};
  std::int32_t count = 0;  // N, entries 1 to N
  // Entries 1 to N as stored, PrevEntry::kSize bytes each; entry i at (i - 1) * kSize.
  std::unique_ptr<unsigned char[]> entries;

  // Closes the file and lets the entries go.
  void close();
};

// Opens callprev.db for reading (others may read and write) and reads its 8-byte date and its
// entries. Returns 0, or -1 when it is missing, shorter than its header, or its entries cannot
// be read whole (or find no memory): the previous-call search is then not available.
int open_prev_db(const std::string& path, PrevDatabase* db);

// "%d previous calls in %s, dated %.2s/%.2s/%.4s" (N, file name, month/day/year).
std::string prev_line(const PrevDatabase& db, const char* file_name);

// Binary search of callprev.db's `count` stored entries (entry 1 at `entries`) for `key`:
// returns the entry number and leaves the replacing key in *new_key, or returns -1.
int find_prev_entry(const unsigned char* entries, std::int32_t count, CallKey key,
                    CallKey* new_key);

// Looks `text` up among the previous callsigns, in memory. Returns the entry number (1 or more)
// and leaves the replacing callsign in `replacement`, or returns -1. A text that does not begin
// with A, K, N or W is not found without a search.
int find_prev_call(const PrevDatabase& db, const char* text, char (&replacement)[7]);

}  // namespace dbfiles
