#include "updater/convert_canada.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "dbfiles/callkey.h"
#include "dbfiles/dbwriter.h"
#include "updater/doupdate.h"

namespace updater {

namespace {

constexpr std::size_t kDateLength = 10;
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";
constexpr std::size_t kReadSize = 8192;
constexpr std::size_t kClubLine = 210;    // longer lines are clubs
constexpr std::size_t kAddressLine = 200;  // shorter individual lines carry no address

// The list's characters: UTF-8 when the whole list is valid UTF-8, else Latin-1, whose
// 0x80-0x9F (control characters there) are read as the Windows code page has them.
enum class Encoding { utf8, latin1 };

// Follows text piece by piece: is it all valid UTF-8 (no overlong forms, no surrogates, nothing
// past U+10FFFF, no sequence left open)?
class Utf8Check {
 public:
  void feed(const char* text, std::size_t n) {
    for (std::size_t i = 0; i < n && valid_; ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      if (need_ > 0) {
        valid_ = c >= low_ && c <= high_;
        low_ = 0x80;
        high_ = 0xBF;
        --need_;
      } else if (c >= 0x80) {
        // A lead byte: how many continuation bytes follow it, and the range of the first.
        need_ = c < 0xC2 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : c < 0xF5 ? 3 : 0;
        valid_ = need_ > 0;
        low_ = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
        high_ = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
      }
    }
  }
  bool valid() const { return valid_ && need_ == 0; }

 private:
  bool valid_ = true;
  int need_ = 0;                       // continuation bytes still due
  unsigned low_ = 0x80, high_ = 0xBF;  // the range of the next one
};

// The Windows code page's characters at 0x80-0x9F; the C1 control itself where it has none.
constexpr std::uint16_t kWindows[32] = {
    0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x8D,   0x017D, 0x8F,   0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};

// The letters of Latin Extended-A (U+0100-U+017F) without their marks.
constexpr char kExtendedA[] =
    "AaAaAaCcCcCcCcDdDdEeEeEeEeEeGgGgGgGgHhHhIiIiIiIiIiIiJjKkkLlLlLlLlLlNnNnNnnNnOoOoOoOoRrRrRrSs"
    "SsSsSsTtTtTtUuUuUuUuUuUuWwYyYZzZzZzs";

// A character as the database's texts hold it, in one byte of Latin-1 (as the FCC's texts and
// the windows that show them have it): Latin-1 as itself, C1 controls as blanks, dashes,
// quotes and the accented letters of Latin Extended-A by their plain forms, anything else '?'.
char single_byte(std::uint32_t c) {
  if (c >= 0x80 && c < 0xA0) return ' ';
  if (c < 0x100) return static_cast<char>(c);
  if (c < 0x180) return kExtendedA[c - 0x100];
  if ((c >= 0x2010 && c <= 0x2015) || c == 0x2212) return '-';
  if ((c >= 0x2018 && c <= 0x201B) || c == 0x2032 || c == 0x02BC) return '\'';
  if ((c >= 0x201C && c <= 0x201F) || c == 0x2033) return '"';
  return '?';
}

// A line of the list with one byte per character, so that its columns are counted in
// characters whatever their bytes in the list.
std::string single_byte_line(std::string_view line, Encoding encoding) {
  std::size_t i = 0;  // most lines are ASCII alone, copied as they are
  while (i < line.size() && static_cast<unsigned char>(line[i]) < 0x80) ++i;
  std::string out(line.substr(0, i));
  out.reserve(line.size());
  while (i < line.size()) {
    const auto b = static_cast<unsigned char>(line[i]);
    if (b < 0x80 || encoding == Encoding::latin1) {
      out.push_back(single_byte(b >= 0x80 && b < 0xA0 ? kWindows[b - 0x80] : b));
      ++i;
      continue;
    }
    // The list was found valid as a whole; a sequence broken all the same (the file changed
    // since) is one unknown character.
    const std::size_t n = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
    std::uint32_t c = b & (0x7F >> n);
    std::size_t k = 1;
    for (; k < n && i + k < line.size() && (line[i + k] & 0xC0) == 0x80; ++k) {
      c = c << 6 | (line[i + k] & 0x3F);
    }
    out.push_back(k == n ? single_byte(c) : '?');
    i += k;
  }
  return out;
}

// True when `date` (ten characters) is the list's date YYYY-MM-DD ('/' may part it too) of a
// day in the years 2000 to 2999: cancall.db keeps three digits of the year, read back with a 2
// in front.
bool is_list_date(const char* date) {
  const auto parts = [](char c) { return c == '-' || c == '/'; };
  const char ymd[8] = {date[0], date[1], date[2], date[3], date[5], date[6], date[8], date[9]};
  Date day;
  return date[0] == '2' && parts(date[4]) && parts(date[7]) && parse_date(ymd, &day);
}

// Characters `from` to `to` (inclusive) of a line, positions past its end read as spaces,
// trailing spaces dropped.
std::string_view field(std::string_view line, std::size_t from, std::size_t to) {
  if (from >= line.size()) return {};
  std::string_view f = line.substr(from, to - from + 1);
  while (!f.empty() && f.back() == ' ') f.remove_suffix(1);
  return f;
}

// True for "C/O", "c\o" and the like: the second club-name line is only a care-of line.
bool care_of(std::string_view line, std::size_t at) {
  if (line.size() < at + 3) return false;
  const char c = line[at];
  const char slash = line[at + 1];
  const char o = line[at + 2];
  return (c == 'c' || c == 'C') && (slash == '/' || slash == '\\') && (o == 'o' || o == 'O');
}

int province_index(std::string_view code) {
  for (int i = 1; i < dbfiles::kProvinceCount; ++i) {
    if (code == dbfiles::ProvinceCodes[i]) return i;
  }
  return 0;
}

class Conversion {
 public:
  explicit Conversion(WorkerEnv& env) : env_(env), link_(*env.link) {}
  int run();

