#include "dbfiles/usdb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "dbfiles/dbwriter.h"
#include "tests/test_util.h"

namespace dbfiles {
namespace {

using testutil::TempDir;

// A random database: unique callsigns of every shape, with N and W keys among them.
std::map<std::string, UsRecord> random_records(std::mt19937& rng, int count) {
  std::map<std::string, UsRecord> records;
  while (static_cast<int>(records.size()) < count) {
    const std::string call = testutil::random_us_call(rng);
    UsRecord r;
    r.key = encode_call(call.c_str());
    r.name = testutil::random_text(rng, 60);
    r.street = testutil::random_text(rng, 40);
    r.city = testutil::random_text(rng, 30);
    r.state = static_cast<std::uint32_t>(rng() % 61);
    r.zip = static_cast<std::uint32_t>(rng() % 131072);
    r.po_box = rng() % 5 == 0;
    records[call] = r;
  }
  return records;
}

std::vector<UsRecord> by_key(const std::map<std::string, UsRecord>& records) {
  std::vector<UsRecord> sorted;
  for (const auto& [call, r] : records) sorted.push_back(r);
  std::sort(sorted.begin(), sorted.end(),
            [](const UsRecord& a, const UsRecord& b) { return a.key < b.key; });
  return sorted;
}

void write_db(const std::string& path, const char* date, const std::vector<UsRecord>& records) {
  std::string error;
  ASSERT_EQ(write_call_db(path, date, records, &error), 0) << error;
}

void expect_record(const UsDatabase& db, const std::string& call, const UsRecord& r) {
  LookupResult result;
  const LookupStatus status = lookup_us_call(db, call.c_str(), &result);
  ASSERT_TRUE(status.found) << call;
  EXPECT_FALSE(status.damaged) << call;
  EXPECT_EQ(result.callsign, call);
  EXPECT_EQ(result.name_line, r.name) << call;
  EXPECT_EQ(result.street_line, (r.po_box ? "PO BOX " : "") + r.street) << call;
  char place[160];
  std::snprintf(place, sizeof place, "%s %s %05u", r.city.c_str(), state_code(r.state), r.zip);
  EXPECT_EQ(result.place_line, std::string(place)) << call;
}

// ---------------------------------------------------------------------------------------------
// Written, opened, found

TEST(CallDb, EveryWrittenCallsignIsFoundAndNoOtherIs) {
  std::mt19937 rng(3);
  TempDir dir;
  const auto records = random_records(rng, 3000);
  write_db(dir.file("call.db"), "20160320", by_key(records));

  UsDatabase db;
  ASSERT_EQ(open_call_db(dir.file("call.db"), &db), 0);
  EXPECT_EQ(db.count, 3000u);
  EXPECT_EQ(db.index_offset % 4, 0u);
  EXPECT_EQ(database_line(db), "Database date 03/20/2016, 3000 entries");
  for (const auto& [call, r] : records) expect_record(db, call, r);

  int absent = 0;
  while (absent < 3000) {
    const std::string call = testutil::random_us_call(rng);
    if (records.count(call) != 0) continue;
    ++absent;
    LookupResult result;
    const LookupStatus status = lookup_us_call(db, call.c_str(), &result);
    EXPECT_FALSE(status.found) << call;
    EXPECT_FALSE(status.damaged) << call;
  }
}

// The search ends in one read of the last entries left; indexes just below, at and above that
// window's size find every entry and nothing between them.
TEST(CallDb, IndexesAroundTheLastReadsSizeFindEveryEntry) {
  for (const int count : {2, 127, 128, 129, 130, 255, 256, 257, 1000}) {
    TempDir dir;
    std::vector<UsRecord> records;
    // KA1AAA, KA1AAC, ... every other suffix, so that the ones between are absent.
    for (int i = 0; i < count; ++i) {
      std::string call = "KA1AAA";
      const int n = 2 * i;
      call[3] = static_cast<char>('A' + n / 676);
      call[4] = static_cast<char>('A' + n / 26 % 26);
      call[5] = static_cast<char>('A' + n % 26);
      UsRecord r;
      r.key = encode_call(call.c_str());
      r.name = call;
      records.push_back(r);
    }
    write_db(dir.file("call.db"), "20200101", records);
    UsDatabase db;
    ASSERT_EQ(open_call_db(dir.file("call.db"), &db), 0);
    for (int i = 0; i < count; ++i) {
      const std::string call = records[static_cast<std::size_t>(i)].name;
      LookupResult result;
      ASSERT_TRUE(lookup_us_call(db, call.c_str(), &result).found) << count << " " << call;
      EXPECT_EQ(result.name_line, call);
      std::string between = call;
      between[5] = static_cast<char>(between[5] + 1);  // stored last letters are A, C ... Y
      const LookupStatus status = lookup_us_call(db, between.c_str(), &result);
      EXPECT_FALSE(status.found) << count << " " << between;
      EXPECT_FALSE(status.damaged) << count << " " << between;
    }
    LookupResult result;
    EXPECT_FALSE(lookup_us_call(db, "K0A", &result).found);
    EXPECT_FALSE(lookup_us_call(db, "WZ9ZZZ", &result).found);
  }
}

TEST(CallDb, FirstLastAndBeyondEveryKey) {
  TempDir dir;
  std::vector<UsRecord> records;
  for (const char* call : {"A0A", "K1ABC", "N0A", "W2X"}) {
    UsRecord r;
    r.key = encode_call(call);
    r.name = call;
    records.push_back(r);
  }
  write_db(dir.file("call.db"), "20200101", records);
  UsDatabase db;
  ASSERT_EQ(open_call_db(dir.file("call.db"), &db), 0);
  LookupResult result;
  EXPECT_TRUE(lookup_us_call(db, "A0A", &result).found);
  EXPECT_TRUE(lookup_us_call(db, "W2X", &result).found);
  EXPECT_STREQ(result.name_line, "W2X");
  EXPECT_FALSE(lookup_us_call(db, "WZ9ZZZ", &result).found);
  EXPECT_FALSE(lookup_us_call(db, "A0", &result).found);
  EXPECT_FALSE(lookup_us_call(db, "W2XA", &result).found);
}

TEST(CallDb, EmptyAndSingleEntryIndexes) {
  TempDir dir;
  write_db(dir.file("call.db"), "20200101", {});
  UsDatabase db;
  ASSERT_EQ(open_call_db(dir.file("call.db"), &db), 0);
  EXPECT_EQ(db.count, 0u);
  LookupResult result;
  LookupStatus status = lookup_us_call(db, "K1ABC", &result);
  EXPECT_FALSE(status.found);
  EXPECT_FALSE(status.damaged);

  UsRecord one;
  one.key = encode_call("K1ABC");
  write_db(dir.file("one.db"), "20200101", {one});
  UsDatabase db1;
  ASSERT_EQ(open_call_db(dir.file("one.db"), &db1), 0);
  EXPECT_TRUE(lookup_us_call(db1, "K1ABC", &result).found);
  EXPECT_FALSE(lookup_us_call(db1, "K1ABD", &result).found);
  EXPECT_FALSE(lookup_us_call(db1, "K1ABB", &result).found);
}

TEST(CallDb, PartialEntryAtTheEndIsIgnored) {
  std::mt19937 rng(5);
  TempDir dir;
  const auto records = random_records(rng, 100);
  write_db(dir.file("call.db"), "20200101", by_key(records));
  testutil::write_bytes(dir.file("call.db"),
                        testutil::read_bytes(dir.file("call.db")) + std::string(11, '\xFF'));
  UsDatabase db;
  ASSERT_EQ(open_call_db(dir.file("call.db"), &db), 0);
  EXPECT_EQ(db.count, 100u);
  for (const auto& [call, r] : records) expect_record(db, call, r);
}

TEST(CallDb, NonUsFirstCharacterIsNeverLookedUp) {
  TempDir dir;
  UsRecord a;
  a.key = encode_call("A1ABC");  // what X1ABC and V1ABC encode to
  a.name = "SOMEONE ELSE";
  write_db(dir.file("call.db"), "20200101", {a});
  UsDatabase db;
  ASSERT_EQ(open_call_db(dir.file("call.db"), &db), 0);
  LookupResult result;
  EXPECT_TRUE(lookup_us_call(db, "A1ABC", &result).found);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(lookup_us_call(db, "X1ABC", &result).found);
  EXPECT_FALSE(lookup_us_call(db, "V1ABC", &result).found);
  EXPECT_FALSE(lookup_us_call(db, "", &result).found);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// ---------------------------------------------------------------------------------------------
// Unusable and damaged files

TEST(CallDb, UnusableHeadersAreRefused) {
  TempDir dir;
  UsDatabase db;
  int error = 0;
  EXPECT_EQ(open_call_db(dir.file("missing.db"), &db, &error), -1);
  EXPECT_EQ(error, ENOENT);
  EXPECT_FALSE(db.file.is_open());

  // What was wrong, or nullptr when the file opened.
  const auto refused = [&](const std::string& bytes) -> const char* {
    testutil::write_bytes(dir.file("bad.db"), bytes);
    UsDatabase d;
    const char* why = nullptr;
    const bool failed = open_call_db(dir.file("bad.db"), &d, nullptr, &why) == -1;
    EXPECT_EQ(failed, why != nullptr);
    EXPECT_EQ(failed, !d.file.is_open());
    return why;
  };
  EXPECT_EQ(refused(""), kShortHeader);
  EXPECT_EQ(refused("20200101"), kShortHeader);
  EXPECT_EQ(refused(testutil::bytes_of("20200101\x0C\0\0")), kShortHeader);
  // Index offset below the header or beyond the file.
  std::string bytes("20200101\0\0\0\0" "ABCD", 16);
  for (std::uint32_t offset : {0u, 4u, 11u, 17u, 0x2D2D2D2Du, 0xFFFFFFFFu}) {
    testutil::put_word(&bytes, 8, offset);
    EXPECT_EQ(refused(bytes), kIndexOutsideFile) << offset;
  }
  // At the end of the file: a usable, empty index.
  testutil::put_word(&bytes, 8, 16);
  EXPECT_EQ(refused(bytes), nullptr);
  testutil::put_word(&bytes, 8, 12);
  EXPECT_EQ(refused(bytes), nullptr);
}

TEST(CallDb, EveryTruncationOpensOrFailsCleanly) {
  std::mt19937 rng(9);
  TempDir dir;
  const auto records = random_records(rng, 40);
  write_db(dir.file("call.db"), "20200101", by_key(records));
  const std::string whole = testutil::read_bytes(dir.file("call.db"));
  const std::uint32_t index_offset = testutil::word_at(whole, 8);
  for (std::size_t len = 0; len <= whole.size(); ++len) {
    testutil::write_bytes(dir.file("cut.db"), whole.substr(0, len));
    UsDatabase db;
    const int rc = open_call_db(dir.file("cut.db"), &db);
    ASSERT_EQ(rc == 0, len >= index_offset) << len;
    if (rc != 0) continue;
    ASSERT_EQ(db.count, (len - index_offset) / 12);
    for (const auto& [call, r] : records) {
      LookupResult result;
      const LookupStatus status = lookup_us_call(db, call.c_str(), &result);
      EXPECT_FALSE(status.damaged);
      if (status.found) expect_record(db, call, r);
    }
  }
}

TEST(CallDb, FileCutShortAfterOpeningIsReportedDamaged) {
  std::mt19937 rng(13);
  TempDir dir;
  const auto records = random_records(rng, 500);
  write_db(dir.file("call.db"), "20200101", by_key(records));
  UsDatabase db;
  ASSERT_EQ(open_call_db(dir.file("call.db"), &db), 0);
  const std::string whole = testutil::read_bytes(dir.file("call.db"));
  // Half the index goes, plus a few bytes, so one entry is cut in the middle.
  const std::size_t keep = testutil::word_at(whole, 8) + 250 * 12 + 5;
  ASSERT_EQ(truncate(dir.file("call.db").c_str(), static_cast<off_t>(keep)), 0);

  int damaged = 0;
  for (const auto& [call, r] : records) {
    LookupResult result;
    const LookupStatus status = lookup_us_call(db, call.c_str(), &result);
    if (status.damaged) {
      ++damaged;
      EXPECT_FALSE(status.found) << call;
    } else if (status.found) {
      expect_record(db, call, r);
    }
  }
  EXPECT_GT(damaged, 0);
}

// Rewrites word `word` of index entry `i` in the file.
void patch_entry(const std::string& path, std::uint32_t i, int word, std::uint32_t value) {
  std::string bytes = testutil::read_bytes(path);
  testutil::put_word(&bytes, testutil::word_at(bytes, 8) + 12 * i + 4 * word, value);
  testutil::write_bytes(path, bytes);
}

TEST(CallDb, TextOutsideTheTextAreaIsNeverShown) {
  TempDir dir;
  UsRecord r;
  r.key = encode_call("K1ABC");
  r.name = "DOE, JOHN";
  r.street = "1 MAIN ST";
  r.city = "TOWN";
  r.state = 9;
  r.zip = 501;
  const std::string path = dir.file("call.db");
  write_db(path, "20200101", {r});
  const std::uint32_t street_bits = static_cast<std::uint32_t>(r.street.size()) << 26;
  const std::uint32_t size = static_cast<std::uint32_t>(testutil::read_bytes(path).size());
  const std::uint32_t index_offset = testutil::word_at(testutil::read_bytes(path), 8);

  for (std::uint32_t offset : {0u, 8u, index_offset, size, size + 1000, 0x3FFFFFFu}) {
    patch_entry(path, 0, 1, street_bits | offset);
    UsDatabase db;
    ASSERT_EQ(open_call_db(path, &db), 0);
    LookupResult result;
    const char* why = nullptr;
    const LookupStatus status = lookup_us_call(db, "K1ABC", &result, &why);
    EXPECT_TRUE(status.found) << offset;
    EXPECT_TRUE(status.damaged) << offset;
    EXPECT_EQ(why, kTextOutsideArea) << offset;
    EXPECT_STREQ(result.callsign, "K1ABC");
    EXPECT_STREQ(result.name_line, "") << offset;
    EXPECT_STREQ(result.street_line, "") << offset;
    EXPECT_STREQ(result.place_line, " CA 00501") << offset;
  }
}

TEST(CallDb, UnterminatedLastTextIsCutAtTheTextArea) {
  TempDir dir;
  UsRecord r;
  r.key = encode_call("K1ABC");
  r.name = "DOE";
  r.city = "TOWNS";  // text "DOETOWNS\0" from 12 to 21, padding to 24
  const std::string path = dir.file("call.db");
  write_db(path, "20200101", {r});
  std::string bytes = testutil::read_bytes(path);
  ASSERT_EQ(testutil::word_at(bytes, 8), 24u);
  for (std::size_t i = 20; i < 24; ++i) bytes[i] = 'X';  // terminator and padding overwritten
  testutil::write_bytes(path, bytes);

  UsDatabase db;
  ASSERT_EQ(open_call_db(path, &db), 0);
  LookupResult result;
  const LookupStatus status = lookup_us_call(db, "K1ABC", &result);
  EXPECT_TRUE(status.found);
  EXPECT_TRUE(status.damaged);
  EXPECT_STREQ(result.place_line, "TOWNSXXXX ?? 00000");  // the index is not shown as text
}

// ---------------------------------------------------------------------------------------------
// Writer

TEST(CallDbWriter, RefusesWhatTheLayoutCannotHold) {
  TempDir dir;
  CallDbWriter w;
  ASSERT_EQ(w.open(dir.file("call.db"), "20200101"), 0);
  ASSERT_EQ(w.add(encode_call("K1B"), "N", "S", "C", 1, 1, false), 0);
  EXPECT_EQ(w.add(encode_call("K1A"), "N", "S", "C", 1, 1, false), -1);  // out of order

  const auto refused = [&](std::size_t name, std::size_t street, std::size_t city) {
    CallDbWriter v;
    EXPECT_EQ(v.open(dir.file("x.db"), "20200101"), 0);
    return v.add(encode_call("K1A"), std::string(name, 'N'), std::string(street, 'S'),
                 std::string(city, 'C'), 1, 1, false) == -1;
  };
  EXPECT_TRUE(refused(256, 0, 0));
  EXPECT_TRUE(refused(0, 64, 0));
  EXPECT_TRUE(refused(200, 50, 6));
  EXPECT_FALSE(refused(200, 50, 5));  // 255 bytes and the terminator
  EXPECT_EQ(w.open(dir.file("y.db"), "2020010"), -1);
}

TEST(CallDbWriter, LayoutIsHeaderTextsPaddingIndex) {
  TempDir dir;
  CallDbWriter w;
  ASSERT_EQ(w.open(dir.file("call.db"), "20160320"), 0);
  ASSERT_EQ(w.add(encode_call("K1A"), "AB", "C", "D", 2, 3, true), 0);
  ASSERT_EQ(w.add_without_text(encode_call("W1A")), 0);
  ASSERT_EQ(w.finish(), 0);
  const std::string bytes = testutil::read_bytes(dir.file("call.db"));
  ASSERT_EQ(bytes.size(), 20u + 24u);
  EXPECT_EQ(bytes.substr(0, 8), "20160320");
  EXPECT_EQ(testutil::word_at(bytes, 8), 20u);
  EXPECT_EQ(bytes.substr(12, 8), testutil::bytes_of("ABCD\0\0\0\0"));
  EXPECT_EQ(testutil::word_at(bytes, 20), encode_call("K1A"));
  EXPECT_EQ(testutil::word_at(bytes, 24), 12u | (1u << 26));
  EXPECT_EQ(testutil::word_at(bytes, 28), IndexEntry::make_place(3, 2, 1, 2));
  EXPECT_EQ(testutil::word_at(bytes, 32), encode_call("W1A"));
  EXPECT_EQ(testutil::word_at(bytes, 36), 0u);  // no text
}

// ---------------------------------------------------------------------------------------------
// callprev.db

void write_prev(const std::string& path, const std::vector<std::pair<std::string, std::string>>& map) {
  std::vector<PrevEntry> entries;
  for (const auto& [old_call, new_call] : map) {
    entries.push_back({encode_call(old_call.c_str()), encode_call(new_call.c_str())});
  }
  std::sort(entries.begin(), entries.end(),
            [](const PrevEntry& a, const PrevEntry& b) { return a.old_key < b.old_key; });
  std::string error;
  ASSERT_EQ(write_prev_db(path, "20160320", entries, &error), 0) << error;
}

TEST(CallPrevDb, EveryPreviousCallsignGivesItsReplacement) {
  std::mt19937 rng(17);
  TempDir dir;
  std::map<std::string, std::string> map;
  while (map.size() < 2000) map[testutil::random_us_call(rng)] = testutil::random_us_call(rng);
  write_prev(dir.file("callprev.db"), {map.begin(), map.end()});

  PrevDatabase db;
  ASSERT_EQ(open_prev_db(dir.file("callprev.db"), &db), 0);
  EXPECT_EQ(db.count, 2000);
  EXPECT_EQ(prev_line(db, "callprev.db"), "2000 previous calls in callprev.db, dated 03/20/2016");
  char replacement[7];
  for (const auto& [old_call, new_call] : map) {
    bool damaged = false;
    ASSERT_GE(find_prev_call(db, old_call.c_str(), replacement, &damaged), 1) << old_call;
    EXPECT_EQ(replacement, new_call);
    EXPECT_FALSE(damaged);
  }
  for (int i = 0; i < 2000; ++i) {
    const std::string call = testutil::random_us_call(rng);
    if (map.count(call) != 0) continue;
    EXPECT_EQ(find_prev_call(db, call.c_str(), replacement, nullptr), -1) << call;
  }
}

TEST(CallPrevDb, HeaderOnlyFileHasNoEntries) {
  TempDir dir;
  testutil::write_bytes(dir.file("callprev.db"), "20160320");
  PrevDatabase db;
  ASSERT_EQ(open_prev_db(dir.file("callprev.db"), &db), 0);
  EXPECT_EQ(db.count, 0);
  EXPECT_EQ(prev_line(db, "callprev.db"), "0 previous calls in callprev.db, dated 03/20/2016");
  char replacement[7];
  EXPECT_EQ(find_prev_call(db, "A", replacement, nullptr), -1);

  testutil::write_bytes(dir.file("short.db"), "2016032");
  PrevDatabase shorter;
  EXPECT_EQ(open_prev_db(dir.file("short.db"), &shorter), -1);
  EXPECT_EQ(open_prev_db(dir.file("missing.db"), &shorter), -1);
}

TEST(CallPrevDb, FileCutShortAfterOpeningIsReportedDamaged) {
  TempDir dir;
  std::vector<std::pair<std::string, std::string>> map;
  for (int i = 0; i < 64; ++i) map.push_back({"K" + std::to_string(i % 10) + char('A' + i / 10), "W1AW"});
  write_prev(dir.file("callprev.db"), map);
  PrevDatabase db;
  ASSERT_EQ(open_prev_db(dir.file("callprev.db"), &db), 0);
  ASSERT_EQ(truncate(dir.file("callprev.db").c_str(), 8 * 10 + 3), 0);
  int damaged = 0;
  char replacement[7];
  for (const auto& [old_call, new_call] : map) {
    bool d = false;
    const int hit = find_prev_call(db, old_call.c_str(), replacement, &d);
    if (d) {
      ++damaged;
      EXPECT_EQ(hit, -1);
    }
  }
  EXPECT_GT(damaged, 0);
}

TEST(CallPrevDb, NonUsTextIsNeverLookedUp) {
  TempDir dir;
  write_prev(dir.file("callprev.db"), {{"AE3ABC", "K1ABC"}});  // the key "VE3ABC" would get
  PrevDatabase db;
  ASSERT_EQ(open_prev_db(dir.file("callprev.db"), &db), 0);
  char replacement[7];
  EXPECT_EQ(find_prev_call(db, "AE3ABC", replacement, nullptr), 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(find_prev_call(db, "VE3ABC", replacement, nullptr), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
}  // namespace dbfiles
