// One consistent view of a data folder's databases, read whole into memory, and the lookups the
// server answers from it. A Directory never changes once loaded and holds no file open, so an
// update run may replace any of the files at any time; the server loads a new Directory when
// they change and answers each request from one Directory only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace callbook {

// A licence as the answers show it. Texts are the database's bytes as they stand.
struct Licence {
  std::string asked;     // the text looked up, upper-cased ("W1AW/P")
  std::string callsign;  // the licence's callsign ("W1AW")
  std::string former;    // the former callsign asked for, when callsign replaced it; else ""
  bool canadian = false;
  std::string name;        // US: as stored ("SURNAME, GIVEN M"); Canadian: "GIVEN SURNAME"
  std::string first_name;  // the first of the given names; "" for a club or an entity
  std::string surname;     // "" when the record has no separate surname (a club, an entity)
  std::string street;      // with "PO BOX " in front of a post-office box (US)
  std::string city;
  std::string region;  // US state or Canadian province code
  std::string postcode;  // US: five-digit ZIP; Canadian: the postal code
};

enum class Found { yes, no, unavailable };

// `text` with its ASCII letters upper-cased, as callsigns are typed in any case.
std::string upper_case(std::string_view text);

// What a home call is taken to be in a typed callsign: the part of a portable form
// ("W1AW/P", "VE3/W1AW", "KH6/K1ABC/M") that looks like a whole callsign (a letter or digit
// prefix, a digit, and a suffix of letters), the longest one when several do. Upper-cases.
// Returns "" when no part does.
std::string home_call(std::string_view typed);

struct DatabaseState {
  bool usable = false;
  std::string problem;  // why not usable, a whole sentence, with what to do
  std::string date;     // YYYY-MM-DD
  std::uint64_t count = 0;
  platform::FileStamp stamp;
  bool present = false;  // the file was there when read
};

class Directory {
 public:
  // Reads call.db, callprev.db and cancall.db of `folder` whole, without any share mode, and
  // checks each whole: its header, an index in key order within the file, every record text
  // inside the text area and terminated. A file that is missing or fails is marked unusable
  // with the reason; the others stay usable.
  static std::shared_ptr<const Directory> load(const std::string& folder);

  // Looks the typed callsign up: a call beginning with "V" in cancall.db, any other in call.db,
  // then, when call.db lacks it, among callprev.db's former calls (the licence of the current
  // call is the answer). `unavailable` when the database the call needs cannot be used
  // (*problem then says why): callprev.db for a call call.db lacks, when it is there but
  // damaged or unreadable.
  Found find(std::string_view typed, Licence* licence, std::string* problem) const;

  const DatabaseState& us() const { return us_; }
  const DatabaseState& prev() const { return prev_; }
  const DatabaseState& canada() const { return canada_; }
  const std::string& folder() const { return folder_; }

  // One line for the log: what is in use, or what cannot be used and why.
  std::string summary() const;

  // True when a file's stamp on disk differs from the one this Directory was read from.
  bool changed_on_disk() const;

 private:
  bool find_us(const std::string& call, Licence* licence) const;
  bool find_canadian(const std::string& call, Licence* licence) const;

  std::string folder_;
  DatabaseState us_, prev_, canada_;
  platform::FileBytes us_bytes_, prev_bytes_, canada_bytes_;
  std::uint32_t us_index_offset_ = 0;
  std::uint32_t canada_index_offset_ = 0;
  // cancall.db's entries sorted by key, the first of each key in file order only.
  std::vector<std::uint64_t> canada_keys_;  // key << 32 | entry number
};

// Where `folder`'s files are written in a set right now (an update run between its renames):
// a Directory loaded then might mix old and new files.
bool set_in_progress(const std::string& folder);

}  // namespace callbook
