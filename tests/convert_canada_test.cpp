#include "updater/convert_canada.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "dbfiles/candb.h"
#include "tests/support/canada_list.h"
#include "tests/support/recording_link.h"
#include "tests/test_util.h"

namespace updater {
namespace {

using testutil::TempDir;

// A fixed-column licence line of an individual; `address` false leaves a short line.
std::string person(const std::string& call, const std::string& given, const std::string& surname,
                   const std::string& street, const std::string& city, const std::string& prov,
                   const std::string& postal, std::size_t length = 210) {
  std::string line(std::max<std::size_t>(length, 199), ' ');
  const auto put = [&line](std::size_t at, const std::string& v) { line.replace(at, v.size(), v); };
  put(0, call);
  put(7, given);
  put(43, surname);
  put(79, street);
  put(150, city);
  put(186, prov);
  put(189, postal);
  line.resize(length);
  return line;
}

std::string club(const std::string& call, const std::string& name, const std::string& second,
                 const std::string& street, const std::string& city, const std::string& prov,
                 const std::string& postal) {
  std::string line(469, ' ');
  const auto put = [&line](std::size_t at, const std::string& v) { line.replace(at, v.size(), v); };
  put(0, call);
  put(210, name);
  put(281, second);
  put(352, street);
  put(423, city);
  put(459, prov);
  put(462, postal);
  return line;
}

constexpr char kHeadings[] =
    "2026-04-17  Canadian Amateur Call Sign List\r\n \r\nThere are N call signs.\r\n \r\n";

// A whole list: the headings, the lines and "EOF".
std::string list_of(const std::vector<std::string>& lines, const char* eol = "\r\n") {
  std::string text = kHeadings;
  for (const std::string& l : lines) text += l + eol;
  return text + "EOF" + eol;
}

// Makes a full disk for the life of the object.
struct FullDisk {
  explicit FullDisk(std::int64_t after) { platform::testing::fail_writes_after(after, ENOSPC); }
  ~FullDisk() { platform::testing::fail_writes_after(-1, 0); }
};

class Conversion : public testing::Test {
 protected:
  void SetUp() override {
    env_.link = &link_;
    env_.state = &state_;
    env_.folder = dir_.path();
  }

  int convert(const std::string& list) {
    testutil::write_bytes(dir_.file("amateur.txt"), list);
    link_.clear();
    return convert_canadian_list(env_);
  }

  dbfiles::LookupResult look(const char* call) {
    dbfiles::CanadianTable table;
    EXPECT_EQ(dbfiles::load_canadian_table(dir_.file("cancall.db"), &table), 0);
    dbfiles::LookupResult r;
    EXPECT_TRUE(dbfiles::lookup_canadian_call(table, call, &r).found) << call;
    return r;
  }

