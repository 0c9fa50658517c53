#include "callbook/directory.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "dbfiles/callkey.h"
#include "dbfiles/candb.h"
#include "dbfiles/coding.h"
#include "dbfiles/lookup.h"
#include "dbfiles/usdb.h"
#include "updater/file_set.h"

namespace callbook {
namespace {

using dbfiles::CanEntry;
using dbfiles::IndexEntry;
using dbfiles::PrevEntry;

constexpr std::uint64_t kMaxFile = std::uint64_t{1} << 31;
constexpr std::size_t kMaxCall = 6;  // characters a stored callsign has at most

const unsigned char* bytes_of(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

bool is_alnum(char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// A whole callsign: a prefix of one to three letters or digits with a letter among them or a
// digit as its first, then a digit, then one to four letters (W1AW, 2E0ABC, VE3XYZ, KH6ABC).
bool looks_like_call(std::string_view part) {
  std::size_t end = part.size();
  std::size_t letters = 0;
  while (end > 0 && part[end - 1] >= 'A' && part[end - 1] <= 'Z') {
    --end;
    ++letters;
  }
  if (letters < 1 || letters > 4 || end < 2) return false;
  if (part[end - 1] < '0' || part[end - 1] > '9') return false;
  const std::string_view prefix = part.substr(0, end - 1);
  if (prefix.size() > 3) return false;
  return std::all_of(prefix.begin(), prefix.end(), is_alnum);
}

std::string dashed_date(const char* yyyymmdd) {
  std::string d(yyyymmdd, 8);
  return d.substr(0, 4) + "-" + d.substr(4, 2) + "-" + d.substr(6, 2);
}

// Length of the text at `p` up to a zero byte, at most `limit`.
std::size_t bounded_len(const char* p, std::size_t limit) {
  const void* zero = std::memchr(p, '\0', limit);
  return zero == nullptr ? limit : static_cast<std::size_t>(static_cast<const char*>(zero) - p);
}

std::string what_to_do(const std::string& folder) {
  return " Run fernwick, or calldb fetch-fcc -C " + folder + ", to get it.";
}

// Reads one file whole; on failure marks `state` unusable with why.
bool read_whole(const std::string& folder, const char* name, platform::FileBytes* bytes,
                DatabaseState* state) {
  const int error = platform::read_file_unshared(platform::join_path(folder, name), kMaxFile,
                                                 bytes, &state->stamp);
  state->present = error != ENOENT;
  if (error == 0) return true;
  state->problem = std::string(name) + (error == ENOENT ? " is not in " + folder + "."
                                                        : " cannot be read in " + folder +
                                                              " (" + std::strerror(error) + ").");
  return false;
}

}  // namespace

std::string upper_case(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return out;
}

std::string home_call(std::string_view typed) {
  const std::string text = upper_case(typed);
  std::string best;
  std::string_view rest = text;
  for (;;) {
    const std::size_t slash = rest.find('/');
    const std::string_view part = rest.substr(0, slash);
    if (looks_like_call(part) && part.size() > best.size()) best = part;
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  return best;
}

std::shared_ptr<const Directory> Directory::load(const std::string& folder) {
  auto dir = std::make_shared<Directory>();
  dir->folder_ = folder;

  // call.db: header, index in key order, every record text inside the text area, terminated
  // within the longest record.
  DatabaseState& us = dir->us_;
  if (read_whole(folder, dbfiles::kCallDbName, &dir->us_bytes_, &us)) {
    const std::string_view b = dir->us_bytes_.view();
    const char* wrong = nullptr;
    std::uint32_t offset = 0;
    if (b.size() < dbfiles::kHeaderSize) {
      wrong = dbfiles::kShortHeader;
    } else {
      offset = dbfiles::decode_fixed32(bytes_of(b) + dbfiles::kDateSize);
      if (offset < dbfiles::kHeaderSize || offset > b.size()) wrong = dbfiles::kIndexOutsideFile;
    }
    const std::uint64_t count = wrong ? 0 : (b.size() - offset) / IndexEntry::kSize;
    for (std::uint64_t i = 0; i < count && wrong == nullptr; ++i) {
      const IndexEntry e = IndexEntry::decode(bytes_of(b) + offset + i * IndexEntry::kSize);
      if (i > 0 && dbfiles::decode_fixed32(bytes_of(b) + offset + (i - 1) * IndexEntry::kSize) >=
                       e.key) {
        wrong = "its index is not in callsign order";
      } else if (e.text_offset() < dbfiles::kHeaderSize || e.text_offset() >= offset) {
        wrong = dbfiles::kTextOutsideArea;
      } else {
        const std::size_t room =
            std::min<std::size_t>(offset - e.text_offset(), dbfiles::kRecordReadSize);
        if (std::memchr(b.data() + e.text_offset(), '\0', room) == nullptr) {
          wrong = "a record text has no end";
        }
      }
    }
    if (wrong != nullptr) {
      us.problem = "call.db in " + folder + " is damaged: " + wrong + "." + what_to_do(folder);
    } else {
      us.usable = true;
      us.count = count;
      us.date = dashed_date(b.data());
      dir->us_index_offset_ = offset;
    }
  } else {
    us.problem += what_to_do(folder);
  }

  // callprev.db: optional; its entries in key order.
  DatabaseState& prev = dir->prev_;
  if (read_whole(folder, dbfiles::kCallPrevDbName, &dir->prev_bytes_, &prev)) {
    const std::string_view b = dir->prev_bytes_.view();
    if (b.size() < dbfiles::kDateSize) {
      prev.problem = "callprev.db in " + folder + " is damaged: it is shorter than its date.";
    } else {
      const std::uint64_t n = b.size() / PrevEntry::kSize - 1;
      bool ordered = true;
      for (std::uint64_t i = 1; i < n && ordered; ++i) {
        ordered = dbfiles::decode_fixed32(bytes_of(b) + i * PrevEntry::kSize) <
                  dbfiles::decode_fixed32(bytes_of(b) + (i + 1) * PrevEntry::kSize);
      }
      if (!ordered) {
        prev.problem = "callprev.db in " + folder + " is damaged: its entries are not in order.";
      } else {
        prev.usable = true;
        prev.count = n;
        prev.date = dashed_date(b.data());
      }
    }
  }
  if (prev.present && !prev.usable) prev.problem += what_to_do(folder);

  // cancall.db: header, index within the file, record texts inside the text area.
  DatabaseState& can = dir->canada_;
  if (read_whole(folder, dbfiles::kCanCallDbName, &dir->canada_bytes_, &can)) {
    const std::string_view b = dir->canada_bytes_.view();
    const char* wrong = nullptr;
    std::uint32_t offset = 0;
    if (b.size() < dbfiles::kHeaderSize || b[0] != 'C') {
      wrong = "its header is not a Canadian database's";
    } else {
      offset = dbfiles::decode_fixed32(bytes_of(b) + 8);
      if (offset < dbfiles::kHeaderSize || offset > b.size()) wrong = dbfiles::kIndexOutsideFile;
    }
    std::uint64_t count = wrong ? 0 : (b.size() - offset) / CanEntry::kSize;
    if (count > dbfiles::kMaxCanadianEntries) wrong = "its index is too long";
    std::vector<std::uint64_t>& keys = dir->canada_keys_;
    for (std::uint64_t i = 0; i < count && wrong == nullptr; ++i) {
      const CanEntry e = CanEntry::decode(bytes_of(b) + offset + i * CanEntry::kSize);
      if (e.text_offset() < dbfiles::kHeaderSize || e.text_offset() >= offset) {
        wrong = dbfiles::kTextOutsideArea;
      }
      keys.push_back(std::uint64_t{e.key()} << 32 | i);
    }
    if (wrong != nullptr) {
      can.problem = "cancall.db in " + folder + " is damaged: " + wrong +
                    ". Run fernwick's Canadian update, or calldb update-canada -C " + folder +
                    ", to get it again.";
      keys.clear();
    } else {
      std::sort(keys.begin(), keys.end());
      // The first entry of a key in the file wins.
      keys.erase(std::unique(keys.begin(), keys.end(),
                             [](std::uint64_t a, std::uint64_t b) { return a >> 32 == b >> 32; }),
                 keys.end());
      can.usable = true;
      can.count = count;
      can.date = "2" + std::string(b.substr(1, 3)) + "-" + std::string(b.substr(4, 2)) + "-" +
                 std::string(b.substr(6, 2));
      dir->canada_index_offset_ = offset;
    }
  } else {
    can.problem += " Run fernwick's Canadian update, or calldb update-canada -C " + folder +
                   ", to get it.";
  }
  return dir;
}

bool Directory::find_us(const std::string& call, Licence* licence) const {
  if (call.size() > kMaxCall || !dbfiles::is_us_callsign(call.c_str())) return false;
  IndexEntry entry;
  const auto* index = bytes_of(us_bytes_.view()) + us_index_offset_;
  if (!dbfiles::find_index_entry(index, static_cast<std::uint32_t>(us_.count),
                                 dbfiles::encode_call(call.c_str()), &entry)
           .found) {
    return false;
  }
  licence->callsign = dbfiles::decode_call(entry.key);
  licence->canadian = false;
  // Checked at loading: the text lies in the text area and ends within it.
  const char* text = us_bytes_.data.get() + entry.text_offset();
  std::size_t room = us_index_offset_ - entry.text_offset();
  const std::size_t name_room = std::min<std::size_t>(entry.name_len(), room);
  licence->name.assign(text, bounded_len(text, name_room));
  text += name_room;
  room -= name_room;
  const std::size_t street_room = std::min<std::size_t>(entry.street_len(), room);
  licence->street.assign(entry.po_box() ? dbfiles::kPoBoxPrefix : "");
  licence->street.append(text, bounded_len(text, street_room));
  text += street_room;
  room -= street_room;
  licence->city.assign(text, bounded_len(text, room));
  licence->region = dbfiles::state_code(entry.state());
  char zip[8];
  std::snprintf(zip, sizeof zip, "%05u", static_cast<unsigned>(entry.zip()));
  licence->postcode = zip;
  // "SURNAME, GIVEN M": the first given name; an entity's name has no comma.
  licence->first_name.clear();
  licence->surname.clear();
  const std::size_t comma = licence->name.find(", ");
  if (comma != std::string::npos) {
    licence->surname = licence->name.substr(0, comma);
    const std::string given = licence->name.substr(comma + 2);
    licence->first_name = given.substr(0, given.find(' '));
  }
  return true;
}

bool Directory::find_canadian(const std::string& call, Licence* licence) const {
  dbfiles::CanKey key;
  if (call.size() > kMaxCall || dbfiles::encode_can_call(call.c_str(), &key) != 0) return false;
  const auto it = std::lower_bound(canada_keys_.begin(), canada_keys_.end(),
                                   std::uint64_t{key} << 32);
  if (it == canada_keys_.end() || *it >> 32 != key) return false;
  const CanEntry e = CanEntry::decode(bytes_of(canada_bytes_.view()) + canada_index_offset_ +
                                      (*it & 0xFFFFFFFFu) * CanEntry::kSize);
  licence->callsign = dbfiles::decode_can_call(key);
  licence->canadian = true;
  // Five terminated strings: surname or club name, given names, street, city, postal code.
  std::string parts[5];
  std::size_t pos = e.text_offset();
  for (std::string& part : parts) {
    if (pos >= canada_index_offset_) break;
    const std::size_t n = bounded_len(canada_bytes_.data.get() + pos, canada_index_offset_ - pos);
    part.assign(canada_bytes_.data.get() + pos, n);
    pos += n + 1;
  }
  licence->surname = parts[1].empty() ? "" : parts[0];
  licence->first_name = parts[1].substr(0, parts[1].find(' '));
  licence->name = parts[1].empty() ? parts[0] : parts[1] + " " + parts[0];
  licence->street = parts[2];
  licence->city = parts[3];
  licence->region = dbfiles::province_code(e.province());
  licence->postcode = parts[4];
  return true;
}

Found Directory::find(std::string_view typed, Licence* licence, std::string* problem) const {
  *licence = Licence{};
  licence->asked = upper_case(typed);
  const std::string call = home_call(typed);
  if (call.empty()) return Found::no;
  if (call[0] == 'V') {
    if (!canada_.usable) {
      *problem = canada_.problem;
      return Found::unavailable;
    }
    return find_canadian(call, licence) ? Found::yes : Found::no;
  }
  if (!us_.usable) {
    *problem = us_.problem;
    return Found::unavailable;
  }
  if (find_us(call, licence)) return Found::yes;
  if (call.size() > kMaxCall || !dbfiles::is_us_callsign(call.c_str())) return Found::no;
  if (!prev_.usable) {
    // Without callprev.db a call not in call.db is not found; with one that cannot be used it
    // may be a former call.
    if (!prev_.present) return Found::no;
    *problem = prev_.problem;
    return Found::unavailable;
  }
  dbfiles::CallKey now = 0;
  if (dbfiles::find_prev_entry(bytes_of(prev_bytes_.view()) + PrevEntry::kSize,
                               static_cast<std::int32_t>(prev_.count),
                               dbfiles::encode_call(call.c_str()), &now) < 0 ||
      !find_us(dbfiles::decode_call(now), licence)) {
    return Found::no;
  }
  licence->former = call;
  return Found::yes;
}

std::string Directory::summary() const {
  std::string line;
  const auto add = [&](const DatabaseState& s, const char* name, const char* what) {
    if (!line.empty()) line += line.back() == '.' ? " " : "; ";
    if (s.usable) {
      line += std::string(name) + " of " + s.date + ", " + std::to_string(s.count) + " " + what;
    } else if (!s.present && name == std::string(dbfiles::kCallPrevDbName)) {
      line += "no callprev.db";
    } else {
      line += s.problem;
    }
  };
  add(us_, dbfiles::kCallDbName, "licences");
  add(prev_, dbfiles::kCallPrevDbName, "former calls");
  add(canada_, dbfiles::kCanCallDbName, "licences");
  return line;
}

bool Directory::changed_on_disk() const {
  const auto differs = [&](const char* name, const DatabaseState& s) {
    platform::FileStamp now;
    const int error = platform::file_stamp(platform::join_path(folder_, name), &now);
    if (error != 0) return s.present;  // gone, or was there
    return !s.present || !(now == s.stamp);
  };
  return differs(dbfiles::kCallDbName, us_) || differs(dbfiles::kCallPrevDbName, prev_) ||
         differs(dbfiles::kCanCallDbName, canada_);
}

bool set_in_progress(const std::string& folder) {
  return platform::file_exists(platform::join_path(folder, updater::kFileSetName));
}

}  // namespace callbook
