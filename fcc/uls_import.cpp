#include "fcc/uls_import.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <tuple>
#include <utility>

#include "dbfiles/callkey.h"
#include "dbfiles/dbwriter.h"
#include "dbfiles/usdb.h"
#include "platform/platform.h"
#include "fcc/zip_archive.h"
#include "updater/doupdate.h"
#include "updater/folder_job.h"
#include "updater/worker_link.h"

namespace calldb {

namespace uls {

std::string clean_text(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) {
      c = ' ';
    } else if ((b >= 'a' && b <= 'z') || (b >= 0xE0 && b <= 0xFE && b != 0xF7)) {
      c = static_cast<char>(b - 0x20);
    }
  }
  const std::size_t first = out.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return out.substr(first, out.find_last_not_of(' ') - first + 1);
}

bool is_storable_call(const std::string& call) {
  if (call.size() < 3 || call.size() > 6 || !dbfiles::is_us_callsign(call.c_str())) return false;
  for (std::size_t i = 1; i < call.size(); ++i) {
    const char c = call[i];
    if (!(c >= '0' && c <= '9') && !(c >= 'A' && c <= 'Z')) return false;
  }
  return call == dbfiles::decode_call(dbfiles::encode_call(call.c_str()));
}

std::uint32_t state_index(std::string_view code) {
  if (code.size() != 2) return 0;
  for (int i = 1; i < dbfiles::kStateCount; ++i) {
    const char* known = dbfiles::StateCodes[i];
    bool same = true;
    for (int j = 0; j < 2; ++j) {
      char c = code[j];
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      same = same && c == known[j];
    }
    if (same) return static_cast<std::uint32_t>(i);
  }
  return 0;
}

std::uint32_t zip_number(std::string_view zip) {
  if (zip.size() < 5) return 0;
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 5; ++i) {
    if (zip[i] < '0' || zip[i] > '9') return 0;
    value = value * 10 + static_cast<std::uint32_t>(zip[i] - '0');
  }
  return value;
}

}  // namespace uls

bool is_calendar_date(const std::string& date) {
  if (date.size() != 8) return false;
  for (const char c : date) {
    if (c < '0' || c > '9') return false;
  }
  const int year = std::stoi(date.substr(0, 4));
  const int month = std::stoi(date.substr(4, 2));
  const int day = std::stoi(date.substr(6, 2));
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || month < 1 || month > 12 || day < 1) return false;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

namespace {

using uls::clean_text;

constexpr std::size_t kMaxLine = 16384;       // longer lines are left out
constexpr std::size_t kReadChunk = 1 << 20;
constexpr std::uint64_t kCheckEvery = 4096;   // lines between progress reports and stop checks
constexpr std::size_t kMaxStreet = 63;
constexpr std::size_t kMaxName = 255;
constexpr std::size_t kShownName = dbfiles::LookupResult::kLineSize - 1;
constexpr char kSeparator = '\x1F';  // between the kept EN fields; clean text holds no such byte

enum class Kind { en, hd, am, other };

struct KindInfo {
  const char* file;
  const char* type;
  std::size_t fields;  // fields a record needs, up to the last one read
};
constexpr KindInfo kKinds[] = {{"EN.dat", "EN", 24}, {"HD.dat", "HD", 8}, {"AM.dat", "AM", 16}};
const KindInfo& info(Kind kind) { return kKinds[static_cast<int>(kind)]; }

// The EN fields kept, in this order, joined by kSeparator.
constexpr int kEnFields[] = {4, 7, 8, 9, 10, 11, 15, 16, 17, 18, 19, 23};
enum EnField { kCall, kEntity, kFirst, kMi, kLast, kSuffix, kStreet, kCity, kState, kZip, kPoBox,
               kApplicantType, kEnFieldCount };

bool same_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

Kind kind_of(std::string_view path) {
  const std::size_t slash = path.find_last_of("/\\");
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  for (const Kind kind : {Kind::en, Kind::hd, Kind::am}) {
    if (same_ignoring_case(name, info(kind).file)) return kind;
  }
  return Kind::other;
}

// MM/DD/YYYY as YYYYMMDD; 0 when it is not such a date.
std::uint32_t grant_date(std::string_view text) {
  if (text.size() != 10 || text[2] != '/' || text[5] != '/') return 0;
  std::uint32_t parts[3] = {};
  const std::size_t starts[3] = {0, 3, 6};
  const std::size_t lengths[3] = {2, 2, 4};
  for (int p = 0; p < 3; ++p) {
    for (std::size_t i = starts[p]; i < starts[p] + lengths[p]; ++i) {
      if (text[i] < '0' || text[i] > '9') return 0;
      parts[p] = parts[p] * 10 + static_cast<std::uint32_t>(text[i] - '0');
    }
  }
  return parts[2] * 10000 + parts[0] * 100 + parts[1];
}

// The unique system identifier: 1 to 18 digits.
bool parse_identifier(std::string_view text, std::uint64_t* value) {
  if (text.empty() || text.size() > 18) return false;
  *value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    *value = *value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return true;
}

void split(std::string_view line, char separator, std::vector<std::string_view>* fields) {
  fields->clear();
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = line.find(separator, start);
    if (end == std::string_view::npos) {
      fields->push_back(line.substr(start));
      return;
    }
    fields->push_back(line.substr(start, end - start));
    start = end + 1;
  }
}

void trim_end(std::string* text) {
  while (!text->empty() && text->back() == ' ') text->pop_back();
}
// A name of our own beside `final_path`, reserved by creating it exclusively (never through a
// symlink); the file at that name is removed when the object goes, unless it was committed.
int reserve(platform::NewFile* file, const std::string& final_path, std::string* error) {
  const int created = file->create(final_path);
  if (created != 0) {
    *error = final_path + ": cannot create a temporary file (error " + std::to_string(created) +
             ")";
  }
  return created == 0 ? 0 : -1;
}

// Pieces of a file's content in order: puts up to `capacity` bytes into `out` and returns how
// many, 0 at the end, or -1 with *error set.
using ByteSource = std::function<long long(char* out, std::size_t capacity, std::string* error)>;

