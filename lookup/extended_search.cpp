#include "lookup/extended_search.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace lookup {

using dbfiles::IndexEntry;

namespace {

void show_found(SearchView& view, int found, int percent) {
  char text[64];
  std::snprintf(text, sizeof text, "Found %d, %d%% done", found, percent);
  view.set_status(text);
}

// The name/city phase: file offsets of the record texts that pass, in file order. Returns the
// offsets; *full is set when the list reached its 8,192 entries.
std::vector<std::uint32_t> match_texts(const dbfiles::UsDatabase& db, const std::string& name,
                                       const std::string& city, SearchView& view, bool* full) {
  std::vector<std::uint32_t> matches;
  std::unique_ptr<char[]> buffer(new char[kScanBuffer]);
  std::uint64_t next = dbfiles::kHeaderSize;        // file offset of the next byte to read
  std::uint64_t left = db.index_offset - next;      // bytes of text area not read yet
  std::size_t held = 0;                             // unfinished tail kept from the last fill
  *full = false;
  while (left > 0 && matches.size() < kMaxNameMatches) {
    std::size_t want = kScanBuffer - held;
    if (want > left) want = static_cast<std::size_t>(left);
    const platform::IoResult r = db.file.read_at(next, buffer.get() + held, want);
    left -= want;  // what was asked for counts as consumed, as a read cut short ends the scan
    next += want;
    const std::size_t filled = held + static_cast<std::size_t>(r.count);
    const std::uint64_t base = next - want - held;  // file offset of buffer[0]
    // Only complete strings: up to and including the last zero byte.
    std::size_t end = filled;
    while (end > 0 && buffer[end - 1] != '\0') --end;
    if (end == 0 && filled == kScanBuffer) {
      held = 0;  // a text longer than the buffer cannot be a record: passed over
      continue;
    }
    std::size_t pos = 0;
    while (pos < end) {
      const char* s = buffer.get() + pos;
      const std::size_t len = std::strlen(s);
      const bool name_ok = name.empty() || (len >= name.size() && std::memcmp(s, name.data(), name.size()) == 0);
      const bool city_ok =
          city.empty() || (len >= city.size() && std::memcmp(s + len - city.size(), city.data(), city.size()) == 0);
      if (name_ok && city_ok) {
        if (matches.size() == kMaxNameMatches) break;
        matches.push_back(static_cast<std::uint32_t>(base + pos));
        char text[32];
        std::snprintf(text, sizeof text, "Matched %d", static_cast<int>(matches.size()));
        view.set_status(text);
      }
      pos += len + 1;
    }
    held = filled - end;
    std::memmove(buffer.get(), buffer.get() + end, held);
    if (!r.ok() || r.count < want) break;
  }
  *full = matches.size() == kMaxNameMatches;
  return matches;
}

}  // namespace

struct SearchCache::Tables {};

SearchCache::SearchCache() = default;
SearchCache::~SearchCache() = default;
SearchCache::SearchCache(SearchCache&&) noexcept = default;
SearchCache& SearchCache::operator=(SearchCache&&) noexcept = default;

int make_index_copy(const dbfiles::UsDatabase& db, IndexCopy* copy, SearchView& view,
                    bool us_only) {
  if (!db.file.is_open()) {
    if (us_only) {
      view.message_box("call.db", "ERROR Reading database file", SearchIcon::error);
    } else {
      char text[64];
      std::snprintf(text, sizeof text, "ERROR %d Reading database file", EBADF);
      view.message_box(text, "call.db", SearchIcon::error);
    }
    return -1;
  }
  copy->db = &db;
  copy->made = true;
  return 0;
}

std::string normalise_name(std::string name) {
  const std::size_t comma = name.find(',');
  if (comma == std::string::npos || (comma + 1 < name.size() && name[comma + 1] == ' ')) {
    return name;
  }
  return name.substr(0, comma + 1) + " " + name.substr(comma + 1);
}

std::int32_t zip_criterion(const std::string& text) {
  const std::string cut = text.substr(0, kZipLimit);
  errno = 0;
  const long value = std::strtol(cut.c_str(), nullptr, 10);
  if (value > INT32_MAX || value < INT32_MIN) return value > 0 ? INT32_MAX : INT32_MIN;
  return static_cast<std::int32_t>(value);
}

