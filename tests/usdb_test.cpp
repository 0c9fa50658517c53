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

std::string lines_of(const LookupResult& r) {
  return std::string(r.callsign) + "|" + r.name_line + "|" + r.street_line + "|" + r.place_line;
}

// call.db against the map it was written from, around the size of the search's last window read
// (128 entries) and well beyond it; then the file cut inside its index after opening, where a
// lookup either finds the right record or says the file is damaged.
TEST(CallDb, LookupFindsWhatTheMapHolds) {
  std::mt19937 rng(3);
  for (const int count : {0, 1, 2, 127, 128, 129, 257, 3000}) {
    TempDir dir;
    std::map<std::string, UsRecord> records;  // text order is key order
    while (static_cast<int>(records.size()) < count) {
      const std::string call = testutil::random_us_call(rng);
      records[call] = {encode_call(call.c_str()), testutil::random_text(rng, 60),
                       testutil::random_text(rng, 40), testutil::random_text(rng, 30),
                       static_cast<std::uint32_t>(rng() % 61),
                       static_cast<std::uint32_t>(rng() % 131072), rng() % 5 == 0};
    }
    std::vector<UsRecord> list;
    for (const auto& [call, r] : records) list.push_back(r);
    ASSERT_EQ(write_call_db(dir.file("call.db"), "20160320", list), 0);
    UsDatabase db;
    ASSERT_EQ(open_call_db(dir.file("call.db"), &db), 0);
    EXPECT_EQ(db.count, static_cast<std::uint32_t>(count));
    if (count == 3000) {
      EXPECT_EQ(database_line(db), "Database date 03/20/2016, 3000 entries");
      ASSERT_EQ(truncate(dir.file("call.db").c_str(), db.index_offset + 1500 * 12 + 5), 0);
    }
    int damaged = 0;
    for (int i = 0; i < count + 1000; ++i) {
      const auto stored = std::next(records.begin(), i < count ? i : 0);
      const std::string call = i < count ? stored->first : testutil::random_us_call(rng);
      const auto hit = records.find(call);
      LookupResult result;
      const LookupStatus status = lookup_us_call(db, call.c_str(), &result);
      damaged += status.damaged;
      ASSERT_EQ(status.found, hit != records.end() && !status.damaged) << count << " " << call;
      if (!status.found) continue;
      const UsRecord& r = hit->second;
      char lines[512];
      std::snprintf(lines, sizeof lines, "%s|%s|%s%s|%s %s %05u", call.c_str(), r.name.c_str(),
                    r.po_box ? "PO BOX " : "", r.street.c_str(), r.city.c_str(),
                    state_code(r.state), r.zip);
      ASSERT_EQ(lines_of(result), lines);
    }
    EXPECT_EQ(damaged > 0, count == 3000);
  }
}

// Each damage to a one-record file (K1ABC, text at 12 to 34, index at 36, 48 bytes): what a
// fresh open says and how many entries it finds, and how a lookup through a handle opened before
// the damage goes.
TEST(CallDb, DamageReasons) {
  // open_why nullptr: opens, with `count` entries; lookup_why nullptr: not damaged; lines "":
  // not found.
  struct Row { std::function<void(std::string&)> harm; const char* open_why; std::uint32_t count;
               const char *lookup_why, *lines; };
  const auto put = [](std::size_t at, std::uint32_t value) {
    return [=](std::string& b) { testutil::put_word(&b, at, value); };
  };
  const auto cut = [](std::size_t len) { return [=](std::string& b) { b.resize(len); }; };
  const char* whole = "K1ABC|DOE, JOHN|1 MAIN ST|TOWN CA 00501";
  std::vector<Row> rows = {
      {cut(0), kShortHeader, 0, kShortRead, ""},
      {cut(11), kShortHeader, 0, kShortRead, ""},
      {cut(35), kIndexOutsideFile, 0, kShortRead, ""},
      {cut(36), nullptr, 0, kShortRead, ""},
      {cut(36 + 11), nullptr, 0, kShortRead, ""},  // a partial entry is no entry
      {[](std::string& b) { b += "12345678901"; }, nullptr, 1, nullptr, whole},
      {put(8, 48), nullptr, 0, nullptr, whole},  // an empty index at the end
      {[](std::string& b) { b[34] = b[35] = 'X'; }, nullptr, 1, kShortRead,
       "K1ABC|DOE, JOHN|1 MAIN ST|TOWNXX CA 00501"},  // unterminated: cut at the index
  };
  for (std::uint32_t offset : {0u, 11u, 49u, 0x2D2D2D2Du, 0xFFFFFFFFu}) {
    rows.push_back({put(8, offset), kIndexOutsideFile, 0, nullptr, whole});
  }
  for (std::uint32_t offset : {0u, 11u, 36u, 48u, 1048u, 0x3FFFFFFu}) {
    rows.push_back({put(40, (9u << 26) | offset), nullptr, 1, kTextOutsideArea,
                    "K1ABC||| CA 00501"});
  }
  TempDir dir;
  const std::string path = dir.file("call.db");
  for (const Row& row : rows) {
    ASSERT_EQ(write_call_db(path, "20200101",
                            {{encode_call("K1ABC"), "DOE, JOHN", "1 MAIN ST", "TOWN", 9, 501}}), 0);
    std::string bytes = testutil::read_bytes(path);
    ASSERT_EQ(bytes, testutil::bytes_of("20200101\x24\0\0\0DOE, JOHN1 MAIN STTOWN\0\0"
                                        "\x40\xC3\x2C\x42\x0C\0\0\x24\xF5\x01\x12\x09"));
    UsDatabase before, fresh;
    ASSERT_EQ(open_call_db(path, &before), 0);
    row.harm(bytes);
    testutil::write_bytes(path, bytes);  // in place: the open handle sees it

    const char* why = nullptr;
    EXPECT_EQ(open_call_db(path, &fresh, nullptr, &why), row.open_why ? -1 : 0) << row.lines;
    EXPECT_EQ(why, row.open_why) << row.lines;
    EXPECT_EQ(fresh.file.is_open(), row.open_why == nullptr);
    EXPECT_EQ(fresh.count, row.count) << row.lines;
    LookupResult r;
    why = nullptr;
    const LookupStatus status = lookup_us_call(before, "K1ABC", &r, &why);
    EXPECT_EQ(status.damaged, row.lookup_why != nullptr) << row.lines;
    EXPECT_EQ(why, row.lookup_why) << row.lines;
    EXPECT_EQ(status.found ? lines_of(r) : "", row.lines);
  }
  UsDatabase missing;
  int error = 0;  // a missing file is no damaged one
  EXPECT_EQ(open_call_db(dir.file("missing.db"), &missing, &error), -1);
  EXPECT_EQ(error, ENOENT);
}