// Lines of a file's content, without their LF or CR LF; the last may lack its line end.
class LineReader {
 public:
  explicit LineReader(ByteSource source)
      : source_(std::move(source)), buffer_(std::make_unique_for_overwrite<char[]>(kReadChunk)) {}

  // Returns 1 with the next line in *line (empty and *too_long set for a line past kMaxLine
  // bytes), 0 at the end, or -1 with *error set.
  int next(std::string* line, bool* too_long, std::string* error) {
    line->clear();
    *too_long = false;
    bool any = false;
    for (;;) {
      if (pos_ == end_) {
        if (ended_) {
          if (!any) return 0;
          break;
        }
        const long long got = source_(buffer_.get(), kReadChunk, error);
        if (got < 0) return -1;
        ended_ = got == 0;
        pos_ = 0;
        end_ = static_cast<std::size_t>(got);
        continue;
      }
      any = true;
      const char* begin = buffer_.get() + pos_;
      const void* found = std::memchr(begin, '\n', end_ - pos_);
      const std::size_t stop =
          found == nullptr ? end_ : static_cast<std::size_t>(static_cast<const char*>(found) -
                                                             buffer_.get());
      if (!*too_long) {
        if (line->size() + (stop - pos_) > kMaxLine) {
          *too_long = true;
          line->clear();
        } else {
          line->append(begin, stop - pos_);
        }
      }
      pos_ = stop;
      if (found != nullptr) {
        ++pos_;
        break;
      }
    }
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return 1;
  }

 private:
  ByteSource source_;
  std::unique_ptr<char[]> buffer_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  bool ended_ = false;
};

// The texts kept for the licences, in blocks. A text is named by one word: its block, its offset
// in the block and, in the low 16 bits, its size; the empty text is 0. A text replaced by one no
// longer is overwritten in place; what a replace leaves unused is counted, so that the owner
// can copy the texts still named into a new store (compact) once that outweighs them.
class TextStore {
 public:
  std::uint64_t add(std::string_view text) {
    if (text.empty()) return 0;
    if (kBlock - used_ < text.size()) {
      blocks_.push_back(std::make_unique_for_overwrite<char[]>(kBlock));
      used_ = 0;
    }
    std::memcpy(blocks_.back().get() + used_, text.data(), text.size());
    const std::uint64_t ref = (static_cast<std::uint64_t>(blocks_.size() - 1) << 36) |
                              (static_cast<std::uint64_t>(used_) << 16) | text.size();
    used_ += text.size();
    return ref;
  }
  // The name of `text` in place of the text `old` names.
  std::uint64_t replace(std::uint64_t old, std::string_view text) {
    const std::size_t old_size = old & 0xFFFF;
    if (old == 0 || text.size() > old_size) {
      unused_ += old_size;
      return add(text);
    }
    unused_ += old_size - text.size();
    if (text.empty()) return 0;
    std::memcpy(blocks_[old >> 36].get() + ((old >> 16) & (kBlock - 1)), text.data(),
                text.size());
    return (old & ~std::uint64_t{0xFFFF}) | text.size();
  }
  std::string_view get(std::uint64_t ref) const {
    if (ref == 0) return {};
    return {blocks_[ref >> 36].get() + ((ref >> 16) & (kBlock - 1)), ref & 0xFFFF};
  }
  // True when replaces left more bytes unused than the texts still named hold, and more than
  // `slack`: copying those into a new store then at least halves the memory.
  bool wants_compacting(std::size_t slack) const {
    const std::size_t stored = blocks_.size() * kBlock - (blocks_.empty() ? 0 : kBlock - used_);
    return unused_ > slack && unused_ > stored - unused_;
  }

 private:
  static constexpr std::size_t kBlock = 1 << 20;  // a text is at most kMaxLine bytes
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t used_ = kBlock;
  std::size_t unused_ = 0;  // bytes of the blocks no text names any more
};

// Where a record was read: a file (index into the importer's labels) and a line. Packed to 12
// bytes, so that a Licence takes 64.
#pragma pack(push, 4)
struct Origin {
  std::uint32_t file = 0;
  std::uint64_t line = 0;
};
#pragma pack(pop)

// A licence as its HD record gives it, with what its EN and AM records add.
struct Licence {
  std::uint64_t id = 0;
  std::uint64_t order = 0;  // the HD record's read order over all sources
  std::uint64_t call = 0;   // HD's call sign, in the TextStore
  std::uint64_t en = 0;     // the kept EN fields, 0 while there is no EN record
  std::uint64_t am = 0;     // AM's previous call sign
  Origin origin;            // of the HD record
  std::uint32_t grant = 0;
  dbfiles::CallKey key = 0;  // set once the call sign is known to be storable
  bool active = false;       // status A in the amateur service (HA, HV)
  bool seeded = false;       // taken from callfcc.dat
  bool saw_en = false;       // an EN record of the licensee was read from the sources
  bool saw_am = false;       // and an AM record
};
static_assert(sizeof(Licence) <= 64);

constexpr std::uint32_t kNone = 0xFFFFFFFF;

// Items by place in blocks of a fixed count: places stay put as items are added, a place is
// found by a shift, and growing never copies what is held.
template <typename T>
class Blocks {
 public:
  T& operator[](std::size_t place) { return blocks_[place >> kShift][place & (kCount - 1)]; }
  const T& operator[](std::size_t place) const {
    return blocks_[place >> kShift][place & (kCount - 1)];
  }
  std::size_t size() const { return size_; }
  T& emplace_back() {
    if (size_ == blocks_.size() * kCount) blocks_.push_back(std::make_unique<T[]>(kCount));
    return (*this)[size_++];
  }
  T& back() { return (*this)[size_ - 1]; }

 private:
  static constexpr std::size_t kShift = 12;
  static constexpr std::size_t kCount = std::size_t{1} << kShift;
  std::vector<std::unique_ptr<T[]>> blocks_;
  std::size_t size_ = 0;
};

