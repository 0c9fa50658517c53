#include "dbfiles/candb.h"
#include "dbfiles/lookup.h"
#include "dbfiles/usdb.h"

#include <gtest/gtest.h>

#include <filesystem>
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

// Damage done to a file's bytes: cut to a length, or a word put at an offset.
std::function<void(std::string&)> cut(std::size_t len) {
  return [=](std::string& b) { b.resize(len); };
}
std::function<void(std::string&)> put(std::size_t at, std::uint32_t value) {
  return [=](std::string& b) { testutil::put_word(&b, at, value); };
}

std::string lines_of(const LookupResult& r) {
  return std::string(r.callsign) + "|" + r.name_line + "|" + r.street_line + "|" + r.place_line;
}

// call.db against the map it was written from; cut inside its texts after opening, a lookup
// still finds each callsign in the index read at opening, and its record or says "damaged".
TEST(CallDb, LookupFindsWhatTheMapHolds) {
  std::mt19937 rng(3);
  for (const int count : {0, 1, 2, 3, 257, 3000}) {
    TempDir dir;
    std::map<std::string, UsRecord> records;  // text order is key order
    while (static_cast<int>(records.size()) < count) {
      const std::string call = testutil::random_us_call(rng);
      records[call] = {encode_call(call.c_str()), testutil::random_text(rng, 60),
                       testutil::random_text(rng, 40), testutil::random_text(rng, 30), 9, 501};
    }
    std::vector<UsRecord> list;
    for (const auto& [call, r] : records) list.push_back(r);
    ASSERT_EQ(write_call_db(dir.file("call.db"), "20160320", list), 0);
    UsDatabase db;
    ASSERT_EQ(open_call_db(dir.file("call.db"), &db), 0);
    EXPECT_EQ(db.count, static_cast<std::uint32_t>(count));
    if (count == 3000) {
      EXPECT_EQ(database_line(db), "Database date 03/20/2016, 3000 entries");
      ASSERT_EQ(truncate(dir.file("call.db").c_str(), db.index_offset / 2), 0);
    }
    int damaged = 0;
    for (int i = 0; i < count + 1000; ++i) {
      const auto stored = std::next(records.begin(), i < count ? i : 0);
      const std::string call = i < count ? stored->first : testutil::random_us_call(rng);
      const auto hit = records.find(call);
      LookupResult got;
      const LookupStatus status = lookup_us_call(db, call.c_str(), &got);
      damaged += status.damaged;
      ASSERT_EQ(status.found, hit != records.end()) << count << " " << call;
      if (!status.found || status.damaged) continue;
      const UsRecord& r = hit->second;
      EXPECT_EQ(lines_of(got), call + "|" + r.name + "|" + r.street + "|" + r.city + " CA 00501");
    }
    EXPECT_EQ(damaged > 0, count == 3000);
  }
}

// Each damage to a one-record file (text at 12 to 34, index at 36, 48 bytes): what a fresh open
// says (nullptr: it opens, with `count` entries), and how a lookup through it goes (lookup_why
// nullptr: not damaged; lines "": not found), or where it does not open, through a handle
// opened before the damage, which holds the index read then. Such a handle gives the record as
// it was or says "damaged".
TEST(CallDb, DamageReasons) {
  struct Row { std::function<void(std::string&)> harm; const char* open_why; std::uint32_t count;
               const char *lookup_why, *lines; };
  const std::string whole = "K1ABC|DOE, JOHN|1 MAIN ST|TOWN CA 00501";
  std::vector<Row> rows = {
      {cut(11), kShortHeader, 0, kShortRead, "K1ABC||| CA 00501"},
      {cut(35), kIndexOutsideFile, 0, nullptr, whole.c_str()},
      {cut(36), nullptr, 0, nullptr, ""},
      {cut(36 + 11), nullptr, 0, nullptr, ""},  // a partial entry is no entry
      {[](std::string& b) { b += "12345678901"; }, nullptr, 1, nullptr, whole.c_str()},
      {put(8, 48), nullptr, 0, nullptr, ""},  // an empty index at the end
      {[](std::string& b) { b[34] = b[35] = 'X'; }, nullptr, 1, kShortRead,
       "K1ABC|DOE, JOHN|1 MAIN ST|TOWNXX CA 00501"},  // unterminated: cut at the index
  };
  for (std::uint32_t offset : {0u, 11u, 49u, 0x2D2D2D2Du, 0xFFFFFFFFu}) {
    rows.push_back({put(8, offset), kIndexOutsideFile, 0, nullptr, whole.c_str()});
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
    const char *why = nullptr, *lookup_why = nullptr;
    EXPECT_EQ(open_call_db(path, &fresh, nullptr, &why), row.open_why ? -1 : 0) << row.lines;
    EXPECT_TRUE(why == row.open_why && fresh.file.is_open() == !why && fresh.count == row.count)
        << row.lines;
    LookupResult r, stale;
    const LookupStatus status = lookup_us_call(why ? before : fresh, "K1ABC", &r, &lookup_why);
    EXPECT_TRUE(status.damaged == (row.lookup_why != nullptr) && lookup_why == row.lookup_why)
        << row.lines;
    EXPECT_EQ(status.found ? lines_of(r) : "", row.lines);
    EXPECT_TRUE(lookup_us_call(before, "K1ABC", &stale).damaged || lines_of(stale) == whole);
  }
  UsDatabase missing;
  int error = 0;  // a missing file is no damaged one
  EXPECT_TRUE(open_call_db(dir.file("missing.db"), &missing, &error) == -1 && error == ENOENT);
}