 private:
  // Reads the whole list once: is it UTF-8? Returns false when a read failed.
  bool find_encoding(platform::File& list);
  // One line of the list, without its line end. Returns false when the list ends here.
  bool line(std::string_view bytes);
  void licence(std::string text);
  static int not_written() { return -2; }

  WorkerEnv& env_;
  WorkerLink& link_;
  dbfiles::CanDbWriter writer_;
  int lines_ = 0;
  int no_address_ = 0;
  int headings_ = 0;
  bool failed_ = false;
  bool eof_ = false;  // the list's "EOF" line was read
  Encoding encoding_ = Encoding::utf8;
};

bool Conversion::find_encoding(platform::File& list) {
  Utf8Check check;
  char buffer[kReadSize];
  for (;;) {
    const platform::IoResult r = list.read(buffer, sizeof buffer);
    if (r.error != 0) return false;
    if (r.count == 0) break;
    check.feed(buffer, static_cast<std::size_t>(r.count));
  }
  encoding_ = check.valid() ? Encoding::utf8 : Encoding::latin1;
  return true;
}

bool Conversion::line(std::string_view bytes) {
  ++lines_;
  std::string text = single_byte_line(bytes, encoding_);
  if (text == " ") return true;
  if (headings_ < 2) {
    link_.log_text(text + "\r\n");
    ++headings_;
    return true;
  }
  if (text == "EOF") {
    eof_ = true;
    return false;
  }
  licence(std::move(text));
  return !failed_;
}

void Conversion::licence(std::string cleaned) {
  // A control byte would end a record string early (a zero byte) or garble the display.
  for (char& c : cleaned) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = ' ';
  }
  const std::string_view text = cleaned;
  const std::string call(field(text, 0, 5));
  std::string surname;
  std::string given;
  std::string street;
  std::string city;
  std::string province;
  std::string postal;
  if (text.size() > kClubLine) {
    surname = field(text, 210, 279);
    if (text.size() > 281 && text[281] != ' ' && !care_of(text, 281)) {
      surname.append(" ").append(field(text, 281, 350));
    }
    street = field(text, 352, 421);
    city = field(text, 423, 457);
    province = field(text, 459, 460);
    postal = field(text, 462, 468);
  } else {
    given = field(text, 7, 41);
    surname = field(text, 43, 77);
    const std::size_t mark = surname.find("(+)");
    if (mark != std::string::npos) {
      surname.erase(mark > 0 && surname[mark - 1] == ' ' ? mark - 1 : mark);
    }
    // Today's list pads every line to 210 characters, so a licence without an address shows
    // as blank columns rather than as a short line.
    const bool has_address = text.size() >= kAddressLine && !field(text, 79, 198).empty();
    if (has_address) {
      street = field(text, 79, 148);
      city = field(text, 150, 184);
      province = field(text, 186, 187);
      postal = field(text, 189, 198);
    } else {
      street = "no addr given";
      city = "not really";
      province = dbfiles::ProvinceCodes[dbfiles::kNoAddressProvince];
      postal = "xxx xxx";
      ++no_address_;
    }
  }