// Puts places in the order of their keys (unique), sorting the keys beside them rather than
// looking each up at every comparison.
template <typename KeyOf>
void sort_places(std::vector<std::uint32_t>* places, KeyOf key_of) {
  std::vector<std::pair<std::uint64_t, std::uint32_t>> keyed;
  keyed.reserve(places->size());
  for (const std::uint32_t place : *places) keyed.emplace_back(key_of(place), place);
  std::sort(keyed.begin(), keyed.end());
  for (std::size_t i = 0; i < keyed.size(); ++i) (*places)[i] = keyed[i].second;
}

// The places of items by a 64-bit key, given by `key_of(place)`: open addressing over slots
// that hold a place + 1.
template <typename KeyOf>
class PlaceIndex {
 public:
  explicit PlaceIndex(KeyOf key_of) : key_of_(std::move(key_of)), slots_(1 << 12, 0) {}

  // The slot of `key`: the place + 1 of its item, or 0 when there is none (then set it to add
  // one with add()).
  std::uint32_t& slot(std::uint64_t key) {
    std::size_t i = home(key);
    while (slots_[i] != 0 && key_of_(slots_[i] - 1) != key) i = (i + 1) & (slots_.size() - 1);
    return slots_[i];
  }
  std::uint32_t find(std::uint64_t key) { return slot(key) - 1; }  // kNone when absent
  // Room for `count` items in all without growing.
  void reserve(std::size_t count) { grow(count); }
  void add(std::uint32_t place) {
    grow(count_ + 1);
    slot(key_of_(place)) = place + 1;
    ++count_;
  }
  const std::vector<std::uint32_t>& slots() const { return slots_; }
  void clear() {
    std::vector<std::uint32_t>(1 << 12, 0).swap(slots_);
    count_ = 0;
  }

 private:
  void grow(std::size_t count) {
    std::size_t size = slots_.size();
    while (count * 2 > size) size *= 2;
    if (size != slots_.size()) {
      std::vector<std::uint32_t> old(size, 0);
      old.swap(slots_);
      for (const std::uint32_t s : old) {
        if (s != 0) slot(key_of_(s - 1)) = s;
      }
    }
  }
  std::size_t home(std::uint64_t key) const {
    key ^= key >> 33;
    key *= 0xFF51AFD7ED558CCDull;
    key ^= key >> 33;
    return static_cast<std::size_t>(key) & (slots_.size() - 1);
  }

  KeyOf key_of_;
  std::vector<std::uint32_t> slots_;
  std::size_t count_ = 0;
};

// Record types are read in two passes: HD first, from every source in order, so that the EN
// and AM records read next are kept for the active licences alone.
enum class Pass { hd, en_am };

bool in_pass(Kind kind, Pass pass) {
  return pass == Pass::hd ? kind == Kind::hd : kind == Kind::en || kind == Kind::am;
}

class Importer {
 public:
  Importer(const ImportOptions& options, ImportReport* report)
      : options_(options), report_(*report), source_records_(options.sources.size()) {}

  int seed(std::string* error);
  int apply_source(std::size_t index, Pass pass, std::string* error);
  int check_complete(std::string* error);
  int finish(std::string* error);
  void close_notes();

 private:
  int apply_folder(const std::string& source, Pass pass, std::string* error);
  int apply_archive(const std::string& source, Pass pass, std::string* error);
  int apply_path(const std::string& path, const std::string& label, Kind kind,
                 std::string* error);
  int apply_lines(ByteSource bytes, Kind kind, const std::string& label, std::string* error);
  void read_record(Kind kind, std::string_view line, Origin origin);
  void compact_texts();
  std::string kept_en_fields();
  // Walking `places` in another order than the licences lie in memory: the licence 16 places
  // on and the texts of the one 8 on are asked for ahead of their turn.
  void prefetch_ahead(const std::vector<std::uint32_t>& places, std::size_t i) {
#if defined(__GNUC__)
    if (i + 16 < places.size()) __builtin_prefetch(&licences_[places[i + 16]]);
    if (i + 8 < places.size()) {
      const Licence& ahead = licences_[places[i + 8]];
      __builtin_prefetch(texts_.get(ahead.en).data());
      __builtin_prefetch(texts_.get(ahead.call).data());
    }
#else
    (void)places;
    (void)i;
#endif
  }
  // Lets the licences and their texts go, once written.
  void release() {
    licences_ = Blocks<Licence>();
    texts_ = TextStore();
    by_id_.clear();
    seeded_ = 0;
  }
  void note(Origin origin, const std::string& reason);
  void skip(Origin origin, const std::string& reason) {
    ++report_.skipped;
    note(origin, reason);
  }
  bool cancelled() const { return options_.cancel != nullptr && options_.cancel->load(); }
  // The record of call.db for `key` and its kept EN fields, made in *out (its texts' room kept).
  void make_record(dbfiles::CallKey key, std::string_view en_fields, dbfiles::UsRecord* out);
  int count_changes(const std::string& old_path, const std::string& new_path, std::string* error);
  int write_state(const std::string& call_db, const std::string& callprev_db,
                  platform::File* file, std::string* error);
  Licence* licence(std::uint64_t id) {
    // Those of callfcc.dat lie first, by identifier; later ones are found through by_id_.
    std::size_t low = 0, high = seeded_;
    while (low < high) {
      const std::size_t mid = low + (high - low) / 2;
      if (licences_[mid].id < id) {
        low = mid + 1;
      } else {
        high = mid;
      }
    }
    if (low < seeded_ && licences_[low].id == id) return &licences_[low];
    const std::uint32_t place = by_id_.find(id);
    return place == kNone ? nullptr : &licences_[place];
  }

  const ImportOptions& options_;
  ImportReport& report_;
  std::vector<std::string> labels_;  // "SOURCE MEMBER" of each file read, escaped
  std::vector<int> shown_;           // notes shown per file
  std::vector<std::uint64_t> hidden_;  // and not shown
  std::string source_;               // the source being read, escaped
  std::vector<std::uint64_t> source_records_;  // records read from each source
  std::uint64_t* records_ = nullptr;           // the count of the source being read
  std::uint64_t order_ = 0;
  Blocks<Licence> licences_;  // every licence an HD record made active, in first read order
  std::size_t seeded_ = 0;    // the first of them, taken from callfcc.dat (not in by_id_)
  struct IdOf {
    const Blocks<Licence>* licences;
    std::uint64_t operator()(std::uint32_t place) const { return (*licences)[place].id; }
  };
  PlaceIndex<IdOf> by_id_{IdOf{&licences_}};
  TextStore texts_;
  std::vector<std::string_view> fields_;
  ZipInflate zlib_;
  std::string zlib_error_;  // why zlib cannot be used, once it was tried
};

