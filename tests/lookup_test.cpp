#include "dbfiles/lookup.h"

#include <gtest/gtest.h>

#include <string>

#include "dbfiles/dbwriter.h"
#include "tests/test_util.h"

namespace dbfiles {
namespace {

using testutil::TempDir;

UsRecord us(const char* call, const char* name) {
  UsRecord r;
  r.key = encode_call(call);
  r.name = name;
  r.street = "1 MAIN ST";
  r.city = "TOWN";
  r.state = 9;
  r.zip = 501;
  return r;
}

// A data folder with all three files:
//   call.db     A1ABC, K1ABC, W1AW
//   callprev.db AE3ABC -> W1AW (the key VE3ABC gets from the US codec), KB1OLD -> K1ABC,
//               K1ABC -> W1AW (a previous callsign that is current again)
//   cancall.db  VE3XYZ
class LookupFolder : public testing::Test {
 protected:
  void SetUp() override {
    write_us();
    std::vector<PrevEntry> prev = {{encode_call("AE3ABC"), encode_call("W1AW")},
                                   {encode_call("K1ABC"), encode_call("W1AW")},
                                   {encode_call("KB1OLD"), encode_call("K1ABC")}};
    ASSERT_EQ(write_prev_db(dir_.file("callprev.db"), "20160320", prev), 0);
    CanDbWriter can;
    ASSERT_EQ(can.open(dir_.file("cancall.db"), "20160318"), 0);
    CanKey key = 0;
    ASSERT_EQ(encode_can_call("VE3XYZ", &key), 0);
    ASSERT_EQ(can.add(CanEntry::make_word0(key, 14), "SMITH", "JANE", "2 ELM", "OTTAWA", "K2P 1A4"),
              0);
    ASSERT_EQ(can.finish(), 0);
  }

  void write_us() {
    ASSERT_EQ(write_call_db(dir_.file("call.db"), "20160320",
                            {us("A1ABC", "SOMEONE ELSE"), us("K1ABC", "DOE, JOHN"),
                             us("W1AW", "ARRL HQ")}),
              0);
  }

  SearchOutput search(const LookupFiles& files, const char* typed) {
    LookupResult slot;
    return search_callsign(files, typed, &slot);
  }

