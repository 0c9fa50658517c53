// The demo's seeded generators: whatever they make reads back through the lookups and the
// updater's own extraction and conversion, in every kind, and the same seed gives the same bytes.

#include "tools/demo_data.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "dbfiles/candb.h"
#include "dbfiles/usdb.h"
#include "platform/platform.h"
#include "tests/support/recording_link.h"
#include "tests/test_util.h"
#include "updater/convert_canada.h"
#include "updater/unzip.h"

namespace calldb::demo {
namespace {

using testutil::read_bytes;
using testutil::TempDir;

TEST(DemoData, UsLicencesPreviousCallsAndWeeksReadBack) {
  Random rng(5);
  std::vector<dbfiles::UsRecord> licences = make_us_licences(rng, 20000);
  TempDir dir;
  ASSERT_EQ(dbfiles::write_call_db(dir.file("call.db"), "20250103", licences), 0);
  dbfiles::UsDatabase db;
  ASSERT_EQ(dbfiles::open_call_db(dir.file("call.db"), &db), 0);
  ASSERT_EQ(db.count, 20000u);
  std::set<CallShape> shapes;
  for (const dbfiles::UsRecord& r : licences) {
    const std::string call = dbfiles::decode_call(r.key);
    CallShape shape;
    ASSERT_TRUE(us_call_shape(call, &shape)) << call;
    shapes.insert(shape);
    dbfiles::LookupResult shown;
    ASSERT_TRUE(dbfiles::lookup_us_call(db, call.c_str(), &shown).found) << call;
    EXPECT_EQ(shown.name_line, r.name);
    EXPECT_EQ(shown.street_line, (r.po_box ? "PO BOX " : "") + r.street);
  }
  EXPECT_EQ(shapes.size(), 5u);

  // Previous callsigns: former callsigns of current licensees, in order (else not written).
  const std::vector<dbfiles::PrevEntry> prev = make_previous_calls(rng, licences, 2000);
  ASSERT_EQ(dbfiles::write_prev_db(dir.file("callprev.db"), "20250103", prev), 0);
  ASSERT_EQ(prev.size(), 2000u);
  for (const dbfiles::PrevEntry& e : prev) {
    dbfiles::IndexEntry entry;
    EXPECT_FALSE(dbfiles::find_entry(db, e.old_key, &entry).found);
    EXPECT_TRUE(dbfiles::find_entry(db, e.new_key, &entry).found);
  }

  std::vector<dbfiles::UsRecord> week = licences;
  const WeekChanges c = next_week(rng, &week);
  EXPECT_GT(c.added * c.changed * c.deleted, 0u);
  EXPECT_EQ(week.size(), licences.size() + c.added - c.deleted);
  ASSERT_EQ(dbfiles::write_call_db(dir.file("week.db"), "20250110", week), 0);  // sorted, distinct
}

TEST(DemoData, TheCanadianListConvertsAndLooksUpInEveryPrefix) {
  Random rng(3);
  const std::vector<CanadianLicence> licences = make_canadian_licences(rng, 6000);
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
  std::set<std::string> prefixes;
  for (const CanadianLicence& l : licences) {
    prefixes.insert(l.callsign.substr(0, 3));
    dbfiles::LookupResult shown;
    ASSERT_TRUE(dbfiles::lookup_canadian_call(table, l.callsign.c_str(), &shown).found)
        << l.callsign;
  }
  EXPECT_EQ(prefixes.size(), 22u);  // VA1-VA7, VE0-VE9, VO1, VO2, VY0-VY2

  // The stored archive, as the updater takes it apart without zlib.
  const std::string list = read_bytes(dir.file("amateur.txt"));
  testutil::write_bytes(dir.file("amateur.zip"), stored_zip("amateur.txt", list, "20250328"));
  std::filesystem::remove(dir.file("amateur.txt"));
  ASSERT_EQ(updater::unzip(env, "amateur.zip"), 0) << link.log();
  EXPECT_EQ(read_bytes(dir.file("amateur.txt")), list);
  EXPECT_EQ(crc32("6789", crc32("12345")), 0xCBF43926u);
}

TEST(DemoData, SameSeedSameBytesAndNeverIntoAFolderThatHoldsSomething) {
  TempDir tmp;
  const auto make = [&](const std::string& name, std::uint64_t seed) {
    DemoOptions o{tmp.file(name), seed, "20250115", 3000, 900, 200, 4, {}};
    DemoReport report;
    std::string error;
    return make_demo(o, &report, &error);
  };
  ASSERT_EQ(make("a", 11), 0);
  ASSERT_EQ(make("b", 11), 0);
  ASSERT_EQ(make("c", 12), 0);
  for (const auto& e : std::filesystem::recursive_directory_iterator(tmp.file("a"))) {
    if (e.is_directory()) continue;
    const std::string a = read_bytes(e.path()), name = e.path().string().substr(tmp.path().size() + 2);
    EXPECT_EQ(a, read_bytes(tmp.file("b" + name))) << name;
    EXPECT_NE(a, read_bytes(tmp.file("c" + name))) << name;
  }
  EXPECT_EQ(make("a", 11), 1);
  testutil::write_bytes(tmp.file("file"), "x");
  EXPECT_EQ(make("file", 1), 1);
  EXPECT_EQ(read_bytes(tmp.file("file")), "x");
}

TEST(HelpPages, EachComesFromTheFirstFolderThatHasItAndNoneIsReplaced) {
  TempDir a, b, data, full;
  testutil::write_bytes(a.file("fernwick-help.html"), "a's fernwick");
  testutil::write_bytes(b.file("fernwick-help.html"), "b's fernwick");
  testutil::write_bytes(b.file("orbisk-help.html"), "b's orbisk");
  EXPECT_EQ(copy_help_pages({a.file("none"), a.path(), b.path()}, data.path()), 0);
  EXPECT_EQ(read_bytes(data.file("fernwick-help.html")), "a's fernwick");
  EXPECT_EQ(read_bytes(data.file("orbisk-help.html")), "b's orbisk");
  testutil::write_bytes(a.file("orbisk-help.html"), "a's orbisk");
  EXPECT_EQ(copy_help_pages({a.path()}, data.path()), 0);
  EXPECT_EQ(read_bytes(data.file("orbisk-help.html")), "b's orbisk");  // kept
  platform::testing::fail_writes_after(4, ENOSPC);
  EXPECT_EQ(copy_help_pages({a.path()}, full.path()), ENOSPC);
  platform::testing::fail_writes_after(-1, 0);
  EXPECT_TRUE(std::filesystem::is_empty(full.path()));
}

}  // namespace
}  // namespace calldb::demo
