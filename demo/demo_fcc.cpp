#include "demo/demo_fcc.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "dbfiles/callkey.h"
#include "platform/platform.h"
#include "demo/demo_data.h"
#include "fcc/fetch_fcc.h"
#include "updater/doupdate.h"

namespace calldb::demo {

namespace {

// ---------------------------------------------------------------------------------------------
// zlib's deflate, loaded at run time like the updater's inflate

struct Deflate {
  int (*deflateInit2_)(z_streamp, int, int, int, int, int, const char*, int) = nullptr;
  int (*deflate)(z_streamp, int) = nullptr;
  int (*deflateEnd)(z_streamp) = nullptr;
  unsigned long (*crc32)(unsigned long, const unsigned char*, unsigned int) = nullptr;
  platform::Library library;

  bool load(const std::string& name) {
    if (library.open(name) != 0) return false;
    deflateInit2_ = reinterpret_cast<decltype(deflateInit2_)>(library.symbol("deflateInit2_"));
    deflate = reinterpret_cast<decltype(deflate)>(library.symbol("deflate"));
    deflateEnd = reinterpret_cast<decltype(deflateEnd)>(library.symbol("deflateEnd"));
    crc32 = reinterpret_cast<decltype(crc32)>(library.symbol("crc32"));
    return deflateInit2_ != nullptr && deflate != nullptr && deflateEnd != nullptr &&
           crc32 != nullptr;
  }
};

// ---------------------------------------------------------------------------------------------
// The archive, written as it is made

// `bytes` bytes of `v`, the least significant first.
void put(std::string* out, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

class ZipWriter {
 public:
  ZipWriter(platform::File& file, Deflate& z, bool zip64, std::uint32_t dos_date,
            std::uint32_t dos_time)
      : file_(file), z_(z), zip64_(zip64), date_(dos_date), time_(dos_time) {}
  ~ZipWriter() {
    if (open_) z_.deflateEnd(&stream_);
  }

  // Each returns 0 or an error code (errno's, or EIO for a deflate that failed).
  int begin(const std::string& name);
  int write(std::string_view data) { return pump(data, Z_NO_FLUSH); }
  int end();
  int finish();
  std::uint64_t size() const { return offset_; }

 private:
  struct Member {
    std::string name;
    std::uint32_t crc = 0;
    std::uint64_t packed = 0, size = 0, offset = 0;
  };
  int emit(const std::string& bytes) {
    const int error = file_.write(bytes.data(), bytes.size()).error;
    offset_ += bytes.size();
    return error;
  }
  int pump(std::string_view data, int flush);
  std::uint32_t version() const { return zip64_ ? 45 : 20; }

  platform::File& file_;
  Deflate& z_;
  const bool zip64_;
  const std::uint32_t date_, time_;
  std::uint64_t offset_ = 0;
  std::vector<Member> members_;
  z_stream stream_{};
  bool open_ = false;
  std::string out_;
};

int ZipWriter::begin(const std::string& name) {
  members_.push_back(Member{name, 0, 0, 0, offset_});
  stream_ = z_stream{};
  if (z_.deflateInit2_(&stream_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8,
                       Z_DEFAULT_STRATEGY, ZLIB_VERSION, sizeof(z_stream)) != Z_OK) {
    return EIO;
  }
  open_ = true;
  std::string h;
  put(&h, 0x04034B50, 4);
  put(&h, version(), 2);
  put(&h, 0x0008, 2);  // the sizes and the CRC follow the data
  put(&h, 8, 2);       // deflated
  put(&h, time_, 2);
  put(&h, date_, 2);
  put(&h, 0, 4);
  put(&h, zip64_ ? 0xFFFFFFFF : 0, 4);
  put(&h, zip64_ ? 0xFFFFFFFF : 0, 4);
  put(&h, static_cast<std::uint32_t>(name.size()), 2);
  put(&h, zip64_ ? 20 : 0, 2);
  h += name;
  if (zip64_) {
    put(&h, 1, 2);
    put(&h, 16, 2);
    put(&h, 0, 8);
    put(&h, 0, 8);
  }
  return emit(h);
}

int ZipWriter::pump(std::string_view data, int flush) {
  Member& m = members_.back();
  m.size += data.size();
  for (std::size_t at = 0; at < data.size();) {
    const auto n = static_cast<unsigned>(std::min<std::size_t>(data.size() - at, 1u << 30));
    m.crc = static_cast<std::uint32_t>(
        z_.crc32(m.crc, reinterpret_cast<const unsigned char*>(data.data() + at), n));
    at += n;
  }
  stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream_.avail_in = static_cast<uInt>(data.size());
  int rc = Z_OK;
  do {
    out_.resize(1 << 18);
    stream_.next_out = reinterpret_cast<Bytef*>(out_.data());
    stream_.avail_out = static_cast<uInt>(out_.size());
    rc = z_.deflate(&stream_, flush);
    if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) return EIO;
    out_.resize(out_.size() - stream_.avail_out);
    m.packed += out_.size();
    if (const int error = emit(out_); error != 0) return error;
  } while (stream_.avail_in > 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
  return 0;
}

int ZipWriter::end() {
  if (const int error = pump({}, Z_FINISH); error != 0) return error;
  z_.deflateEnd(&stream_);
  open_ = false;
  const Member& m = members_.back();
  std::string d;
  put(&d, 0x08074B50, 4);
  put(&d, m.crc, 4);
  if (zip64_) {
    put(&d, m.packed, 8);
    put(&d, m.size, 8);
  } else {
    put(&d, static_cast<std::uint32_t>(m.packed), 4);
    put(&d, static_cast<std::uint32_t>(m.size), 4);
  }
  return emit(d);
}

int ZipWriter::finish() {
  const std::uint64_t start = offset_;
  std::string c;
  for (const Member& m : members_) {
    put(&c, 0x02014B50, 4);
    put(&c, (3 << 8) | version(), 2);  // made on Unix
    put(&c, version(), 2);
    put(&c, 0x0008, 2);
    put(&c, 8, 2);
    put(&c, time_, 2);
    put(&c, date_, 2);
    put(&c, m.crc, 4);
    put(&c, zip64_ ? 0xFFFFFFFF : static_cast<std::uint32_t>(m.packed), 4);
    put(&c, zip64_ ? 0xFFFFFFFF : static_cast<std::uint32_t>(m.size), 4);
    put(&c, static_cast<std::uint32_t>(m.name.size()), 2);
    put(&c, zip64_ ? 28 : 0, 2);
    put(&c, 0, 2);  // comment
    put(&c, 0, 2);  // disk
    put(&c, 1, 2);  // text
    put(&c, 0100644u << 16, 4);
    put(&c, zip64_ ? 0xFFFFFFFF : static_cast<std::uint32_t>(m.offset), 4);
    c += m.name;
    if (zip64_) {
      put(&c, 1, 2);
      put(&c, 24, 2);
      put(&c, m.size, 8);
      put(&c, m.packed, 8);
      put(&c, m.offset, 8);
    }
  }
  const std::uint64_t length = c.size();
  const auto count = static_cast<std::uint32_t>(members_.size());
  if (zip64_) {
    const std::uint64_t record = start + length;
    put(&c, 0x06064B50, 4);
    put(&c, 44, 8);  // the record's size after this field
    put(&c, (3 << 8) | 45, 2);
    put(&c, 45, 2);
    put(&c, 0, 4);
    put(&c, 0, 4);
    put(&c, count, 8);
    put(&c, count, 8);
    put(&c, length, 8);
    put(&c, start, 8);
    put(&c, 0x07064B50, 4);  // the locator
    put(&c, 0, 4);
    put(&c, record, 8);
    put(&c, 1, 4);
  }
  put(&c, 0x06054B50, 4);
  put(&c, 0, 2);
  put(&c, 0, 2);
  put(&c, zip64_ ? 0xFFFF : count, 2);
  put(&c, zip64_ ? 0xFFFF : count, 2);
  put(&c, zip64_ ? 0xFFFFFFFF : static_cast<std::uint32_t>(length), 4);
  put(&c, zip64_ ? 0xFFFFFFFF : static_cast<std::uint32_t>(start), 4);
  put(&c, 0, 2);
  return emit(c);
}

// ---------------------------------------------------------------------------------------------
// The licences

// One record: fields joined by '|', padded with empty ones to its type's count, CR LF.
class Record {
 public:
  Record(std::string* out, const char* type, int fields) : out_(out), left_(fields - 1) {
    out_->append(type);
  }
  ~Record() {
    out_->append(static_cast<std::size_t>(left_), '|');
    out_->append("\r\n");
  }
  Record& operator<<(std::string_view field) {
    out_->push_back('|');
    out_->append(field);
    --left_;
    return *this;
  }
  Record& skip(int n) {
    out_->append(static_cast<std::size_t>(n), '|');
    left_ -= n;
    return *this;
  }

 private:
  std::string* out_;
  int left_;
};

std::string number(std::uint64_t n, int width) {
  char text[32];
  std::snprintf(text, sizeof text, "%0*llu", width, static_cast<unsigned long long>(n));
  return text;
}

std::string us_date(std::int64_t day) {
  if (day == 0) return {};
  const updater::Date d = updater::date_from_days(day);
  char text[16];
  std::snprintf(text, sizeof text, "%02d/%02d/%04d", d.month, d.day, d.year);
  return text;
}

// "SMITH JR" -> "Smith Jr", Latin-1 capitals too.
std::string mixed_case(std::string text) {
  bool first = true;
  for (char& ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    const bool capital = (c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7);
    if (capital && !first) ch = static_cast<char>(c + 0x20);
    first = !(capital || (c >= 'a' && c <= 'z') || c >= 0xDF || c == '\'');
  }
  return text;
}

constexpr const char* kLatin1Surnames[] = {"PE\xD1" "A", "M\xDCLLER", "NU\xD1" "EZ",
                                           "C\xD4T\xC9", "BJ\xD6RK", "GAR\xC7ON"};
constexpr const char* kHistory[] = {"LIISS ", "SYSGRT", "LIREN ", "LIMOD "};

struct Licence {
  std::uint32_t usi = 0;
  UsLicensee who;
  char status = 'A';
  bool vanity = false;
  bool mixed = false;
  std::int64_t grant = 0, expiry = 0, cancelled = 0, action = 0;
  std::string file_number, licensee_id, frn;
  char operator_class = 'E';
  std::string previous_call, previous_class, trustee_call, trustee_name, attention;
  bool comment = false;
  int history = 0;  // HS lines besides the cancellation's
};

// Each licence is made from the seed and its index alone, so that every member's pass over
// the licences sees the same ones; only the call signs, kept unique, are drawn ahead.
class Licences {
 public:
  Licences(const FccArchiveOptions& o, std::int64_t today) : o_(o), today_(today) {
    taken_.reserve(o.licences + o.licences / 4);
    keys_.reserve(o.licences);
    for (std::size_t i = 0; i < o.licences; ++i) {
      Random rng = random(i, 0);
      std::string call = random_us_licensee(rng).call;
      while (!taken_.insert(dbfiles::encode_call(call.c_str())).second) call = random_us_call(rng);
      keys_.push_back(dbfiles::encode_call(call.c_str()));
    }
  }

  // The licences of the weekly archive.
  std::size_t size() const { return o_.licences; }
  Licence make(std::size_t i) const;
  std::string call_of(std::size_t i) const { return dbfiles::decode_call(keys_[i]); }
  // A call sign no licence had yet.
  std::string new_call(Random& rng) {
    std::string call = random_us_call(rng);
    while (!taken_.insert(dbfiles::encode_call(call.c_str())).second) call = random_us_call(rng);
    return call;
  }
  // A licence granted after the weekly archive: the next index, with a call sign of its own.
  std::size_t grant(Random& rng) {
    keys_.push_back(dbfiles::encode_call(new_call(rng).c_str()));
    return keys_.size() - 1;
  }

 private:
  Random random(std::size_t i, std::uint64_t stream) const {
    return Random((o_.seed * 0x9E3779B97F4A7C15ull) ^ (i * 4 + stream));
  }

  const FccArchiveOptions& o_;
  const std::int64_t today_;
  std::unordered_set<dbfiles::CallKey> taken_;
  std::vector<dbfiles::CallKey> keys_;
};

Licence Licences::make(std::size_t i) const {
  Licence l;
  Random first = random(i, 0);
  l.who = random_us_licensee(first);
  l.who.call = dbfiles::decode_call(keys_[i]);
  Random rng = random(i, 1);
  l.usi = static_cast<std::uint32_t>(100000 + 3 * i + rng.below(3));
  l.licensee_id = "L" + number(100000 + 3 * i + rng.below(3), 8);
  l.frn = number(1000000 + 5 * i + rng.below(5), 10);
  if (rng.chance(600)) l.file_number = number(rng.below(12000000), 10);
  const bool active = (i + 1) * o_.active / o_.licences != i * o_.active / o_.licences;
  if (!active) {
    const std::uint32_t roll = rng.below(1000);
    l.status = roll < 550 ? 'E' : roll < 850 ? 'C' : roll < 970 ? 'T' : roll < 980 ? 'L'
               : roll < 990 ? 'P' : 'X';
    if (rng.chance(1)) l.who.call.clear();
  }
  l.vanity = rng.chance(80);
  if (l.status == 'A') {
    l.grant = today_ - rng.below(3650);
    l.expiry = l.grant + 3652;
    l.action = rng.chance(800) ? l.grant : l.grant + rng.below(static_cast<std::uint32_t>(
                                                         today_ - l.grant + 1));
  } else if (l.status == 'E') {
    l.expiry = today_ - 731 - rng.below(4000);
    l.grant = l.expiry - 3652;
    l.cancelled = l.expiry + 730 + rng.below(3);
    l.action = l.cancelled;
  } else {
    l.grant = today_ - 30 - rng.below(9000);
    l.expiry = l.grant + 3652;
    if (l.status == 'C' || l.status == 'T') {
      l.cancelled = l.grant + rng.below(static_cast<std::uint32_t>(today_ - l.grant));
    }
    l.action = l.cancelled != 0 ? l.cancelled : l.grant;
  }

  l.mixed = rng.chance(350);
  UsLicensee& w = l.who;
  if (!w.club.empty()) {
    l.trustee_call = random_us_call(rng);
    UsLicensee trustee = random_us_licensee(rng);
    while (!trustee.club.empty()) trustee = random_us_licensee(rng);
    l.trustee_name = trustee.last + ", " + trustee.first;
    if (rng.chance(400)) l.attention = " " + l.trustee_name;
    l.operator_class = ' ';
  } else {
    if (rng.chance(3)) w.last = rng.pick(kLatin1Surnames);
    if (rng.chance(2)) w.suffix = ".";
    const std::uint32_t roll = rng.below(1000);
    l.operator_class = roll < 350 ? 'E' : roll < 600 ? 'G' : roll < 900 ? 'T' : roll < 980 ? 'A'
                       : roll < 990 ? 'N' : 'P';
    if (rng.chance(350)) {
      l.previous_call = random_us_call(rng);
      l.previous_class = std::string(1, "AGTPNE"[rng.below(6)]);
    }
  }
  if (rng.chance(15) && w.street.size() > 4 && w.po_box.empty()) {
    w.street = "BOX " + std::to_string(1 + rng.below(3000));
  }
  if (l.mixed) {
    for (std::string* s : {&w.first, &w.last, &w.suffix, &w.club, &w.street, &w.city}) {
      *s = mixed_case(*s);
    }
  }
  if (rng.chance(1)) w.state = mixed_case(w.state);
  if (rng.chance(1)) {
    for (char& c : w.state) c = static_cast<char>(c | 0x20);
  }
  l.comment = ((l.status == 'C' || l.status == 'T') && rng.chance(150)) ||
              (l.status == 'A' && l.vanity && rng.chance(100));
  l.history = rng.chance(150) ? 1 + static_cast<int>(rng.below(2)) : 0;
  return l;
}

std::string zip_code(const UsLicensee& w, Random& rng) {
  std::string zip = number(w.zip, 5);
  if (rng.chance(400)) zip += number(rng.below(10000), 4);
  return zip;
}

void en_record(const Licence& l, std::string* out) {
  const UsLicensee& w = l.who;
  Random rng(l.usi);
  std::string entity = w.club;
  if (w.club.empty()) {
    entity = w.last + (w.suffix.empty() ? "" : " " + w.suffix) + ", " + w.first;
    if (!w.middle.empty()) entity += " " + w.middle;
  }
  Record(out, "EN", 30) << std::to_string(l.usi) << "" << "" << w.call << "L" << l.licensee_id
                        << entity << w.first << w.middle << w.last << w.suffix << "" << "" << ""
                        << w.street << w.city << w.state << zip_code(w, rng) << w.po_box
                        << l.attention << "000" << l.frn << (w.club.empty() ? "I" : "B");
}

void hd_record(const Licence& l, std::string* out) {
  const UsLicensee& w = l.who;
  std::string first = w.first, middle = w.middle, last = w.last;
  if (!w.club.empty()) {
    const std::size_t comma = l.trustee_name.find(", ");
    last = l.trustee_name.substr(0, comma);
    first = l.trustee_name.substr(comma + 2);
  }
  Record(out, "HD", 59) << std::to_string(l.usi) << l.file_number << "" << w.call
                        << std::string(1, l.status) << (l.vanity ? "HV" : "HA")
                        << us_date(l.grant) << us_date(l.expiry) << us_date(l.cancelled)
                        << "" << "" << "" << "" << "" << "" << "" << ""
                        << (l.usi % 2 == 0 ? "N" : "")
                        << "" << "" << "" << "" << "" << "" << "" << "" << "" << "N" << ""
                        << first << middle << last << w.suffix
                        << "" << "" << "" << "" << "" << "" << "" << ""
                        << us_date(l.action) << us_date(l.action);
}

void am_record(const Licence& l, std::string* out) {
  const UsLicensee& w = l.who;
  CallShape shape = CallShape::k2x3;
  us_call_shape(w.call, &shape);
  const char* group = shape == CallShape::k2x3   ? "D"
                      : shape == CallShape::k1x3 ? "C"
                      : shape == CallShape::k2x2 && w.call[0] != 'A' ? "B"
                                                                     : "A";
  const std::size_t digit = w.call.find_first_of("0123456789");
  const int district = digit == std::string::npos ? 1 : w.call[digit] - '0';
  Record r(out, "AM", 18);
  r << std::to_string(l.usi) << "" << "" << w.call;
  if (!w.club.empty()) {
    r << "" << "" << std::to_string(district == 0 ? 10 : district) << l.trustee_call;
    r.skip(8) << l.trustee_name;
    return;
  }
  r << std::string(1, l.operator_class) << group << std::to_string(district == 0 ? 10 : district);
  r.skip(5) << (l.vanity ? "E" : "") << "" << l.previous_call << l.previous_class;
}

void co_record(const Licence& l, std::string* out) {
  if (!l.comment) return;
  const std::string text =
      l.status == 'A' ? "Issued vanity call sign."
                      : "Per case HD" + number(l.usi * 7ull % 10000000000ull, 10) +
                            " licensee deceased on " + us_date(l.cancelled - 40) + ".  cpg";
  Record(out, "CO", 8) << std::to_string(l.usi) << "" << l.who.call << us_date(l.action) << text;
}

void hs_record(const Licence& l, std::string* out) {
  for (int h = 0; h < l.history; ++h) {
    Record(out, "HS", 6) << std::to_string(l.usi) << "" << l.who.call
                         << us_date(l.grant + 400 * h) << kHistory[h == 0 ? l.usi % 2 : 2 + h % 2];
  }
  if (l.history > 0 && l.cancelled != 0) {
    Record(out, "HS", 6) << std::to_string(l.usi) << "" << l.who.call << us_date(l.cancelled)
                         << (l.status == 'E' ? "LIEXP " : "LICAN ");
  }
}

struct Member {
  const char* name;
  void (*record)(const Licence&, std::string*);
};
constexpr Member kMembers[] = {{"AM.dat", am_record}, {"CO.dat", co_record},
                               {"EN.dat", en_record}, {"HD.dat", hd_record},
                               {"HS.dat", hs_record}};

std::size_t lines_of(const std::string& text) {
  std::size_t n = 0;
  for (const char c : text) n += c == '\n';
  return n;
}

// Walks an archive's licences in the order of their unique system identifiers, handing each to
// `use`, and reports how far it is with `at` (the licences walked so far).
using Walk = std::function<void(const std::function<void(const Licence&)>& use,
                                const std::function<void(std::size_t at)>& at)>;

struct ArchiveFile {
  std::string path;
  bool zip64 = false;
  std::int64_t day = 0;  // when it was made, 08:00:10 local time
  // Hears of each member as it is written, and how many licences it holds so far.
  std::function<void(const std::string& member, std::uint64_t done)> progress;
};

// Writes the archive of the licences `walk` gives: counts, then one member per record type.
int write_archive(const ArchiveFile& a, Deflate& z, const Walk& walk, std::uint64_t* bytes,
                  std::string* error) {
  const auto progress = [&](const std::string& what, std::uint64_t done) {
    if (a.progress) a.progress(what, done);
  };
  platform::NewFile file;
  int rc = file.create(a.path);
  const auto failed = [&](int code) {
    *error = a.path + ": cannot be written: " + std::strerror(code);
    return 1;
  };
  if (rc != 0) return failed(rc);
  const updater::Date day = updater::date_from_days(a.day);
  const std::uint32_t dos_date = ((static_cast<std::uint32_t>(day.year) - 1980) << 9) |
                                 (static_cast<std::uint32_t>(day.month) << 5) |
                                 static_cast<std::uint32_t>(day.day);
  ZipWriter zip(file.file(), z, a.zip64, dos_date, 8 << 11);

  // counts first: the lines of each member, counted in a pass of their own.
  std::size_t lines[std::size(kMembers)] = {};
  std::string text;
  walk(
      [&](const Licence& l) {
        for (std::size_t m = 0; m < std::size(kMembers); ++m) {
          text.clear();
          kMembers[m].record(l, &text);
          lines[m] += lines_of(text);
        }
      },
      [&](std::size_t at) { progress("counts", at); });
  std::size_t total = 0;
  for (const std::size_t n : lines) total += n;
  const int width = std::max(6, static_cast<int>(std::to_string(total).size()) + 1);
  static const char* const kWeekdays[] = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char line[160];
  std::snprintf(line, sizeof line, "File Creation Date: %s %s %2d 08:00:10 %s %d\r\n",
                kWeekdays[((a.day % 7) + 7) % 7], kMonths[day.month - 1], day.day,
                day.month > 3 && day.month < 11 ? "EDT" : "EST", day.year);
  text = line;
  for (std::size_t m = 0; m < std::size(kMembers); ++m) {
    std::snprintf(line, sizeof line, "%*zu /home/pubacc/scripts/licweekzipdata/%s\r\n", width,
                  lines[m], kMembers[m].name);
    text += line;
  }
  std::snprintf(line, sizeof line, "%*zu total\r\n", width, total);
  text += line;
  rc = zip.begin("counts");
  if (rc == 0) rc = zip.write(text);
  if (rc == 0) rc = zip.end();

  for (const Member& member : kMembers) {
    if (rc == 0) rc = zip.begin(member.name);
    text.clear();
    walk(
        [&](const Licence& l) {
          if (rc != 0) return;
          member.record(l, &text);
          if (text.size() >= (1u << 20)) {
            rc = zip.write(text);
            text.clear();
          }
        },
        [&](std::size_t at) { progress(member.name, at); });
    if (rc == 0) rc = zip.write(text);
    if (rc == 0) rc = zip.end();
  }
  if (rc == 0) rc = zip.finish();
  if (rc == 0) rc = file.commit(platform::NewFile::Replace::no);
  if (rc != 0) return failed(rc);
  *bytes = zip.size();
  return 0;
}

// Checks the options and loads zlib's deflate. Returns 0, or 1 or 2 as make_fcc_archive.
int prepare(const FccArchiveOptions& o, Deflate* z, std::int64_t* today, std::string* error) {
  updater::Date day;
  if (!updater::parse_date(o.date.c_str(), &day) || day.year < 1990) {
    *error = "--date must be a date YYYYMMDD";
    return 2;
  }
  if (o.licences == 0 || o.licences > kMaxFccLicences || o.active > o.licences) {
    *error = "--licences must be 1 to " + std::to_string(kMaxFccLicences) +
             " and --active at most --licences";
    return 2;
  }
  if (!z->load(o.zlib_library)) {
    *error = "cannot load zlib's deflate from " + o.zlib_library;
    return 1;
  }
  *today = updater::days_since_epoch(day);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// The week after the weekly archive

enum class Change { granted, cancelled, moved, vanity, renewed };

struct DayChange {
  int day;  // 1 for the first day after the weekly archive's
  Change what;
  std::string call;  // a vanity grant's new call sign
};

// What the days after the weekly archive change, drawn from the seed alone.
struct Week {
  // The licences each day touches, in the order of their indexes (and so of their unique
  // system identifiers).
  std::vector<std::vector<std::size_t>> touched;
  std::map<std::size_t, std::vector<DayChange>> changes;  // by licence, oldest first
};

Week plan_week(Licences& licences, const FccArchiveOptions& o, int days,
               std::size_t changes_per_day) {
  Week week;
  Random rng((o.seed * 0x9E3779B97F4A7C15ull) ^ 0xDA11E5ull);
  week.touched.resize(static_cast<std::size_t>(days) + 1);
  for (int day = 1; day <= days; ++day) {
    std::vector<std::size_t>& today = week.touched[static_cast<std::size_t>(day)];
    const std::vector<std::size_t>& yesterday = week.touched[static_cast<std::size_t>(day) - 1];
    for (std::size_t j = 0; j < changes_per_day; ++j) {
      const std::uint32_t roll = rng.below(100);
      if (roll < 20) {  // a new licence
        const std::size_t i = licences.grant(rng);
        week.changes[i].push_back({day, Change::granted, ""});
        today.push_back(i);
        continue;
      }
      // Now and then a licence that changed the day before changes again; otherwise an active
      // one mostly.
      std::size_t i = 0;
      for (int tries = 0; tries < 4; ++tries) {
        i = j < 3 && !yesterday.empty()
                ? yesterday[rng.below(static_cast<std::uint32_t>(yesterday.size()))]
                : rng.below(static_cast<std::uint32_t>(licences.size()));
        if (i >= licences.size() || licences.make(i).status == 'A') break;
      }
      const Change what = roll < 40   ? Change::cancelled
                          : roll < 75 ? Change::moved
                          : roll < 85 ? Change::vanity
                                      : Change::renewed;
      std::vector<DayChange>& of = week.changes[i];
      if (!of.empty() && of.back().day == day) continue;  // one change a day
      of.push_back({day, what, what == Change::vanity ? licences.new_call(rng) : ""});
      today.push_back(i);
    }
    std::sort(today.begin(), today.end());
    today.erase(std::unique(today.begin(), today.end()), today.end());
  }
  return week;
}

// Licence `i` as it stands at the end of `day` (the weekly archive's day + day - 1).
Licence licence_on(const Licences& licences, const Week& week, std::size_t i, int day,
                   std::int64_t weekly_day) {
  Licence l = licences.make(i);
  const auto found = week.changes.find(i);
  if (found == week.changes.end()) return l;
  for (const DayChange& c : found->second) {
    if (c.day > day) break;
    const std::int64_t when = weekly_day + c.day - 1;
    Random rng(l.usi * 31ull + static_cast<std::uint64_t>(c.day));
    if (c.what == Change::granted) {
      l.status = 'A';
      l.grant = l.action = when;
      l.expiry = when + 3652;
      l.cancelled = 0;
      l.who.call = licences.call_of(i);
      continue;
    }
    if (l.status != 'A' || l.who.call.empty()) continue;  // only active licences change
    l.action = when;
    switch (c.what) {
      case Change::cancelled:
        l.status = 'C';
        l.cancelled = when;
        break;
      case Change::moved: {
        const UsLicensee there = random_us_licensee(rng);
        l.who.street = l.mixed ? mixed_case(there.street) : there.street;
        l.who.city = l.mixed ? mixed_case(there.city) : there.city;
        l.who.po_box = there.po_box;
        l.who.state = there.state;
        l.who.zip = there.zip;
        break;
      }
      case Change::vanity:
        if (!l.who.club.empty()) break;  // a club keeps its call sign
        l.previous_call = l.who.call;
        l.previous_class = std::string(1, l.operator_class);
        l.who.call = c.call;
        l.vanity = true;
        break;
      case Change::renewed:
        l.grant = when;
        l.expiry = when + 3652;
        break;
      case Change::granted: break;
    }
  }
  return l;
}

}  // namespace

int make_fcc_archive(const FccArchiveOptions& o, std::uint64_t* bytes, std::string* error) {
  Deflate z;
  std::int64_t today = 0;
  if (const int rc = prepare(o, &z, &today, error); rc != 0) return rc;
  if (platform::file_exists(o.path)) {
    *error = o.path + " exists; nothing written";
    return 1;
  }
  const auto progress = [&](const std::string& what, std::uint64_t done) {
    if (o.progress) o.progress(what, done, o.licences);
  };
  progress("licences", 0);
  const Licences licences(o, today);
  const Walk walk = [&](const std::function<void(const Licence&)>& use,
                        const std::function<void(std::size_t)>& at) {
    for (std::size_t i = 0; i < licences.size(); ++i) {
      use(licences.make(i));
      if (i % 65536 == 0) at(i);
    }
  };
  ArchiveFile archive{o.path, o.zip64, today, progress};
  const int rc = write_archive(archive, z, walk, bytes, error);
  if (rc == 0) progress("", 0);
  return rc;
}

int make_fcc_dailies(const FccArchiveOptions& o, const FccDailiesOptions& d,
                     std::vector<std::string>* made, std::string* error) {
  made->clear();
  Deflate z;
  std::int64_t weekly_day = 0;
  if (const int rc = prepare(o, &z, &weekly_day, error); rc != 0) return rc;
  if (d.days < 0 || d.days > 7) {
    *error = "--days must be 0 to 7";
    return 2;
  }
  std::vector<std::string> paths;
  for (int day = 1; day <= d.days; ++day) {
    // Named after the weekday of its changes ((days + 3) % 7 is 0 on a Monday), made the morning
    // after.
    const std::int64_t changes_on = weekly_day + day - 1;
    const std::int64_t weekday = ((changes_on + 3) % 7 + 7) % 7;
    paths.push_back(platform::join_path(d.folder, kFccDailyNames[weekday]));
    if (platform::file_exists(paths.back())) {
      *error = paths.back() + " exists; nothing written";
      return 1;
    }
  }
  std::error_code ec;
  if (!d.folder.empty()) std::filesystem::create_directories(d.folder, ec);
  if (ec) {
    *error = d.folder + ": cannot be made: " + ec.message();
    return 1;
  }
  Licences licences(o, weekly_day);
  const Week week = plan_week(licences, o, d.days, d.changes_per_day);
  for (int day = 1; day <= d.days; ++day) {
    const std::vector<std::size_t>& touched = week.touched[static_cast<std::size_t>(day)];
    const Walk walk = [&](const std::function<void(const Licence&)>& use,
                          const std::function<void(std::size_t)>&) {
      for (const std::size_t i : touched) use(licence_on(licences, week, i, day, weekly_day));
    };
    const std::string& path = paths[static_cast<std::size_t>(day) - 1];
    std::uint64_t bytes = 0;
    if (write_archive({path, false, weekly_day + day, nullptr}, z, walk, &bytes, error) != 0) {
      for (const std::string& written : *made) platform::delete_file(written);
      made->clear();
      return 1;
    }
    made->push_back(path);
  }
  return 0;
}

}  // namespace calldb::demo
