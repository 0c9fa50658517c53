#include "lookup/extended_search.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_map>

#include "dbfiles/line_out.h"

namespace lookup {

using dbfiles::IndexEntry;

namespace {

// Texts that lie closer together than this are read in one piece: copying the bytes between
// costs less than another system call.
constexpr std::size_t kReadGap = 32768;
// The most that one merged read takes.
constexpr std::size_t kMergedRead = std::size_t{1} << 20;
// Entries that pass every criterion are written out in batches of growing size: a search in
// the window stops at its output limit after a few hundred lines, one without a limit reads
// the texts in long runs.
constexpr std::size_t kFirstBatch = 256;
constexpr std::size_t kLastBatch = 16384;
// The name table orders the texts by this many leading bytes.
constexpr std::size_t kKeyBytes = 8;

void show_found(SearchView& view, int found, int percent) {
  char text[64];
  dbfiles::LineOut out(text, sizeof text);
  out.text("Found ").signed_number(found).text(", ").signed_number(percent).text("% done");
  view.set_status(std::string_view(text, out.size()));
}

bool name_passes(const char* s, std::size_t len, const std::string& name) {
  return name.empty() || (len >= name.size() && std::memcmp(s, name.data(), name.size()) == 0);
}

bool city_passes(const char* s, std::size_t len, const std::string& city) {
  return city.empty() ||
         (len >= city.size() && std::memcmp(s + len - city.size(), city.data(), city.size()) == 0);
}

// Calls fn(offset, text, length) for each complete string of call.db's text area in file order,
// streaming the area in 65,536-byte fills (one fill of its size when it is smaller), until fn
// returns false. Returns true when the whole area was read.
template <typename Fn>
bool walk_texts(const dbfiles::UsDatabase& db, Fn&& fn) {
  std::uint64_t next = dbfiles::kHeaderSize;        // file offset of the next byte to read
  std::uint64_t left = db.index_offset - next;      // bytes of text area not read yet
  const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(kScanBuffer, left));
  std::unique_ptr<char[]> buffer(new char[size]);
  std::size_t held = 0;                             // unfinished tail kept from the last fill
  while (left > 0) {
    std::size_t want = size - held;
    if (want > left) want = static_cast<std::size_t>(left);
    const platform::IoResult r = db.file.read_at(next, buffer.get() + held, want);
    left -= want;  // what was asked for counts as consumed, as a read cut short ends the scan
    next += want;
    const std::size_t filled = held + static_cast<std::size_t>(r.count);
    const std::uint64_t base = next - want - held;  // file offset of buffer[0]
    // Only complete strings: up to and including the last zero byte.
    std::size_t end = filled;
    while (end > 0 && buffer[end - 1] != '\0') --end;
    if (end == 0 && filled == size) {
      held = 0;  // a text longer than the buffer cannot be a record: passed over
      continue;
    }
    std::size_t pos = 0;
    while (pos < end) {
      const char* s = buffer.get() + pos;
      const std::size_t len = std::strlen(s);
      if (!fn(static_cast<std::uint32_t>(base + pos), s, len)) return false;
      pos += len + 1;
    }
    held = filled - end;
    std::memmove(buffer.get(), buffer.get() + end, held);
    if (!r.ok() || r.count < want) return false;
  }
  return true;
}

// The name/city phase by a scan of the text area: file offsets of the record texts that pass,
// in file order. *full is set when the list reached its 8,192 entries.
std::vector<std::uint32_t> match_texts(const dbfiles::UsDatabase& db, const std::string& name,
                                       const std::string& city, SearchView& view, bool* full) {
  std::vector<std::uint32_t> matches;
  walk_texts(db, [&](std::uint32_t at, const char* s, std::size_t len) {
    if (!name_passes(s, len, name) || !city_passes(s, len, city)) return true;
    matches.push_back(at);
    char text[32];
    std::snprintf(text, sizeof text, "Matched %d", static_cast<int>(matches.size()));
    view.set_status(text);
    return matches.size() < kMaxNameMatches;
  });
  *full = matches.size() == kMaxNameMatches;
  return matches;
}

// Texts wanted from the text area: (file offset, the caller's tag), sorted by offset; every
// offset lies inside the text area.
using Wanted = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

// Pages of the text area that small reads brought in. A text read on its own costs a system
// call for a few hundred bytes, so a dialog keeps the pages around such texts for its later
// searches, up to a number of pages it is given; when all are taken a new page replaces the one
// kept longest. Large reads that serve many texts at once are cheap per text and are not kept.
class TextPages {
 public:
  static constexpr std::size_t kPage = kKeptPageSize;
  explicit TextPages(std::size_t slots) : slots_(slots) {}
  // The largest read whose pages are kept.
  static constexpr std::size_t kKeptRead = 16 * kPage;

