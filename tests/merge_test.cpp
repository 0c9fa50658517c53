// merge_update against a map of records, and every way it fails.
#include "updater/merge.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <tuple>

#include "dbfiles/dbwriter.h"
#include "tests/support/recording_link.h"
#include "tests/support/scripted_server.h"
#include "tests/test_util.h"

namespace updater {
namespace {

using dbfiles::encode_call;
using dbfiles::UsRecord;
using testutil::put_word;
using testutil::random_text;
using testutil::word_at;
using Records = std::map<std::uint32_t, UsRecord>;               // by key, so in index order
using Changes = std::map<std::uint32_t, std::optional<UsRecord>>;  // none: a deletion

UsRecord record(std::mt19937& rng, std::uint32_t key) {
  return {key, random_text(rng, 40), random_text(rng, 30), random_text(rng, 20),
          std::uint32_t(rng() % 61), std::uint32_t(rng() % 131072), rng() % 7 == 0};
}

Records named(std::initializer_list<const char*> calls) {  // each named after its call
  Records db;
  for (const char* c : calls) db[encode_call(c)] = UsRecord{encode_call(c), c, "", ""};
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
  std::vector<std::string> files() const {  // everything in the folder, temporaries included
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
      names.push_back(e.path().filename().string());
    }
    std::ranges::sort(names);
    return names;
  }
  // call.db holds OLD, 0105to0112.db the changes, and new.db what the merge must make of them.
  void prepare(const Records& old_db, const Changes& changes) {
    link_.clear();
    Records new_db = old_db;
    dbfiles::CallDbWriter w;
    ASSERT_EQ(w.open(path("0105to0112.db"), "20180112"), 0);
    for (const auto& [key, r] : changes) {
      if (r) new_db[key] = *r;
      else new_db.erase(key);
      ASSERT_EQ(r ? w.add(key, r->name, r->street, r->city, r->state, r->zip, r->po_box)
                  : w.add_without_text(key), 0);
    }
    ASSERT_EQ(w.finish(), 0);
    for (const auto& [name, date, db] : {std::tuple{"call.db", "20180105", &old_db},
                                         {"new.db", "20180112", &new_db}}) {
      std::vector<UsRecord> list;
      for (const auto& [key, r] : *db) list.push_back(r);
      ASSERT_EQ(dbfiles::write_call_db(path(name), date, list), 0);
    }
  }
  testutil::TempDir dir_;
  testutil::RecordingLink link_;
  UpdaterState state_;
  WorkerEnv env_;
};

// Random databases and changes (some deleting absent calls) merge as a map of records does.
TEST_F(MergeTest, MergedDatabaseIsWhatAMapOfRecordsMakes) {
  std::mt19937 rng(21);
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    Records old_db;
    const std::size_t size = round < 2 ? 60 * round : 50 + rng() % 2000;
    while (old_db.size() < size) {
      const std::uint32_t key = encode_call(testutil::random_us_call(rng).c_str());
      old_db[key] = record(rng, key);
    }
    Changes changes;
    int counts[2][2] = {};  // [deletion][already there]
    for (int i = 0; i <= 300; ++i) {  // the last past every old key
      const std::uint32_t key = encode_call(i < 300 ? testutil::random_us_call(rng).c_str()
                                                    : "WZ9ZZZ");
      if (changes.count(key) != 0) continue;
      const bool deletion = rng() % 3 == 0;
      changes[key] = deletion ? std::nullopt : std::optional<UsRecord>(record(rng, key));
      counts[deletion][old_db.count(key)]++;
    }
    prepare(old_db, changes);
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
    EXPECT_EQ(bytes("call.db"), reversed);
    using enum ValueCell;
    const auto n = [](std::size_t count) { return std::to_string(count); };
    const std::pair<ValueCell, std::string> cells[] = {
        {update_file, "0105to0112.db"}, {db_date, "01/05/2018"}, {updating_to, "01/12/2018"},
        {records, n(changes.size())}, {new_calls, n(counts[0][0])},
        {deleted_calls, n(counts[1][1])}, {changed_calls, n(counts[0][1])}, {percent_done, "100"}};
    for (const auto& [cell, text] : cells) EXPECT_EQ(link_.value(cell), text) << int(cell);
    EXPECT_EQ(link_.row(0, RowCell::status) + " " + link_.row(0, RowCell::total) + link_.log(),
              "updating " + std::to_string(bytes("0105to0112.db").size()) + "01/12/2018\r\n");
    EXPECT_EQ(state_.update_rows[0].row_state, kUpdating);
    // A step per hundredth of the old index, never past 99 before the end's 100.
    const std::string step = "value:" + std::to_string(int(percent_done)) + "=";
    std::vector<int> percents;
    for (const std::string& e : link_.events()) {
      if (e.starts_with(step)) percents.push_back(std::stoi(e.substr(step.size())));
    }
    ASSERT_FALSE(percents.empty());
    EXPECT_EQ(percents.back(), 100);
    percents.pop_back();
    EXPECT_TRUE(std::ranges::is_sorted(percents) &&
                (percents.empty() || (percents[0] >= 1 && percents.back() <= 99)));
    EXPECT_TRUE(size < 1000 || (percents.size() > 50 && percents.size() < 140)) << percents.size();
  }
  // The most entries an update may have, all new calls before every old key (the merged index
  // catches up with the old one), and none.
  Changes most;
  for (std::uint32_t k = 1; k <= kMaxUpdateEntries; ++k) most[k] = UsRecord{k, "N", "", ""};
  for (const Changes& c : {most, Changes{}}) {
    prepare(named({"K1A", "K1B"}), c);
    EXPECT_EQ(merge_update(env_, 0), 0) << c.size();
    EXPECT_TRUE(bytes("call.db.new") == bytes("new.db")) << c.size();
  }
}

