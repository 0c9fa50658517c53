// The publisher's weekly files: which files, their names and dates, and that ordinary update
// runs over them bring a client from every snapshot to the newest one.

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
using dbfiles::UsRecord;
using testutil::TempDir;

using Records = std::map<std::uint32_t, UsRecord>;

std::int64_t day_of(int y, int m, int d) { return updater::days_since_epoch({y, m, d}); }

std::string date_of(std::int64_t day) {
  const updater::Date d = updater::date_from_days(day);
  char text[16];
  std::snprintf(text, sizeof text, "%04d%02d%02d", d.year, d.month, d.day);
  return text;
}

UsRecord record(std::mt19937& rng, std::uint32_t key) {
  UsRecord r;
  r.key = key;
  r.name = "NAME " + testutil::random_text(rng, 30);
  r.street = testutil::random_text(rng, 30);
  r.city = testutil::random_text(rng, 20);
  r.state = static_cast<std::uint32_t>(1 + rng() % 60);
  r.zip = static_cast<std::uint32_t>(rng() % 100000);
  r.po_box = rng() % 11 == 0;
  return r;
}

// A week's worth of changes: some new, some changed, some gone.
Records evolve(std::mt19937& rng, Records db) {
  for (int i = 0; i < 20; ++i) {
    const std::uint32_t key = dbfiles::encode_call(testutil::random_us_call(rng).c_str());
    db[key] = record(rng, key);
  }
  int n = 0;
  for (auto it = db.begin(); it != db.end(); ++n) {
    if (n % 9 == 0) {
      it = db.erase(it);
    } else {
      if (n % 7 == 0) it->second.street = "CHANGED " + std::to_string(n);
      ++it;
    }
  }
  return db;
}

void write_db(const std::string& path, std::int64_t day, const Records& db) {
  std::vector<UsRecord> list;
  for (const auto& [key, r] : db) list.push_back(r);
  std::string error;
  ASSERT_EQ(dbfiles::write_call_db(path, date_of(day), list, &error), 0) << error;
}

struct Published {
  std::vector<PublishedFile> files;
  PublishResult result = PublishResult::ok;
  std::string error;
};

Published publish(const std::string& from, const std::string& to) {
  Published p;
  std::vector<Snapshot> snapshots;
  p.result = find_snapshots(from, &snapshots, &p.error);
  if (p.result != PublishResult::ok) return p;
  p.result = publish_updates(snapshots, to,
                             [&](const PublishedFile& f) { p.files.push_back(f); }, &p.error);
  return p;
}

std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::size_t entries_of(const std::string& bytes) {
  return (bytes.size() - testutil::word_at(bytes, 8)) / 12;
}

class PublishTest : public testing::Test {
 protected:
  std::string snapshots() const { return dir_.file("snapshots"); }
  std::string server() const { return dir_.file("server"); }
  std::string files() const { return dir_.file("server/db-files"); }
  void SetUp() override { fs::create_directories(snapshots()); }

  // Snapshots of an evolving database on the given days; returns them by day.
  std::map<std::int64_t, Records> make(const std::vector<std::int64_t>& days) {
    std::mt19937 rng(17);
    std::map<std::int64_t, Records> out;
    Records db;
    for (int i = 0; i < 300; ++i) {
      const std::uint32_t key = dbfiles::encode_call(testutil::random_us_call(rng).c_str());
      db[key] = record(rng, key);
    }
    for (const std::int64_t day : days) {
      db = evolve(rng, db);
      write_db(snapshots() + "/call" + date_of(day) + ".db", day, db);
      out[day] = db;
    }
    return out;
  }

  TempDir dir_;
};

// ---------------------------------------------------------------------------------------------
// Which files, named and dated how

TEST_F(PublishTest, GapsAreFilledWithEmptyWeeksEachDatedWithItsOwnEnd) {
  const std::int64_t d = day_of(2025, 1, 3);
  make({d, d + 7, d + 21, d + 35});
  const Published p = publish(snapshots(), server());
  ASSERT_EQ(p.result, PublishResult::ok) << p.error;

  const std::vector<std::string> expected = {"0103to0110.db", "0110to0117.db", "0117to0124.db",
                                             "0124to0131.db", "0131to0207.db"};
  ASSERT_EQ(p.files.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(expected[i]);
    EXPECT_EQ(p.files[i].name, expected[i]);
    EXPECT_EQ(p.files[i].date, date_of(d + 7 * static_cast<std::int64_t>(i + 1)));
    const std::string bytes = testutil::read_bytes(files() + "/" + expected[i]);
    EXPECT_EQ(bytes.substr(0, 8), p.files[i].date);
    EXPECT_EQ(entries_of(bytes), p.files[i].changes);
  }
  // The first week after a snapshot carries all changes; the weeks after it, none.
  EXPECT_GT(p.files[0].changes, 0u);
  EXPECT_GT(p.files[1].changes, 0u);
  EXPECT_EQ(p.files[2].changes, 0u);
  EXPECT_GT(p.files[3].changes, 0u);
  EXPECT_EQ(p.files[4].changes, 0u);
  EXPECT_EQ(names_in(files()), expected);  // and no .part left
}