  // The page's bytes, or null when it is not held.
  const char* find(std::uint64_t page) const {
    const auto it = slot_of_.find(page);
    return it == slot_of_.end() ? nullptr : bytes_.get() + it->second * kPage;
  }

  void keep(std::uint64_t page, const char* bytes) {
    if (slots_ == 0 || find(page) != nullptr) return;
    if (!bytes_) bytes_.reset(new char[slots_ * kPage]);
    const std::size_t slot = next_;
    next_ = (next_ + 1) % slots_;
    if (page_in_.size() < slots_) {
      page_in_.push_back(page);
    } else {
      slot_of_.erase(page_in_[slot]);
      page_in_[slot] = page;
    }
    slot_of_[page] = static_cast<std::uint32_t>(slot);
    std::memcpy(bytes_.get() + slot * kPage, bytes, kPage);
  }

  // True when every page that bytes [at, end) lie on is held.
  bool holds(std::uint64_t at, std::uint64_t end) const {
    for (std::uint64_t p = at / kPage; p * kPage < end; ++p) {
      if (find(p) == nullptr) return false;
    }
    return true;
  }

  // Copies bytes [at, end), which holds() found held, into out.
  void copy(std::uint64_t at, std::uint64_t end, char* out) const {
    while (at < end) {
      const std::uint64_t page_end = (at / kPage + 1) * kPage;
      const std::size_t n = static_cast<std::size_t>(std::min(end, page_end) - at);
      std::memcpy(out, find(at / kPage) + at % kPage, n);
      out += n;
      at += n;
    }
  }