TEST(CallDbWriter, Refusals) {
  TempDir dir;
  // Keys ascend; name 255, street 63, the whole text 255 and its terminator.
  const std::tuple<const char*, int, int, int, bool> cases[] = {
      {"K1A", 256, 0, 0, false}, {"K1A", 0, 64, 0, false}, {"K1A", 200, 50, 6, false},
      {"K1A", 200, 50, 5, true}, {"K0", 0, 0, 0, false},    {"A", 0, 0, 0, false}};
  for (const auto& [call, name, street, city, ok] : cases) {
    CallDbWriter w;
    ASSERT_EQ(w.open(dir.file("x.db"), "20200101"), 0);
    ASSERT_EQ(w.add(encode_call("K0"), "", "", "", 1, 1, false), 0);
    EXPECT_EQ(w.add(encode_call(call), std::string(name, 'N'), std::string(street, 'S'),
                    std::string(city, 'C'), 1, 1, false),
              ok ? 0 : -1) << call << name;
  }
  CallDbWriter w;
  EXPECT_EQ(w.open(dir.file("y.db"), "2020010"), -1);
}

// callprev.db against the map it was written from; then cut after opening, where a lookup
// either finds the right entry or says the file is damaged.
TEST(CallPrevDb, LookupFindsWhatTheMapHolds) {
  std::mt19937 rng(17);
  TempDir dir;
  const std::string path = dir.file("callprev.db");
  std::map<CallKey, std::string> map;  // old key, new callsign
  while (map.size() < 2000) {
    map[encode_call(testutil::random_us_call(rng).c_str())] = testutil::random_us_call(rng);
  }
  std::vector<PrevEntry> entries;
  for (const auto& [key, call] : map) entries.push_back({key, encode_call(call.c_str())});
  ASSERT_EQ(write_prev_db(path, "20160320", entries), 0);
  PrevDatabase db;
  ASSERT_EQ(open_prev_db(path, &db), 0);
  EXPECT_EQ(prev_line(db, "callprev.db"), "2000 previous calls in callprev.db, dated 03/20/2016");
  char replacement[7];
  for (int i = 0; i < 2000; ++i) {
    const std::string call = testutil::random_us_call(rng);
    const bool held = map.count(encode_call(call.c_str())) != 0;
    EXPECT_EQ(find_prev_call(db, call.c_str(), replacement, nullptr) >= 1, held) << call;
  }
  for (int cut = 0; cut < 2; ++cut) {
    ASSERT_EQ(cut ? truncate(path.c_str(), 8 * 1001 + 3) : 0, 0);
    int position = 0, damaged_count = 0;
    for (const auto& [key, call] : map) {
      bool damaged = false;
      const int hit = find_prev_call(db, decode_call(key), replacement, &damaged);
      ASSERT_EQ(hit, damaged ? -1 : ++position) << key;
      ASSERT_TRUE(damaged || replacement == call) << key;
      damaged_count += damaged;
      position += damaged;
    }
    EXPECT_EQ(damaged_count > 0, cut == 1);
  }

  testutil::write_bytes(path, "20160320");
  ASSERT_EQ(open_prev_db(path, &db), 0);
  EXPECT_EQ(prev_line(db, "callprev.db"), "0 previous calls in callprev.db, dated 03/20/2016");
  EXPECT_EQ(find_prev_call(db, "A", replacement, nullptr), -1);
  testutil::write_bytes(path, "2016032");
  EXPECT_EQ(open_prev_db(path, &db), -1);
  EXPECT_EQ(open_prev_db(dir.file("missing.db"), &db), -1);
}

}  // namespace
}  // namespace dbfiles
