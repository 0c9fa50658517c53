// The demo's seeded generators: what they make is realistic, complete in its kinds and the same
// for the same seed; the Canadian list and its archive read back through the updater's own
// conversion and extraction.

#include "tools/demo_data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "dbfiles/candb.h"
#include "platform/platform.h"
#include "tests/support/recording_link.h"
#include "tests/test_util.h"
#include "updater/convert_canada.h"
#include "updater/unzip.h"

namespace calldb::demo {
namespace {

using dbfiles::UsRecord;
using testutil::TempDir;

std::string call_of(const UsRecord& r) { return dbfiles::decode_call(r.key); }

bool same(const UsRecord& a, const UsRecord& b) {
  return a.key == b.key && a.name == b.name && a.street == b.street && a.city == b.city &&
         a.state == b.state && a.zip == b.zip && a.po_box == b.po_box;
}

// ---------------------------------------------------------------------------------------------
// US licences

class UsLicences : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    Random rng(5);
    licences_ = new std::vector<UsRecord>(make_us_licences(rng, 40000));
  }
  static void TearDownTestSuite() { delete licences_; }
  static std::vector<UsRecord>* licences_;
};
std::vector<UsRecord>* UsLicences::licences_ = nullptr;

TEST_F(UsLicences, AreSortedDistinctAndOfEveryShapeAndDistrict) {
  const std::vector<UsRecord>& l = *licences_;
  ASSERT_EQ(l.size(), 40000u);
  std::set<CallShape> shapes;
  std::set<char> districts;
  bool aa_to_al = false;
  for (std::size_t i = 0; i < l.size(); ++i) {
    if (i > 0) {
      ASSERT_LT(l[i - 1].key, l[i].key) << call_of(l[i]);
    }
    const std::string call = call_of(l[i]);
    CallShape shape;
    ASSERT_TRUE(us_call_shape(call, &shape)) << call;
    ASSERT_EQ(dbfiles::encode_call(call.c_str()), l[i].key);
    shapes.insert(shape);
    districts.insert(call[call.find_first_of("0123456789")]);
    aa_to_al = aa_to_al || (call[0] == 'A' && call[1] >= 'A' && call[1] <= 'L');
  }
  EXPECT_EQ(shapes.size(), 5u);
  EXPECT_EQ(districts.size(), 10u);
  EXPECT_TRUE(aa_to_al);
}

TEST_F(UsLicences, LookRealAndFitTheDatabase) {
  std::size_t po_boxes = 0, clubs = 0, arcs = 0, suffixes = 0, apartments = 0, territories = 0;
  std::set<std::uint32_t> states;
  for (const UsRecord& r : *licences_) {
    SCOPED_TRACE(call_of(r));
    const bool club = r.name.find("AMATEUR RADIO CLUB") != std::string::npos ||
                      (r.name.size() > 4 && r.name.compare(r.name.size() - 4, 4, " ARC") == 0);
    clubs += club;
    arcs += r.name.find(" ARC") != std::string::npos && r.name.find("RADIO") == std::string::npos;
    if (!club) {
      ASSERT_NE(r.name.find(", "), std::string::npos) << r.name;  // "LAST, FIRST M"
    }
    for (const std::string* s : {&r.name, &r.street, &r.city}) {
      ASSERT_EQ(std::none_of(s->begin(), s->end(), [](char c) { return c >= 'a' && c <= 'z'; }),
                true)
          << *s;
      ASSERT_FALSE(s->empty());
    }
    for (const char* suffix : {" JR", " SR", " II", " III"}) {
      const std::string_view n(r.name);
      suffixes += n.size() > std::strlen(suffix) &&
                  n.substr(n.size() - std::strlen(suffix)) == suffix;
    }
    apartments += r.street.find(" APT ") != std::string::npos;
    if (r.po_box) {
      ++po_boxes;
      ASSERT_EQ(r.street.find_first_not_of("0123456789"), std::string::npos) << r.street;
    }
    ASSERT_GT(r.state, 0u);
    ASSERT_LT(r.state, static_cast<std::uint32_t>(dbfiles::kStateCount));
    ASSERT_LT(r.zip, 100000u);
    states.insert(r.state);
    const std::string code = dbfiles::state_code(r.state);
    territories += code == "PR" || code == "GU" || code == "VI" || code == "AS" || code == "MP";
  }
  const double n = static_cast<double>(licences_->size());
  EXPECT_NEAR(po_boxes / n, 0.05, 0.01);
  EXPECT_NEAR(clubs / n, 0.02, 0.01);
  EXPECT_GT(arcs, 0u);
  EXPECT_GT(suffixes, 0u);
  EXPECT_GT(apartments, 0u);
  EXPECT_GT(territories, 0u);
  EXPECT_GE(states.size(), 55u);  // every state and DC, territories, military post offices
  TempDir dir;
  std::string error;
  EXPECT_EQ(dbfiles::write_call_db(dir.file("call.db"), "20250103", *licences_, &error), 0)
      << error;
}

