#include "updater/merge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "dbfiles/dbwriter.h"
#include "dbfiles/usdb.h"
#include "tests/support/recording_link.h"
#include "tests/test_util.h"
#include "updater/make_update.h"

namespace updater {
namespace {

using dbfiles::encode_call;
using dbfiles::UsRecord;
using testutil::TempDir;

constexpr char kOpenFailed[] =
    "UNABLE TO OPEN database file for modification\rMake sure the orbisk pgm is not running.\r"
    "And make sure the fernwick.exe is in the same folder as the database file.";

using Records = std::map<std::uint32_t, UsRecord>;  // by key, so in index order

UsRecord random_record(std::mt19937& rng, std::uint32_t key) {
  UsRecord r;
  r.key = key;
  r.name = testutil::random_text(rng, 40);
  r.street = testutil::random_text(rng, 30);
  r.city = testutil::random_text(rng, 20);
  r.state = static_cast<std::uint32_t>(rng() % 61);
  r.zip = static_cast<std::uint32_t>(rng() % 131072);
  r.po_box = rng() % 7 == 0;
  return r;
}

Records random_db(std::mt19937& rng, int count) {
  Records db;
  while (static_cast<int>(db.size()) < count) {
    const std::uint32_t key = encode_call(testutil::random_us_call(rng).c_str());
    db[key] = random_record(rng, key);
  }
  return db;
}

void write(const std::string& path, const char* date, const Records& records) {
  std::vector<UsRecord> list;
  for (const auto& [key, r] : records) list.push_back(r);
  std::string error;
  ASSERT_EQ(dbfiles::write_call_db(path, date, list, &error), 0) << error;
}

class MergeTest : public testing::Test {
 protected:
  void SetUp() override {
    env_.link = &link_;
    env_.state = &state_;
    env_.folder = dir_.path();
    std::snprintf(state_.update_rows[0].name, sizeof state_.update_rows[0].name, "0105to0112.db");
  }

  std::string path(const std::string& name) const { return dir_.file(name); }
  int merge() { return merge_update(env_, 0); }

  // Writes OLD as call.db and the update file that leads from it to NEW.
  void prepare(const Records& old_db, const Records& new_db) {
    write(path("call.db"), "20180105", old_db);
    write(path("new.db"), "20180112", new_db);
    std::string error;
    ASSERT_EQ(make_update(path("call.db"), path("new.db"), path("0105to0112.db"), &error), 0)
        << error;
  }