// Keys ascend; name 255, street 63, the whole text 255 and its terminator.
TEST(CallDbWriter, Refusals) {
  TempDir dir;
  const std::tuple<const char*, int, int, int, bool> cases[] = {
      {"K1A", 256, 0, 0, false}, {"K1A", 0, 64, 0, false}, {"K1A", 200, 50, 6, false},
      {"K1A", 255, 0, 0, true}, {"K1A", 192, 63, 0, true}, {"K0", 0, 0, 0, false}};
  for (const auto& [call, name, street, city, ok] : cases) {
    CallDbWriter w;
    ASSERT_EQ(w.open(dir.file("x.db"), "20200101"), 0);
    ASSERT_EQ(w.add(encode_call("K0"), "", "", "", 1, 1, false), 0);
    EXPECT_EQ(w.add(encode_call(call), std::string(name, 'N'), std::string(street, 'S'),
                    std::string(city, 'C'), 1, 1, false),
              ok ? 0 : -1) << call << name;
  }
  EXPECT_EQ(CallDbWriter().open(dir.file("y.db"), "2020010"), -1);
}

// callprev.db against its map, before and after the file is cut: the entries read at opening
// answer.
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
    EXPECT_EQ(find_prev_call(db, call.c_str(), replacement) >= 1, held) << call;
  }
  for (int cut = 0; cut < 2; ++cut) {
    ASSERT_EQ(cut ? truncate(path.c_str(), 8 * 1001 + 3) : 0, 0);
    int position = 0;
    for (const auto& [key, call] : map) {
      ASSERT_EQ(find_prev_call(db, decode_call(key), replacement), ++position) << key;
      ASSERT_EQ(replacement, call) << key;
    }
  }

  testutil::write_bytes(path, "20160320");  // no entries
  ASSERT_EQ(open_prev_db(path, &db), 0);
  EXPECT_EQ(prev_line(db, "callprev.db"), "0 previous calls in callprev.db, dated 03/20/2016");
  EXPECT_EQ(find_prev_call(db, decode_call(map.begin()->first), replacement), -1);
  testutil::write_bytes(path, "2016032");  // shorter than its date
  EXPECT_TRUE(open_prev_db(path, &db) == -1 && open_prev_db(dir.file("missing.db"), &db) == -1);
}

// ---------------------------------------------------------------------------------------------
// cancall.db

std::uint32_t word0(const std::string& call) {
  CanKey key = 0;
  EXPECT_EQ(encode_can_call(call.c_str(), &key), 0) << call;
  return CanEntry::make_word0(key, 14);  // ON
}

// VA1AA's texts lie at 12 to 69, the club VE3XYZ's at 70 to 106, the index at 108, 124 bytes.
void write_sample(const std::string& path) {
  CanDbWriter w;
  ASSERT_EQ(w.open(path, "20160320"), 0);
  ASSERT_EQ(w.add(word0("VA1AA"), "McFadden", "Bill", "188 MILLWOOD DRIVE", "MIDDLE SACKVILLE",
                  "B4E 2X8"), 0);
  ASSERT_EQ(w.add(word0("VE3XYZ"), "OTTAWA ARC", "", "1 MAIN ST", "OTTAWA", "K2P 1A4"), 0);
  ASSERT_EQ(w.finish(), 0);
}