// Every failure is told and leaves no new file; an update file failing its check is deleted.
TEST_F(MergeTest, EachFailureIsToldAndLeavesNothingBehind) {
  constexpr char kCorrupt[] = "Update file is CORRUPT, deleting";
  constexpr char kWriting[] = "ERROR Writing file";
  const std::string unable = "UNABLE TO OPEN database file for modification\r";
  // Damage to call.db's bytes and the update's ("": the file is gone); no caption: no box.
  struct Row { std::function<void(std::string&, std::string&)> damage; std::string caption, text; };
  const auto entry = [](auto& b, int i, int word) { return word_at(b, 8) + 12 * i + 4 * word; };
  platform::File held;
  std::vector<Row> rows = {
      {[&](auto&, auto&) {
         held.open(path("call.db"), platform::Access::read, platform::Share::read,
                   platform::Disposition::open_existing);
       }, "call.db", unable + "Make sure the orbisk pgm is not running.\rAnd make sure the "
                              "fernwick.exe is in the same folder as the database file."},
      {[](auto& db, auto&) { db.clear(); }, "call.db",
       unable + "call.db not found in " + dir_.path() + "."},
      {[](auto& db, auto&) { db.resize(8); }, "call.db", "ERR 5 reading original db"},
      {[](auto& db, auto&) { put_word(&db, 8, 0xFFFF); }, "call.db", "ERR 22 reading original db"},
      {[&](auto& db, auto&) { put_word(&db, entry(db, 2, 1), 11); }, "call.db",
       "call.db: the record text of K1D at offset 11 lies outside the file's texts"},
      {[](auto&, auto& u) { u.clear(); }, "", "0105to0112.db <<----ERROR OPENING change file\r\n"},
      {[&](auto&, auto&) { mkdir(path("call.db.new").c_str(), 0755); }, kWriting, "call.db.new"},
      {[&](auto&, auto&) {  // the disk is full once the texts are written
         platform::testing::fail_writes_after(word_at(bytes("new.db"), 8), ENOSPC);
       }, kWriting, "call.db.new"},
      {[](auto&, auto& u) { u.resize(11); }, kCorrupt, "shorter than its 12-byte header"},
      {[](auto&, auto& u) { u.replace(4, 2, "0:"); }, kCorrupt, "its date is not a valid date"},
      {[](auto&, auto& u) { u.replace(0, 4, "2017"); }, kCorrupt,
       "dated 01/12/2017 instead of 01/12/2018"},
      {[](auto&, auto& u) { put_word(&u, 8, 4); }, kCorrupt,
       "its index offset 4 lies outside the file"},
      {[](auto&, auto& u) { put_word(&u, 8, u.size() + 1); }, kCorrupt, "lies outside the file of"},
      {[&](auto&, auto& u) { put_word(&u, entry(u, 1, 0), word_at(u, entry(u, 0, 0))); }, kCorrupt,
       "index entry 2 (K1A) does not sort after the one before (K1A)"},
      {[&](auto&, auto& u) { put_word(&u, entry(u, 0, 1), 3); }, kCorrupt,
       "the record text of K1A at offset 3 lies outside the text area"},
      {[&](auto&, auto& u) { put_word(&u, entry(u, 0, 1), word_at(u, 8)); }, kCorrupt,
       "lies outside the text area"},
      {[](auto&, auto& u) { std::fill(&u[12], &u[word_at(u, 8)], 'C'); }, kCorrupt,
       "the record text of K1A at offset 12 has no end within 256 bytes"},
      {[](auto&, auto& u) {
         u.replace(12, std::string::npos, 12 * (kMaxUpdateEntries + 1), 0);
         put_word(&u, 8, 12);
       }, kCorrupt, "16385 index entries, more than 16384"}};
  for (std::size_t cut = 1; cut < 36; cut += cut % 12 == 11 ? 2 : 1) {  // every cut inside an entry
    rows.push_back({[cut](auto&, auto& u) { u.resize(word_at(u, 8) + cut); }, kCorrupt,
                    "its index ends inside an entry (" + std::to_string(cut % 12) + " bytes"});
  }
  Changes changes = {{encode_call("K1B"), std::nullopt}};
  for (const auto& [key, r] : named({"K1A", "K1C"})) changes[key] = r;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    prepare(named({"K1A", "K1B", "K1D"}), changes);
    std::string db = bytes("call.db"), update = bytes("0105to0112.db");
    row.damage(db, update);
    for (const auto& [name, b] : {std::pair{"call.db", &db}, {"0105to0112.db", &update}}) {
      if (b->empty()) std::remove(path(name).c_str());
      else testutil::write_bytes(path(name), *b);
    }
    std::vector<std::string> expected = files();
    if (row.caption == kCorrupt) expected.erase(expected.begin());
    EXPECT_EQ(merge_update(env_, 0), -1);
    platform::testing::fail_writes_after(-1, 0);
    held.close();
    const auto boxes = link_.boxes();
    ASSERT_EQ(boxes.size(), row.caption.empty() ? 0u : 1u);
    EXPECT_EQ(files(), expected);  // no call.db.new, no temporary
    std::remove(path("call.db.new").c_str());  // the folder of one row
    EXPECT_EQ(boxes.empty() ? link_.log() : boxes[0].caption,
              boxes.empty() ? row.text : row.caption);
    EXPECT_TRUE(boxes.empty() || boxes[0].text.find(row.text) != std::string::npos) << row.text;
  }
}