TEST_F(UsLicences, SameSeedSameLicences) {
  Random a(5);
  const std::vector<UsRecord> again = make_us_licences(a, 40000);
  ASSERT_EQ(again.size(), licences_->size());
  EXPECT_TRUE(std::equal(again.begin(), again.end(), licences_->begin(), same));
  Random b(6);
  const std::vector<UsRecord> other = make_us_licences(b, 40000);
  EXPECT_FALSE(std::equal(other.begin(), other.end(), licences_->begin(), same));
}

TEST_F(UsLicences, PreviousCallsAreFormerCallsOfCurrentLicensees) {
  Random rng(9);
  const std::vector<dbfiles::PrevEntry> prev = make_previous_calls(rng, *licences_, 3000);
  ASSERT_EQ(prev.size(), 3000u);
  std::unordered_set<std::uint32_t> current;
  for (const UsRecord& r : *licences_) current.insert(r.key);
  for (std::size_t i = 0; i < prev.size(); ++i) {
    if (i > 0) {
      ASSERT_LT(prev[i - 1].old_key, prev[i].old_key);
    }
    EXPECT_EQ(current.count(prev[i].old_key), 0u) << dbfiles::decode_call(prev[i].old_key);
    EXPECT_EQ(current.count(prev[i].new_key), 1u);
  }
}

TEST_F(UsLicences, AWeekAddsChangesAndDeletesAFewThousandthsOfTheDatabase) {
  std::vector<UsRecord> week = *licences_;
  Random rng(11);
  const WeekChanges c = next_week(rng, &week);
  const std::size_t n = licences_->size();
  EXPECT_GE(c.added, n / 260);
  EXPECT_GE(c.deleted, n / 700);
  EXPECT_GE(c.changed, n / 600);
  EXPECT_EQ(week.size(), n + c.added - c.deleted);
  std::unordered_set<std::uint32_t> before;
  for (const UsRecord& r : *licences_) before.insert(r.key);
  std::size_t added = 0;
  for (std::size_t i = 0; i < week.size(); ++i) {
    if (i > 0) {
      ASSERT_LT(week[i - 1].key, week[i].key);
    }
    added += before.count(week[i].key) == 0;
  }
  EXPECT_EQ(added, c.added);
  // At full size a week stays well inside what one update file carries (16,384 entries).
  EXPECT_LT((c.added + c.changed + c.deleted) * 780000 / n, 12000u);
}

// ---------------------------------------------------------------------------------------------
// The Canadian list

TEST(CanadianList, FixedColumnsAsPublished) {
  CanadianLicence l;
  l.callsign = "VA1AA";
  l.first_name = "Bill";
  l.surname = "McFadden";
  l.address = "188 MILLWOOD DRIVE";
  l.city = "MIDDLE SACKVILLE";
  l.province = "NS";
  l.postal = "B4E2X8";
  l.quals[0] = "A";
  l.quals[2] = "C";
  l.quals[3] = "D";
  const std::string line = fixed_column_line(l);
  ASSERT_EQ(line.size(), 210u);
  EXPECT_EQ(line.substr(0, 7), "VA1AA  ");
  EXPECT_EQ(line.substr(7, 5), "Bill ");
  EXPECT_EQ(line.substr(43, 9), "McFadden ");
  EXPECT_EQ(line.substr(79, 18), "188 MILLWOOD DRIVE");
  EXPECT_EQ(line.substr(150, 16), "MIDDLE SACKVILLE");
  EXPECT_EQ(line.substr(186, 2), "NS");
  EXPECT_EQ(line.substr(189, 10), "B4E 2X8   ");
  EXPECT_EQ(line.substr(200), "A   C D   ");

  l.club_name = "Dalhousie Space Systems Lab Amateur Radio Club";
  l.club_address = "115 Mount Edward Road";
  l.club_city = "DARTMOUTH";
  l.club_province = "NS";
  l.club_postal = "B2W3K9";
  const std::string club = fixed_column_line(l);
  EXPECT_EQ(club.substr(0, 210), line);
  EXPECT_EQ(club.substr(210, 46), l.club_name);
  EXPECT_EQ(club.substr(352, 21), l.club_address);
  EXPECT_EQ(club.substr(459, 2), "NS");
  EXPECT_EQ(club.substr(462), "B2W 3K9");

  const std::string list = fixed_column_list({l, l}, "2025-03-30");
  EXPECT_EQ(list.substr(0, list.find("\r\n", list.find("rapport")) + 2),
            "2025-03-30  Canadian Amateur Call Sign List / List d'indicatif d'appel canadien\r\n"
            " \r\n"
            "There are 2 call signs in this report. / Il y a 2 indicatifs d'appels dans ce "
            "rapport.\r\n");
}