// More than a hundred thousand random licences, keys repeated: the first entry of a key is the
// match, as in a map that keeps the first; the callsign shown is the key's.
TEST(CanCallDb, LookupFindsTheFirstEntryOfEachKey) {
  std::mt19937 rng(5);
  const auto random_call = [&] {
    std::string call{'V', "AEOY"[rng() % 4], static_cast<char>('0' + rng() % 10)};
    for (unsigned n = rng() % 4; n > 0; --n) call.push_back(static_cast<char>('A' + rng() % 26));
    return call;
  };
  TempDir dir;
  std::map<std::string, int> first;
  std::vector<std::string> calls;  // in file order
  CanDbWriter w;
  ASSERT_EQ(w.open(dir.file("cancall.db"), "20261127"), 0);
  for (int i = 0; i < 110000; ++i) {
    calls.push_back(random_call());
    first.emplace(calls.back(), i);
    ASSERT_EQ(w.add(word0(calls.back()), std::to_string(i), "", "", "", ""), 0);
  }
  ASSERT_EQ(w.finish(), 0);
  EXPECT_EQ(testutil::read_bytes(dir.file("cancall.db")).substr(0, 8), "C0261127");
  CanadianTable table;
  ASSERT_EQ(load_canadian_table(dir.file("cancall.db"), &table), 0);
  EXPECT_EQ(canadian_line(table), "Canadian data 11/27/2026,  110000 entries\r\n");

  for (int i = 0; i < 1000; ++i) {
    std::string call = i == 0 ? calls.back() : i % 2 ? calls[rng() % calls.size()] : random_call();
    const auto hit = first.find(call);
    if (call.size() == 6 && i % 4 == 1) call += "Z";  // past the key's six characters
    LookupResult r;
    const LookupStatus status = lookup_canadian_call(table, call.c_str(), &r);
    ASSERT_EQ(status.found && !status.damaged, hit != first.end()) << call;
    if (!status.found) continue;
    EXPECT_EQ(lines_of(r), hit->first + "| " + std::to_string(hit->second) + "||, ON  ") << call;
  }
  // A file put in place later (an update renames one over it) is only read by the next start.
  write_sample(dir.file("cancall.new"));
  ASSERT_EQ(std::rename(dir.file("cancall.new").c_str(), dir.file("cancall.db").c_str()), 0);
  LookupResult r;
  ASSERT_TRUE(lookup_canadian_call(table, calls[0].c_str(), &r).found);
  EXPECT_STREQ(r.name_line, " 0");
}

// What a fresh load of the damaged file gives, and how a lookup of VE3XYZ through a table loaded
// before the damage goes (with its text offset replaced in memory, or kept at 70).
TEST(CanCallDb, DamageReasons) {
  struct Row { std::function<void(std::string&)> harm; int rc, entries; std::uint32_t text_offset;
               const char* why; std::string lines; };
  const std::string whole = "VE3XYZ| OTTAWA ARC|1 MAIN ST|OTTAWA, ON  K2P 1A4";
  std::vector<Row> rows = {
      {cut(11), -1, 0, 70, kShortRead, "VE3XYZ|||ON"},
      {cut(12), 0, 0, 70, kShortRead, "VE3XYZ|||ON"},
      {cut(80), 0, 0, 70, kShortRead, "VE3XYZ| OTTAWA ARC||, ON  "},  // cut inside the record
      {cut(108 + 8 + 5), 0, 1, 70, nullptr, whole},           // a partial entry at the end
      {put(8, 0x2D2D2D2D), 0, 0, 70, nullptr, whole},         // the unfinished file's "----"
      {put(8, 4), 0, 0, 70, nullptr, whole},                  // the header is no index
      {[](std::string& b) { b[106] = b[107] = 'X'; }, 0, 2, 70, kShortRead, whole + "XX"},
  };
  for (std::uint32_t outside : {0u, 11u, 108u, 0xFFFFFFu}) {
    rows.push_back({[](std::string&) {}, 0, 2, outside, kTextOutsideArea, "VE3XYZ|||ON"});
  }
  TempDir dir;
  const std::string path = dir.file("cancall.db");
  for (const Row& row : rows) {
    write_sample(path);
    std::string bytes = testutil::read_bytes(path);
    ASSERT_EQ(bytes.size(), 124u);
    CanadianTable before, fresh;
    ASSERT_EQ(load_canadian_table(path, &before), 0);
    before.entries.at(1).word1 = CanEntry::make_word1(row.text_offset, 0);
    row.harm(bytes);
    testutil::write_bytes(path, bytes);
    EXPECT_EQ(load_canadian_table(path, &fresh), row.rc) << row.lines;
    EXPECT_TRUE(fresh.entries.size() == static_cast<std::size_t>(row.entries) &&
                canadian_line(fresh).empty() == (row.rc != 0)) << row.lines;
    LookupResult result;
    const char* why = nullptr;
    const LookupStatus status = lookup_canadian_call(before, "VE3XYZ", &result, &why);
    EXPECT_TRUE(status.found && status.damaged == (row.why != nullptr)) << row.lines;
    EXPECT_EQ(why, row.why) << row.lines;
    EXPECT_EQ(lines_of(result), row.lines);
  }
  CanadianTable missing;  // loaded again, a table forgets what it held
  write_sample(path);
  ASSERT_EQ(load_canadian_table(path, &missing), 0);
  EXPECT_TRUE(load_canadian_table(dir.file("missing.db"), &missing) == -1 &&
              canadian_line(missing).empty() && missing.entries.empty());
}

