// The weekly run: its schedule, call.db's ends, fetches from a web server, merges put in place.
#include "updater/doupdate.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <map>

#include "dbfiles/dbwriter.h"
#include "tests/support/nginx_server.h"
#include "tests/support/recording_link.h"
#include "updater/make_update.h"
#include "updater/merge.h"

namespace updater {
namespace {

using dbfiles::encode_call;
using testutil::read_bytes;
using Time = platform::LocalTime;
constexpr const char* kNames[] = {"0105to0112.db", "0112to0119.db", "0119to0126.db"};

Time at(int month, int day, int hour) { return {2018, month, day, hour, 0, 0}; }

class UpdateRun : public testing::Test {
 protected:
  void SetUp() override {
    env_.link = &link_;
    env_.state = &state_;
    env_.folder = dir_.file("data");
    env_.server = ServerAddress{"127.0.0.1", 1};  // nothing listens there
    std::filesystem::create_directories(dir_.file("www/db-files"));
    std::filesystem::create_directories(env_.folder);
    for (const char* folder : {"", "www", "www/db-files"}) ::chmod(dir_.file(folder).c_str(), 0755);
  }
  // Runs at `now`; gives the one UM_UPDATE_DONE's "wParam lParam".
  std::string run(const Time& now) {
    link_.clear();
    env_.now = [now] { return now; };
    doupdate(env_);
    const auto f = link_.finished_messages();
    if (f.size() != 1 || f[0].message != UM_UPDATE_DONE) return std::to_string(f.size()) + " ends";
    return std::to_string(f[0].wparam) + " " + std::to_string(f[0].lparam);
  }
  std::string data(const std::string& name) const { return env_.folder + "/" + name; }
  std::string week(int k) const { return dir_.file("week" + std::to_string(k) + ".db"); }
  void write_db(const std::string& date, std::size_t records = 1) {
    const dbfiles::UsRecord k1a{encode_call("K1A"), "A", "", ""};
    ASSERT_EQ(dbfiles::write_call_db(data("call.db"), date, {records, k1a}), 0);
  }
  testutil::TempDir dir_;
  testutil::RecordingLink link_;
  UpdaterState state_;
  WorkerEnv env_;
};

// What call.db tells a run (nothing is served: the first fetch ends a run with weeks due).
// A complete database has 720000 entries and reaches KQ7X; only its ends are read.
TEST_F(UpdateRun, ScheduleAndTheDatabaseItStartsFrom) {
  const auto ends = [this](int count, const char* last) {
    return [=, this] {
      std::string bytes = "20180105" + std::string(4 + 12 * count, '\0');  // zeros between the ends
      testutil::put_word(&bytes, 8, 12);
      testutil::put_word(&bytes, 12, encode_call("AAAAA"));
      testutil::put_word(&bytes, bytes.size() - 12, encode_call(last));
      testutil::write_bytes(data("call.db"), bytes);
    };
  };
  const auto db = [this](const char* date) { return [=, this] { write_db(date); }; };
  platform::File holder;
  const std::string incomplete =
      "WARNING: database appears incomplete -- cleanup NOT recommended\r\n"
      "Was expecting over 720000 entries and KQ7X as last\r\n\r\n";
  const std::string unable = "UNABLE TO OPEN database file for modification\r";
  const auto hold = [&] {
    holder.open(data("call.db"), platform::Access::read, platform::Share::read,
                platform::Disposition::open_existing);
  };
  struct Case { std::function<void()> make; Time now; const char* ends; std::string log, box; };
  const Case cases[] = {
      {db("20180105"), at(1, 11, 21), "0 -1", "1 entries\r\nFirst entry: K1A\r\nLast entry:  K1A"
       "\r\n\r\n" + incomplete + "0 updates\r\nNext update will be 1/12/2018\r\n", ""},
      // From ten at night a run counts the next day; at most eight weeks are fetched.
      {db("20180105"), at(1, 11, 22), "1 1", "\r\n0105to0112.db\r\n1 updates\r\n", ""},
      {db("20180105"), at(3, 16, 9), "8 1", "\r\n0216to0223.db\r\n0223to0302.db\r\n8 updates", ""},
      {ends(720000, "KQ7X"), at(1, 6, 9), "0 -1",
       "720000 entries\r\nFirst entry: AAAAA\r\nLast entry:  KQ7X\r\n0", ""},
      {ends(719999, "KQ7X"), at(1, 6, 9), "0 -1", "Last entry:  KQ7X\r\n\r\n" + incomplete, ""},
      {ends(720000, "KQ7W"), at(1, 6, 9), "0 -1", "Last entry:  KQ7W\r\n\r\n" + incomplete, ""},
      {hold, at(3, 12, 10), "0 -1", updater::kHeldByLookup, unable + "Make sure the orbisk pgm is not running.\rAnd "
                         "make sure the fernwick pgm is in the same folder as the database file."},
      {[&] { std::remove(data("call.db").c_str()); }, at(3, 12, 10), "0 -1", "",
       unable + "call.db not found in " + env_.folder + "."},
      {[&] { write_db("20180105", 0); }, at(3, 12, 10), "0 -1", "", "ERROR reading database file."},
      {db("20180230"), at(3, 12, 10), "0 -1",
       "ERROR: database date 20180230 is not a valid date; no update can be scheduled\r\n", ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.log + c.box);
    write_db("20180105");
    c.make();
    state_.db_complete = false;
    EXPECT_EQ(run(c.now), c.ends);
    holder.close();
    EXPECT_NE(link_.log().find(c.log), std::string::npos) << link_.log();
    const auto boxes = link_.boxes();
    const int rows = std::stoi(c.ends);  // a run with rows has the failed fetch's box
    const std::string box = boxes.empty() || rows > 0 ? "" : boxes[0].caption + ":" + boxes[0].text;
    EXPECT_EQ(box, c.box.empty() ? "" : "call.db:" + c.box);
    EXPECT_EQ(state_.db_complete, c.log.find("720000 entries") == 0);
  }
}

// Three weeks due. 1: the first is served, the second not, the third at hand; an old call0105.db
// is replaced. 2: the second is a web page. 3: call0112.db cannot be made. 4: the rest.
TEST_F(UpdateRun, RunsAgainstAWebServer) {
  std::mt19937 rng(7);  // call.db and week 0 dated 01/05/2018, the three weeks after it
  std::map<std::uint32_t, dbfiles::UsRecord> db;
  for (int k = 0; k < 4; ++k) {
    for (int i = 0; k == 0 ? db.size() < 200 : i < 20; ++i) {
      const std::uint32_t key = encode_call(testutil::random_us_call(rng).c_str());
      db[key] = {key, "WEEK" + std::to_string(k), "", ""};
      if (k > 0 && i % 3 == 0) db.erase(key);
    }
    std::vector<dbfiles::UsRecord> list;
    for (const auto& [key, r] : db) list.push_back(r);
    ASSERT_EQ(dbfiles::write_call_db(week(k), std::to_string(20180105 + 7 * k), list), 0);
    const std::string update = k == 0 ? "" : dir_.file(kNames[k - 1]);
    ASSERT_TRUE(k == 0 || make_update(week(k - 1), week(k), update, nullptr) == 0);
  }
  testutil::NginxServer nginx;
  const std::string started = nginx.start(dir_.file("www"));
  ASSERT_EQ(started, "") << "scripts/setup installs nginx";
  env_.server = ServerAddress{"127.0.0.1", nginx.port()};
  const std::string www = dir_.file("www/db-files/");
  testutil::write_bytes(www + kNames[0], read_bytes(dir_.file(kNames[0])));
  ASSERT_EQ(platform::copy_file(week(0), data("call.db")), 0);
  std::filesystem::rename(dir_.file(kNames[2]), data(kNames[2]));
  testutil::write_bytes(data("call0105.db"), "a year before");
  EXPECT_EQ(run(at(1, 26, 12)), "3 1");
  for (const char* part : {"3 updates\r\n0105to0112.db <<--downloading\r\n",
                           "\r\n01/12/2018\r\ncall0105.db <<--saved old call.db file\r\n"}) {
    EXPECT_NE(link_.log().find(part), std::string::npos) << part;
  }
  const RowState states[] = {kDone, kNotAvail, kDownloaded};
  for (int row = 0; row < 3; ++row) EXPECT_EQ(state_.update_rows[row].row_state, states[row]);
  EXPECT_TRUE(read_bytes(data("call.db")) == read_bytes(week(1)));
  // A failed merge stops the run; the update file is deleted and fetched again next time.
  testutil::write_bytes(www + kNames[1], "<html>Not Found</html>\n");
  EXPECT_EQ(run(at(1, 26, 12)), "2 1");
  EXPECT_EQ(link_.row(0, RowCell::status), "ERROR");
  EXPECT_EQ(state_.update_rows[1].row_state, kDownloaded);
  testutil::write_bytes(www + kNames[1], read_bytes(dir_.file(kNames[1])));
  ASSERT_EQ(mkdir(data("call0112.db").c_str(), 0755), 0);  // a folder that cannot be replaced
  testutil::write_bytes(data("call0112.db/keep"), "x");
  EXPECT_EQ(run(at(1, 26, 12)), "2 1");
  const std::string moving = "ERROR " + std::to_string(EISDIR) + " moving call.db to call0112.db";
  EXPECT_TRUE(link_.log().ends_with("\r\n01/19/2018\r\n" + moving + "\r\n")) << link_.log();
  EXPECT_TRUE(read_bytes(data("call.db")) == read_bytes(week(1)));
  std::filesystem::remove_all(data("call0112.db"));
  EXPECT_EQ(run(at(1, 26, 12)), "2 0");
  const char* const saved[] = {"call0105.db", "call0112.db", "call0119.db", "call.db"};
  for (int k = 0; k <= 3; ++k) EXPECT_TRUE(read_bytes(data(saved[k])) == read_bytes(week(k))) << k;
  std::vector<std::string> files;
  ASSERT_EQ(platform::list_files(env_.folder, "*", &files), 0);
  EXPECT_EQ(files, (std::vector<std::string>{kNames[0], kNames[1], kNames[2], "call.db",
                                             "call0105.db", "call0112.db", "call0119.db"}));
}

// A fetched file whose digest on the server differs is deleted unmerged, and fetched again by the
// next run (here with the right digest beside it).
TEST_F(UpdateRun, FetchedFileWithAnotherDigestIsDeleted) {
  write_db("20180105");
  const dbfiles::UsRecord k1b{encode_call("K1B"), "B", "", ""};
  ASSERT_EQ(dbfiles::write_call_db(week(1), "20180112", {k1b}), 0);
  const std::string www = dir_.file("www/db-files/") + kNames[0];
  ASSERT_EQ(make_update(data("call.db"), week(1), www, nullptr), 0);
  testutil::write_bytes(www + kDigestSuffix, digest_line(std::string(64, '0'), kNames[0]));
  testutil::NginxServer nginx;
  const std::string started = nginx.start(dir_.file("www"));
  ASSERT_EQ(started, "") << "scripts/setup installs nginx";
  env_.server = ServerAddress{"127.0.0.1", nginx.port()};
  EXPECT_EQ(run(at(1, 12, 12)), "1 1");
  EXPECT_NE(link_.log().find("0105to0112.db <<----CORRUPT update file deleted"), std::string::npos);
  EXPECT_FALSE(platform::file_exists(data(kNames[0])));
  std::string hex;
  ASSERT_EQ(file_sha256(www, &hex), 0);
  testutil::write_bytes(www + kDigestSuffix, digest_line(hex, kNames[0]));
  EXPECT_EQ(run(at(1, 12, 12)), "1 0");
  EXPECT_TRUE(read_bytes(data("call.db")) == read_bytes(week(1)));
}

// The day counts behind every schedule: a round trip over eight centuries, leap years included.
TEST(Dates, DayCountsRoundTrip) {
  const std::int64_t last = days_since_epoch({2400, 1, 1});
  for (std::int64_t day = days_since_epoch({1601, 1, 1}); day < last; day += 13) {
    const Date d = date_from_days(day);
    ASSERT_TRUE(valid_date(d));
    ASSERT_EQ(days_since_epoch(d), day);
  }
  EXPECT_EQ(days_since_epoch({1970, 1, 1}), 0);
  EXPECT_FALSE(valid_date({2018, 2, 29}));
  EXPECT_TRUE(valid_date({2000, 2, 29}));
  EXPECT_FALSE(valid_date({1900, 2, 29}));
  EXPECT_FALSE(valid_date({2018, 13, 1}));
}

}  // namespace
}  // namespace updater