bool has_criteria(const SearchCriteria& criteria) {
  return !criteria.name.empty() || !criteria.city.empty() || criteria.state != 0 ||
         zip_criterion(criteria.zip) != 0;
}

SearchOutcome extended_search(const dbfiles::UsDatabase& db, const IndexCopy& index,
                              const SearchCriteria& criteria, std::size_t output_limit,
                              SearchView& view, SearchCache* /*cache*/) {
  SearchOutcome out;
  view.set_status("");
  const std::string typed_name = criteria.name.substr(0, kNameLimit);
  const std::string city = criteria.city.substr(0, kCityLimit);
  const std::int32_t zip = zip_criterion(criteria.zip);
  const int state = criteria.state;
  if (!has_criteria(criteria)) {
    view.message_box("No search criteria were specified", "Search", SearchIcon::none);
    return out;
  }
  out.ran = true;

  // -1: the name/city phase ran and matched nothing; 0: it did not run.
  long match_count = 0;
  std::vector<std::uint32_t> matches;
  if (!typed_name.empty() || !city.empty()) {
    const std::string name = normalise_name(typed_name);
    view.set_status("Searching names/cities...");
    bool full = false;
    matches = match_texts(db, name, city, view, &full);
    match_count = matches.empty() ? -1 : static_cast<long>(matches.size());
    if (full) {
      view.message_box("Some may not be displayed. Use a longer name criteria.",
                       "WARNING: Too many name matches", SearchIcon::none);
    }
  }

  view.set_status("Searching fixed data...");
  if (match_count != -1) {
    const std::size_t entries = index.entries();
    const std::size_t step = db.count / 100;
    std::size_t mark = step;
    int percent = 0;
    std::size_t cursor = 0;
    std::uint32_t last_offset = 0;
    if (output_limit != 0) out.text.reserve(output_limit + 512);
    for (std::size_t i = 0; i < entries; ++i) {
      if (i >= mark) {
        ++percent;
        mark += step;
        show_found(view, out.found, percent);
      }
      const IndexEntry e = IndexEntry::decode(index.entry(i));
      if (zip != 0 && static_cast<std::int64_t>(e.zip()) != zip) continue;
      if (state != 0 && static_cast<int>(e.state()) != state) continue;
      if (match_count > 0) {
        // The offsets were found in file order, so the list is sorted; and writers lay the
        // texts out in index order, so a cursor that mostly moves forward finds them. A text
        // out of that order puts the cursor back by halving, so that the next forward step
        // starts from the right place.
        const std::uint32_t t = e.text_offset();
        if (t >= last_offset) {
          while (cursor < matches.size() && matches[cursor] < t) ++cursor;
        } else {
          cursor = static_cast<std::size_t>(
              std::lower_bound(matches.begin(), matches.end(), t) - matches.begin());
        }
        const bool hit = cursor < matches.size() && matches[cursor] == t;
        last_offset = t;
        if (!hit) continue;
      }
      dbfiles::LookupResult result;
      dbfiles::unpack_entry(e, &result);
      char text[kRecordRead];
      std::size_t n = 0;
      if (result.text_offset >= dbfiles::kHeaderSize && result.text_offset < db.index_offset) {
        n = static_cast<std::size_t>(db.file.read_at(result.text_offset, text, sizeof text).count);
        n = std::min<std::size_t>(n, db.index_offset - result.text_offset);
      }
      dbfiles::build_us_lines(text, n, &result);
      char line[4 * dbfiles::LookupResult::kLineSize + 16];
      std::snprintf(line, sizeof line, "%-6s - %s - %s - %s\r\n", result.callsign,
                    result.name_line, result.street_line, result.place_line);
      out.text.append(line);
      ++out.found;
      show_found(view, out.found, percent);
      if (output_limit != 0 && out.text.size() > output_limit) {
        view.message_box("Some results will not be shown", "SORRY: Too much output",
                         SearchIcon::warning);
        break;
      }
    }
  }
  char done[48];
  std::snprintf(done, sizeof done, "Done - found %d", out.found);
  view.set_status(done);
  return out;
}

}  // namespace lookup