  TempDir dir_;
};

TEST_F(LookupFolder, StartUpOpensAllThreeFiles) {
  LookupFiles files;
  open_lookup_files(dir_.path(), Edition::full, &files);
  EXPECT_TRUE(files.us_ready);
  EXPECT_TRUE(files.prev_ready);
  EXPECT_EQ(canadian_line(files.canada), "Canadian data 03/18/2016,       1 entries\r\n");
  EXPECT_EQ(database_line(files.us), "Database date 03/20/2016, 3 entries");
  EXPECT_EQ(prev_line(files.prev, kCallPrevDbName), "3 previous calls in callprev.db, dated 03/20/2016");
}

TEST_F(LookupFolder, SearchTextsOfHitsAndMisses) {
  LookupFiles files;
  open_lookup_files(dir_.path(), Edition::full, &files);

  SearchOutput out = search(files, "K1ABC");
  EXPECT_TRUE(out.found);
  EXPECT_EQ(out.text, "K1ABC\r\nDOE, JOHN\r\n1 MAIN ST\r\nTOWN CA 00501\r\n\r\n");
  EXPECT_EQ(out.damaged, "");

  // A previous callsign that is current again is shown from call.db.
  EXPECT_TRUE(search(files, "K1ABC").found);

  out = search(files, "KB1OLD");
  EXPECT_FALSE(out.found);
  EXPECT_EQ(out.text, "KB1OLD NOW K1ABC\r\n\r\n");

  out = search(files, "KB1NEW");
  EXPECT_EQ(out.text, "KB1NEW NOT FOUND\r\n\r\n");

  out = search(files, "VE3XYZ");
  EXPECT_TRUE(out.found);
  EXPECT_EQ(out.text, "VE3XYZ\r\nJANE SMITH\r\n2 ELM\r\nOTTAWA, ON  K2P 1A4\r\n\r\n");
}

TEST_F(LookupFolder, CallsignsNoUsKeyCanHoldAreNotFoundWithoutASearch) {
  LookupFiles files;
  open_lookup_files(dir_.path(), Edition::full, &files);
  testing::internal::CaptureStderr();
  // X1ABC and VE3ABC would read as A1ABC and AE3ABC.
  EXPECT_EQ(search(files, "X1ABC").text, "X1ABC NOT FOUND\r\n\r\n");
  EXPECT_EQ(search(files, "VE3ABC").text, "VE3ABC NOT FOUND\r\n\r\n");
  EXPECT_EQ(search(files, "").text, " NOT FOUND\r\n\r\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(LookupFolder, UsOnlyEditionReadsCallDbAlone) {
  LookupFiles files;
  open_lookup_files(dir_.path(), Edition::us_only, &files);
  EXPECT_TRUE(files.us_ready);
  EXPECT_FALSE(files.prev_ready);
  EXPECT_EQ(canadian_line(files.canada), "");
  EXPECT_TRUE(search(files, "W1AW").found);
  EXPECT_EQ(search(files, "KB1OLD").text, "KB1OLD NOT FOUND\r\n\r\n");
  EXPECT_EQ(search(files, "VE3XYZ").text, "VE3XYZ NOT FOUND\r\n\r\n");
}

TEST_F(LookupFolder, WithoutCallDbOnlyCanadianCallsignsAreFound) {
  ASSERT_EQ(std::remove(dir_.file("call.db").c_str()), 0);
  LookupFiles files;
  open_lookup_files(dir_.path(), Edition::full, &files);
  EXPECT_FALSE(files.us_ready);
  EXPECT_EQ(call_db_trouble(files, "/data"), "Not found in /data.");
  EXPECT_FALSE(files.prev_ready);  // not opened after call.db failed
  EXPECT_EQ(search(files, "K1ABC").text, "K1ABC NOT FOUND\r\n\r\n");
  EXPECT_EQ(search(files, "KB1OLD").text, "KB1OLD NOT FOUND\r\n\r\n");
  EXPECT_TRUE(search(files, "VE3XYZ").found);

  // A call.db whose index offset lies beyond the file is no better.
  testutil::write_bytes(dir_.file("call.db"), testutil::bytes_of("20160320\xFF\xFF\xFF\x7F"));
  LookupFiles again;
  open_lookup_files(dir_.path(), Edition::full, &again);
  EXPECT_FALSE(again.us_ready);
  EXPECT_EQ(call_db_trouble(again, "/data"),
            "Damaged in /data: its index offset lies outside the file.");
  EXPECT_EQ(search(again, "K1ABC").text, "K1ABC NOT FOUND\r\n\r\n");
}

TEST_F(LookupFolder, DamageIsNamedPerFile) {
  LookupFiles files;
  open_lookup_files(dir_.path(), Edition::full, &files);
  ASSERT_EQ(truncate(dir_.file("call.db").c_str(), files.us.index_offset + 5), 0);
  ASSERT_EQ(truncate(dir_.file("callprev.db").c_str(), 11), 0);
  const SearchOutput out = search(files, "K1ABC");
  EXPECT_FALSE(out.found);
  EXPECT_EQ(out.damaged, "call.db callprev.db");
  EXPECT_EQ(out.why, "a read came back short");
  EXPECT_EQ(out.text, "K1ABC NOT FOUND\r\n\r\n");
}

TEST_F(LookupFolder, OpenFilesKeepTheUpdaterOut) {
  LookupFiles files;
  open_lookup_files(dir_.path(), Edition::full, &files);
  platform::File updater;
  EXPECT_EQ(updater.open(dir_.file("call.db"), platform::Access::read, platform::Share::none,
                         platform::Disposition::open_existing),
            platform::sharing_violation_error());
  close_lookup_files(&files);
  EXPECT_EQ(updater.open(dir_.file("call.db"), platform::Access::read, platform::Share::none,
                         platform::Disposition::open_existing),
            0);
  // And while the updater holds it, start-up cannot read it; once it is done, a second try can.
  LookupFiles blocked;
  open_lookup_files(dir_.path(), Edition::full, &blocked);
  EXPECT_FALSE(blocked.us_ready);
  EXPECT_EQ(call_db_trouble(blocked, "/data"),
            "The database is being updated. Try again when the update has finished.");
  updater.close();
  open_us_files(dir_.path(), &blocked);
  EXPECT_TRUE(blocked.us_ready);
  EXPECT_TRUE(blocked.prev_ready);
  EXPECT_EQ(search(blocked, "KB1OLD").text, "KB1OLD NOW K1ABC\r\n\r\n");
}

}  // namespace
}  // namespace dbfiles
