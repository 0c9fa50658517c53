#include "dbfiles/lookup.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "dbfiles/dbwriter.h"
#include "tests/test_util.h"

namespace dbfiles {
namespace {

// A data folder with all three files:
//   call.db     A1ABC, K1ABC, W1AW
//   callprev.db AE3ABC -> W1AW (the key VE3ABC gets from the US codec), K1ABC -> W1AW (a previous
//               callsign that is current again), KB1OLD -> K1ABC
//   cancall.db  VE3XYZ
class LookupFolder : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(write_call_db(dir_.file("call.db"), "20160320",
                            {{encode_call("A1ABC"), "X", "", ""},
                             {encode_call("K1ABC"), "DOE, JOHN", "1 MAIN ST", "TOWN", 9, 501},
                             {encode_call("W1AW"), "X", "", ""}}), 0);
    ASSERT_EQ(write_prev_db(dir_.file("callprev.db"), "20160320",
                            {{encode_call("AE3ABC"), encode_call("W1AW")},
                             {encode_call("K1ABC"), encode_call("W1AW")},
                             {encode_call("KB1OLD"), encode_call("K1ABC")}}), 0);
    CanDbWriter can;
    CanKey key = 0;
    ASSERT_EQ(encode_can_call("VE3XYZ", &key), 0);
    ASSERT_EQ(can.open(dir_.file("cancall.db"), "20160318"), 0);
    ASSERT_EQ(can.add(CanEntry::make_word0(key, 14), "SMITH", "JANE", "2 ELM", "OTTAWA", "K2P 1A4"),
              0);
    ASSERT_EQ(can.finish(), 0);
  }

  // The search's text, its damage and "found" when it was found.
  static std::string search(const LookupFiles& files, const char* typed) {
    LookupResult slot;
    const SearchOutput out = search_callsign(files, typed, &slot);
    return out.text + out.damaged + (out.damaged.empty() ? "" : ": " + out.why) +
           (out.found ? "found" : "");
  }

  testutil::TempDir dir_;
};

TEST_F(LookupFolder, SearchTextsPerEditionAndDamage) {
  LookupFiles full, us_only;
  open_lookup_files(dir_.path(), Edition::full, &full);
  open_lookup_files(dir_.path(), Edition::us_only, &us_only);
  EXPECT_TRUE(full.us_ready && full.prev_ready && us_only.us_ready && !us_only.prev_ready);
  EXPECT_EQ(canadian_line(full.canada), "Canadian data 03/18/2016,       1 entries\r\n");
  EXPECT_EQ(canadian_line(us_only.canada), "");

  const char* const k1abc = "K1ABC\r\nDOE, JOHN\r\n1 MAIN ST\r\nTOWN CA 00501\r\n\r\nfound";
  const struct { const char *typed, *full, *us_only; } rows[] = {
      {"K1ABC", k1abc, k1abc},  // current again: call.db wins over callprev.db
      {"KB1OLD", "KB1OLD NOW K1ABC\r\n\r\n", "KB1OLD NOT FOUND\r\n\r\n"},
      {"VE3XYZ", "VE3XYZ\r\nJANE SMITH\r\n2 ELM\r\nOTTAWA, ON  K2P 1A4\r\n\r\nfound",
       "VE3XYZ NOT FOUND\r\n\r\n"},
      // No US key can hold these: X1ABC and VE3ABC would read as A1ABC and AE3ABC.
      {"X1ABC", "X1ABC NOT FOUND\r\n\r\n", "X1ABC NOT FOUND\r\n\r\n"},
      {"VE3ABC", "VE3ABC NOT FOUND\r\n\r\n", "VE3ABC NOT FOUND\r\n\r\n"}};
  for (const auto& row : rows) {
    EXPECT_EQ(search(full, row.typed), row.full);
    EXPECT_EQ(search(us_only, row.typed), row.us_only);
  }
  // Damage is named per file, with what was wrong with the first.
  ASSERT_EQ(truncate(dir_.file("call.db").c_str(), full.us.index_offset + 5), 0);
  ASSERT_EQ(truncate(dir_.file("callprev.db").c_str(), 11), 0);
  EXPECT_EQ(search(full, "K1ABC"),
            "K1ABC NOT FOUND\r\n\r\ncall.db callprev.db: a read came back short");
}

// Without a usable call.db only Canadian callsigns are found, callprev.db is not opened, and the
// trouble is named; the US files are tried again once the trouble is gone.
TEST_F(LookupFolder, CallDbTroubleAndTheNextTry) {
  const std::string saved = testutil::read_bytes(dir_.file("call.db"));
  LookupFiles files, blocked, missing, folder, damaged;
  open_lookup_files(dir_.path(), Edition::full, &files);
  platform::File updater;
  const auto take = [&] {
    return updater.open(dir_.file("call.db"), platform::Access::read, platform::Share::none,
                        platform::Disposition::open_existing);
  };
  EXPECT_EQ(take(), platform::sharing_violation_error());  // open files keep the updater out
  close_lookup_files(&files);
  ASSERT_EQ(take(), 0);
  const auto trouble = [&](const char* expected, LookupFiles& t) {
    open_lookup_files(dir_.path(), Edition::full, &t);
    EXPECT_FALSE(t.us_ready || t.prev_ready) << expected;
    EXPECT_EQ(call_db_trouble(t, "/data"), expected);
    EXPECT_EQ(search(t, "KB1OLD"), "KB1OLD NOT FOUND\r\n\r\n");
    EXPECT_EQ(search(t, "VE3XYZ").substr(0, 8), "VE3XYZ\r\n");
  };
  trouble(kBeingUpdated, blocked);
  updater.close();
  ASSERT_EQ(std::remove(dir_.file("call.db").c_str()), 0);
  trouble("Not found in /data.", missing);
  std::filesystem::create_directory(dir_.file("call.db"));
  trouble("Cannot be read in /data (error 21).", folder);
  std::filesystem::remove(dir_.file("call.db"));
  testutil::write_bytes(dir_.file("call.db"), testutil::bytes_of("20160320\xFF\xFF\xFF\x7F"));
  trouble("Damaged in /data: its index offset lies outside the file.", damaged);

  testutil::write_bytes(dir_.file("call.db"), saved);
  open_us_files(dir_.path(), &blocked);
  EXPECT_TRUE(blocked.us_ready && blocked.prev_ready);
  EXPECT_EQ(search(blocked, "KB1OLD"), "KB1OLD NOW K1ABC\r\n\r\n");
}

}  // namespace
}  // namespace dbfiles