 private:
  std::size_t slots_;
  std::unordered_map<std::uint64_t, std::uint32_t> slot_of_;
  std::vector<std::uint64_t> page_in_;   // the page each slot holds
  std::unique_ptr<char[]> bytes_;
  std::size_t next_ = 0;                 // the slot the next page takes
};

// What read_texts' buffer must hold: a merged read, or the whole text area widened to pages
// when that is less (a small file's search takes no more memory than its file).
std::size_t read_buffer_size(const dbfiles::UsDatabase& db) {
  constexpr std::size_t kPage = TextPages::kPage;
  const std::size_t area = (std::size_t{db.index_offset} + kPage - 1) / kPage * kPage;
  return std::min(kMergedRead, area);
}

// Reads, for each wanted offset, up to `span` bytes from it (cut at the end of the text area)
// in few large reads, and calls fn(tag, bytes, count) in offset order until fn returns false.
// `buffer` holds read_buffer_size(db) bytes. A read that fails is made again text by text, so
// that each text gets what a read of its own would give. With `pages`, texts found there are not
// read, and the pages of small reads are kept there.
template <typename Fn>
void read_texts(const dbfiles::UsDatabase& db, const Wanted& wanted, std::size_t span,
                char* buffer, Fn&& fn, TextPages* pages = nullptr) {
  constexpr std::size_t kPage = TextPages::kPage;
  const std::uint64_t area_end = db.index_offset;
  const auto end_of = [&](std::size_t k) {
    return std::min<std::uint64_t>(std::uint64_t{wanted[k].first} + span, area_end);
  };
  const auto held = [&](std::size_t k) {
    return pages != nullptr && pages->holds(wanted[k].first, end_of(k));
  };
  std::size_t k = 0;
  while (k < wanted.size()) {
    if (held(k)) {
      pages->copy(wanted[k].first, end_of(k), buffer);
      if (!fn(wanted[k].second, buffer, static_cast<std::size_t>(end_of(k) - wanted[k].first))) {
        return;
      }
      ++k;
      continue;
    }
    std::uint64_t start = wanted[k].first;
    std::uint64_t stop = end_of(k);
    std::size_t last = k + 1;
    while (last < wanted.size() && wanted[last].first <= stop + kReadGap &&
           end_of(last) - start <= kMergedRead && !held(last)) {
      stop = std::max(stop, end_of(last));
      ++last;
    }
    // A small read is widened to whole pages, to be kept.
    const bool keep = pages != nullptr && stop - start <= TextPages::kKeptRead;
    if (keep) {
      start -= start % kPage;
      stop += (kPage - stop % kPage) % kPage;
    }
    const platform::IoResult r = db.file.read_at(start, buffer, stop - start);
    const std::uint64_t got = start + r.count;
    if (keep && r.ok()) {
      for (std::size_t j = k; j < last; ++j) {
        for (std::uint64_t p = wanted[j].first / kPage; p * kPage < end_of(j); ++p) {
          if ((p + 1) * kPage <= got) pages->keep(p, buffer + (p * kPage - start));
        }
      }
    }
    for (; k < last; ++k) {
      const std::uint64_t at = wanted[k].first;
      if (r.ok()) {
        const std::size_t count =
            got > at ? static_cast<std::size_t>(std::min(got, end_of(k)) - at) : 0;
        if (!fn(wanted[k].second, buffer + (at - start), count)) return;
        continue;
      }
      std::unique_ptr<char[]> one(new char[span]);
      const std::size_t count = static_cast<std::size_t>(
          db.file.read_at(at, one.get(), static_cast<std::size_t>(end_of(k) - at)).count);
      if (!fn(wanted[k].second, one.get(), count)) return;
    }
  }
}

// The leading bytes of a text, padded with zero bytes, as a big-endian number: texts compare as
// their leading bytes do.
std::uint64_t leading_bytes(const char* s, std::size_t len) {
  unsigned char lead[kKeyBytes] = {};
  std::memcpy(lead, s, std::min(len, kKeyBytes));
  std::uint64_t key = 0;
  for (const unsigned char c : lead) key = key << 8 | c;
  return key;
}

// Word w of entry i, as stored (little-endian).
std::uint32_t word_at(const IndexCopy& index, std::size_t i, int w) {
  const unsigned char* p = index.entry(i) + 4 * w;
  return p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t{p[3]} << 24;
}

std::uint32_t text_offset_at(const IndexCopy& index, std::size_t i) {
  return word_at(index, i, 1) & IndexEntry::kMaxTextOffset;
}

// The ZIP and state criteria as a test of an entry's `place` word: (place & mask) == want.
struct FixedData {
  FixedData(std::int32_t zip, int state) {
    if (zip != 0) {
      mask |= 0x1FFFFu;
      want |= static_cast<std::uint32_t>(zip);
      none = none || zip < 0 || zip > 0x1FFFF;
    }
    if (state != 0) {
      mask |= 0x3Fu << 17;
      want |= static_cast<std::uint32_t>(state) << 17;
      none = none || state < 0 || state > 0x3F;
    }
    if (none) mask = 0, want = 1;  // no entry holds such a ZIP code or state
  }
  bool passes(std::uint32_t place) const { return (place & mask) == want; }
  std::uint32_t mask = 0, want = 0;
  bool none = false;
};

// The first entry whose text offset is not below t, in an index whose text offsets never
// decrease.
std::size_t first_entry_at(const IndexCopy& index, std::uint32_t t) {
  std::size_t low = 0, high = index.entries();
  while (low < high) {
    const std::size_t mid = low + (high - low) / 2;
    if (text_offset_at(index, mid) < t) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low;
}

// Counts the fixed-data phase's percent as the entries go by: one more at every progress step.
struct Progress {
  explicit Progress(std::size_t entry_step) : step(entry_step), mark(entry_step) {}
  // Moves on to entry i; true when the percent changed.
  bool reach(std::size_t i) {
    if (i < mark) return false;
    percent = step == 0 ? static_cast<int>(i + 1) : static_cast<int>(i / step);
    mark = step == 0 ? i + 1 : (i / step + 1) * step;
    return true;
  }
  std::size_t step;
  std::size_t mark;
  int percent = 0;
};

// The result lines of the fixed-data phase, in the order the entries are given. Their texts are
// read a batch at a time, sorted by offset, in few large reads.
class LineWriter {
 public:
  LineWriter(const dbfiles::UsDatabase& db, std::size_t output_limit, SearchView& view,
             SearchOutcome* out, TextPages* pages)
      : db_(db),
        limit_(output_limit),
        view_(view),
        out_(out),
        pages_(pages),
        buffer_(new char[read_buffer_size(db)]) {}

  // Takes an entry that passed every criterion, reached at `percent`. False once the output
  // limit was passed: the phase ends.
  bool add(const IndexEntry& e, int percent) {
    batch_.push_back({e, percent});
    return batch_.size() < batch_size_ || flush();
  }

  bool flush() {
    if (stopped_) return false;
    wanted_.clear();
    spans_.assign(batch_.size(), {0, 0});
    made_.clear();
    for (std::size_t k = 0; k < batch_.size(); ++k) {
      const std::uint32_t t = batch_[k].entry.text_offset();
      if (t >= dbfiles::kHeaderSize && t < db_.index_offset) {
        wanted_.emplace_back(t, static_cast<std::uint32_t>(k));
      } else {
        make_line(k, "", 0);  // an offset outside the text area reads nothing
      }
    }
    std::sort(wanted_.begin(), wanted_.end());
    read_texts(db_, wanted_, kRecordRead, buffer_.get(),
               [&](std::uint32_t k, const char* text, std::size_t n) {
                 make_line(k, text, n);
                 return true;
               },
               pages_);
    for (std::size_t k = 0; k < batch_.size() && !stopped_; ++k) {
      out_->text.append(made_, spans_[k].first, spans_[k].second);
      ++out_->found;
      show_found(view_, out_->found, batch_[k].percent);
      if (limit_ != 0 && out_->text.size() > limit_) {
        view_.message_box("Some results will not be shown", "SORRY: Too much output",
                          SearchIcon::warning);
        stopped_ = true;
      }
    }
    batch_.clear();
    batch_size_ = std::min(2 * batch_size_, kLastBatch);
    return !stopped_;
  }

 private:
  struct Passed {
    IndexEntry entry;
    int percent;
  };

  void make_line(std::size_t k, const char* text, std::size_t n) {
    dbfiles::LookupResult result;
    dbfiles::unpack_entry(batch_[k].entry, &result);
    dbfiles::build_us_lines(text, n, &result);
    char line[4 * dbfiles::LookupResult::kLineSize + 16];
    dbfiles::LineOut out(line, sizeof line);
    out.padded(result.callsign, 6).text(" - ").text(result.name_line).text(" - ");
    out.text(result.street_line).text(" - ").text(result.place_line).text("\r\n");
    spans_[k] = {made_.size(), out.size()};
    made_.append(line, out.size());
  }

  const dbfiles::UsDatabase& db_;
  std::size_t limit_;
  SearchView& view_;
  SearchOutcome* out_;
  TextPages* pages_;
  std::unique_ptr<char[]> buffer_;
  std::vector<Passed> batch_;
  std::size_t batch_size_ = kFirstBatch;
  Wanted wanted_;
  std::string made_;                                         // the batch's lines, as read
  std::vector<std::pair<std::size_t, std::size_t>> spans_;   // each entry's line in made_
  bool stopped_ = false;
};

// One text of the name table: its leading bytes and where it lies.
struct NameKey {
  std::uint32_t high, low, offset;
  std::uint64_t key() const { return std::uint64_t{high} << 32 | low; }
};
static_assert(sizeof(NameKey) == 12);

// The counts of a counting sort over keys below a bound: one table of every key when many are
// to be counted, else blocks of 64 keys made as keys fall in them, so that a small file's table
// takes time and memory by its keys rather than by the bound.
class SparseCounts {
 public:
  SparseCounts(std::size_t bound, std::size_t keys) {
    if (keys >= bound / 8) {
      all_.assign(bound, 0);
    } else {
      blocks_.resize((bound + 63) / 64);
    }
  }

  void add(std::uint32_t key) {
    if (!all_.empty()) {
      ++all_[key];
      return;
    }
    std::unique_ptr<Block>& block = blocks_[key / 64];
    if (!block) block = std::make_unique<Block>();
    ++block->count[key % 64];
  }

  // Calls fn(key, count) for each key counted, in increasing order; fn may change the count.
  template <typename Fn>
  void each(Fn&& fn) {
    for (std::uint32_t key = 0; key < all_.size(); ++key) {
      if (all_[key] != 0) fn(key, all_[key]);
    }
    for (std::size_t b = 0; b < blocks_.size(); ++b) {
      for (std::uint32_t k = 0; blocks_[b] && k < 64; ++k) {
        std::uint32_t& count = blocks_[b]->count[k];
        if (count != 0) fn(static_cast<std::uint32_t>(b * 64 + k), count);
      }
    }
  }

  // The count of a key counted.
  std::uint32_t& operator[](std::uint32_t key) {
    return all_.empty() ? blocks_[key / 64]->count[key % 64] : all_[key];
  }

 private:
  struct Block {
    std::uint32_t count[64] = {};
  };
  std::vector<std::uint32_t> all_;
  std::vector<std::unique_ptr<Block>> blocks_;
};

// Sorts the name table by leading bytes; texts with the same leading bytes stay in any order.
// First in place by the two first bytes, then each run of those by the other six, a byte at a
// time, through a buffer as long as the longest run.
void sort_names(std::vector<NameKey>& names) {
  const auto run_of = [](const NameKey& n) { return n.high >> 16; };
  SparseCounts runs(65536, names.size());
  for (const NameKey& n : names) runs.add(run_of(n));
  // The runs present in order: the j-th holds names[start[j]] to names[start[j + 1]], and
  // runs[r] becomes run r's place j.
  std::vector<std::uint32_t> start{0};
  runs.each([&](std::uint32_t, std::uint32_t& count) {
    start.push_back(start.back() + count);
    count = static_cast<std::uint32_t>(start.size() - 2);
  });
  const std::size_t places = start.size() - 1;
  std::vector<std::uint32_t> next(start.begin(), start.end() - 1);
  std::size_t longest = 0;
  for (std::uint32_t j = 0; j < places; ++j) {
    longest = std::max<std::size_t>(longest, start[j + 1] - start[j]);
    while (next[j] < start[j + 1]) {  // each entry moves once, into the run it belongs to
      NameKey n = names[next[j]];
      for (std::uint32_t to = runs[run_of(n)]; to != j; to = runs[run_of(n)]) {
        std::swap(n, names[next[to]++]);
      }
      names[next[j]++] = n;
    }
  }
  std::vector<NameKey> spare(longest);
  for (std::size_t j = 0; j < places; ++j) {
    NameKey* const run = names.data() + start[j];
    const std::size_t count = start[j + 1] - start[j];
    if (count < 64) {
      std::sort(run, run + count,
                [](const NameKey& a, const NameKey& b) { return a.key() < b.key(); });
      continue;
    }
    NameKey* from = run;
    NameKey* to = spare.data();
    for (int shift = 0; shift < 48; shift += 8) {
      const auto digit = [shift](const NameKey& n) { return (n.key() >> shift) & 0xFF; };
      std::size_t at[257] = {};
      for (std::size_t i = 0; i < count; ++i) ++at[digit(from[i]) + 1];
      if (at[digit(from[0]) + 1] == count) continue;  // the same byte throughout
      for (int d = 0; d < 256; ++d) at[d + 1] += at[d];
      for (std::size_t i = 0; i < count; ++i) to[at[digit(from[i])]++] = from[i];
      std::swap(from, to);
    }
    if (from != run) std::copy(from, from + count, run);
  }
}

}  // namespace

struct SearchCache::Tables {
  explicit Tables(std::size_t kept_pages) : pages(kept_pages) {}
  // The opening of call.db the tables were made from.
  std::uint64_t opening = 0;
  // The strings of the text area as the scan finds them, sorted by their leading bytes; made by
  // the first name search. Empty strings are left out: a name never matches one.
  bool names_made = false;
  std::vector<NameKey> names;
  // True when the index's text offsets never decrease in key order, as writers lay the texts
  // out: the entries that own a text are then found by a binary search in the index.
  bool texts_in_key_order = false;
  // The entries' numbers ordered by ZIP code, in key order within each; `zips` holds the ZIP
  // codes present in increasing order, and the entries of zips[j] are by_zip[zip_end[j - 1]] to
  // by_zip[zip_end[j]] (from 0 for j = 0). Made by the first search with a ZIP code.
  bool zips_made = false;
  std::vector<std::uint32_t> by_zip;
  std::vector<std::uint32_t> zips;
  std::vector<std::uint32_t> zip_end;
  TextPages pages;
};

SearchCache::SearchCache(std::size_t kept) : kept_pages(kept) {}
SearchCache::~SearchCache() = default;
SearchCache::SearchCache(SearchCache&&) noexcept = default;
SearchCache& SearchCache::operator=(SearchCache&&) noexcept = default;

namespace {

constexpr std::uint32_t kZipCodes = 0x20000;  // what an entry's ZIP field can hold

// The cache's tables for this file: those kept, or new empty ones when they were made from
// another file or another reading of it.
SearchCache::Tables& tables_for(const dbfiles::UsDatabase& db, SearchCache* cache) {
  SearchCache::Tables* kept = cache->tables.get();
  if (kept != nullptr && kept->opening == db.opening) return *kept;
  cache->tables = std::make_unique<SearchCache::Tables>(cache->kept_pages);
  cache->tables->opening = db.opening;
  return *cache->tables;
}

// The name table, made now from one scan of the text area when the tables have none. A table
// from a scan that a failed read cut short serves this search only (*once).
const std::vector<NameKey>& name_table(const dbfiles::UsDatabase& db, const IndexCopy& index,
                                       SearchCache::Tables& tables,
                                       std::vector<NameKey>* once) {
  if (tables.names_made) return tables.names;
  std::vector<NameKey> names;
  names.reserve(index.entries() + 64);
  const bool whole = walk_texts(db, [&](std::uint32_t at, const char* s, std::size_t len) {
    if (len == 0) return true;
    const std::uint64_t key = leading_bytes(s, len);
    names.push_back({static_cast<std::uint32_t>(key >> 32), static_cast<std::uint32_t>(key), at});
    return true;
  });
  sort_names(names);
  tables.texts_in_key_order = true;
  for (std::size_t i = 1; i < index.entries() && tables.texts_in_key_order; ++i) {
    tables.texts_in_key_order = text_offset_at(index, i - 1) <= text_offset_at(index, i);
  }
  if (!whole) {
    *once = std::move(names);
    return *once;
  }
  tables.names = std::move(names);
  tables.names_made = true;
  return tables.names;
}

// The entries' numbers whose ZIP field holds `zip` (below kZipCodes), in key order, from the ZIP
// table; the table is made now by a counting sort when the tables have none.
std::pair<const std::uint32_t*, const std::uint32_t*> zip_entries(const IndexCopy& index,
                                                                  SearchCache::Tables& tables,
                                                                  std::uint32_t zip) {
  if (!tables.zips_made) {
    const std::size_t n = index.entries();
    const auto zip_of = [&](std::size_t i) { return word_at(index, i, 2) & (kZipCodes - 1); };
    SparseCounts codes(kZipCodes, n);
    for (std::size_t i = 0; i < n; ++i) codes.add(zip_of(i));
    std::uint32_t sum = 0;
    codes.each([&](std::uint32_t code, std::uint32_t& count) {  // each code's start, for now
      tables.zips.push_back(code);
      sum += count;
      count = sum - count;
    });
    tables.by_zip.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      tables.by_zip[codes[zip_of(i)]++] = static_cast<std::uint32_t>(i);
    }
    for (const std::uint32_t code : tables.zips) tables.zip_end.push_back(codes[code]);
    tables.zips_made = true;
  }
  const std::uint32_t* all = tables.by_zip.data();
  const auto code = std::lower_bound(tables.zips.begin(), tables.zips.end(), zip);
  if (code == tables.zips.end() || *code != zip) return {all, all};
  const std::size_t j = static_cast<std::size_t>(code - tables.zips.begin());
  return {all + (j == 0 ? 0 : tables.zip_end[j - 1]), all + tables.zip_end[j]};
}

// The name/city phase by the name table: the texts whose leading bytes equal the name's form one
// range of the table; longer names and cities are checked against the texts themselves. Gives
// what match_texts gives.
std::vector<std::uint32_t> match_names(const dbfiles::UsDatabase& db,
                                       const std::vector<NameKey>& names, const std::string& name,
                                       const std::string& city, SearchView& view, bool* full) {
  std::vector<std::uint32_t> matches;
  *full = false;
  if (name.find('\0') != std::string::npos) return matches;  // texts hold no zero byte
  const std::size_t lead = std::min(kKeyBytes, name.size());
  const std::uint64_t low = leading_bytes(name.data(), lead);
  const std::uint64_t high = lead == kKeyBytes ? low : low | (~std::uint64_t{0} >> (8 * lead));
  auto first = std::lower_bound(names.begin(), names.end(), low,
                                [](const NameKey& n, std::uint64_t k) { return n.key() < k; });
  auto last = std::upper_bound(first, names.end(), high,
                               [](std::uint64_t k, const NameKey& n) { return k < n.key(); });
  std::vector<std::uint32_t> range;
  range.reserve(static_cast<std::size_t>(last - first));
  for (auto it = first; it != last; ++it) range.push_back(it->offset);
  std::sort(range.begin(), range.end());
  if (name.size() <= kKeyBytes && city.empty()) {
    if (range.size() > kMaxNameMatches) range.resize(kMaxNameMatches);
    matches = std::move(range);
  } else {
    Wanted wanted;
    wanted.reserve(range.size());
    for (const std::uint32_t at : range) wanted.emplace_back(at, at);
    std::unique_ptr<char[]> buffer(new char[read_buffer_size(db)]);
    read_texts(db, wanted, dbfiles::kMaxRecordText, buffer.get(),
               [&](std::uint32_t at, const char* text, std::size_t n) {
                 std::unique_ptr<char[]> longer;
                 if (std::memchr(text, '\0', n) == nullptr) {  // longer than a record
                   longer.reset(new char[kScanBuffer]);
                   const std::size_t room =
                       std::min<std::size_t>(kScanBuffer, db.index_offset - at);
                   n = static_cast<std::size_t>(db.file.read_at(at, longer.get(), room).count);
                   text = longer.get();
                   if (std::memchr(text, '\0', n) == nullptr) return true;  // changed since
                 }
                 const std::size_t len = std::strlen(text);
                 if (name_passes(text, len, name) && city_passes(text, len, city)) {
                   matches.push_back(at);
                 }
                 return matches.size() < kMaxNameMatches;
               });
  }
  if (!matches.empty()) {
    char text[32];
    std::snprintf(text, sizeof text, "Matched %d", static_cast<int>(matches.size()));
    view.set_status(text);
  }
  *full = matches.size() == kMaxNameMatches;
  return matches;
}

}  // namespace

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
  const long value = std::strtol(text.c_str(), nullptr, 10);
  if (value > INT32_MAX || value < INT32_MIN) return value > 0 ? INT32_MAX : INT32_MIN;
  return static_cast<std::int32_t>(value);
}