  std::uint32_t word0 = 0;
  dbfiles::CanKey key = 0;
  if (dbfiles::encode_can_call(call.c_str(), &key) != 0) {
    link_.log_text("BAD CALL: '" + call + "'\r\n");
  } else {
    const int index = province_index(province);
    if (index == 0) city.append(",").append(province);
    word0 = dbfiles::CanEntry::make_word0(key, static_cast<std::uint32_t>(index));
  }
  if (writer_.add(word0, surname, given, street, city, postal) != 0) {
    link_.log_text("ERROR: " + writer_.error() + " at the licence of " + call +
                   "; cancall.db NOT written\r\n");
    failed_ = true;
  }
}

int Conversion::run() {
  platform::File list;
  // The date, after the byte order mark a UTF-8 list may begin with.
  char head[sizeof kByteOrderMark - 1 + kDateLength + 1] = {};
  const std::size_t mark = sizeof kByteOrderMark - 1;
  platform::IoResult got;
  if (list.open(env_.path(kListName), platform::Access::read, platform::Share::read_write,
                platform::Disposition::open_existing) == 0) {
    got = list.read(head, sizeof head - 1);
  }
  const std::size_t skip =
      got.count >= mark && std::memcmp(head, kByteOrderMark, mark) == 0 ? mark : 0;
  if (!list.is_open() || got.error != 0 || got.count < skip + kDateLength) {
    link_.log_text(std::string(kListName) + " <--ERROR OPENING FILE\r\n");
    return -1;
  }
  char date[kDateLength + 1] = {};
  std::memcpy(date, head + skip, kDateLength);
  if (!is_list_date(date)) {
    link_.log_text(std::string(kListName) + " does not begin with its date (YYYY-MM-DD): \"" +
                   escape_controls(std::string_view(date, kDateLength)) +
                   "\"; cancall.db NOT written\r\n");
    return not_written();
  }
  // The encoding is the whole list's, so the list is read once before it is converted.
  if (list.seek(0) != 0 || !find_encoding(list) || list.seek(skip + kDateLength) != 0) {
    link_.log_text("ERROR reading amateur.txt; cancall.db NOT written\r\n");
    return not_written();
  }
  link_.set_row_cell(kCanadaGridRow, RowCell::name, date);
  link_.log_text(std::string(date) + " -- canadian db date\r\n");

  const char ymd[9] = {date[0], date[1], date[2], date[3], date[5], date[6], date[8], date[9], 0};
  // The writer puts cancall.db in place only when it finishes; until then the old one stays.
  if (writer_.open(env_.path(kCanadaDbName), ymd) != 0) {
    link_.log_text(std::string(kCanadaDbName) + " <--ERROR CREATING FILE\r\n");
    return not_written();
  }
  link_.log_text(date);

  // Lines end at CR, LF or CR LF, also when the pair falls across two reads. A line still open
  // at the end of a read moves to the front of the buffer.
  char buffer[kReadSize];
  std::size_t held = 0;
  bool after_cr = false;
  bool going = true;
  while (going) {
    if (env_.cancelled()) return not_written();
    const platform::IoResult r = list.read(buffer + held, sizeof buffer - held);
    if (r.error != 0) {
      link_.log_text("ERROR reading amateur.txt; cancall.db NOT written\r\n");
      return not_written();
    }
    if (r.count == 0) {
      // The last line may lack its line end; it is a line all the same.
      if (held > 0) going = line(std::string_view(buffer, held));
      break;
    }
    const std::size_t end = held + static_cast<std::size_t>(r.count);
    std::size_t start = 0;
    for (std::size_t i = held; i < end && going; ++i) {
      const char c = buffer[i];
      if (c == '\n' && after_cr && i == start) {
        after_cr = false;
        start = i + 1;
        continue;
      }
      after_cr = false;
      if (c == '\r' || c == '\n') {
        going = line(std::string_view(buffer + start, i - start));
        after_cr = c == '\r';
        start = i + 1;
      }
    }
    held = end - start;
    if (going && held == sizeof buffer) {
      link_.log_text("ERROR: line longer than 8192 characters after line " +
                     std::to_string(lines_) + "; cancall.db NOT written\r\n");
      return not_written();
    }
    std::memmove(buffer, buffer + start, held);
  }
  list.close();
  if (failed_) return not_written();

  char text[160];
  std::snprintf(text, sizeof text, "%d lines, %d calls in database, %d calls have no address\r\n",
                lines_, static_cast<int>(writer_.entries()), no_address_);
  link_.log_text(text);
  // A list cut short (a download or extraction gone wrong) must not replace a whole database.
  if (!eof_) {
    link_.log_text("amateur.txt ends without its EOF line; cancall.db NOT written\r\n");
    return not_written();
  }
  if (writer_.entries() == 0) {
    link_.log_text("amateur.txt holds no licence; cancall.db NOT written\r\n");
    return not_written();
  }
  const std::size_t pad = (4 - writer_.text_end() % 4) % 4;
  if (pad != 0) {
    std::snprintf(text, sizeof text, "aligning +%d\r\n", static_cast<int>(pad));
    link_.log_text(text);
  }
  if (writer_.finish() != 0) {
    link_.log_text("ERROR writing cancall.db: " + writer_.error() + "; cancall.db NOT written\r\n");
    return not_written();
  }
  platform::File done;
  std::uint64_t size = 0;
  if (done.open(env_.path(kCanadaDbName), platform::Access::read, platform::Share::read_write,
                platform::Disposition::open_existing) == 0) {
    size = done.size().count;
  }
  std::snprintf(text, sizeof text, "cancall.db size %d\r\n", static_cast<int>(size));
  link_.log_text(text);
  link_.log_text("cancall.db written\r\n");
  return 0;
}

}  // namespace

int convert_canadian_list(WorkerEnv& env) {
  Conversion conversion(env);
  return conversion.run();
}

}  // namespace updater
