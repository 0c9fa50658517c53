// The publisher's weekly files: which files, named and dated how, and what it refuses. The club
// pipeline runs an update over a published week end to end.

#include "demo/publish.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>

#include "dbfiles/dbwriter.h"
#include "tests/test_util.h"
#include "updater/doupdate.h"

namespace calldb {
namespace {

namespace fs = std::filesystem;
using testutil::read_bytes;

const std::int64_t kDay = updater::days_since_epoch({2025, 1, 3});  // a Friday

std::string date_of(std::int64_t day) {
  const updater::Date d = updater::date_from_days(day);
  return std::to_string(d.year * 10000 + d.month * 100 + d.day);
}

class PublishTest : public testing::Test {
 protected:
  std::string snapshot(std::int64_t day) { return snapshots_ + "/call" + date_of(day) + ".db"; }

  // Snapshots of a database that changes a little between them, on the given days.
  void make(const std::vector<std::int64_t>& days) {
    fs::remove_all(snapshots_);
    fs::create_directories(snapshots_);
    std::mt19937 rng(17);
    std::map<std::uint32_t, dbfiles::UsRecord> db;
    for (const std::int64_t day : days) {
      for (int i = db.empty() ? 300 : 20; i > 0; --i) {
        const std::uint32_t key = dbfiles::encode_call(testutil::random_us_call(rng).c_str());
        db[key] = {key, "N", "S", "C", 1, 2, false};
      }
      db.erase(db.begin());
      std::vector<dbfiles::UsRecord> list;
      for (const auto& [key, r] : db) list.push_back(r);
      ASSERT_EQ(dbfiles::write_call_db(snapshot(day), date_of(day), list), 0);
    }
  }

  PublishResult publish() {
    files_.clear();
    std::vector<Snapshot> found;
    const PublishResult r = find_snapshots(snapshots_, &found, &error_);
    if (r != PublishResult::ok) return r;
    return publish_updates(found, dir_.file("server"),
                           [&](const PublishedFile& f) { files_.push_back(f); }, &error_);
  }

  testutil::TempDir dir_;
  const std::string snapshots_ = dir_.file("snapshots");
  const std::string files_folder_ = dir_.file("server/db-files");
  std::vector<PublishedFile> files_;
  std::string error_;
};

TEST_F(PublishTest, RefusesWhatIsNotOneSoundSnapshotPerWeek) {
  make({kDay, kDay + 7});
  const std::string good = read_bytes(snapshot(kDay));
  const std::uint32_t index = testutil::word_at(good, 8);
  const auto put = [&](std::size_t at, std::uint32_t value) {
    std::string bytes = good;
    testutil::put_word(&bytes, at, value);
    return bytes;
  };
  const std::vector<std::pair<std::string, std::string>> cases = {  // what each refusal says
      {"shorter than its header", "2025"},
      {"no valid date YYYYMMDD", std::string(good).replace(4, 2, "13")},
      {"index offset does not fit", put(8, 4)},
      {"index offset does not fit", put(8, static_cast<std::uint32_t>(good.size() + 12))},
      {"index offset does not fit", good.substr(0, good.size() - 5)},
      {"not in ascending key order", std::string(good).replace(index, 12, good, index + 12, 12)},
      {"lies outside the text area", put(index + 4, 11)},
      {"lies outside the text area", put(index + 4, index)},
      {"is not terminated", std::string(good).replace(12, index - 12, index - 12, 'X')},
      {"one snapshot per date", put(8, 12).substr(0, 12)},  // sound, and without licences
      {"not a whole number of weeks", read_bytes(snapshot(kDay + 7)).replace(7, 1, "5")}};
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].first);
    testutil::write_bytes(snapshots_ + "/callbad.db", cases[i].second);
    std::string date;
    EXPECT_EQ(check_call_db(snapshots_ + "/callbad.db", &date, &error_), i < 9 ? 2 : 0);
    EXPECT_EQ(publish(), PublishResult::bad_snapshots);
    EXPECT_NE(error_.find(cases[i].first), std::string::npos) << error_;
    EXPECT_NE(error_.find("callbad.db"), std::string::npos) << error_;
  }
  EXPECT_FALSE(fs::exists(files_folder_));
  make({});
  EXPECT_EQ(publish(), PublishResult::bad_snapshots);  // none at all
  make({kDay, kDay + 14});
  fs::create_directories(files_folder_ + "/" + weekly_file_name(kDay + 7));  // in the way
  EXPECT_EQ(publish(), PublishResult::io_error);
  EXPECT_EQ(files_.size(), 1u);
}

// The week after a snapshot carries every change up to the next one, the weeks after it none;
// each file is dated with the end of its own week and has its digest beside it.
TEST_F(PublishTest, GapsAreFilledWithEmptyWeeksEachDatedWithItsOwnEnd) {
  const std::vector<std::int64_t> days = {kDay, kDay + 7, kDay + 21, kDay + 91, kDay + 98};
  make(days);
  // Names do not decide the order; callprev.db is no snapshot.
  fs::rename(snapshot(kDay), snapshots_ + "/callzzz.db");
  testutil::write_bytes(snapshots_ + "/callprev.db", "20250103");
  ASSERT_EQ(publish(), PublishResult::ok) << error_;
  ASSERT_EQ(files_.size(), 14u);
  EXPECT_EQ(files_[0].name + files_[1].name + files_[13].name,
            "0103to0110.db0110to0117.db0404to0411.db");
  for (std::size_t i = 0; i < files_.size(); ++i) {
    const std::int64_t start = kDay + 7 * static_cast<std::int64_t>(i);
    EXPECT_EQ(files_[i].changes > 0, std::count(days.begin(), days.end(), start) == 1) << i;
    EXPECT_EQ(files_[i].date, date_of(start + 7));
    EXPECT_EQ(read_bytes(files_[i].path).substr(0, 8), files_[i].date);
  }
  // Beside each its digest, as sha256sum checks it.
  EXPECT_EQ(std::distance(fs::directory_iterator(files_folder_), fs::directory_iterator()), 28);
  const std::string check = "cd '" + files_folder_ + "' && sha256sum -c --strict --quiet *.sha256";
  EXPECT_EQ(std::system(check.c_str()), 0);
}

}  // namespace
}  // namespace calldb
