// The publisher's weekly files: which files, named and dated how, what it refuses, and that
// ordinary update runs over them bring a client from every snapshot to the newest one.

#include "tools/publish.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "dbfiles/dbwriter.h"
#include "tests/support/recording_link.h"
#include "tests/test_util.h"
#include "updater/doupdate.h"
#include "updater/updater_state.h"

namespace calldb {
namespace {

namespace fs = std::filesystem;
using testutil::read_bytes;

const std::int64_t kFriday = updater::days_since_epoch({2025, 1, 3});

std::string date_of(std::int64_t day) {
  const updater::Date d = updater::date_from_days(day);
  return std::to_string(d.year * 10000 + d.month * 100 + d.day);
}

class PublishTest : public testing::Test {
 protected:
  std::string snapshots() const { return dir_.file("snapshots"); }
  std::string files() const { return dir_.file("server/db-files"); }
  std::string snapshot(std::int64_t day) const { return snapshots() + "/call" + date_of(day) + ".db"; }

  // Snapshots of a database that changes a little between them, on the given days.
  void make(const std::vector<std::int64_t>& days) {
    fs::create_directories(snapshots());
    std::mt19937 rng(17);
    std::map<std::uint32_t, dbfiles::UsRecord> db;
    for (const std::int64_t day : days) {
      for (int i = db.empty() ? 300 : 20; i > 0; --i) {
        const std::uint32_t key = dbfiles::encode_call(testutil::random_us_call(rng).c_str());
        db[key] = {key, "N " + testutil::random_text(rng, 30), testutil::random_text(rng, 30),
                   "CITY", static_cast<std::uint32_t>(1 + rng() % 60),
                   static_cast<std::uint32_t>(rng() % 100000), false};
      }
      db.erase(db.begin());
      std::vector<dbfiles::UsRecord> list;
      for (const auto& [key, r] : db) list.push_back(r);
      std::string error;
      ASSERT_EQ(dbfiles::write_call_db(snapshot(day), date_of(day), list, &error), 0) << error;
    }
  }

  PublishResult publish() {
    files_.clear();
    std::vector<Snapshot> found;
    PublishResult r = find_snapshots(snapshots(), &found, &error_);
    if (r == PublishResult::ok) {
      r = publish_updates(found, dir_.file("server"),
                          [&](const PublishedFile& f) { files_.push_back(f); }, &error_);
    }
    return r;
  }

  testutil::TempDir dir_;
  std::vector<PublishedFile> files_;
  std::string error_;
};

TEST_F(PublishTest, GapsAreFilledWithEmptyWeeksEachDatedWithItsOwnEnd) {
  const std::int64_t d = kFriday;
  make({d, d + 7, d + 21, d + 35});
  // Names do not decide the order; callprev.db and other files are not snapshots.
  fs::rename(snapshot(d), snapshots() + "/callzzz.db");
  testutil::write_bytes(snapshots() + "/callprev.db", "20250103");
  testutil::write_bytes(snapshots() + "/notes.db", "junk");
  ASSERT_EQ(publish(), PublishResult::ok) << error_;
  const std::vector<std::pair<std::string, bool>> want = {
      {"0103to0110.db", true}, {"0110to0117.db", true}, {"0117to0124.db", false},
      {"0124to0131.db", true}, {"0131to0207.db", false}};
  ASSERT_EQ(files_.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE(want[i].first);
    EXPECT_EQ(files_[i].name, want[i].first);
    EXPECT_EQ(files_[i].date, date_of(d + 7 * static_cast<std::int64_t>(i + 1)));
    EXPECT_EQ(files_[i].changes > 0, want[i].second);
    const std::string bytes = read_bytes(files_[i].path);
    EXPECT_EQ(bytes.substr(0, 8), files_[i].date);
    EXPECT_EQ((bytes.size() - testutil::word_at(bytes, 8)) / 12, files_[i].changes);
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(files()), fs::directory_iterator()), 5);  // no .part

  // Names carry no year: of two files of one name, the later (empty) one stays.
  fs::remove_all(snapshots());
  std::int64_t last = d + 7 * 52;
  while (weekly_file_name(last) != weekly_file_name(d)) last += 7;
  make({d, last + 7});
  ASSERT_EQ(publish(), PublishResult::ok) << error_;
  EXPECT_EQ(files_.size(), static_cast<std::size_t>((last + 7 - d) / 7));
  EXPECT_GT(files_.front().changes, 0u);
  EXPECT_EQ(read_bytes(files() + "/" + weekly_file_name(d)).substr(0, 8), date_of(last + 7));

