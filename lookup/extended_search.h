// The Extended Search: US licensees by name (a prefix of the record text), city (its suffix),
// state and ZIP code. Works on call.db alone, without any window: the dialog and calldb give it
// a SearchView for its status line and message boxes.
//
// Two phases. Names and cities are found by streaming call.db's text area in 65,536-byte fills
// and keeping the file offsets of the texts that match (at most 8,192, the first in file order);
// with a dialog's SearchCache a name is looked up instead in a table of the texts ordered by
// their leading bytes, made by the first name search. Then the index, held in memory, is walked
// in key order for the state and ZIP (with the cache, only the entries of the matched texts, or
// of the ZIP code), and each entry that passes every criterion becomes one result line
// "%-6s - %s - %s - %s\r\n"; their texts are read in batches, sorted by offset, a few large
// reads a batch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dbfiles/usdb.h"

namespace lookup {

enum class SearchIcon { none, warning, error };

class SearchView {
 public:
  virtual ~SearchView() = default;
  virtual void set_status(std::string_view text) = 0;
  // A modal box with an OK button.
  virtual void message_box(std::string_view text, std::string_view caption, SearchIcon icon) = 0;
};

// The characters the Name, City and Zip boxes take. The search takes its criteria whole: a
// shorter cut would be a wider search, so calldb refuses longer ones.
inline constexpr std::size_t kNameLimit = 127;
inline constexpr std::size_t kCityLimit = 63;
inline constexpr std::size_t kZipLimit = 15;
inline constexpr std::size_t kScanBuffer = 65536;
inline constexpr std::size_t kMaxNameMatches = 8192;
inline constexpr std::size_t kRecordRead = 512;
// The result box's text limit (a standard edit control's default).
inline constexpr std::size_t kOutputLimit = 30000;

// What the four boxes hold, as typed (the Name and City boxes turn letters to upper case).
struct SearchCriteria {
  std::string name;
  std::string city;
  int state = 0;          // index into StateCodes; 0 is "(all)"
  std::string zip;
};

// The index of call.db in memory, as stored: the open database's own, read when it was opened,
// shared rather than copied. Follows the database it was made from while that lives.
struct IndexCopy {
  const dbfiles::UsDatabase* db = nullptr;  // null until made
  std::size_t entries() const { return db != nullptr ? db->count : 0; }
  // The stored bytes of entry i.
  const unsigned char* entry(std::size_t i) const { return db->entry(i); }
};

// The pages of the text area that a dialog keeps: 1,024 of 4,096 bytes, 4 MiB.
inline constexpr std::size_t kKeptPageSize = 4096;
inline constexpr std::size_t kKeptPages = 1024;

// What a dialog keeps between searches of one opening of call.db: the name table, a table of
// the entries by ZIP code, and up to `kept_pages` of the text area's pages that small reads
// brought in, so that later searches read less of the file or nothing. Once that many are kept,
// a new page takes the place of the one kept longest.
class SearchCache {
 public:
  explicit SearchCache(std::size_t kept_pages = kKeptPages);
  ~SearchCache();
  SearchCache(SearchCache&&) noexcept;
  SearchCache& operator=(SearchCache&&) noexcept;

  std::size_t kept_pages;
  struct Tables;                   // what the search keeps, defined beside it
  std::unique_ptr<Tables> tables;  // made by the first search that needs it
};

// Makes `copy` show the index that `db` holds; nothing is read or copied. Returns 0, or -1 after
// the message box "ERROR %d Reading database file" when `db` is not open (it holds no index).
// With `us_only` that box is the US-only edition's instead.
int make_index_copy(const dbfiles::UsDatabase& db, IndexCopy* copy, SearchView& view,
                    bool us_only = false);

// "LAST,FIRST" reads as "LAST, FIRST": a blank goes in after the first comma when none follows.
std::string normalise_name(std::string name);

// The ZIP box as a number, by the C library's string-to-long rules; 0 means no criterion.
std::int32_t zip_criterion(const std::string& text);

// True when a search with these criteria runs; without any it only asks for them.
bool has_criteria(const SearchCriteria& criteria);

struct SearchOutcome {
  bool ran = false;     // false: there were no criteria
  int found = 0;
  std::string text;     // the result lines
};

// Runs one search. With `output_limit` 0 there is no limit (the command line); otherwise the
// phase ends after the line that passes it. With a cache, the first name search and the first
// ZIP search build what later ones use; without one, every search reads what it needs afresh.
SearchOutcome extended_search(const dbfiles::UsDatabase& db, const IndexCopy& index,
                              const SearchCriteria& criteria, std::size_t output_limit,
                              SearchView& view, SearchCache* cache = nullptr);

}  // namespace lookup
