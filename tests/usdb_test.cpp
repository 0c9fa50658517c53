#include "dbfiles/usdb.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "dbfiles/dbwriter.h"
#include "tests/test_util.h"

namespace dbfiles {
namespace {

using testutil::TempDir;

// Random licences by callsign; a std::map keeps them in key order as well.
std::map<std::string, UsRecord> random_records(std::mt19937& rng, int count) {
  std::map<std::string, UsRecord> records;
  while (static_cast<int>(records.size()) < count) {
    const std::string call = testutil::random_us_call(rng);
    records[call] = UsRecord{encode_call(call.c_str()), testutil::random_text(rng, 60),
                             testutil::random_text(rng, 40), testutil::random_text(rng, 30),
                             static_cast<std::uint32_t>(rng() % 61),
                             static_cast<std::uint32_t>(rng() % 131072), rng() % 5 == 0};
  }
  return records;
}

void write_db(const std::string& path, const std::map<std::string, UsRecord>& records) {
  std::vector<UsRecord> list;
  for (const auto& [call, r] : records) list.push_back(r);
  std::string error;
  ASSERT_EQ(write_call_db(path, "20160320", list, &error), 0) << error;
}

void expect_record(const UsDatabase& db, const std::string& call, const UsRecord& r) {
  LookupResult result;
  const LookupStatus status = lookup_us_call(db, call.c_str(), &result);
  ASSERT_TRUE(status.found && !status.damaged) << call;
  EXPECT_EQ(result.callsign, call);
  EXPECT_EQ(result.name_line, r.name) << call;
  EXPECT_EQ(result.street_line, (r.po_box ? "PO BOX " : "") + r.street) << call;
  char place[160];
  std::snprintf(place, sizeof place, "%s %s %05u", r.city.c_str(), state_code(r.state), r.zip);
  EXPECT_EQ(result.place_line, std::string(place)) << call;
}

// The lookup against the map it was written from, around the size of the search's last window
// read (128 entries) and well beyond it; then the same file cut inside its index after opening.
TEST(CallDb, LookupFindsWhatTheMapHoldsAndNothingElse) {
  std::mt19937 rng(3);
  for (const int count : {0, 1, 2, 127, 128, 129, 257, 3000}) {
    TempDir dir;
    const auto records = random_records(rng, count);
    write_db(dir.file("call.db"), records);
    UsDatabase db;
    ASSERT_EQ(open_call_db(dir.file("call.db"), &db), 0);
    EXPECT_EQ(db.count, static_cast<std::uint32_t>(count));
    for (const auto& [call, r] : records) expect_record(db, call, r);
    for (int i = 0; i < 1000; ++i) {
      const std::string call = i == 0 ? "A0" : i == 1 ? "WZZZZZ" : testutil::random_us_call(rng);
      LookupResult result;
      const LookupStatus status = lookup_us_call(db, call.c_str(), &result);
      ASSERT_EQ(status.found, records.count(call) != 0) << count << " " << call;
      ASSERT_FALSE(status.damaged) << count << " " << call;
    }
    if (count < 3000) continue;
    EXPECT_EQ(database_line(db), "Database date 03/20/2016, 3000 entries");
    // Text whose first character no US callsign has (X1ABC would read as A1ABC) is not looked up.
    testing::internal::CaptureStderr();
    for (const auto& [call, r] : records) {
      LookupResult result;
      if (call[0] == 'A') {
        ASSERT_FALSE(lookup_us_call(db, ("X" + call.substr(1)).c_str(), &result).found);
      }
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_EQ(truncate(dir.file("call.db").c_str(), db.index_offset + 1500 * 12 + 5), 0);
    int damaged = 0;
    for (const auto& [call, r] : records) {
      LookupResult result;
      const LookupStatus status = lookup_us_call(db, call.c_str(), &result);
      ASSERT_NE(status.found, status.damaged) << call;
      damaged += status.damaged;
      if (status.found) expect_record(db, call, r);
    }
    EXPECT_GT(damaged, 0);
  }
}

// Each damage to a one-record file (K1ABC, text at 12 to 34, index at 36, 48 bytes): what a
// fresh open says, and how a lookup through a handle opened before the damage goes.
TEST(CallDb, DamageReasons) {
  struct Row {
    std::function<void(std::string&)> harm;
    const char* open_why;  // nullptr: opens
    bool found;
    const char* lookup_why;  // nullptr: not damaged
    const char* lines;
  };
  const auto put = [](std::size_t at, std::uint32_t value) {
    return [=](std::string& b) { testutil::put_word(&b, at, value); };
  };
  const auto cut = [](std::size_t len) { return [=](std::string& b) { b.resize(len); }; };
  const char* whole = "DOE, JOHN|1 MAIN ST|TOWN CA 00501";
  const std::uint32_t street = 9u << 26;
  std::vector<Row> rows = {
      {cut(0), kShortHeader, false, kShortRead, ""},
      {cut(8), kShortHeader, false, kShortRead, ""},
      {cut(11), kShortHeader, false, kShortRead, ""},
      {cut(36 + 5), nullptr, false, kShortRead, ""},  // cut inside the index
      {put(8, 48), nullptr, true, nullptr, whole},    // an empty index at the end
      {[](std::string& b) { b[34] = b[35] = 'X'; }, nullptr, true, kShortRead,
       "DOE, JOHN|1 MAIN ST|TOWNXX CA 00501"},  // unterminated: cut at the index
  };
  for (std::uint32_t offset : {0u, 11u, 49u, 0x2D2D2D2Du, 0xFFFFFFFFu}) {
    rows.push_back({put(8, offset), kIndexOutsideFile, true, nullptr, whole});
  }
  for (std::uint32_t offset : {0u, 11u, 36u, 48u, 1048u, 0x3FFFFFFu}) {
    rows.push_back({put(40, street | offset), nullptr, true, kTextOutsideArea, "|| CA 00501"});
  }
  TempDir dir;
  const std::string path = dir.file("call.db");
  for (const Row& row : rows) {
    write_db(path, {{"K1ABC", UsRecord{encode_call("K1ABC"), "DOE, JOHN", "1 MAIN ST", "TOWN", 9, 501}}});
    std::string bytes = testutil::read_bytes(path);
    ASSERT_EQ(bytes.size(), 48u);
    UsDatabase before;
    ASSERT_EQ(open_call_db(path, &before), 0);
    row.harm(bytes);
    testutil::write_bytes(path, bytes);  // in place: the open handle sees it

    UsDatabase fresh;
    const char* why = nullptr;
    EXPECT_EQ(open_call_db(path, &fresh, nullptr, &why), row.open_why ? -1 : 0) << row.lines;
    EXPECT_EQ(why, row.open_why) << row.lines;
    EXPECT_EQ(fresh.file.is_open(), row.open_why == nullptr);

    LookupResult result;
    why = nullptr;
    const LookupStatus status = lookup_us_call(before, "K1ABC", &result, &why);
    EXPECT_EQ(status.found, row.found) << row.lines;
    EXPECT_EQ(status.damaged, row.lookup_why != nullptr) << row.lines;
    EXPECT_EQ(why, row.lookup_why) << row.lines;
    if (row.found) {
      EXPECT_STREQ(result.callsign, "K1ABC");
      EXPECT_EQ(std::string(result.name_line) + "|" + result.street_line + "|" + result.place_line,
                row.lines);
    }
  }
  UsDatabase missing;
  int error = 0;
  EXPECT_EQ(open_call_db(dir.file("missing.db"), &missing, &error), -1);
  EXPECT_EQ(error, ENOENT);
}

// Cut anywhere in its index (a partial entry at the end included), a file opens with the whole
// entries before the cut, finds exactly those and never reports damage; cut before it, it fails.
TEST(CallDb, EveryTruncationOpensOrFailsCleanly) {
  std::mt19937 rng(9);
  TempDir dir;
  const auto records = random_records(rng, 20);
  write_db(dir.file("call.db"), records);
  const std::string whole = testutil::read_bytes(dir.file("call.db"));
  const std::uint32_t index_offset = testutil::word_at(whole, 8);
  for (std::size_t len = 0; len <= whole.size(); len = len == 13 ? index_offset - 1 : len + 1) {
    testutil::write_bytes(dir.file("cut.db"), whole.substr(0, len));
    UsDatabase db;
    const int rc = open_call_db(dir.file("cut.db"), &db);
    ASSERT_EQ(rc == 0, len >= index_offset) << len;
    if (rc != 0) continue;
    ASSERT_EQ(db.count, (len - index_offset) / 12);
    std::uint32_t position = 0;
    for (const auto& [call, r] : records) {
      LookupResult result;
      const LookupStatus status = lookup_us_call(db, call.c_str(), &result);
      EXPECT_FALSE(status.damaged);
      ASSERT_EQ(status.found, position++ < db.count) << len << " " << call;
    }
  }
}

TEST(CallDbWriter, LayoutAndRefusals) {
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

  // Keys ascend; name 255, street 63, the whole text 255 and its terminator.
  const std::tuple<const char*, int, int, int, bool> cases[] = {
      {"K1A", 256, 0, 0, false}, {"K1A", 0, 64, 0, false}, {"K1A", 200, 50, 6, false},
      {"K1A", 200, 50, 5, true}, {"K0", 0, 0, 0, false},    {"A", 0, 0, 0, false}};
  for (const auto& [call, name, street, city, ok] : cases) {
    CallDbWriter v;
    ASSERT_EQ(v.open(dir.file("x.db"), "20200101"), 0);
    ASSERT_EQ(v.add(encode_call("K0"), "", "", "", 1, 1, false), 0);
    EXPECT_EQ(v.add(encode_call(call), std::string(name, 'N'), std::string(street, 'S'),
                    std::string(city, 'C'), 1, 1, false),
              ok ? 0 : -1) << call << name;
  }
  EXPECT_EQ(w.open(dir.file("y.db"), "2020010"), -1);
}

// ---------------------------------------------------------------------------------------------
// callprev.db

TEST(CallPrevDb, LookupFindsWhatTheMapHolds) {
  std::mt19937 rng(17);
  TempDir dir;
  std::map<CallKey, std::pair<std::string, std::string>> map;  // by old key
  while (map.size() < 2000) {
    const std::string old_call = testutil::random_us_call(rng);
    map[encode_call(old_call.c_str())] = {old_call, testutil::random_us_call(rng)};
  }
  std::vector<PrevEntry> entries;
  for (const auto& [key, calls] : map) entries.push_back({key, encode_call(calls.second.c_str())});
  ASSERT_EQ(write_prev_db(dir.file("callprev.db"), "20160320", entries), 0);

  PrevDatabase db;
  ASSERT_EQ(open_prev_db(dir.file("callprev.db"), &db), 0);
  EXPECT_EQ(prev_line(db, "callprev.db"), "2000 previous calls in callprev.db, dated 03/20/2016");
  char replacement[7];
  for (int i = 0; i < 2000; ++i) {
    const std::string call = testutil::random_us_call(rng);
    const bool held = map.count(encode_call(call.c_str())) != 0;
    EXPECT_EQ(find_prev_call(db, call.c_str(), replacement, nullptr) >= 1, held) << call;
  }
  // Cut after opening: a lookup either finds the right entry or says the file is damaged.
  ASSERT_EQ(truncate(dir.file("callprev.db").c_str(), 8 * 1001 + 3), 0);
  int position = 1, damaged_count = 0;
  for (const auto& [key, calls] : map) {
    bool damaged = false;
    const int hit = find_prev_call(db, calls.first.c_str(), replacement, &damaged);
    ASSERT_NE(hit == -1, !damaged) << calls.first;
    if (hit != -1) {
      EXPECT_EQ(hit, position) << calls.first;
      EXPECT_EQ(replacement, calls.second);
    }
    damaged_count += damaged;
    ++position;
  }
  EXPECT_GT(damaged_count, 0);
}

TEST(CallPrevDb, ShortFilesAndNonUsText) {
  TempDir dir;
  testutil::write_bytes(dir.file("callprev.db"), "20160320");
  PrevDatabase db;
  ASSERT_EQ(open_prev_db(dir.file("callprev.db"), &db), 0);
  EXPECT_EQ(prev_line(db, "callprev.db"), "0 previous calls in callprev.db, dated 03/20/2016");
  char replacement[7];
  EXPECT_EQ(find_prev_call(db, "A", replacement, nullptr), -1);
  testutil::write_bytes(dir.file("short.db"), "2016032");
  PrevDatabase other;
  EXPECT_EQ(open_prev_db(dir.file("short.db"), &other), -1);
  EXPECT_EQ(open_prev_db(dir.file("missing.db"), &other), -1);

  // "VE3ABC" would read as AE3ABC, and "X1ABC" as A1ABC: neither is looked up.
  ASSERT_EQ(write_prev_db(dir.file("callprev.db"), "20160320",
                          {{encode_call("A1ABC"), 1}, {encode_call("AE3ABC"), 2}}),
            0);
  ASSERT_EQ(open_prev_db(dir.file("callprev.db"), &db), 0);
  EXPECT_EQ(find_prev_call(db, "AE3ABC", replacement, nullptr), 2);
  testing::internal::CaptureStderr();
  EXPECT_EQ(find_prev_call(db, "VE3ABC", replacement, nullptr), -1);
  EXPECT_EQ(find_prev_call(db, "X1ABC", replacement, nullptr), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
}  // namespace dbfiles