  fs::remove_all(snapshots());
  make({d});  // one snapshot: nothing to publish
  ASSERT_EQ(publish(), PublishResult::ok) << error_;
  EXPECT_TRUE(files_.empty());
}

TEST_F(PublishTest, RefusesWhatIsNotOneSoundSnapshotPerWeek) {
  const std::int64_t d = kFriday;
  make({d, d + 7});
  const std::string good = read_bytes(snapshot(d));
  const std::uint32_t index = testutil::word_at(good, 8);
  const auto patch = [&](std::size_t at, const std::string& b) {
    return std::string(good).replace(at, b.size(), b);
  };
  const auto word = [](std::uint32_t v) {
    std::string w(4, '\0');
    testutil::put_word(&w, 0, v);
    return w;
  };
  const std::vector<std::pair<std::string, std::string>> cases = {  // the last two are sound
      {"short", "2025"},
      {"bad date", patch(4, "13")},
      {"index in the header", patch(8, word(4))},
      {"index past the end", patch(8, word(static_cast<std::uint32_t>(good.size() + 12)))},
      {"cut index", good.substr(0, good.size() - 5)},
      {"unsorted", patch(index, good.substr(index + 12, 12))},
      {"text in the header", patch(index + 4, word(11))},
      {"text at the index", patch(index + 4, word(index))},
      {"unterminated", patch(12, std::string(index - 12, 'X'))},
      {"same date", good},
      {"off the grid", read_bytes(snapshot(d + 7)).replace(7, 1, "5")},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto& [what, bytes] = cases[i];
    SCOPED_TRACE(what);
    testutil::write_bytes(snapshots() + "/callbad.db", bytes);
    std::string date;
    EXPECT_EQ(check_call_db(snapshots() + "/callbad.db", &date, &error_), i < 9 ? 2 : 0);
    EXPECT_EQ(publish(), PublishResult::bad_snapshots);
    EXPECT_NE(error_.find("callbad.db"), std::string::npos) << error_;
  }
  EXPECT_FALSE(fs::exists(files()));
  fs::remove_all(snapshots());
  fs::create_directories(snapshots());
  EXPECT_EQ(publish(), PublishResult::bad_snapshots);  // none at all

  make({d, d + 14});
  fs::create_directories(files() + "/" + weekly_file_name(d + 7));  // in the way of the rename
  EXPECT_EQ(publish(), PublishResult::io_error);
  EXPECT_EQ(files_.size(), 1u);
}

TEST_F(PublishTest, UpdateRunsBringEverySnapshotToTheNewest) {
  // A gap of ten weeks needs two runs of at most eight files.
  const std::vector<std::int64_t> days = {kFriday, kFriday + 7, kFriday + 21, kFriday + 91,
                                          kFriday + 98};
  make(days);
  ASSERT_EQ(publish(), PublishResult::ok) << error_;
  const updater::Date today = updater::date_from_days(days.back() + 3);
  for (const std::int64_t start : days) {
    SCOPED_TRACE(date_of(start));
    const std::string client = dir_.file("client" + date_of(start));
    fs::create_directories(client);
    fs::copy_file(snapshot(start), client + "/call.db");
    for (const PublishedFile& f : files_) fs::copy_file(f.path, client + "/" + f.name);
    std::int64_t runs = 0;
    std::int32_t result = 0;
    for (; result == 0 && runs < 10; ++runs) {
      testutil::RecordingLink link;
      updater::UpdaterState state;
      updater::WorkerEnv env;
      env.link = &link;
      env.state = &state;
      env.folder = client;
      env.now = [&] { return platform::LocalTime{today.year, today.month, today.day, 12, 0, 0}; };
      updater::doupdate(env);
      ASSERT_EQ(link.finished_messages().size(), 1u) << link.log();
      result = link.finished_messages()[0].lparam;
    }
    EXPECT_EQ(result, -1);  // nothing due
    EXPECT_EQ(runs - 1, ((days.back() - start) / 7 + 7) / 8);
    EXPECT_EQ(read_bytes(client + "/call.db"), read_bytes(snapshot(days.back())));
  }
}

}  // namespace
}  // namespace calldb