  TempDir dir_;
  testutil::RecordingLink link_;
  UpdaterState state_;
  WorkerEnv env_;
};

// ---------------------------------------------------------------------------------------------
// The file and the log

TEST_F(Conversion, SmallListGivesExactBytesAndLog) {
  ASSERT_EQ(convert(list_of({person("VA1AA", "Bill", "McFadden", "188 MILLWOOD DRIVE",
                                     "MIDDLE SACKVILLE", "NS", "B4E 2X8")})),
            0);
  std::string expected = "C0260417";
  expected += std::string(4, '\0');  // index offset, patched below
  const std::string texts = testutil::bytes_of(
      "McFadden\0Bill\0" "188 MILLWOOD DRIVE\0MIDDLE SACKVILLE\0B4E 2X8\0");
  expected += texts;
  const std::size_t head = 9 + 5 + 19;
  while (expected.size() % 4 != 0) expected.push_back('\0');
  const std::uint32_t index_offset = static_cast<std::uint32_t>(expected.size());
  testutil::put_word(&expected, 8, index_offset);
  std::string entry(8, '\0');
  dbfiles::CanKey key = 0;
  ASSERT_EQ(dbfiles::encode_can_call("VA1AA", &key), 0);
  testutil::put_word(&entry, 0, key | (10u << 21));
  testutil::put_word(&entry, 4, 12u | (static_cast<std::uint32_t>(head) << 24));
  expected += entry;
  EXPECT_EQ(testutil::read_bytes(dir_.file("cancall.db")), expected);

  const std::size_t pad = index_offset - 12 - texts.size();
  EXPECT_EQ(link_.log(),
            "2026-04-17 -- canadian db date\r\n"
            "2026-04-17  Canadian Amateur Call Sign List\r\n"
            "There are N call signs.\r\n"
            "6 lines, 1 calls in database, 0 calls have no address\r\n" +
                (pad != 0 ? "aligning +" + std::to_string(pad) + "\r\n" : std::string()) +
                "cancall.db size " + std::to_string(expected.size()) + "\r\n"
                "cancall.db written\r\n");
  EXPECT_EQ(link_.row(0, RowCell::name), "2026-04-17");
}

TEST_F(Conversion, AlignmentFollowsTheEndOfTheTexts) {
  // Each licence below takes 4 + 71 + (city + 1) + 2 bytes of text from byte 12: eight with a
  // 35-character city end at 916, and a ninth with a 7- or 6-character city ends at 1001 or 1000.
  for (const std::size_t last_city : {7u, 6u}) {
    std::vector<std::string> lines;
    for (int i = 0; i < 9; ++i) {
      lines.push_back(person("VE3A" + std::string(1, static_cast<char>('A' + i)), "G", "S",
                             std::string(70, 'X'), std::string(i < 8 ? 35 : last_city, 'C'), "ON",
                             "P"));
    }
    ASSERT_EQ(convert(list_of(lines)), 0);
    const std::string bytes = testutil::read_bytes(dir_.file("cancall.db"));
    if (last_city == 7) {
      EXPECT_EQ(testutil::word_at(bytes, 8), 1004u);
      EXPECT_EQ(bytes.substr(1001, 3), std::string(3, '\0'));
      EXPECT_NE(link_.log().find("have no address\r\naligning +3\r\ncancall.db size 1076\r\n"),
                std::string::npos)
          << link_.log();
    } else {
      EXPECT_EQ(testutil::word_at(bytes, 8), 1000u);
      EXPECT_EQ(link_.log().find("aligning"), std::string::npos);
    }
  }
}

TEST_F(Conversion, LineLengthsDecideTheLayout) {
  ASSERT_EQ(convert(list_of({
                person("VA1A", "Short", "Line", "1 ST", "CITY", "NS", "B0B 1A1", 199),
                person("VA1B", "Two", "Hundred", "2 ST", "CITY", "NS", "B0B 1A1", 200),
                person("VA1C", "Exactly", "Padded", "3 ST", "CITY", "NS", "B0B 1A1", 210),
                person("VA1D", "Padded", "NoAddress", "", "", "", "", 210),
                club("VA1E", "HALIFAX ARC", "SECOND LINE", "4 ST", "HALIFAX", "NS", "B3H 1A1"),
                club("VA1F", "DARTMOUTH ARC", "C/O JOHN DOE", "5 ST", "DARTMOUTH", "NS", "B2Y 1A1"),
                club("VA1G", "TRURO ARC", "c\\o JANE DOE", "6 ST", "TRURO", "NS", "B2N 1A1"),
            })),
            0);
  dbfiles::LookupResult r = look("VA1A");
  EXPECT_STREQ(r.street_line, "no addr given");
  EXPECT_STREQ(r.place_line, "not really, ZZ  xxx xxx");
  EXPECT_STREQ(look("VA1B").place_line, "CITY, NS  B0B 1A1");
  EXPECT_STREQ(look("VA1C").place_line, "CITY, NS  B0B 1A1");
  EXPECT_STREQ(look("VA1D").street_line, "no addr given");
  r = look("VA1E");
  EXPECT_STREQ(r.name_line, " HALIFAX ARC SECOND LINE");
  EXPECT_STREQ(r.street_line, "4 ST");
  EXPECT_STREQ(r.place_line, "HALIFAX, NS  B3H 1A1");
  EXPECT_STREQ(look("VA1F").name_line, " DARTMOUTH ARC");
  EXPECT_STREQ(look("VA1G").name_line, " TRURO ARC");
  EXPECT_NE(link_.log().find("12 lines, 7 calls in database, 2 calls have no address\r\n"),
            std::string::npos);
}

TEST_F(Conversion, SurnameMarkerProvinceCodesAndControlBytes) {
  ASSERT_EQ(convert(list_of({
                person("VE3AA", "John", "SMITH (+)", "1 ST", "TORONTO", "ON", "M1M 1M1"),
                person("VE3AB", "Jane", "SMITH(+)JR", "1 ST", "SUDBURY", "XY", "P3A 1A1"),
                person("VE3AC", "Jo", "DOE", "1 ST", "OTTAWA", "??", "K1A 0A1"),
                person("VE3AD", "Ann\x7f" "e", std::string("LEE\0DS", 6), "9\tST", "OTTAWA",
                       "ON", "K1A 0A1"),
            })),
            0);
  // Control bytes read as blanks: a zero byte must not end the surname's record string early.
  EXPECT_STREQ(look("VE3AD").name_line, "Ann e LEE DS");
  EXPECT_STREQ(look("VE3AD").street_line, "9 ST");
  dbfiles::LookupResult r = look("VE3AA");
  EXPECT_STREQ(r.name_line, "John SMITH");
  EXPECT_STREQ(r.place_line, "TORONTO, ON  M1M 1M1");
  r = look("VE3AB");
  EXPECT_STREQ(r.name_line, "Jane SMITH");
  EXPECT_STREQ(r.place_line, "SUDBURY,XY, ??  P3A 1A1");
  EXPECT_STREQ(look("VE3AC").place_line, "OTTAWA,??, ??  K1A 0A1");
  dbfiles::CanadianTable table;
  ASSERT_EQ(dbfiles::load_canadian_table(dir_.file("cancall.db"), &table), 0);
  EXPECT_EQ(table.entries[0].province(), 14u);
  EXPECT_EQ(table.entries[1].province(), 0u);
}

TEST_F(Conversion, BadCallsKeepTheirEntries) {
  ASSERT_EQ(convert(list_of({"", person("VB3ABC", "A", "B", "1 ST", "C", "ON", "P"),
                             person("VE3XYZ", "Good", "Call", "1 ST", "C", "ON", "P")})),
            0);
  EXPECT_NE(link_.log().find("BAD CALL: ''\r\nBAD CALL: 'VB3ABC'\r\n"), std::string::npos);
  dbfiles::CanadianTable table;
  ASSERT_EQ(dbfiles::load_canadian_table(dir_.file("cancall.db"), &table), 0);
  ASSERT_EQ(table.entries.size(), 3u);
  EXPECT_EQ(table.entries[0].word0, 0u);
  EXPECT_EQ(table.entries[1].word0, 0u);
  EXPECT_STREQ(look("VE3XYZ").name_line, "Good Call");
  EXPECT_NE(link_.log().find("3 calls in database, 1 calls have no address"), std::string::npos);
}

TEST_F(Conversion, NothingAfterEofAndAnEofWithoutItsLineEnd) {
  ASSERT_EQ(convert(list_of({person("VE3AA", "A", "B", "1", "C", "ON", "P"), "EOF",
                             person("VE3AB", "A", "B", "1", "C", "ON", "P")})),
            0);
  dbfiles::CanadianTable table;
  ASSERT_EQ(dbfiles::load_canadian_table(dir_.file("cancall.db"), &table), 0);
  EXPECT_EQ(table.entries.size(), 1u);
  EXPECT_NE(link_.log().find("6 lines, 1 calls"), std::string::npos);

  std::string list = list_of({person("VE3AB", "Last", "Line", "1", "C", "ON", "P")});
  list.resize(list.size() - 2);  // "EOF" ends the file
  ASSERT_EQ(convert(list), 0);
  EXPECT_STREQ(look("VE3AB").name_line, "Last Line");
}

TEST_F(Conversion, LineEndsOfEveryKindAndAcrossReads) {
  // LF alone, CR alone, and CR LF pairs that fall on the 8192-byte boundary of the reads.
  std::vector<std::string> lines;
  for (int i = 0; i < 400; ++i) {
    char call[8];
    std::snprintf(call, sizeof call, "VE%d%c%c", i % 10, 'A' + i / 26 % 26, 'A' + i % 26);
    lines.push_back(person(call, "G", "S", "1", "C", "ON", "P"));
  }
  for (const char* eol : {"\n", "\r", "\r\n"}) {
    ASSERT_EQ(convert(list_of(lines, eol)), 0) << eol;
    EXPECT_NE(link_.log().find("405 lines, 400 calls in database, 0 calls have no address"),
              std::string::npos)
        << link_.log();
  }
  // Shift the list so that a CR LF pair straddles byte 8192 (counted after the 10 date bytes).
  for (int shift = 0; shift < 212; ++shift) {
    std::string list = list_of(lines);
    list.insert(12, std::string(static_cast<std::size_t>(shift), 'x'));
    if ((list.size() > 8202) && list[8201] == '\r' && list[8202] == '\n') {
      ASSERT_EQ(convert(list), 0);
      EXPECT_NE(link_.log().find("405 lines, 400 calls"), std::string::npos);
      return;
    }
  }
  FAIL() << "no shift put CR LF across the boundary";
}

TEST_F(Conversion, MoreThanAHundredThousandLicences) {
  std::string text = kHeadings;
  int count = 0;
  for (char second : std::string("AEOY")) {
    for (int digit = 0; digit < 10 && count < 120000; ++digit) {
      for (int n = 0; n < 17576 && count < 120000; ++n, ++count) {
        char call[8];
        std::snprintf(call, sizeof call, "V%c%d%c%c%c", second, digit, 'A' + n / 676, 'A' + n / 26 % 26,
                      'A' + n % 26);
        text += std::string(call) + std::string(210 - 6, ' ') + "\r\n";
      }
    }
  }
  ASSERT_EQ(convert(text + "EOF\r\n"), 0);
  dbfiles::CanadianTable table;
  ASSERT_EQ(dbfiles::load_canadian_table(dir_.file("cancall.db"), &table), 0);
  EXPECT_EQ(table.entries.size(), 120000u);
  EXPECT_STREQ(look("VA6ABC").street_line, "no addr given");  // licence 105,485
}

// ---------------------------------------------------------------------------------------------
// Failures leave the old cancall.db in place

TEST_F(Conversion, MissingListIsLoggedAndNothingChanges) {
  testutil::write_bytes(dir_.file("cancall.db"), "old");
  link_.clear();
  EXPECT_EQ(convert_canadian_list(env_), -1);
  EXPECT_EQ(link_.log(), "amateur.txt <--ERROR OPENING FILE\r\n");
  EXPECT_EQ(testutil::read_bytes(dir_.file("cancall.db")), "old");
  EXPECT_EQ(convert("2026-04"), -1);  // shorter than its date
}

TEST_F(Conversion, OutputThatCannotBeCreated) {
  // A data folder whose path leaves room for "/amateur.txt" but not for the temporary name
  // cancall.db is written under: creating it fails with ENAMETOOLONG.
  std::string folder = dir_.path();
  while (folder.size() < 3800) folder += "/" + std::string(200, 'd');
  folder += "/" + std::string(4080 - folder.size() - 1, 'e');
  std::filesystem::create_directories(folder);
  env_.folder = folder;
  testutil::write_bytes(folder + "/cancall.db", "old");
  testutil::write_bytes(folder + "/amateur.txt", list_of({person("VE3AA", "A", "B", "1", "C", "ON", "P")}));
  EXPECT_LT(convert_canadian_list(env_), 0);
  EXPECT_EQ(link_.log(), "2026-04-17 -- canadian db date\r\ncancall.db <--ERROR CREATING FILE\r\n");
  EXPECT_EQ(testutil::read_bytes(folder + "/cancall.db"), "old");
}

TEST_F(Conversion, CutListEmptyListOrFullDiskKeepTheOldDatabase) {
  std::vector<std::string> lines;
  for (char c = 'A'; c <= 'T'; ++c) lines.push_back(person("VE3A" + std::string(1, c), "A", "B", "1", "C", "ON", "P"));
  const std::string whole = list_of(lines);
  struct Case {
    std::string list;
    std::int64_t disk;  // bytes written before the disk is full, or -1
    std::string why;
  } cases[] = {
      {list_of({}), -1, "amateur.txt holds no licence; cancall.db NOT written\r\n"},
      {whole.substr(0, 3000), -1,
       "amateur.txt ends without its EOF line; cancall.db NOT written\r\n"},
      {whole, 100, "ERROR writing cancall.db: "},
  };
  for (const Case& c : cases) {
    testutil::write_bytes(dir_.file("cancall.db"), "old");
    const FullDisk full(c.disk);
    EXPECT_LT(convert(c.list), 0) << c.why;
    EXPECT_NE(link_.log().find(c.why), std::string::npos) << link_.log();
    EXPECT_EQ(testutil::read_bytes(dir_.file("cancall.db")), "old");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()),
                            std::filesystem::directory_iterator()),
              2);
  }
}