bool has_criteria(const SearchCriteria& criteria) {
  return !criteria.name.empty() || !criteria.city.empty() || criteria.state != 0 ||
         zip_criterion(criteria.zip) != 0;
}

SearchOutcome extended_search(const dbfiles::UsDatabase& db, const IndexCopy& index,
                              const SearchCriteria& criteria, std::size_t output_limit,
                              SearchView& view, SearchCache* cache) {
  SearchOutcome out;
  view.set_status("");
  const std::string& typed_name = criteria.name;
  const std::string& city = criteria.city;
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
  SearchCache::Tables* tables = cache != nullptr ? &tables_for(db, cache) : nullptr;
  bool by_name_table = false;   // the name table answered
  std::vector<NameKey> once;
  if (!typed_name.empty() || !city.empty()) {
    const std::string name = normalise_name(typed_name);
    view.set_status("Searching names/cities...");
    bool full = false;
    if (tables != nullptr && !name.empty()) {
      matches = match_names(db, name_table(db, index, *tables, &once), name, city, view, &full);
      by_name_table = true;
    } else {
      matches = match_texts(db, name, city, view, &full);
    }
    match_count = matches.empty() ? -1 : static_cast<long>(matches.size());
    if (full) {
      view.message_box("Some may not be displayed. Use a longer name criteria.",
                       "WARNING: Too many name matches", SearchIcon::none);
    }
  }

  view.set_status("Searching fixed data...");
  if (match_count != -1) {
    if (output_limit != 0) out.text.reserve(output_limit + 512);
    LineWriter lines(db, output_limit, view, &out, tables != nullptr ? &tables->pages : nullptr);
    Progress progress(db.count / 100);
    const FixedData fixed(zip, state);
    std::size_t cursor = 0;
    std::uint32_t last_offset = 0;
    // Whether the entry numbered i passes every criterion; they are tried in key order.
    const auto passes = [&](std::size_t i) {
      if (!fixed.passes(word_at(index, i, 2))) return false;
      if (match_count <= 0) return true;
      // The offsets were found in file order, so the list is sorted; and writers lay the texts
      // out in index order, so a cursor that mostly moves forward finds them. A text out of
      // that order puts the cursor back by halving, so that the next forward step starts from
      // the right place.
      const std::uint32_t t = text_offset_at(index, i);
      if (t >= last_offset) {
        while (cursor < matches.size() && matches[cursor] < t) ++cursor;
      } else {
        cursor = static_cast<std::size_t>(
            std::lower_bound(matches.begin(), matches.end(), t) - matches.begin());
      }
      last_offset = t;
      return cursor < matches.size() && matches[cursor] == t;
    };
    const auto add = [&](std::size_t i) {
      if (progress.reach(i)) show_found(view, out.found, progress.percent);
      return !passes(i) || lines.add(IndexEntry::decode(index.entry(i)), progress.percent);
    };
    bool more = true;
    if (by_name_table && tables->texts_in_key_order) {
      // The entries that own the matched texts lie in runs found by binary search, in key order
      // as the offsets are sorted.
      for (std::size_t m = 0; m < matches.size() && more; ++m) {
        for (std::size_t i = first_entry_at(index, matches[m]);
             more && i < index.entries() && text_offset_at(index, i) == matches[m]; ++i) {
          more = add(i);
        }
      }
    } else if (tables != nullptr && zip != 0 && !fixed.none) {
      // The ZIP table holds the entries of one ZIP code in key order.
      const auto [first, last] = zip_entries(index, *tables, static_cast<std::uint32_t>(zip));
      for (const std::uint32_t* i = first; i != last && more; ++i) more = add(*i);
    } else {
      for (std::size_t i = 0; i < index.entries() && more; ++i) more = add(i);
    }
    if (more) lines.flush();
  }
  char done[48];
  std::snprintf(done, sizeof done, "Done - found %d", out.found);
  view.set_status(done);
  return out;
}

}  // namespace lookup