void Importer::note(Origin origin, const std::string& reason) {
  if (shown_[origin.file] < options_.notes_per_file) {
    ++shown_[origin.file];
    if (options_.note) {
      options_.note(labels_[origin.file] + " line " + std::to_string(origin.line) + ": " + reason);
    }
  } else {
    ++hidden_[origin.file];
  }
}

void Importer::close_notes() {
  for (std::size_t i = 0; i < labels_.size(); ++i) {
    if (hidden_[i] > 0 && options_.note) {
      options_.note(labels_[i] + ": " + std::to_string(hidden_[i]) + " more lines left out");
    }
    hidden_[i] = 0;
  }
}

int Importer::apply_source(std::size_t index, Pass pass, std::string* error) {
  const std::string& source = options_.sources[index];
  source_ = updater::escape_controls(source);
  records_ = &source_records_[index];
  std::error_code ec;
  if (!platform::file_exists(source)) {
    *error = source + ": not found";
    return -1;
  }
  if (std::filesystem::is_directory(source, ec)) return apply_folder(source, pass, error);
  if (looks_like_zip(source)) return apply_archive(source, pass, error);
  const Kind kind = kind_of(source);
  if (kind == Kind::other) {
    *error = source + ": not a ZIP archive, a folder, or an EN.dat, HD.dat or AM.dat file";
    return -1;
  }
  return in_pass(kind, pass) ? apply_path(source, source, kind, error) : 0;
}

int Importer::apply_folder(const std::string& source, Pass pass, std::string* error) {
  std::vector<std::string> names;
  const int listed = platform::list_files(source, "*.dat", &names);
  if (listed != 0) {
    *error = source + ": cannot list the folder (error " + std::to_string(listed) + ")";
    return -1;
  }
  bool any = false;
  for (const Kind kind : {Kind::en, Kind::hd, Kind::am}) {
    for (const std::string& name : names) {
      if (kind_of(name) != kind) continue;
      any = true;
      if (in_pass(kind, pass) && apply_path(platform::join_path(source, name),
                                            source + " " + name, kind, error) != 0) {
        return -1;
      }
      break;
    }
  }
  if (!any) {
    *error = source + ": the folder holds none of EN.dat, HD.dat and AM.dat";
    return -1;
  }
  return 0;
}

int Importer::apply_path(const std::string& path, const std::string& label, Kind kind,
                         std::string* error) {
  platform::File file;
  int code = file.open(path, platform::Access::read, platform::Share::read,
                       platform::Disposition::open_existing);
  const platform::IoResult size = code == 0 ? file.size() : platform::IoResult{};
  if (code == 0) code = size.error;
  if (code != 0) {
    *error = path + ": cannot read (error " + std::to_string(code) + ")";
    return -1;
  }
  std::uint64_t offset = 0;
  const std::uint64_t length = size.count;
  const auto bytes = [&](char* out, std::size_t capacity, std::string* message) -> long long {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(length - offset, capacity));
    if (want == 0) return 0;
    const platform::IoResult got = file.read_at(offset, out, want);
    if (!got.ok()) {
      *message = "read error " + std::to_string(got.error);
      return -1;
    }
    if (got.count == 0) {
      *message = "the file ends early";
      return -1;
    }
    offset += got.count;
    return static_cast<long long>(got.count);
  };
  return apply_lines(bytes, kind, label, error);
}

int Importer::apply_archive(const std::string& source, Pass pass, std::string* error) {
  ZipArchive zip;
  const int opened = zip.open(source);
  if (opened != 0) {
    *error = source + ": cannot read (error " + std::to_string(opened) + ")";
    return -1;
  }
  ZipEntry member;
  std::string message;
  for (;;) {
    const int got = zip.next(&member, &message);
    if (got == 0) return 0;
    if (got < 0) {
      *error = source + ": " + message;
      return -1;
    }
    const Kind kind = kind_of(member.name);
    if (kind == Kind::other || !in_pass(kind, pass)) continue;
    const std::string label = source + " " + member.name;
    if (member.method != 0 && member.method != 8) {
      *error = label + ": compression method " + std::to_string(member.method) +
               " is not read here";
      return -1;
    }
    if (member.method == 8 && !zlib_.loaded()) {
      if (zlib_error_.empty() && !zlib_.load(options_.zlib_library, &zlib_error_)) {
        zlib_error_ = "zlib (" + options_.zlib_library + ") cannot be used: " + zlib_error_;
      }
      if (!zlib_.loaded()) {
        *error = label + ": " + zlib_error_;
        return -1;
      }
    }
    const auto bytes = [&](char* out, std::size_t capacity, std::string* why) {
      return zip.read(&zlib_, out, capacity, why);
    };
    if (apply_lines(bytes, kind, label, error) != 0) return -1;
  }
}

int Importer::apply_lines(ByteSource bytes, Kind kind, const std::string& label,
                          std::string* error) {
  labels_.push_back(updater::escape_controls(label));
  shown_.push_back(0);
  hidden_.push_back(0);
  Origin origin;
  origin.file = static_cast<std::uint32_t>(labels_.size() - 1);
  LineReader reader(std::move(bytes));
  std::string line;
  bool too_long = false;
  std::string message;
  for (;;) {
    const int got = reader.next(&line, &too_long, &message);
    if (got < 0) {
      *error = label + ": " + message;
      return -1;
    }
    if (got == 0) break;
    ++origin.line;
    if (too_long) {
      skip(origin, "line longer than " + std::to_string(kMaxLine) + " bytes");
    } else if (!line.empty()) {
      read_record(kind, line, origin);
    }
    if (origin.line % kCheckEvery == 0) {
      if (cancelled()) {
        *error = "cancelled";
        return -1;
      }
      if (options_.progress) options_.progress(source_, *records_);
    }
  }
  if (options_.progress) options_.progress(source_, *records_);
  return 0;
}

