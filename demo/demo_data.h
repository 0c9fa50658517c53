// A full-size demo made of seeded random data: the US licences, their previous callsigns, a few
// weeks of changes published as weekly update files, and the Canadian list as the authority
// publishes it (amateur.txt in amateur.zip). The same seed and date give the same bytes on
// every host: the generator and every draw from it are defined here, not by the library.
//
// The demo folder:
//   DIR/calldb/call.db, callprev.db, cancall.db   the data folder, dated D0
//   DIR/server/db-files/MMDDtoMMDD.db             the weekly files from D0 to the newest week
//   DIR/server/datafiles/amateur.zip              amateur.txt, stored
// D0 is the latest Friday on or before "today", less `weeks` weeks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "dbfiles/callkey.h"
#include "dbfiles/dbwriter.h"

namespace calldb::demo {

// xoshiro256** seeded through splitmix64.
class Random {
 public:
  explicit Random(std::uint64_t seed);
  std::uint64_t next();
  // A number in [0, n); n > 0.
  std::uint32_t below(std::uint32_t n);
  // True `per_mille` times in 1000.
  bool chance(std::uint32_t per_mille) { return below(1000) < per_mille; }
  template <typename T, std::size_t N>
  const T& pick(const T (&items)[N]) {
    return items[below(static_cast<std::uint32_t>(N))];
  }

 private:
  std::uint64_t s_[4];
};

// ---------------------------------------------------------------------------------------------
// US licences

// The shapes of US callsigns, by the number of prefix and suffix letters.
enum class CallShape { k1x2, k1x3, k2x1, k2x2, k2x3 };
// The shape of a callsign such as "KA1ABC", or false for text of no US shape.
bool us_call_shape(std::string_view call, CallShape* shape);

// A random callsign of a random shape (2x3 the bulk, 2x1 rare), any call district.
std::string random_us_call(Random& rng);

// A licence for `key`: an individual ("LAST, FIRST M", some with JR/SR/II/III) or a club, a
// street or a PO box, a real city with its state and a ZIP code near the city's.
dbfiles::UsRecord random_us_licence(Random& rng, dbfiles::CallKey key);

// `count` licences of distinct callsigns, sorted by key.
std::vector<dbfiles::UsRecord> make_us_licences(Random& rng, std::size_t count,
                                                const std::function<void(std::size_t)>& progress =
                                                    {});

// `count` previous callsigns: callsigns absent from `licences` (sorted by key), each mapped to
// one of them; sorted by old key.
std::vector<dbfiles::PrevEntry> make_previous_calls(Random& rng,
                                                    const std::vector<dbfiles::UsRecord>& licences,
                                                    std::size_t count);

// What one week changed.
struct WeekChanges {
  std::size_t added = 0;
  std::size_t changed = 0;
  std::size_t deleted = 0;
};

// The licences a week later: `added` new ones, `changed` with a new address or name, `deleted`
// expired. Sizes scale with the database (about 3,000 new, 1,500 changed and 1,200 gone a week
// at full size). `licences` stays sorted by key.
WeekChanges next_week(Random& rng, std::vector<dbfiles::UsRecord>* licences);

// ---------------------------------------------------------------------------------------------
// The Canadian list

// One licence of the Canadian list, as the fixed-column form carries it.
struct CanadianLicence {
  std::string callsign, first_name, surname, address, city, province, postal;
  std::string quals[5];
  std::string club_name, club_name_2, club_address, club_city, club_province, club_postal;
};

// The licence as one fixed-column line: padded to 210 characters, longer for clubs; fields cut
// to their columns; a six-character postal code gets its space ("B4E2X8" -> "B4E 2X8").
std::string fixed_column_line(const CanadianLicence& licence);

// The whole list as published: "DATE  Canadian Amateur Call Sign List / ...", a line of one
// space, "There are N call signs in this report. / ...", a line of one space, the licences and
// the closing "EOF" line; CR LF line ends. `date` is YYYY-MM-DD.
std::string fixed_column_list(const std::vector<CanadianLicence>& licences,
                              const std::string& date);

// `count` licences of distinct callsigns in callsign order: VA1-VA7, VE0-VE9, VO1, VO2, VY0-VY2
// with their provinces (VE0 none), clubs (some with a second name line) and licences without
// an address.
std::vector<CanadianLicence> make_canadian_licences(Random& rng, std::size_t count);

// ---------------------------------------------------------------------------------------------
// ZIP

// A ZIP archive of one stored member, its sizes in the local header, dated `date` (YYYYMMDD)
// at midnight.
std::string stored_zip(const std::string& name, std::string_view data, std::string_view date);

// ---------------------------------------------------------------------------------------------
// The whole demo

struct DemoOptions {
  std::string folder;
  std::uint64_t seed = 1;
  std::string today;  // YYYYMMDD
  std::size_t us = 780000;
  std::size_t canadian = 92000;
  std::size_t previous = 50000;
  int weeks = 4;
  // Hears of each stage ("" when done) and how far it got.
  std::function<void(const std::string& stage, std::uint64_t done, std::uint64_t total)> progress;
};

struct DemoReport {
  std::string data_folder;    // DIR/calldb
  std::string server_folder;  // DIR/server
  std::string db_date;        // call.db's date, D0
  std::string newest_date;    // the newest week's end
  std::size_t us = 0;
  std::size_t previous = 0;
  std::size_t canadian = 0;   // licences in cancall.db
  std::size_t listed = 0;     // licences in amateur.txt
  std::size_t weekly_files = 0;
};

// The latest Friday on or before `day` (days since 1970-01-01).
std::int64_t latest_friday(std::int64_t day);

// Makes the demo under options.folder, which must be missing or empty (its parent must exist).
// Returns 0; 1 when the folder is not empty or a file could not be written (*error set; what
// was written is removed); 2 for unusable options.
int make_demo(const DemoOptions& options, DemoReport* report, std::string* error);

// ---------------------------------------------------------------------------------------------
// The help pages that calldb demo and calldb sample put into the data folders they make

inline constexpr const char* kHelpPages[] = {"orbisk-help.html", "fernwick-help.html"};

// Where calldb finds the help pages: the folder of its own program, then the installed
// documents' folder.
std::vector<std::string> help_page_folders();

// Copies each of kHelpPages from the first of `folders` that has it into `data_folder`. A page
// that none of them has is passed over, and a page already in `data_folder` is kept. Returns
// 0, or the error code of the first copy that failed.
int copy_help_pages(const std::vector<std::string>& folders, const std::string& data_folder);

// ---------------------------------------------------------------------------------------------
// A US licensee in parts, as the FCC's files carry them (demo/demo_fcc.h writes those files)

struct UsLicensee {
  std::string call;                         // of the state's call district mostly
  std::string club;                         // a club's name; empty for an individual
  std::string first, middle, last, suffix;  // an individual's name, upper case
  std::string street;                       // empty when the licensee gives a PO box alone
  std::string po_box;                       // the box number, or empty
  std::string city, state;                  // a real city and its state's code
  std::uint32_t zip = 0;                    // five digits, near the city's
};

// A licensee of a real city: an individual (some with JR/SR/II/III) or, one in fifty, a club.
UsLicensee random_us_licensee(Random& rng);

}  // namespace calldb::demo