TEST_F(Conversion, TextsPast16MiBFailAndKeepTheOldDatabase) {
  testutil::write_bytes(dir_.file("cancall.db"), "old");
  // 258 bytes of text per club line: 70,000 of them pass 16 MiB.
  std::string text = kHeadings;
  for (int n = 0; n < 70000; ++n) {
    char call[8];
    std::snprintf(call, sizeof call, "VE%d%c%c%c", n / 17576 % 10, 'A' + n / 676 % 26, 'A' + n / 26 % 26, 'A' + n % 26);
    text += club(call, std::string(70, 'N'), std::string(70, 'M'), std::string(70, 'S'),
                 std::string(35, 'C'), "ON", "K1A 0A1") + "\r\n";
  }
  EXPECT_LT(convert(text), 0);
  EXPECT_NE(link_.log().find("cancall.db NOT written\r\n"), std::string::npos);
  EXPECT_TRUE(testutil::read_bytes(dir_.file("cancall.db")) == "old");
}

TEST_F(Conversion, OverlongLineFailsAndKeepsTheOldDatabase) {
  testutil::write_bytes(dir_.file("cancall.db"), "old");
  EXPECT_LT(convert(list_of({person("VE3AA", "A", "B", "1", "C", "ON", "P"), std::string(9000, 'x')})), 0);
  EXPECT_NE(link_.log().find("line longer than 8192 characters"), std::string::npos);
  EXPECT_EQ(testutil::read_bytes(dir_.file("cancall.db")), "old");
}