void Importer::read_record(Kind kind, std::string_view line, Origin origin) {
  const KindInfo& kind_info = info(kind);
  split(line, '|', &fields_);
  if (fields_[0] != kind_info.type) {
    skip(origin, std::string("not an ") + kind_info.type + " record");
    return;
  }
  if (fields_.size() < kind_info.fields) {
    skip(origin, std::to_string(fields_.size()) + " fields, " + std::to_string(kind_info.fields) +
                     " needed");
    return;
  }
  std::uint64_t id = 0;
  if (!parse_identifier(fields_[1], &id)) {
    skip(origin, "unique system identifier \"" + clean_text(fields_[1].substr(0, 20)) +
                     "\" is not a number of 1 to 18 digits");
    return;
  }
  ++report_.records_read;
  ++*records_;
  switch (kind) {
    case Kind::hd: {
      // A record that is not active only ends an earlier active one of its licence.
      const std::string service = clean_text(fields_[6]);
      const bool active = clean_text(fields_[5]) == "A" && (service == "HA" || service == "HV");
      ++order_;
      Licence* held = licence(id);
      if (!active) {
        if (held != nullptr) held->active = false;
        return;
      }
      if (held == nullptr) {
        if (licences_.size() >= kNone - 1) return;  // past what any archive can hold
        licences_.emplace_back().id = id;
        by_id_.add(static_cast<std::uint32_t>(licences_.size() - 1));
        held = &licences_.back();
      }
      held->call = texts_.replace(held->call, clean_text(fields_[4]));
      held->active = true;
      held->grant = grant_date(fields_[7]);
      held->order = order_;
      held->origin = origin;
      break;
    }
    case Kind::en: {
      const std::string entity_type = clean_text(fields_[5]);
      if (!entity_type.empty() && entity_type != "L") return;  // not the licensee
      Licence* held = licence(id);
      if (held == nullptr || !held->active) return;
      held->en = texts_.replace(held->en, kept_en_fields());
      held->saw_en = true;
      break;
    }
    case Kind::am: {
      Licence* held = licence(id);
      if (held != nullptr && held->active) {
        held->am = texts_.replace(held->am, clean_text(fields_[15]));
        held->saw_am = true;
      }
      break;
    }
    case Kind::other:
      break;
  }
  if (texts_.wants_compacting(options_.text_slack)) compact_texts();
}

// The EN fields of the record in fields_ that call.db's record is made from, joined by
// kSeparator; those make_record passes over are left empty (the entity name of a person, a
// person's name parts of an entity, parts without a letter or digit, the applicant type, the PO
// box beside a street, an unknown state, the ZIP code past its five digits or one that does not
// start with five), so that callfcc.dat holds no more than it needs.
std::string Importer::kept_en_fields() {
  std::string f[kEnFieldCount];
  for (int i = 0; i < kEnFieldCount; ++i) f[i] = clean_text(fields_[kEnFields[i]]);
  const bool individual = !f[kLast].empty() && (f[kApplicantType] == "I" || f[kEntity].empty());
  f[kApplicantType].clear();
  if (individual) {
    f[kEntity].clear();
    for (const int part : {kFirst, kMi, kSuffix}) {
      if (std::none_of(f[part].begin(), f[part].end(), [](char c) {
            return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z');
          })) {
        f[part].clear();
      }
    }
  } else {
    for (const int part : {kFirst, kMi, kLast, kSuffix}) f[part].clear();
  }
  if (!f[kStreet].empty()) f[kPoBox].clear();
  if (uls::state_index(f[kState]) == 0) f[kState].clear();
  const bool five_digits = f[kZip].size() >= 5 && std::all_of(f[kZip].begin(), f[kZip].begin() + 5,
                                                               [](char c) { return c >= '0' && c <= '9'; });
  f[kZip].resize(five_digits ? 5 : 0);
  std::string kept = std::move(f[0]);
  for (int i = 1; i < kEnFieldCount; ++i) {
    kept.push_back(kSeparator);
    kept += f[i];
  }
  return kept;
}

// The licences of callfcc.dat, as the import that wrote it held them at its end, with the read
// order going on from there.
int Importer::seed(std::string* error) {
  const std::string path = platform::join_path(options_.folder, kFccStateName);
  FccStateHeader header;
  std::string why;
  labels_.push_back(updater::escape_controls(path));
  shown_.push_back(0);
  hidden_.push_back(0);
  Origin origin;
  origin.file = static_cast<std::uint32_t>(labels_.size() - 1);
  if (check_state(options_.folder, &header, &why) == 0) {
    const int read = read_state(path, &header, [&](const StateLicence& from) {
      ++origin.line;
      if (licences_.size() >= kNone - 1) return;
      Licence& held = licences_.emplace_back();
      held.id = from.id;
      held.order = from.order;
      held.grant = from.grant;
      held.call = texts_.add(from.call);
      held.en = texts_.add(from.en);
      held.am = texts_.add(from.am);
      held.origin = origin;
      held.active = true;
      held.seeded = true;
    }, &why);
    if (read == 0) {
      seeded_ = licences_.size();
      order_ = header.next_order;
      return 0;
    }
    why = std::string(kFccStateName) + ": " + why;
  }
  report_.needs_weekly = true;
  *error = why + ": the weekly archive is needed";
  return -1;
}

// After an import that went on from callfcc.dat: every licence active at the end is known as
// a full import would know it.
int Importer::check_complete(std::string* error) {
  for (std::size_t place = 0; place < licences_.size(); ++place) {
    const Licence& held = licences_[place];
    if (!held.active || held.seeded || (held.saw_en && held.saw_am)) continue;
    report_.needs_weekly = true;
    *error = "licence " + std::to_string(held.id) + " (" + std::string(texts_.get(held.call)) +
             ") is not in " + kFccStateName + " and the sources lack its " +
             (held.saw_en ? "AM" : "EN") + " record: the weekly archive is needed";
    return -1;
  }
  return 0;
}

