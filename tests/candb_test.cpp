#include "dbfiles/candb.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dbfiles/dbwriter.h"
#include "tests/test_util.h"

namespace dbfiles {
namespace {

using testutil::TempDir;

std::uint32_t word0(const char* call, std::uint32_t province) {
  CanKey key = 0;
  EXPECT_EQ(encode_can_call(call, &key), 0) << call;
  return CanEntry::make_word0(key, province);
}

struct Licence {
  const char* call;
  std::uint32_t province;
  const char* surname;
  const char* given;
  const char* street;
  const char* city;
  const char* postal;
};

void write_can(const std::string& path, const char* date, const std::vector<Licence>& list) {
  CanDbWriter w;
  ASSERT_EQ(w.open(path, date), 0) << w.error();
  for (const Licence& l : list) {
    ASSERT_EQ(w.add(word0(l.call, l.province), l.surname, l.given, l.street, l.city, l.postal), 0);
  }
  ASSERT_EQ(w.finish(), 0) << w.error();
}

const std::vector<Licence> kSample = {
    {"VA1AA", 10, "McFadden", "Bill", "188 MILLWOOD DRIVE", "MIDDLE SACKVILLE", "B4E 2X8"},
    {"VE3XYZ", 14, "OTTAWA ARC", "", "1 MAIN ST", "OTTAWA", "K2P 1A4"},
    {"VO1A", 4, "Nobody", "Jo", "no addr given", "not really", "xxx xxx"},
    {"VY0AB", 0, "North", "Al", "Box 1", "IQALUIT,XY", "X0A 0H0"},
    {"VE3XYZ", 14, "Second", "Entry", "2 MAIN ST", "OTTAWA", "K2P 1A5"},
};

LookupResult found(const CanadianTable& table, const char* call) {
  LookupResult result;
  const LookupStatus status = lookup_canadian_call(table, call, &result);
  EXPECT_TRUE(status.found) << call;
  EXPECT_FALSE(status.damaged) << call;
  return result;
}

TEST(CanCallDb, LicencesAreFoundWithTheirLines) {
  TempDir dir;
  write_can(dir.file("cancall.db"), "20160320", kSample);
  CanadianTable table;
  ASSERT_EQ(load_canadian_table(dir.file("cancall.db"), &table), 0);
  EXPECT_EQ(canadian_line(table), "Canadian data 03/20/2016,       5 entries\r\n");

  LookupResult r = found(table, "VA1AA");
  EXPECT_STREQ(r.callsign, "VA1AA");
  EXPECT_STREQ(r.name_line, "Bill McFadden");
  EXPECT_STREQ(r.street_line, "188 MILLWOOD DRIVE");
  EXPECT_STREQ(r.place_line, "MIDDLE SACKVILLE, NS  B4E 2X8");

  // Club, then the first of two entries with one key.
  r = found(table, "VE3XYZ");
  EXPECT_STREQ(r.name_line, " OTTAWA ARC");
  EXPECT_STREQ(r.street_line, "1 MAIN ST");
  // Letters past the sixth character are not part of the key: the key's callsign heads the record.
  EXPECT_STREQ(found(table, "VE3XYZQ").callsign, "VE3XYZ");

  r = found(table, "VO1A");
  EXPECT_STREQ(r.street_line, "no addr given");
  EXPECT_STREQ(r.place_line, "not really, ZZ  xxx xxx");

  r = found(table, "VY0AB");
  EXPECT_STREQ(r.place_line, "IQALUIT,XY, ??  X0A 0H0");
}

TEST(CanCallDb, CallsignsThatCannotBeInTheTableAreNotFound) {
  TempDir dir;
  write_can(dir.file("cancall.db"), "20160320", kSample);
  CanadianTable table;
  ASSERT_EQ(load_canadian_table(dir.file("cancall.db"), &table), 0);
  LookupResult result;
  for (const char* call : {"VB3ABC", "VG3ABC", "VE", "V", "VA1A", "VA1AAA", "VEX123", "VA1AA-"}) {
    EXPECT_FALSE(lookup_canadian_call(table, call, &result).found) << call;
  }
}

TEST(CanCallDb, HeaderDateAndCountFormats) {
  TempDir dir;
  write_can(dir.file("cancall.db"), "20261127", {});
  CanadianTable table;
  ASSERT_EQ(load_canadian_table(dir.file("cancall.db"), &table), 0);
  EXPECT_EQ(testutil::read_bytes(dir.file("cancall.db")).substr(0, 8), "C0261127");
  EXPECT_EQ(canadian_line(table), "Canadian data 11/27/2026,       0 entries\r\n");

  // The year keeps three digits; readers put a 2 in front.
  std::string bytes = testutil::read_bytes(dir.file("cancall.db"));
  bytes.replace(0, 8, "C9991231");
  testutil::write_bytes(dir.file("cancall.db"), bytes);
  ASSERT_EQ(load_canadian_table(dir.file("cancall.db"), &table), 0);
  EXPECT_EQ(canadian_line(table), "Canadian data 12/31/2999,       0 entries\r\n");
}

TEST(CanCallDb, TableHoldsEveryEntryBeyondAHundredThousand) {
  TempDir dir;
  CanDbWriter w;
  ASSERT_EQ(w.open(dir.file("cancall.db"), "20250330"), 0);
  // 4 prefixes x 10 digits x 26^3 suffixes is far more than needed.
  const std::string letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::vector<std::string> calls;
  for (char second : std::string("AEOY")) {
    for (char digit = '0'; digit <= '9' && calls.size() < 123456; ++digit) {
      for (char a : letters) {
        for (char b : letters) {
          for (char c : letters) {
            if (calls.size() == 123456) break;
            calls.push_back(std::string{'V', second, digit, a, b, c});
          }
        }
      }
    }
  }
  for (const std::string& call : calls) {
    ASSERT_EQ(w.add(word0(call.c_str(), 14), call, "G", "S", "C", "P"), 0);
  }
  ASSERT_EQ(w.finish(), 0);
  CanadianTable table;
  ASSERT_EQ(load_canadian_table(dir.file("cancall.db"), &table), 0);
  EXPECT_EQ(table.entries.size(), 123456u);
  EXPECT_EQ(canadian_line(table), "Canadian data 03/30/2025,  123456 entries\r\n");
  EXPECT_STREQ(found(table, calls.back().c_str()).name_line, ("G " + calls.back()).c_str());
  EXPECT_STREQ(found(table, calls[100000].c_str()).name_line, ("G " + calls[100000]).c_str());
}

TEST(CanCallDb, MissingShortOrUnfinishedFilesGiveNoEntries) {
  TempDir dir;
  CanadianTable table;
  EXPECT_EQ(load_canadian_table(dir.file("cancall.db"), &table), -1);
  EXPECT_EQ(canadian_line(table), "");

  testutil::write_bytes(dir.file("cancall.db"), "C0160320---");
  EXPECT_EQ(load_canadian_table(dir.file("cancall.db"), &table), -1);
  EXPECT_EQ(canadian_line(table), "");

  // A conversion that never finished leaves "----" where the index offset goes.
  testutil::write_bytes(dir.file("cancall.db"),
                        testutil::bytes_of("C0160320----S\0G\0ST\0C\0P\0") + std::string(16, '\x01'));
  ASSERT_EQ(load_canadian_table(dir.file("cancall.db"), &table), 0);
  EXPECT_TRUE(table.entries.empty());
  EXPECT_EQ(canadian_line(table), "Canadian data 03/20/2016,       0 entries\r\n");

  // An offset inside the header would read the header as entries.
  std::string bytes = testutil::read_bytes(dir.file("cancall.db"));
  testutil::put_word(&bytes, 8, 4);
  testutil::write_bytes(dir.file("cancall.db"), bytes);
  ASSERT_EQ(load_canadian_table(dir.file("cancall.db"), &table), 0);
  EXPECT_TRUE(table.entries.empty());
}

TEST(CanCallDb, ReplacedFileIsReadOnlyByTheNextStart) {
  TempDir dir;
  write_can(dir.file("cancall.db"), "20160320", kSample);
  CanadianTable table;
  ASSERT_EQ(load_canadian_table(dir.file("cancall.db"), &table), 0);
  EXPECT_STREQ(found(table, "VE3XYZ").name_line, " OTTAWA ARC");

  // An update puts a new file in place with a licence in front: every text offset moves.
  std::vector<Licence> list = kSample;
  list.insert(list.begin(), {"VA2ZZ", 13, "FRONT", "Added", "1 RUE", "MONTREAL", "H1A 1A1"});
  write_can(dir.file("cancall.new"), "20160321", list);
  ASSERT_EQ(std::rename(dir.file("cancall.new").c_str(), dir.file("cancall.db").c_str()), 0);
  EXPECT_STREQ(found(table, "VE3XYZ").name_line, " OTTAWA ARC");

  CanadianTable next;
  ASSERT_EQ(load_canadian_table(dir.file("cancall.db"), &next), 0);
  EXPECT_STREQ(found(next, "VA2ZZ").name_line, "Added FRONT");
}

TEST(CanCallDb, TextOffsetOutsideTheTextAreaShowsNoText) {
  TempDir dir;
  write_can(dir.file("cancall.db"), "20160320", kSample);
  CanadianTable table;
  ASSERT_EQ(load_canadian_table(dir.file("cancall.db"), &table), 0);
  for (const std::uint32_t offset : {0u, 11u, table.index_offset, 0xFFFFFFu}) {
    table.entries[0].word1 = CanEntry::make_word1(offset, 0);
    LookupResult result;
    const char* why = nullptr;
    const LookupStatus status = lookup_canadian_call(table, "VA1AA", &result, &why);
    EXPECT_TRUE(status.found && status.damaged) << offset;
    EXPECT_STREQ(result.callsign, "VA1AA");
    EXPECT_STREQ(result.name_line, "") << offset;
    EXPECT_STREQ(result.place_line, "NS") << offset;
    EXPECT_STREQ(why, kTextOutsideArea) << offset;
  }
}

TEST(CanCallDb, EveryTruncationLoadsOrFailsCleanly) {
  TempDir dir;
  write_can(dir.file("cancall.db"), "20160320", kSample);
  const std::string whole = testutil::read_bytes(dir.file("cancall.db"));
  const std::uint32_t index_offset = testutil::word_at(whole, 8);
  for (std::size_t len = 0; len <= whole.size(); ++len) {
    testutil::write_bytes(dir.file("cut.db"), whole.substr(0, len));
    CanadianTable table;
    const int rc = load_canadian_table(dir.file("cut.db"), &table);
    ASSERT_EQ(rc == 0, len >= 12) << len;
    const std::size_t expected = len > index_offset ? (len - index_offset) / 8 : 0;
    ASSERT_EQ(table.entries.size(), expected) << len;
    for (const Licence& l : kSample) {
      LookupResult result;
      const LookupStatus status = lookup_canadian_call(table, l.call, &result);
      EXPECT_FALSE(status.damaged) << len;  // texts lie before the index
    }
  }
}

}  // namespace
}  // namespace dbfiles