// ---------------------------------------------------------------------------------------------
// The real list

TEST_F(Conversion, RealPublishedListComesOutWhole) {
  const std::string delim = testutil::read_delimited_snapshot(
      testutil::shared_data_folder() + "/canada/amateur_delim_2025-03-30.zip");
  if (delim.empty()) GTEST_SKIP() << "the shared Canadian snapshot is not there";
  const auto licences = testutil::parse_delimited(delim);
  ASSERT_EQ(licences.size(), 90155u);
  ASSERT_EQ(convert(testutil::fixed_column_list(licences, "2025-03-30")), 0);

  dbfiles::CanadianTable table;
  ASSERT_EQ(dbfiles::load_canadian_table(dir_.file("cancall.db"), &table), 0);
  EXPECT_EQ(dbfiles::canadian_line(table), "Canadian data 03/30/2025,   90155 entries\r\n");
  std::set<dbfiles::CanKey> in_table;
  for (const auto& e : table.entries) in_table.insert(e.key());
  for (const auto& l : licences) {
    dbfiles::CanKey key = 0;
    ASSERT_EQ(dbfiles::encode_can_call(l.callsign.c_str(), &key), 0) << l.callsign;
    ASSERT_EQ(in_table.count(key), 1u) << l.callsign;
  }

  dbfiles::LookupResult r = look("VA1AA");
  EXPECT_STREQ(r.name_line, "Bill McFadden");
  EXPECT_STREQ(r.street_line, "188 MILLWOOD DRIVE");
  EXPECT_STREQ(r.place_line, "MIDDLE SACKVILLE, NS  B4E 2X8");
  r = look("VA1ADV");  // a club
  EXPECT_STREQ(r.name_line, " Advocate Fire Department");
  EXPECT_STREQ(r.place_line, "ADVOCATE HARBOUR, NS  B0M 1A0");
  // A sample across the list shows each licence's own record.
  for (std::size_t i = 0; i < licences.size(); i += 997) {
    const auto& l = licences[i];
    r = look(l.callsign.c_str());
    const auto column = [](const std::string& v, std::size_t width) {
      std::string c = v.substr(0, width);
      while (!c.empty() && c.back() == ' ') c.pop_back();
      return c;
    };
    const std::string expected_name =
        l.club_name.empty() ? column(l.first_name, 35) + " " + column(l.surname, 35)
                            : " " + column(l.club_name, 70);
    EXPECT_EQ(std::string(r.name_line).substr(0, expected_name.size()), expected_name.substr(0, 127))
        << l.callsign;
  }
}

}  // namespace
}  // namespace updater