// The texts still named, copied into a new store: memory goes with the licences held, however
// often their lines repeat.
void Importer::compact_texts() {
  TextStore kept;
  for (std::size_t place = 0; place < licences_.size(); ++place) {
    Licence& held = licences_[place];
    held.call = kept.add(texts_.get(held.call));
    held.en = kept.add(texts_.get(held.en));
    held.am = kept.add(texts_.get(held.am));
  }
  texts_ = std::move(kept);
}

void Importer::make_record(dbfiles::CallKey key, std::string_view en_fields,
                           dbfiles::UsRecord* out) {
  std::string_view f[kEnFieldCount];
  for (std::size_t i = 0, start = 0; i < kEnFieldCount && start <= en_fields.size(); ++i) {
    std::size_t end = start;
    while (end < en_fields.size() && en_fields[end] != kSeparator) ++end;
    f[i] = en_fields.substr(start, end - start);
    start = end + 1;
  }
  dbfiles::UsRecord& record = *out;
  record.key = key;
  record.po_box = false;

  const std::string_view last = f[kLast];
  const bool individual = !last.empty() && (f[kApplicantType] == "I" || f[kEntity].empty());
  if (individual) {
    record.name = last;
    bool first = true;
    for (const std::string_view part : {f[kFirst], f[kMi], f[kSuffix]}) {
      const bool has_alnum = std::any_of(part.begin(), part.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z');
      });
      if (!has_alnum) continue;
      record.name += first ? ", " : " ";
      record.name += part;
      first = false;
    }
  } else {
    record.name = f[kEntity];
  }

  record.street = f[kStreet];
  if (record.street.empty() && !f[kPoBox].empty()) {
    std::string_view box = f[kPoBox];
    if (box.substr(0, 7) == dbfiles::kPoBoxPrefix) box = box.substr(7);
    record.street = box;
    record.po_box = !record.street.empty();
  }
  record.city = f[kCity];
  record.state = uls::state_index(f[kState]);
  record.zip = uls::zip_number(f[kZip]);

  // Cut what does not fit, the order told in the header.
  bool cut = false;
  const auto cut_to = [&cut](std::string* text, std::size_t size) {
    if (text->size() <= size) return;
    text->resize(size);
    trim_end(text);
    cut = true;
  };
  cut_to(&record.street, kMaxStreet);
  cut_to(&record.name, kMaxName);
  const auto excess = [&record]() -> std::size_t {
    const std::size_t used = record.name.size() + record.street.size() + record.city.size() + 1;
    return used > dbfiles::kMaxRecordText ? used - dbfiles::kMaxRecordText : 0;
  };
  const auto shorten = [&](std::string* text, std::size_t floor) {
    const std::size_t over = excess();
    if (over == 0 || text->size() <= floor) return;
    cut_to(text, std::max(floor, text->size() - std::min(over, text->size())));
  };
  shorten(&record.name, kShownName);
  shorten(&record.street, 0);
  shorten(&record.city, 0);
  shorten(&record.name, 0);
  if (record.street.empty()) record.po_box = false;
  if (cut) ++report_.cut;
}


// A record's text as call.db stores it (name, street, city and its terminator), read through a
// window that moves forward with the texts, which lie in index order.
class TextWindow {
 public:
  explicit TextWindow(const dbfiles::UsDatabase& db) : db_(db) {}
  std::string_view text(const dbfiles::IndexEntry& entry) {
    const std::uint64_t at = entry.text_offset();
    const std::uint64_t area_end = db_.index_offset;
    if (at < start_ || at + dbfiles::kMaxRecordText > start_ + bytes_.size()) {
      const std::uint64_t want = std::min<std::uint64_t>(kReadChunk, area_end - std::min(at, area_end));
      bytes_.resize(static_cast<std::size_t>(want));
      bytes_.resize(db_.file.read_at(at, bytes_.data(), bytes_.size()).count);
      start_ = at;
    }
    std::string_view text(bytes_);
    text = text.substr(std::min<std::size_t>(at - start_, text.size()), dbfiles::kMaxRecordText);
    const std::size_t city = std::min<std::size_t>(entry.name_len() + entry.street_len(),
                                                   text.size());
    return text.substr(0, text.find('\0', city) + 1);
  }

 private:
  const dbfiles::UsDatabase& db_;
  std::string bytes_;
  std::uint64_t start_ = 0;
};

// The calls of the new call.db against the old one's (all new when there was none).
int Importer::count_changes(const std::string& old_path, const std::string& new_path,
                            std::string* error) {
  dbfiles::UsDatabase older, newer;
  if (dbfiles::open_call_db(new_path, &newer) != 0) {
    *error = new_path + ": cannot be read back";
    return -1;
  }
  if (!platform::file_exists(old_path) || dbfiles::open_call_db(old_path, &older) != 0) {
    report_.new_calls = newer.count;
    return 0;
  }
  TextWindow old_texts(older), new_texts(newer);
  std::size_t i = 0, j = 0;
  while (i < older.count || j < newer.count) {
    const dbfiles::IndexEntry a =
        i < older.count ? dbfiles::IndexEntry::decode(older.entry(i)) : dbfiles::IndexEntry{};
    const dbfiles::IndexEntry b =
        j < newer.count ? dbfiles::IndexEntry::decode(newer.entry(j)) : dbfiles::IndexEntry{};
    if (j == newer.count || (i < older.count && a.key < b.key)) {
      ++report_.deleted_calls;
      ++i;
    } else if (i == older.count || b.key < a.key) {
      ++report_.new_calls;
      ++j;
    } else {
      if (a.place != b.place || a.street_len() != b.street_len() ||
          old_texts.text(a) != new_texts.text(b)) {
        ++report_.changed_calls;
      }
      ++i;
      ++j;
    }
  }
  return 0;
}

