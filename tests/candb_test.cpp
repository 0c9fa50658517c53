#include "dbfiles/candb.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "dbfiles/dbwriter.h"
#include "tests/test_util.h"

namespace dbfiles {
namespace {

std::uint32_t word0(const std::string& call) {
  CanKey key = 0;
  EXPECT_EQ(encode_can_call(call.c_str(), &key), 0) << call;
  return CanEntry::make_word0(key, 14);  // ON
}

std::string lines_of(const LookupResult& r) {
  return std::string(r.callsign) + "|" + r.name_line + "|" + r.street_line + "|" + r.place_line;
}

// VA1AA's texts lie at 12 to 69, the club VE3XYZ's at 70 to 106, the index at 108, 124 bytes.
void write_sample(const std::string& path, const char* club = "OTTAWA ARC") {
  CanDbWriter w;
  ASSERT_EQ(w.open(path, "20160320"), 0);
  ASSERT_EQ(w.add(word0("VA1AA"), "McFadden", "Bill", "188 MILLWOOD DRIVE", "MIDDLE SACKVILLE",
                  "B4E 2X8"), 0);
  ASSERT_EQ(w.add(word0("VE3XYZ"), club, "", "1 MAIN ST", "OTTAWA", "K2P 1A4"), 0);
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
  testutil::TempDir dir;
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
}

// What a fresh load of the damaged file gives, and how a lookup of VE3XYZ through a table loaded
// before the damage goes (with its text offset replaced in memory, or kept at 70).
TEST(CanCallDb, DamageReasons) {
  struct Row { std::function<void(std::string&)> harm; int rc, entries; std::uint32_t text_offset;
               const char* why; std::string lines; };
  const auto cut = [](std::size_t len) { return [=](std::string& b) { b.resize(len); }; };
  const auto offset = [](std::uint32_t at) {
    return [=](std::string& b) { testutil::put_word(&b, 8, at); };
  };
  const std::string whole = "VE3XYZ| OTTAWA ARC|1 MAIN ST|OTTAWA, ON  K2P 1A4";
  std::vector<Row> rows = {
      {cut(11), -1, 0, 70, kShortRead, "VE3XYZ|||ON"},
      {cut(12), 0, 0, 70, kShortRead, "VE3XYZ|||ON"},
      {cut(80), 0, 0, 70, kShortRead, "VE3XYZ| OTTAWA ARC||, ON  "},  // cut inside the record
      {cut(108 + 8 + 5), 0, 1, 70, nullptr, whole},           // a partial entry at the end
      {offset(0x2D2D2D2D), 0, 0, 70, nullptr, whole},         // the unfinished file's "----"
      {offset(4), 0, 0, 70, nullptr, whole},                  // the header is no index
      {[](std::string& b) { b[106] = b[107] = 'X'; }, 0, 2, 70, kShortRead, whole + "XX"},
  };
  for (std::uint32_t outside : {0u, 11u, 108u, 0xFFFFFFu}) {
    rows.push_back({[](std::string&) {}, 0, 2, outside, kTextOutsideArea, "VE3XYZ|||ON"});
  }
  testutil::TempDir dir;
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
    EXPECT_EQ(fresh.entries.size(), static_cast<std::size_t>(row.entries)) << row.lines;
    EXPECT_EQ(canadian_line(fresh).empty(), row.rc != 0);
    LookupResult result;
    const char* why = nullptr;
    const LookupStatus status = lookup_canadian_call(before, "VE3XYZ", &result, &why);
    EXPECT_TRUE(status.found && status.damaged == (row.why != nullptr)) << row.lines;
    EXPECT_EQ(why, row.why) << row.lines;
    EXPECT_EQ(lines_of(result), row.lines);
  }
  CanadianTable missing;
  EXPECT_EQ(load_canadian_table(dir.file("missing.db"), &missing), -1);
  EXPECT_EQ(canadian_line(missing), "");
}

// A cancall.db put in place later (an update renames a new file over it) is read by the next
// start only, never mixed with the index loaded before.
TEST(CanCallDb, ReplacedFileIsReadOnlyByTheNextStart) {
  testutil::TempDir dir;
  write_sample(dir.file("cancall.db"));
  CanadianTable table, next;
  ASSERT_EQ(load_canadian_table(dir.file("cancall.db"), &table), 0);
  write_sample(dir.file("cancall.new"), "MOVED ARC");  // the same offsets, another text
  ASSERT_EQ(std::rename(dir.file("cancall.new").c_str(), dir.file("cancall.db").c_str()), 0);
  LookupResult r;
  ASSERT_TRUE(lookup_canadian_call(table, "VE3XYZ", &r).found);
  EXPECT_STREQ(r.name_line, " OTTAWA ARC");
  ASSERT_EQ(load_canadian_table(dir.file("cancall.db"), &next), 0);
  ASSERT_TRUE(lookup_canadian_call(next, "VE3XYZ", &r).found);
  EXPECT_STREQ(r.name_line, " MOVED ARC");
}

}  // namespace
}  // namespace dbfiles