TEST_F(PublishTest, SnapshotsAreFoundByNameInDateOrderWhateverTheirNames) {
  const std::int64_t d = day_of(2025, 3, 7);
  make({d, d + 7});
  // Names do not decide the order; callprev.db and other files are not snapshots.
  fs::rename(snapshots() + "/call" + date_of(d) + ".db", snapshots() + "/callzzz.db");
  testutil::write_bytes(snapshots() + "/callprev.db", "20250307");
  testutil::write_bytes(snapshots() + "/notes.db", "junk");
  testutil::write_bytes(snapshots() + "/call.db.new", "junk");
  std::vector<Snapshot> found;
  std::string error;
  ASSERT_EQ(find_snapshots(snapshots(), &found, &error), PublishResult::ok) << error;
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].date, "20250307");
  EXPECT_EQ(fs::path(found[0].path).filename(), "callzzz.db");
  EXPECT_EQ(found[1].date, "20250314");
}

TEST_F(PublishTest, OneSnapshotPublishesNothing) {
  make({day_of(2025, 3, 7)});
  const Published p = publish(snapshots(), server());
  EXPECT_EQ(p.result, PublishResult::ok) << p.error;
  EXPECT_TRUE(p.files.empty());
  EXPECT_TRUE(names_in(files()).empty());
}

TEST_F(PublishTest, OfTwoFilesOfOneNameTheNewerWins) {
  // Names carry no year: find a span after which a week starts on the same month and day.
  const std::int64_t d = day_of(2019, 1, 4);
  std::int64_t last = 0;
  for (std::int64_t k = 52; k < 600 && last == 0; ++k) {
    if (weekly_file_name(d + 7 * k) == weekly_file_name(d)) last = d + 7 * k;
  }
  ASSERT_NE(last, 0);
  make({d, last + 7});
  const Published p = publish(snapshots(), server());
  ASSERT_EQ(p.result, PublishResult::ok) << p.error;
  EXPECT_EQ(p.files.size(), static_cast<std::size_t>((last + 7 - d) / 7));
  EXPECT_GT(p.files.front().changes, 0u);
  // The file on the server is the later, empty one of that name.
  const std::string bytes = testutil::read_bytes(files() + "/" + weekly_file_name(d));
  EXPECT_EQ(bytes.substr(0, 8), date_of(last + 7));
  EXPECT_EQ(entries_of(bytes), 0u);
}

// ---------------------------------------------------------------------------------------------
// Refusals

TEST_F(PublishTest, RefusesSnapshotsOffTheWeeklyGridNamingTheFile) {
  const std::int64_t d = day_of(2025, 3, 7);
  make({d, d + 7, d + 17});
  const Published p = publish(snapshots(), server());
  EXPECT_EQ(p.result, PublishResult::bad_snapshots);
  EXPECT_NE(p.error.find("call" + date_of(d + 17) + ".db"), std::string::npos) << p.error;
  EXPECT_FALSE(fs::exists(server()));
}

TEST_F(PublishTest, RefusesTwoSnapshotsOfOneDate) {
  const std::int64_t d = day_of(2025, 3, 7);
  make({d, d + 7});
  fs::copy_file(snapshots() + "/call" + date_of(d) + ".db", snapshots() + "/callcopy.db");
  const Published p = publish(snapshots(), server());
  EXPECT_EQ(p.result, PublishResult::bad_snapshots);
  EXPECT_NE(p.error.find("callcopy.db"), std::string::npos) << p.error;
}