// callfcc.dat for the files just written: every licence active at the end, by identifier.
int Importer::write_state(const std::string& call_db, const std::string& callprev_db,
                          platform::File* file, std::string* error) {
  FccStateHeader header;
  header.date = options_.date;
  header.archive = options_.state_archive;
  header.next_order = order_;
  if (stamp_file(call_db, &header.call_db, error) != 0 ||
      stamp_file(callprev_db, &header.callprev_db, error) != 0) {
    return -1;
  }
  // In the order they were first read they are mostly by identifier already (those of a state
  // come in its order, and new licences get higher identifiers): sorted only when they are not.
  std::vector<std::uint32_t> places;
  for (std::size_t place = 0; place < licences_.size(); ++place) {
    if (licences_[place].active) places.push_back(static_cast<std::uint32_t>(place));
  }
  header.licences = places.size();
  const auto id_of = [this](std::uint32_t place) { return licences_[place].id; };
  if (!std::is_sorted(places.begin(), places.end(), [&id_of](std::uint32_t a, std::uint32_t b) {
        return id_of(a) < id_of(b);
      })) {
    sort_places(&places, id_of);
  }
  StateWriter out(file);
  int rc = out.begin(header);
  for (std::size_t i = 0; rc == 0 && i < places.size(); ++i) {
    const Licence& held = licences_[places[i]];
    rc = out.add({held.id, held.order, held.grant, texts_.get(held.call), texts_.get(held.en),
                  texts_.get(held.am)});
  }
  if (rc == 0) rc = out.finish();
  if (rc != 0) *error = "cannot be written (error " + std::to_string(rc) + ")";
  return rc == 0 ? 0 : -1;
}

int Importer::finish(std::string* error) {
  by_id_.clear();  // every record is read: the licences are not looked up by identifier again
  // Active licences in read order, so that notes come in the order of the input.
  std::vector<std::uint32_t> active;
  for (std::size_t place = 0; place < licences_.size(); ++place) {
    if (licences_[place].active) active.push_back(static_cast<std::uint32_t>(place));
  }
  sort_places(&active, [this](std::uint32_t place) { return licences_[place].order; });

  // The licence kept for each call sign, found through the keys alone, which lie close together.
  std::vector<dbfiles::CallKey> keys(licences_.size());
  const auto key_of = [&keys](std::uint32_t place) -> std::uint64_t { return keys[place]; };
  PlaceIndex<decltype(key_of)> by_key(key_of);
  by_key.reserve(active.size());
  for (std::size_t i = 0; i < active.size(); ++i) {
    prefetch_ahead(active, i);
    const std::uint32_t place = active[i];
    Licence& candidate = licences_[place];
    const std::string_view en = texts_.get(candidate.en);
    std::string call(texts_.get(candidate.call));
    if (call.empty()) call = std::string(en.substr(0, en.find(kSeparator)));
    const auto who = [&candidate] { return "licence " + std::to_string(candidate.id); };
    if (candidate.en == 0) {
      skip(candidate.origin, who() + " (" + call + ") has no EN record: left out");
      continue;
    }
    if (call.empty()) {
      skip(candidate.origin, who() + " has no call sign: left out");
      continue;
    }
    if (!uls::is_storable_call(call)) {
      skip(candidate.origin, who() + ": call sign \"" + call + "\" cannot be stored: left out");
      continue;
    }
    candidate.key = dbfiles::encode_call(call.c_str());
    keys[place] = candidate.key;
    std::uint32_t& slot = by_key.slot(candidate.key);
    if (slot == 0) {
      by_key.add(place);
      continue;
    }
    const Licence& held = licences_[slot - 1];
    const bool newer =
        std::pair(candidate.grant, candidate.order) > std::pair(held.grant, held.order);
    const Licence& loser = newer ? held : candidate;
    const Licence& winner = newer ? candidate : held;
    ++report_.duplicates;
    skip(loser.origin, "licence " + std::to_string(loser.id) + " has call sign " + call +
                           " as licence " + std::to_string(winner.id) +
                           " has: the later grant is kept");
    if (newer) slot = place + 1;
  }
  active = {};
  // The licences kept, found in place order (where they lie in memory), with the text of each
  // beside its key; then by key, as call.db holds them.
  std::vector<bool> kept(licences_.size());
  for (const std::uint32_t slot : by_key.slots()) {
    if (slot != 0) kept[slot - 1] = true;
  }
#pragma pack(push, 4)
  struct Written {  // 12 bytes
    dbfiles::CallKey key;
    std::uint64_t en;
  };
#pragma pack(pop)
  std::vector<Written> written;
  // Each previous call sign goes to the licence with the latest grant (then read) naming it.
  struct Successor {
    dbfiles::CallKey old_key;
    std::uint32_t grant;
    std::uint64_t order;
    dbfiles::CallKey key;
  };
  std::vector<Successor> successors;
  for (std::size_t place = 0; place < licences_.size(); ++place) {
    if (!kept[place]) continue;
    const Licence& licence = licences_[place];
    written.push_back({licence.key, licence.en});
    const std::string old(texts_.get(licence.am));
    if (old.empty() || !uls::is_storable_call(old)) continue;
    const dbfiles::CallKey old_key = dbfiles::encode_call(old.c_str());
    if (old_key == licence.key || by_key.find(old_key) != kNone) continue;
    successors.push_back({old_key, licence.grant, licence.order, licence.key});
  }
  kept = {};
  if (written.empty()) {
    *error = "no active licence in the sources: nothing written";
    return -1;
  }
  std::sort(written.begin(), written.end(),
            [](const Written& a, const Written& b) { return a.key < b.key; });
  std::sort(successors.begin(), successors.end(), [](const Successor& a, const Successor& b) {
    return std::tuple(a.old_key, a.grant, a.order) < std::tuple(b.old_key, b.grant, b.order);
  });
  std::vector<dbfiles::PrevEntry> previous;
  for (std::size_t i = 0; i < successors.size(); ++i) {
    if (i + 1 < successors.size() && successors[i + 1].old_key == successors[i].old_key) continue;
    dbfiles::PrevEntry entry;
    entry.old_key = successors[i].old_key;
    entry.new_key = successors[i].key;
    previous.push_back(entry);
  }
  successors = {};
  by_key.clear();
  keys = {};

  // Each file is written whole under its staged name, then the set is put in place together
  // (see fcc/fcc_state.h).
  const std::string call_path = platform::join_path(options_.folder, "call.db");
  const std::string prev_path = platform::join_path(options_.folder, "callprev.db");
  const std::string state_path = platform::join_path(options_.folder, kFccStateName);
  const bool with_state = !options_.state_archive.day.empty();
  platform::NewFile call_new;
  platform::NewFile prev_new;
  platform::NewFile state_new;
  if (reserve(&call_new, call_path + kStagedSuffix, error) != 0 ||
      reserve(&prev_new, prev_path + kStagedSuffix, error) != 0 ||
      (with_state && reserve(&state_new, state_path + kStagedSuffix, error) != 0)) {
    return -1;
  }
  {
    dbfiles::CallDbWriter writer;  // its index goes once the file is written
    int rc = writer.open(call_new.temp_path(), options_.date);
    dbfiles::UsRecord r;
    for (std::size_t i = 0; rc == 0 && i < written.size(); ++i) {
#if defined(__GNUC__)
      if (i + 8 < written.size()) __builtin_prefetch(texts_.get(written[i + 8].en).data());
#endif
      make_record(written[i].key, texts_.get(written[i].en), &r);
      rc = writer.add(r.key, r.name, r.street, r.city, r.state, r.zip, r.po_box);
    }
    if (rc == 0) rc = writer.finish();
    if (rc != 0) {
      *error = call_path + ": " + writer.error();
      return -1;
    }
  }
  std::string message;
  if (dbfiles::write_prev_db(prev_new.temp_path(), options_.date, previous, &message) != 0) {
    *error = prev_path + ": " + message;
    return -1;
  }
  std::vector<std::string> set = {"call.db", "callprev.db"};
  if (with_state) {
    if (write_state(call_new.temp_path(), prev_new.temp_path(),
                    &state_new.file(), error) != 0) {
      *error = state_path + ": " + *error;
      return -1;
    }
    set.push_back(kFccStateName);
  }
  // The licences are written: their memory goes before the two databases are compared.
  const std::uint64_t licences = written.size();
  release();
  if (options_.count_changes && count_changes(call_path, call_new.temp_path(), error) != 0) {
    return -1;
  }
  for (platform::NewFile* file : {&call_new, &prev_new, &state_new}) {
    if (!file->is_open()) continue;
    const int committed = file->commit();
    if (committed != 0) {
      *error = file->final_path() + ": cannot be written (error " + std::to_string(committed) +
               ")";
      return -1;
    }
  }
  // A state that would not match the new files goes first: without one, the next run
  // fetches the weekly archive.
  if (!with_state && platform::file_exists(state_path)) {
    const int removed = platform::delete_file(state_path);
    if (removed != 0 || platform::sync_folder(options_.folder.empty() ? "." : options_.folder)) {
      *error = state_path + ": cannot be removed (error " + std::to_string(removed) + ")";
      return -1;
    }
  }
  if (options_.keep_previous && platform::file_exists(call_path)) {
    // Its name comes from the date in its header; nothing else of it is read.
    platform::File old;
    char date[dbfiles::kDateSize + 1] = {};
    updater::Date day;
    if (old.open(call_path, platform::Access::read, platform::Share::read_write,
                 platform::Disposition::open_existing) != 0 ||
        old.read_at(0, date, dbfiles::kDateSize).count != dbfiles::kDateSize ||
        !updater::parse_date(date, &day)) {
      *error = call_path + ": its date cannot be read to keep it as callMMDD.db";
      return -1;
    }
    old.close();
    const std::string saved = "call" + std::string(date + 4, 4) + ".db";
    const int kept = updater::keep_old_database(options_.folder, saved);
    if (kept != 0) {
      *error = "ERROR " + std::to_string(kept) + " moving call.db to " + saved;
      return -1;
    }
    report_.kept = saved;
  }
  if (updater::replace_together(options_.folder, set, options_.between_replaces, error) != 0) return -1;
  report_.licences = licences;
  report_.previous = previous.size();
  return 0;
}

