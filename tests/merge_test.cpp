#include "updater/merge.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <tuple>

#include "dbfiles/dbwriter.h"
#include "tests/support/recording_link.h"
#include "tests/test_util.h"
#include "updater/make_update.h"

namespace updater {
namespace {

using dbfiles::encode_call;
using dbfiles::UsRecord;
using testutil::put_word;
using testutil::word_at;
using Records = std::map<std::uint32_t, UsRecord>;  // by key, so in index order

UsRecord random_record(std::mt19937& rng, std::uint32_t key) {
  return {key, testutil::random_text(rng, 40), testutil::random_text(rng, 30), testutil::random_text(rng, 20),
          static_cast<std::uint32_t>(rng() % 61), static_cast<std::uint32_t>(rng() % 131072), rng() % 7 == 0};
}

Records db_of(std::initializer_list<const char*> calls) {
  Records db;
  for (const char* c : calls) db[encode_call(c)] = UsRecord{encode_call(c), c, "", "", 0, 0, false};
  return db;
}

class MergeTest : public testing::Test {
 protected:
  void SetUp() override {
    env_.link = &link_;
    env_.state = &state_;
    env_.folder = dir_.path();
    std::strcpy(state_.update_rows[0].name, "0105to0112.db");
  }
  std::string path(const std::string& name) const { return dir_.file(name); }
  std::string bytes(const std::string& name) const { return testutil::read_bytes(path(name)); }
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    platform::list_files(dir_.path(), "*", &names);
    return names;
  }
  void write(const std::string& name, const char* date, const Records& db) {
    std::vector<UsRecord> list;
    for (const auto& [key, r] : db) list.push_back(r);
    ASSERT_EQ(dbfiles::write_call_db(path(name), date, list), 0);
  }
  // call.db holds OLD, new.db NEW, and 0105to0112.db leads from the one to the other.
  void prepare(const Records& old_db, const Records& new_db) {
    link_.clear();
    write("call.db", "20180105", old_db);
    write("new.db", "20180112", new_db);
    ASSERT_EQ(make_update(path("call.db"), path("new.db"), path("0105to0112.db"), nullptr), 0);
  }
  std::vector<std::string> percents() const {
    std::vector<std::string> seen;
    const std::string cell = "value:" + std::to_string(static_cast<int>(ValueCell::percent_done)) + "=";
    for (const std::string& e : link_.events()) {
      if (e.rfind(cell, 0) == 0) seen.push_back(e.substr(cell.size()));
    }
    return seen;
  }

  testutil::TempDir dir_;
  testutil::RecordingLink link_;
  UpdaterState state_;
  WorkerEnv env_;
};

// Random databases and the updates between them: the merge gives the new database byte for
// byte, and counts what changed as a map of records does.
TEST_F(MergeTest, MergedDatabaseIsByteForByteTheNewOne) {
  std::mt19937 rng(21);
  const auto add = [&rng](Records& db, std::uint32_t key) { db[key] = random_record(rng, key); };
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    Records old_db;
    const std::size_t size = round == 0 ? 0 : 50 + rng() % 2000;
    while (old_db.size() < size) add(old_db, encode_call(testutil::random_us_call(rng).c_str()));
    Records new_db = old_db;
    for (int i = 0; i < 300; ++i) {
      const std::uint32_t key = encode_call(testutil::random_us_call(rng).c_str());
      if (new_db.count(key) != 0 && rng() % 2 == 0) new_db.erase(key); else add(new_db, key);
    }
    for (const char* last : {"WZ9ZZY", "WZ9ZZZ"}) add(new_db, encode_call(last));  // past every old key
    int inserts = 0, deletes = 0, changes = 0;
    const auto fields = [](const UsRecord& r) { return std::tie(r.name, r.street, r.city, r.state, r.zip, r.po_box); };
    for (const auto& [key, r] : new_db) {
      inserts += old_db.count(key) == 0;
      changes += old_db.count(key) != 0 && fields(old_db.at(key)) != fields(r);
    }
    for (const auto& [key, r] : old_db) deletes += new_db.count(key) == 0;
    prepare(old_db, new_db);
    // The old texts in reverse order: the merge lays them out afresh in index order.
    const std::string forward = bytes("call.db");
    std::string reversed = forward, area;
    for (std::size_t at = forward.size() - 8; at > word_at(forward, 8); at -= 12) {
      const std::uint32_t start = word_at(forward, at) & 0x3FFFFFF;
      put_word(&reversed, at, (word_at(forward, at) & 0xFC000000u) | (12 + area.size()));
      area += forward.substr(start, forward.find('\0', start) - start + 1);
    }
    testutil::write_bytes(path("call.db"), reversed.replace(12, area.size(), area));
    ASSERT_EQ(merge_update(env_, 0), 0);
    EXPECT_TRUE(bytes("call.db.new") == bytes("new.db"));
    EXPECT_EQ(link_.value(ValueCell::new_calls), std::to_string(inserts));
    EXPECT_EQ(link_.value(ValueCell::deleted_calls), std::to_string(deletes));
    EXPECT_EQ(link_.value(ValueCell::changed_calls), std::to_string(changes));
    const std::vector<std::string> seen = percents();  // a step per hundredth of the old index, then 100
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), "100");
    for (std::size_t i = 0; i + 1 < seen.size(); ++i) EXPECT_EQ(seen[i], std::to_string(i + 1));
    EXPECT_TRUE(size < 1000 || (seen.size() > 50 && seen.size() < 140)) << seen.size();
  }
}