TEST(CanadianList, EveryKindOfLicenceConvertsAndLooksUp) {
  Random rng(3);
  const std::vector<CanadianLicence> licences = make_canadian_licences(rng, 6000);
  ASSERT_EQ(licences.size(), 6000u);
  std::set<std::string> prefixes;
  std::set<std::string> provinces;
  std::size_t clubs = 0, second_lines = 0, no_address = 0, ve0 = 0;
  for (std::size_t i = 0; i < licences.size(); ++i) {
    const CanadianLicence& l = licences[i];
    if (i > 0) {
      ASSERT_LT(licences[i - 1].callsign, l.callsign);
    }
    prefixes.insert(l.callsign.substr(0, 3));
    if (!l.province.empty()) provinces.insert(l.province);
    clubs += !l.club_name.empty();
    second_lines += !l.club_name_2.empty();
    no_address += l.address.empty();
    if (l.callsign.compare(0, 3, "VE0") == 0) {
      ++ve0;
      EXPECT_TRUE(l.province.empty());
    }
  }
  EXPECT_EQ(prefixes, (std::set<std::string>{"VA1", "VA2", "VA3", "VA4", "VA5", "VA6", "VA7",
                                             "VE0", "VE1", "VE2", "VE3", "VE4", "VE5", "VE6",
                                             "VE7", "VE8", "VE9", "VO1", "VO2", "VY0", "VY1",
                                             "VY2"}));
  EXPECT_EQ(provinces.size(), 13u);
  EXPECT_GT(clubs, 0u);
  EXPECT_GT(second_lines, 0u);
  EXPECT_GT(no_address, 0u);
  EXPECT_GT(ve0, 0u);

  // The updater's own conversion reads every line back.
  TempDir dir;
  testutil::write_bytes(dir.file("amateur.txt"), fixed_column_list(licences, "2025-03-28"));
  testutil::RecordingLink link;
  updater::UpdaterState state;
  updater::WorkerEnv env;
  env.link = &link;
  env.state = &state;
  env.folder = dir.path();
  ASSERT_EQ(updater::convert_canadian_list(env), 0) << link.log();
  EXPECT_EQ(link.log().find("BAD CALL"), std::string::npos) << link.log();
  dbfiles::CanadianTable table;
  ASSERT_EQ(dbfiles::load_canadian_table(dir.file("cancall.db"), &table), 0);
  EXPECT_EQ(table.entries.size(), licences.size());
}

// ---------------------------------------------------------------------------------------------
// The archive

TEST(StoredZip, CrcIsTheStandardOne) {
  EXPECT_EQ(crc32("123456789"), 0xCBF43926u);
  EXPECT_EQ(crc32(""), 0u);
  EXPECT_EQ(crc32("6789", crc32("12345")), 0xCBF43926u);  // in pieces
}

TEST(StoredZip, TheUpdaterExtractsItWithoutZlib) {
  TempDir dir;
  std::string list = "2025-03-28  Canadian Amateur Call Sign List\r\n";
  for (int i = 0; i < 500; ++i) list += std::string(210, static_cast<char>('A' + i % 26)) + "\r\n";
  const std::string zip = stored_zip("amateur.txt", list, "20250328");
  EXPECT_EQ(zip.substr(0, 4), std::string("PK\x03\x04", 4));
  testutil::write_bytes(dir.file("amateur.zip"), zip);
  testutil::RecordingLink link;
  updater::UpdaterState state;
  updater::WorkerEnv env;
  env.link = &link;
  env.state = &state;
  env.folder = dir.path();
  ASSERT_EQ(updater::unzip(env, "amateur.zip"), 0) << link.log();
  EXPECT_EQ(testutil::read_bytes(dir.file("amateur.txt")), list);
  // The same input gives the same bytes.
  EXPECT_EQ(stored_zip("amateur.txt", list, "20250328"), zip);
}

// ---------------------------------------------------------------------------------------------
// The help pages

TEST(HelpPages, EachComesFromTheFirstFolderThatHasItAndNoneIsReplaced) {
  TempDir a, b, data, empty, full;
  testutil::write_bytes(a.file("fernwick-help.html"), "a's fernwick");
  testutil::write_bytes(b.file("fernwick-help.html"), "b's fernwick");
  testutil::write_bytes(b.file("orbisk-help.html"), "b's orbisk");
  EXPECT_EQ(copy_help_pages({a.file("none"), a.path(), b.path()}, data.path()), 0);
  EXPECT_EQ(testutil::read_bytes(data.file("fernwick-help.html")), "a's fernwick");
  EXPECT_EQ(testutil::read_bytes(data.file("orbisk-help.html")), "b's orbisk");

  testutil::write_bytes(a.file("orbisk-help.html"), "a's orbisk");
  EXPECT_EQ(copy_help_pages({a.path()}, data.path()), 0);
  EXPECT_EQ(testutil::read_bytes(data.file("orbisk-help.html")), "b's orbisk");

  EXPECT_EQ(copy_help_pages({a.file("none")}, empty.path()), 0);
  EXPECT_TRUE(std::filesystem::is_empty(empty.path()));

  platform::testing::fail_writes_after(4, ENOSPC);
  EXPECT_EQ(copy_help_pages({a.path()}, full.path()), ENOSPC);
  platform::testing::fail_writes_after(-1, 0);
  EXPECT_TRUE(std::filesystem::is_empty(full.path()));
}

}  // namespace
}  // namespace calldb::demo