int run_import(const ImportOptions& options, ImportReport* report, std::string* error) {
  *report = ImportReport{};
  if (!is_calendar_date(options.date)) {
    *error = "the date must be a calendar date YYYYMMDD, not \"" + options.date + "\"";
    return -1;
  }
  if (options.sources.empty()) {
    *error = "no source given";
    return -1;
  }
  std::error_code ec;
  if (!options.folder.empty() && !std::filesystem::is_directory(options.folder, ec)) {
    *error = options.folder + ": not a folder";
    return -1;
  }
  // The folder's one writer from here to the last rename (shared with a fetch-fcc run of this
  // program that imports what it fetched).
  platform::FolderLock lock;
  if (updater::lock_folder(options.folder, &lock, error) != 0) return -1;
  // What a killed run left: temporary files of ended processes, and the fixed names only
  // earlier versions of the import wrote. call.db.new is not among them: it is the merge's
  // output, and this import never writes it.
  if (updater::finish_replacing(options.folder, error) != 0) return -1;
  platform::remove_stale_temporaries(options.folder, updater::is_data_file_name);
  for (const char* name : {"callprev.db.new", "import-uls-EN.dat.part", "import-uls-HD.dat.part",
                           "import-uls-AM.dat.part"}) {
    platform::delete_file(platform::join_path(options.folder, name));
  }
  Importer importer(options, report);
  int rc = options.from_state ? importer.seed(error) : 0;
  for (const Pass pass : {Pass::hd, Pass::en_am}) {
    for (std::size_t i = 0; rc == 0 && i < options.sources.size(); ++i) {
      rc = importer.apply_source(i, pass, error);
    }
  }
  if (rc == 0 && options.from_state) rc = importer.check_complete(error);
  if (rc == 0) rc = importer.finish(error);
  importer.close_notes();
  return rc;
}

}  // namespace

int import_uls(const ImportOptions& options, ImportReport* report, std::string* error) {
  const int rc = run_import(options, report, error);
  // An error may name a path or a member as it came: shown with its control bytes escaped.
  if (rc != 0) *error = updater::escape_controls(*error);
  return rc;
}

}  // namespace calldb