// A hand-made update: deletions of calls that are not there (before, between and after the old
// keys) are skipped. With every cell of one merge.
TEST_F(MergeTest, HandMadeUpdateAndItsCells) {
  Records expected = db_of({"K1B", "K1D", "N0A"});
  write("call.db", "20180105", expected);
  const std::string before = bytes("call.db");
  dbfiles::CallDbWriter w;
  ASSERT_EQ(w.open(path("0105to0112.db"), "20180112"), 0);
  std::map<std::uint32_t, const char*> changes;  // nullptr: deleted
  for (const char* c : {"A1A", "K2C", "K1D", "W1X", "K1B", "N0B", "WZ9Z"}) changes[encode_call(c)] = c;
  for (const char* gone : {"A1A", "K2C", "K1D", "W1X"}) changes[encode_call(gone)] = nullptr;
  for (const auto& [key, call] : changes) {
    if (call == nullptr) expected.erase(key); else expected[key] = UsRecord{key, call, "1 ST", "CITY", 3, 4, true};
    ASSERT_EQ(call == nullptr ? w.add_without_text(key) : w.add(key, call, "1 ST", "CITY", 3, 4, true), 0);
  }
  ASSERT_EQ(w.finish(), 0);
  write("expected.db", "20180112", expected);

  ASSERT_EQ(merge_update(env_, 0), 0);
  EXPECT_EQ(bytes("call.db.new"), bytes("expected.db"));
  EXPECT_EQ(bytes("call.db"), before);
  const std::pair<ValueCell, std::string> cells[] = {
      {ValueCell::update_file, "0105to0112.db"}, {ValueCell::db_date, "01/05/2018"},
      {ValueCell::updating_to, "01/12/2018"}, {ValueCell::records, "7"}, {ValueCell::new_calls, "2"},
      {ValueCell::deleted_calls, "1"}, {ValueCell::changed_calls, "1"}, {ValueCell::percent_done, "100"}};
  for (const auto& [cell, text] : cells) EXPECT_EQ(link_.value(cell), text) << static_cast<int>(cell);
  EXPECT_EQ(link_.row(0, RowCell::status), "updating");
  EXPECT_EQ(link_.row(0, RowCell::total), std::to_string(bytes("0105to0112.db").size()));
  EXPECT_EQ(state_.update_rows[0].row_state, kUpdating);
  EXPECT_EQ(link_.log(), "01/12/2018\r\n");

  // Fewer than a hundred old entries: a step after each walk iteration while entries remain.
  prepare(db_of({"K1A", "K1B", "K1C"}), db_of({"K1A", "K1AA", "K1B", "K1C"}));
  ASSERT_EQ(merge_update(env_, 0), 0);
  EXPECT_EQ(percents(), (std::vector<std::string>{"1", "2", "100"}));

  ASSERT_EQ(w.open(path("0105to0112.db"), "20180112"), 0);  // the most entries an update may have
  for (std::uint32_t k = 1; k <= kMaxUpdateEntries; ++k) ASSERT_EQ(w.add_without_text(k), 0);
  ASSERT_EQ(w.finish(), 0);
  EXPECT_EQ(merge_update(env_, 0), 0);
}