// A digest file's line as sha256sum writes and reads it.
TEST_F(MergeTest, DigestIsTheFirst64HexDigitsOfASha256sumLine) {
  const std::string abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  testutil::write_bytes(path("f.db"), "abc");
  std::string hex, upper = abc;
  ASSERT_EQ(file_sha256(path("f.db"), &hex), 0);
  EXPECT_EQ(digest_line(hex, "f.db"), abc + "  f.db\n");
  for (char& c : upper) c = static_cast<char>(std::toupper(c));
  using enum DigestCheck;
  const std::pair<std::string, DigestCheck> cases[] = {
      {abc + "  f.db\n", matches}, {upper + " *f.db\r\n", matches}, {abc, matches},
      {std::string(abc).replace(63, 1, "e") + "  f.db\n", differs}, {abc.substr(1), not_a_digest},
      {abc.substr(1) + "g", not_a_digest}, {abc + "0  f.db\n", not_a_digest},
      {"<html>Not Found</html>", not_a_digest}};
  for (const auto& [text, result] : cases) {
    int error = 0;
    EXPECT_EQ(check_update_digest(path("f.db"), text, &error), result) << text;
  }
  int error = 0;
  EXPECT_EQ(check_update_digest(path("none.db"), abc, &error), unreadable);
  EXPECT_EQ(error, ENOENT);
}