  TempDir dir_;
  testutil::RecordingLink link_;
  UpdaterState state_;
  WorkerEnv env_;
};

// ---------------------------------------------------------------------------------------------
// What a merge makes

TEST_F(MergeTest, MergedDatabaseIsByteForByteTheNewOne) {
  std::mt19937 rng(21);
  for (int round = 0; round < 12; ++round) {
    const Records old_db = random_db(rng, 50 + static_cast<int>(rng() % 2000));
    Records new_db = old_db;
    for (int i = 0; i < 300; ++i) {
      const std::uint32_t key = encode_call(testutil::random_us_call(rng).c_str());
      auto it = new_db.find(key);
      if (it == new_db.end()) {
        new_db[key] = random_record(rng, key);
      } else if (rng() % 2 == 0) {
        new_db.erase(it);
      } else {
        it->second = random_record(rng, key);
      }
    }
    // Calls beyond every old key are appended after the walk.
    for (const char* call : {"WZ9ZZY", "WZ9ZZZ"}) {
      new_db[encode_call(call)] = random_record(rng, encode_call(call));
    }
    int inserts = 0, deletes = 0;
    for (const auto& [key, r] : new_db) inserts += old_db.count(key) == 0;
    for (const auto& [key, r] : old_db) deletes += new_db.count(key) == 0;
    prepare(old_db, new_db);
    link_.clear();
    ASSERT_EQ(merge(), 0) << "round " << round;
    EXPECT_EQ(testutil::read_bytes(path("call.db.new")), testutil::read_bytes(path("new.db")))
        << "round " << round;
    EXPECT_EQ(link_.value(ValueCell::percent_done), "100");
    EXPECT_EQ(link_.value(ValueCell::deleted_calls), std::to_string(deletes));
    EXPECT_EQ(link_.value(ValueCell::new_calls), std::to_string(inserts));
  }
}

TEST_F(MergeTest, CountsAndCellsOfOneMerge) {
  Records old_db;
  for (const char* call : {"AA1A", "K1ABC", "K1ABD", "N0A", "W1AW"}) {
    old_db[encode_call(call)] = UsRecord{encode_call(call), call, "S", "C", 1, 1, false};
  }
  Records new_db = old_db;
  new_db.erase(encode_call("K1ABD"));                                                  // deleted
  new_db[encode_call("K1ABC")].name = "CHANGED";                                       // changed
  new_db[encode_call("KA1A")] = UsRecord{encode_call("KA1A"), "NEW", "", "", 0, 0, false};  // new
  new_db[encode_call("WZ9Z")] = UsRecord{encode_call("WZ9Z"), "LAST", "", "", 0, 0, false};  // new
  prepare(old_db, new_db);
  const std::string update_size = std::to_string(testutil::read_bytes(path("0105to0112.db")).size());

  ASSERT_EQ(merge(), 0);
  EXPECT_EQ(link_.value(ValueCell::update_file), "0105to0112.db");
  EXPECT_EQ(link_.value(ValueCell::db_date), "01/05/2018");
  EXPECT_EQ(link_.value(ValueCell::updating_to), "01/12/2018");
  EXPECT_EQ(link_.value(ValueCell::records), "4");
  EXPECT_EQ(link_.value(ValueCell::new_calls), "2");
  EXPECT_EQ(link_.value(ValueCell::deleted_calls), "1");
  EXPECT_EQ(link_.value(ValueCell::changed_calls), "1");
  EXPECT_EQ(link_.value(ValueCell::percent_done), "100");
  EXPECT_EQ(link_.row(0, RowCell::status), "updating");
  EXPECT_EQ(link_.row(0, RowCell::total), update_size);
  EXPECT_EQ(state_.update_rows[0].row_state, kUpdating);
  EXPECT_EQ(link_.log(), "01/12/2018\r\n");
  EXPECT_EQ(testutil::read_bytes(path("call.db.new")), testutil::read_bytes(path("new.db")));
  EXPECT_TRUE(platform::file_exists(path("call.db")));  // untouched
}

TEST_F(MergeTest, FewerThanAHundredEntriesRefreshAfterEveryStep) {
  Records old_db;
  for (const char* call : {"K1A", "K1B", "K1C"}) {
    old_db[encode_call(call)] = UsRecord{encode_call(call), call, "", "", 0, 0, false};
  }
  Records new_db = old_db;
  new_db[encode_call("K1AA")] = UsRecord{encode_call("K1AA"), "X", "", "", 0, 0, false};
  prepare(old_db, new_db);
  ASSERT_EQ(merge(), 0);
  std::vector<std::string> percents;
  for (const std::string& e : link_.events()) {
    const std::string prefix = "value:" + std::to_string(static_cast<int>(ValueCell::percent_done)) + "=";
    if (e.rfind(prefix, 0) == 0) percents.push_back(e.substr(prefix.size()));
  }
  // One step per walk iteration while update entries remain (K1A kept, K1AA inserted), then 100.
  EXPECT_EQ(percents, (std::vector<std::string>{"1", "2", "100"}));
}

TEST_F(MergeTest, EmptyUpdateLaysTheTextsOutAfresh) {
  // Texts in reverse order in the old file: the new one has them in index order.
  std::mt19937 rng(4);
  const Records db = random_db(rng, 30);
  write(path("forward.db"), "20180105", db);
  std::string bytes = testutil::read_bytes(path("forward.db"));
  // Rebuild the same file with the texts swapped around: entries keep their keys.
  std::vector<std::pair<std::uint32_t, std::string>> texts;
  const std::uint32_t index_offset = testutil::word_at(bytes, 8);
  std::string area;
  std::vector<std::uint32_t> offsets;
  for (std::size_t i = 0; i < db.size(); ++i) offsets.push_back(testutil::word_at(bytes, index_offset + 12 * i + 4) & 0x3FFFFFF);
  std::string reversed_area;
  std::vector<std::uint32_t> new_offsets(db.size());
  for (std::size_t k = db.size(); k-- > 0;) {
    const std::uint32_t start = offsets[k];
    const std::size_t end = bytes.find('\0', start);
    new_offsets[k] = static_cast<std::uint32_t>(12 + reversed_area.size());
    reversed_area += bytes.substr(start, end - start + 1);
  }
  std::string rebuilt = bytes.substr(0, 12) + reversed_area + bytes.substr(12 + reversed_area.size(), index_offset - 12 - reversed_area.size());
  rebuilt += bytes.substr(index_offset);
  for (std::size_t i = 0; i < db.size(); ++i) {
    const std::size_t at = index_offset + 12 * i + 4;
    testutil::put_word(&rebuilt, at, (testutil::word_at(bytes, at) & 0xFC000000u) | new_offsets[i]);
  }
  testutil::write_bytes(path("call.db"), rebuilt);
  dbfiles::CallDbWriter empty;
  ASSERT_EQ(empty.open(path("0105to0112.db"), "20180112"), 0);
  ASSERT_EQ(empty.finish(), 0);

  ASSERT_EQ(merge(), 0);
  std::string expected = bytes;
  expected.replace(0, 8, "20180112");
  EXPECT_EQ(testutil::read_bytes(path("call.db.new")), expected);
  EXPECT_EQ(link_.value(ValueCell::records), "0");
}

TEST_F(MergeTest, DeletionOfAnAbsentCallIsSkipped) {
  Records old_db;
  for (const char* call : {"K1B", "K1D"}) {
    old_db[encode_call(call)] = UsRecord{encode_call(call), call, "", "", 0, 0, false};
  }
  write(path("call.db"), "20180105", old_db);
  dbfiles::CallDbWriter w;
  ASSERT_EQ(w.open(path("0105to0112.db"), "20180112"), 0);
  ASSERT_EQ(w.add_without_text(encode_call("K1A")), 0);  // before every key
  ASSERT_EQ(w.add_without_text(encode_call("K1C")), 0);  // between keys
  ASSERT_EQ(w.add_without_text(encode_call("K1D")), 0);  // a real deletion
  ASSERT_EQ(w.add_without_text(encode_call("W1X")), 0);  // past the end
  ASSERT_EQ(w.finish(), 0);

  ASSERT_EQ(merge(), 0);
  dbfiles::UsDatabase db;
  ASSERT_EQ(dbfiles::open_call_db(path("call.db.new"), &db), 0);
  EXPECT_EQ(db.count, 1u);
  dbfiles::LookupResult r;
  EXPECT_TRUE(dbfiles::lookup_us_call(db, "K1B", &r).found);
  EXPECT_STREQ(r.name_line, "K1B");
  EXPECT_EQ(link_.value(ValueCell::new_calls), "0");
  EXPECT_EQ(link_.value(ValueCell::deleted_calls), "1");
}

// ---------------------------------------------------------------------------------------------
// Failures: each is told, and no call.db.new is left

class MergeFailure : public MergeTest {
 protected:
  void SetUp() override {
    MergeTest::SetUp();
    Records old_db;
    for (const char* call : {"K1A", "K1B"}) {
      old_db[encode_call(call)] = UsRecord{encode_call(call), call, "", "", 0, 0, false};
    }
    Records new_db = old_db;
    new_db[encode_call("K1C")] = UsRecord{encode_call("K1C"), "C", "", "", 0, 0, false};
    prepare(old_db, new_db);
  }