// Every failure is told, leaves no call.db.new nor any temporary file, and deletes an update
// file that failed its check (so that the next run fetches it again).
TEST_F(MergeTest, EachFailureIsToldAndLeavesNothingBehind) {
  constexpr char kCorrupt[] = "Update file is CORRUPT, deleting";
  struct Row {
    std::function<void(std::string& db, std::string& update)> damage;  // "": the file is gone
    std::string caption, text;  // no caption: the text is the log's
  };
  // Entries of the update: K1A changed, K1B gone, K1C new; of call.db: K1A, K1B, K1D.
  const auto entry = [](std::string& b, std::size_t i, std::size_t word) -> std::size_t {
    return word_at(b, 8) + 12 * i + 4 * word;
  };
  platform::File held;
  std::vector<Row> rows = {
      {[&](auto&, auto&) { held.open(path("call.db"), platform::Access::read, platform::Share::read,
                                     platform::Disposition::open_existing); }, "call.db",
       "UNABLE TO OPEN database file for modification\rMake sure the orbisk pgm is not running.\r"
       "And make sure the fernwick.exe is in the same folder as the database file."},
      {[](auto& db, auto&) { db.clear(); }, "call.db",
       "UNABLE TO OPEN database file for modification\rcall.db not found in " + dir_.path() + "."},
      {[](auto& db, auto&) { db.resize(8); }, "call.db", "ERR 5 reading original db"},
      {[](auto& db, auto&) { put_word(&db, 8, 0xFFFF); }, "call.db", "ERR 22 reading original db"},
      {[&](auto& db, auto&) { put_word(&db, entry(db, 2, 1), 11); }, "call.db",
       "call.db: the record text of K1D at offset 11 lies outside the file's texts"},
      {[&](auto& db, auto&) { put_word(&db, entry(db, 2, 1), word_at(db, 8)); }, "call.db",
       "call.db: the record text of K1D at offset "},
      {[](auto&, auto& u) { u.clear(); }, "", "0105to0112.db <<----ERROR OPENING change file\r\n"},
      {[&](auto&, auto&) { mkdir(path("call.db.new").c_str(), 0755); }, "ERROR Writing file", "call.db.new"},
      {[](auto&, auto&) { platform::testing::fail_writes_after(20, ENOSPC); }, "ERROR Writing file", "call.db.new"},
      {[](auto&, auto& u) { u.resize(11); }, kCorrupt, "shorter than its 12-byte header"},
      {[](auto&, auto& u) { u = "<html><body>Not Found</body></html>\n"; }, kCorrupt, "its date is not a valid date"},
      {[](auto&, auto& u) { u.replace(0, 4, "2017"); }, kCorrupt, "dated 01/12/2017 instead of 01/12/2018"},
      {[](auto&, auto& u) { put_word(&u, 8, 4); }, kCorrupt, "its index offset 4 lies outside the file"},
      {[](auto&, auto& u) { put_word(&u, 8, u.size() + 1); }, kCorrupt, "lies outside the file of"},
      {[&](auto&, auto& u) { std::swap_ranges(&u[entry(u, 0, 0)], &u[entry(u, 1, 0)], &u[entry(u, 1, 0)]); },
       kCorrupt, "does not sort after the one before"},
      {[&](auto&, auto& u) { put_word(&u, entry(u, 1, 0), word_at(u, entry(u, 0, 0))); }, kCorrupt,
       "index entry 2 (K1A) does not sort after the one before (K1A)"},
      {[&](auto&, auto& u) { put_word(&u, entry(u, 0, 1), 3); }, kCorrupt,
       "the record text of K1A at offset 3 lies outside the text area"},
      {[&](auto&, auto& u) { put_word(&u, entry(u, 0, 1), word_at(u, 8)); }, kCorrupt, "lies outside the text area"},
      {[](auto&, auto& u) { std::fill(&u[12], &u[word_at(u, 8)], 'C'); }, kCorrupt,
       "the record text of K1A at offset 12 has no end within 256 bytes"},
      {[&](auto&, auto& u) {
         dbfiles::CallDbWriter big;
         big.open(path("big"), "20180112");
         for (std::uint32_t k = 1; k <= kMaxUpdateEntries + 1; ++k) big.add_without_text(k);
         big.finish();
         u = bytes("big");
         std::remove(path("big").c_str());
       }, kCorrupt, "16385 index entries, more than 16384"},
  };
  for (std::size_t cut = 1; cut < 36; ++cut) {
    if (cut % 12 == 0) continue;
    rows.push_back({[cut](auto&, auto& u) { u.resize(word_at(u, 8) + cut); }, kCorrupt,
                    "its index ends inside an entry (" + std::to_string(cut % 12) + " bytes"});
  }
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    Records new_db = db_of({"K1A", "K1C", "K1D"});
    new_db.begin()->second.city = "CHANGED";
    prepare(db_of({"K1A", "K1B", "K1D"}), new_db);
    std::string db = bytes("call.db"), update = bytes("0105to0112.db");
    row.damage(db, update);
    for (const auto& [name, b] : {std::pair{"call.db", &db}, {"0105to0112.db", &update}}) {
      if (b->empty()) std::remove(path(name).c_str()); else testutil::write_bytes(path(name), *b);
    }
    std::vector<std::string> expected = files();
    if (row.caption == kCorrupt) expected.erase(expected.begin());

    EXPECT_EQ(merge_update(env_, 0), -1);
    platform::testing::fail_writes_after(-1, 0);
    held.close();
    const auto boxes = link_.boxes();
    ASSERT_EQ(boxes.size(), row.caption.empty() ? 0u : 1u);
    EXPECT_EQ(files(), expected);
    std::remove(path("call.db.new").c_str());  // the folder of one row
    if (boxes.empty()) {
      EXPECT_EQ(link_.log(), row.text);
      continue;
    }
    EXPECT_EQ(boxes[0].caption, row.caption);
    EXPECT_NE(boxes[0].text.find(row.text), std::string::npos) << boxes[0].text;
    if (row.caption != kCorrupt) continue;
    ASSERT_EQ(boxes[0].text.rfind("0105to0112.db: ", 0), 0u);  // the reason, in the box and the log
    EXPECT_EQ(link_.log(), "0105to0112.db <<----CORRUPT update file deleted: " + boxes[0].text.substr(15) + "\r\n");
  }
}

}  // namespace
}  // namespace updater