// ---------------------------------------------------------------------------------------------
// The lookup program's files and its Search command

// A data folder with call.db (A1ABC, K1ABC), callprev.db (AE3ABC, the key VE3ABC gets from
// the US codec, and K1ABC, current again, both now W1AW; KB1OLD now K1ABC) and cancall.db (VE3XYZ).
class LookupFolder : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(write_call_db(dir_.file("call.db"), "20160320",
                            {{encode_call("A1ABC"), "X", "", ""},
                             {encode_call("K1ABC"), "DOE, JOHN", "1 MAIN ST", "TOWN", 9, 501}}),
              0);
    ASSERT_EQ(write_prev_db(dir_.file("callprev.db"), "20160320",
                            {{encode_call("AE3ABC"), encode_call("W1AW")},
                             {encode_call("K1ABC"), encode_call("W1AW")},
                             {encode_call("KB1OLD"), encode_call("K1ABC")}}), 0);
    CanDbWriter can;
    ASSERT_EQ(can.open(dir_.file("cancall.db"), "20160318"), 0);
    ASSERT_EQ(can.add(word0("VE3XYZ"), "SMITH", "JANE", "2 ELM", "OTTAWA", "K2P 1A4"), 0);
    ASSERT_EQ(can.finish(), 0);
  }

  // The search's text, then the damaged files and why, then "found".
  static std::string search(const LookupFiles& files, const char* typed) {
    LookupResult slot;
    const SearchOutput out = search_callsign(files, typed, &slot);
    return out.text + out.damaged + (out.damaged.empty() ? "" : ": " + out.why) +
           (out.found ? "found" : "");
  }

  TempDir dir_;
};

TEST_F(LookupFolder, SearchTextsPerEditionAndDamage) {
  LookupFiles full, us_only;
  open_lookup_files(dir_.path(), Edition::full, &full);
  open_lookup_files(dir_.path(), Edition::us_only, &us_only);
  EXPECT_TRUE(full.us_ready && full.prev_ready && us_only.us_ready && !us_only.prev_ready);
  EXPECT_TRUE(full.canada.has_header && canadian_line(us_only.canada).empty());
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
  // Cut after opening, the files' indexes still answer; a record text cut short is damage.
  ASSERT_EQ(truncate(dir_.file("call.db").c_str(), 20), 0);
  ASSERT_EQ(truncate(dir_.file("callprev.db").c_str(), 11), 0);
  EXPECT_EQ(search(full, "K1ABC"),
            "K1ABC\r\nDOE, J\r\n\r\n CA 00501\r\n\r\ncall.db: a read came back shortfound");
  EXPECT_EQ(search(full, "KB1OLD"), "KB1OLD NOW K1ABC\r\n\r\n");
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
  ASSERT_TRUE(std::filesystem::remove(dir_.file("call.db")));
  testutil::write_bytes(dir_.file("call.db"), testutil::bytes_of("20160320\xFF\xFF\xFF\x7F"));
  trouble("Damaged in /data: its index offset lies outside the file.", damaged);
  testutil::write_bytes(dir_.file("call.db"), saved);
  open_us_files(dir_.path(), &blocked);
  EXPECT_TRUE(blocked.us_ready && blocked.prev_ready);
  EXPECT_EQ(search(blocked, "KB1OLD"), "KB1OLD NOW K1ABC\r\n\r\n");
}

}  // namespace
}  // namespace dbfiles