// A fetched update file is held against the digest its server keeps beside it. Cut after a whole
// index entry, it passes every check of the merge: only the digest tells.
TEST_F(MergeTest, FetchedFileIsHeldAgainstTheServersDigest) {
  using S = testutil::ScriptedServer;
  const std::string name = "0105to0112.db", digest = name + kDigestSuffix;
  prepare(named({"K1A"}), {{encode_call("K1B"), std::nullopt}, *named({"K1C"}).begin()});
  const std::string whole = bytes(name), cut = whole.substr(0, whole.size() - 12);
  std::string hex;
  ASSERT_EQ(file_sha256(path(name), &hex), 0);
  const auto reply = [](const std::string& status, const std::string& body) {
    return S::send("HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
                   "\r\n\r\n" + body);
  };
  const std::string corrupt = "its SHA-256 is not the one in " + digest;
  const struct { std::string file; S::Step reply; int result; std::string log; } rows[] = {
      {cut, reply("404 Not Found", "<html>404</html>"), 0, ""},
      {whole, reply("200 OK", digest_line(hex, name)), 0, ""},
      {cut, reply("200 OK", digest_line(hex, name)), -1,
       name + " <<----CORRUPT update file deleted: " + corrupt + "\r\n"},
      {cut, reply("200 OK", "<html>Welcome</html>"), 0,
       digest + " holds no SHA-256; " + name + " is taken unchecked\r\n"},
      {whole, S::send("HTTP/1.1 200 OK\r\nContent-Length: 99\r\n\r\n" + hex), -1,
       name + " <<----deleted unchecked: " + digest + " could not be fetched\r\n"},
      {whole, S::send("HTTP/1.1 200 OK\nContent-Length: 64\n\n" + hex), -1,
       name + " <<----deleted unchecked: " + digest + " could not be fetched\r\n"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.log);
    testutil::write_bytes(path(name), row.file);
    platform::File file;
    ASSERT_EQ(file.open(path(name), platform::Access::read, platform::Share::read,
                        platform::Disposition::open_existing), 0);
    UpdateFile update;
    std::string reason;
    int error = 0;
    EXPECT_EQ(check_update_file(file, "20180112", &update, &reason, &error), UpdateCheck::sound);
    file.close();
    S server({{row.reply}});
    env_.server = ServerAddress{"127.0.0.1", server.port()};
    link_.clear();
    EXPECT_EQ(check_fetched_update(env_, 0), row.result);
    EXPECT_EQ(link_.log(), row.log);
    const auto boxes = link_.boxes();
    EXPECT_EQ(boxes.size(), row.log.find("CORRUPT") != std::string::npos ? 1u : 0u);
    EXPECT_TRUE(boxes.empty() || boxes[0].text == name + ": " + corrupt);
    EXPECT_EQ(bytes(name), row.result == 0 ? row.file : "");
    EXPECT_EQ(server.requests(), std::vector<std::string>{"GET /db-files/" + digest +
                                                          " HTTP/1.1\r\nHost: 127.0.0.1:" +
                                                          std::to_string(server.port()) +
                                                          "\r\nConnection: close\r\n\r\n"});
  }
}

}  // namespace
}  // namespace updater