  void expect_box(const std::string& caption, const std::string& text) {
    const auto boxes = link_.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, caption);
    EXPECT_EQ(boxes[0].text, text);
    EXPECT_FALSE(platform::file_exists(path("call.db.new")));
  }
};

TEST_F(MergeFailure, DatabaseHeldByTheLookupProgram) {
  platform::File lookup;
  ASSERT_EQ(lookup.open(path("call.db"), platform::Access::read, platform::Share::read_write,
                        platform::Disposition::open_existing),
            0);
  EXPECT_EQ(merge(), -1);
  expect_box("call.db", kOpenFailed);

  // A missing file is not blamed on the lookup program.
  link_.clear();
  lookup.close();
  ASSERT_EQ(std::remove(path("call.db").c_str()), 0);
  EXPECT_EQ(merge(), -1);
  expect_box("call.db", "UNABLE TO OPEN database file for modification\rcall.db not found in " +
                            dir_.path() + ".");
}

TEST_F(MergeFailure, UnreadableDatabaseHeader) {
  testutil::write_bytes(path("call.db"), "20180105");
  EXPECT_EQ(merge(), -1);
  expect_box("call.db", "ERR 5 reading original db");

  link_.clear();
  testutil::write_bytes(path("call.db"), testutil::bytes_of("20180105\xFF\xFF\0\0"));
  EXPECT_EQ(merge(), -1);
  expect_box("call.db", "ERR 22 reading original db");
}

TEST_F(MergeFailure, MissingUpdateFileIsLogged) {
  ASSERT_EQ(std::remove(path("0105to0112.db").c_str()), 0);
  EXPECT_EQ(merge(), -1);
  EXPECT_EQ(link_.log(), "0105to0112.db <<----ERROR OPENING change file\r\n");
  EXPECT_TRUE(link_.boxes().empty());
}

TEST_F(MergeFailure, OutputCannotBePutInPlace) {
  ASSERT_EQ(mkdir(path("call.db.new").c_str(), 0755), 0);
  EXPECT_EQ(merge(), -1);
  const auto boxes = link_.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, "ERROR Writing file");
  std::vector<std::string> names;
  ASSERT_EQ(platform::list_files(dir_.path(), "*", &names), 0);
  EXPECT_EQ(names, (std::vector<std::string>{"0105to0112.db", "call.db", "new.db"}));
}

TEST_F(MergeFailure, TextOffsetOutsideTheSourceStopsTheMerge) {
  for (std::uint32_t offset : {0u, 11u, 0x3FFFFFFu}) {
    link_.clear();
    std::string bytes = testutil::read_bytes(path("call.db"));
    testutil::put_word(&bytes, testutil::word_at(bytes, 8) + 4, offset);
    testutil::write_bytes(path("call.db"), bytes);
    EXPECT_EQ(merge(), -1);
    const auto boxes = link_.boxes();
    ASSERT_EQ(boxes.size(), 1u) << offset;
    EXPECT_EQ(boxes[0].caption, "call.db");
    EXPECT_NE(boxes[0].text.find("K1A"), std::string::npos);
    EXPECT_FALSE(platform::file_exists(path("call.db.new")));
  }
}

}  // namespace
}  // namespace updater