TEST_F(PublishTest, RefusesFilesThatAreNotSoundDatabases) {
  const std::int64_t d = day_of(2025, 3, 7);
  make({d});
  const std::string good = testutil::read_bytes(snapshots() + "/call" + date_of(d) + ".db");
  const std::uint32_t index = testutil::word_at(good, 8);
  struct Case {
    const char* what;
    std::string bytes;
  };
  std::string bad_date = good;
  bad_date.replace(4, 2, "13");
  std::string bad_offset = good;
  testutil::put_word(&bad_offset, 8, static_cast<std::uint32_t>(good.size() + 12));
  std::string unsorted = good;
  unsorted.replace(index, 12, good.substr(index + 12, 12));  // first key twice
  std::string bad_text = good;
  testutil::put_word(&bad_text, index + 4, index + 100);  // text inside the index
  const Case cases[] = {
      {"short", "2025"},          {"bad date", bad_date}, {"bad offset", bad_offset},
      {"unsorted", unsorted},     {"text out of place", bad_text},
      {"cut index", good.substr(0, good.size() - 5)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testutil::write_bytes(snapshots() + "/callbad.db", c.bytes);
    std::string date;
    std::string error;
    EXPECT_EQ(check_call_db(snapshots() + "/callbad.db", &date, &error), 2);
    const Published p = publish(snapshots(), server());
    EXPECT_EQ(p.result, PublishResult::bad_snapshots);
    EXPECT_NE(p.error.find("callbad.db"), std::string::npos) << p.error;
  }
  fs::remove(snapshots() + "/callbad.db");
  fs::remove_all(snapshots() + "/call" + date_of(d) + ".db");
  EXPECT_EQ(publish(snapshots(), server()).result, PublishResult::bad_snapshots);  // none left
}

TEST_F(PublishTest, AFileThatCannotBeWrittenFailsAndLeavesNoPart) {
  const std::int64_t d = day_of(2025, 3, 7);
  make({d, d + 14});
  fs::create_directories(files() + "/" + weekly_file_name(d + 7));  // in the way of the rename
  const Published p = publish(snapshots(), server());
  EXPECT_EQ(p.result, PublishResult::io_error);
  EXPECT_EQ(p.files.size(), 1u);
  EXPECT_EQ(names_in(files()),
            (std::vector<std::string>{weekly_file_name(d), weekly_file_name(d + 7)}));
}

// ---------------------------------------------------------------------------------------------
// Ordinary update runs over the published files

// Runs update runs in `folder` on `today` until nothing is due; returns the number of runs.
int update_until_current(const std::string& folder, std::int64_t today) {
  int runs = 0;
  for (; runs < 10; ++runs) {
    testutil::RecordingLink link;
    updater::UpdaterState state;
    updater::WorkerEnv env;
    env.link = &link;
    env.state = &state;
    env.folder = folder;
    const updater::Date t = updater::date_from_days(today);
    env.now = [t] { return platform::LocalTime{t.year, t.month, t.day, 12, 0, 0}; };
    updater::doupdate(env);
    const std::vector<testutil::RecordingLink::Finished> done = link.finished_messages();
    if (done.size() != 1) {
      ADD_FAILURE() << "no finished message:\n" << link.log();
      break;
    }
    if (done[0].lparam != 0) {
      EXPECT_EQ(done[0].lparam, -1) << link.log();  // nothing due, not an error
      break;
    }
  }
  return runs;
}

TEST_F(PublishTest, UpdateRunsBringEverySnapshotToTheNewest) {
  // A gap of ten weeks needs two runs of at most eight files.
  const std::int64_t d = day_of(2024, 12, 20);
  const std::vector<std::int64_t> days = {d, d + 7, d + 21, d + 91, d + 98};
  const std::map<std::int64_t, Records> snaps = make(days);
  const Published p = publish(snapshots(), server());
  ASSERT_EQ(p.result, PublishResult::ok) << p.error;
  const std::string newest = testutil::read_bytes(snapshots() + "/call" + date_of(days.back()) +
                                                  ".db");
  for (const std::int64_t start : days) {
    SCOPED_TRACE(date_of(start));
    const std::string client = dir_.file("client" + date_of(start));
    fs::create_directories(client);
    fs::copy_file(snapshots() + "/call" + date_of(start) + ".db", client + "/call.db");
    for (const PublishedFile& f : p.files) fs::copy_file(f.path, client + "/" + f.name);
    const int runs = update_until_current(client, days.back() + 3);
    const std::int64_t weeks = (days.back() - start) / 7;
    EXPECT_EQ(runs, (weeks + 7) / 8);
    EXPECT_EQ(testutil::read_bytes(client + "/call.db"), newest);
  }
}

}  // namespace
}  // namespace calldb
