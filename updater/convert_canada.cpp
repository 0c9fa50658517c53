#include "updater/convert_canada.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "dbfiles/callkey.h"
#include "dbfiles/dbwriter.h"

namespace updater {

namespace {

constexpr std::size_t kDateLength = 10;
constexpr std::size_t kReadSize = 8192;
constexpr std::size_t kClubLine = 210;    // longer lines are clubs
constexpr std::size_t kAddressLine = 200;  // shorter individual lines carry no address

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
  // One line of the list, without its line end. Returns false when the list ends here.
  bool line(std::string_view text);
  void licence(std::string_view text);
  static int not_written() { return -2; }

  WorkerEnv& env_;
  WorkerLink& link_;
  dbfiles::CanDbWriter writer_;
  int lines_ = 0;
  int no_address_ = 0;
  int headings_ = 0;
  bool failed_ = false;
  bool eof_ = false;  // the list's "EOF" line was read
};

bool Conversion::line(std::string_view text) {
  ++lines_;
  if (text == " ") return true;
  if (headings_ < 2) {
    link_.log_text(std::string(text) + "\r\n");
    ++headings_;
    return true;
  }
  if (text == "EOF") {
    eof_ = true;
    return false;
  }
  licence(text);
  return !failed_;
}

void Conversion::licence(std::string_view line) {
  // A control byte would end a record string early (a zero byte) or garble the display.
  std::string cleaned(line);
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
  char date[kDateLength + 1] = {};
  if (list.open(env_.path(kListName), platform::Access::read, platform::Share::read_write,
                platform::Disposition::open_existing) != 0 ||
      list.read(date, kDateLength).count != kDateLength) {
    link_.log_text(std::string(kListName) + " <--ERROR OPENING FILE\r\n");
    return -1;
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
