#include "updater/doupdate.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "dbfiles/dbwriter.h"
#include "dbfiles/usdb.h"
#include "tests/support/recording_link.h"
#include "tests/support/scripted_server.h"
#include "tests/test_util.h"
#include "updater/make_update.h"

namespace updater {
namespace {

using dbfiles::encode_call;
using dbfiles::UsRecord;
using testutil::TempDir;

platform::LocalTime at(int year, int month, int day, int hour, int minute) {
  platform::LocalTime t;
  t.year = year;
  t.month = month;
  t.day = day;
  t.hour = hour;
  t.minute = minute;
  return t;
}

std::string yyyymmdd(const Date& d) {
  char text[16];
  std::snprintf(text, sizeof text, "%04d%02d%02d", d.year, d.month, d.day);
  return text;
}

std::string update_name(const Date& from, const Date& to) {
  char text[32];
  std::snprintf(text, sizeof text, "%02d%02dto%02d%02d.db", from.month, from.day, to.month, to.day);
  return text;
}

class UpdateRun : public testing::Test {
 protected:
  void SetUp() override {
    env_.link = &link_;
    env_.state = &state_;
    env_.folder = data_.path();
    env_.server = ServerAddress{"127.0.0.1", 1};  // nothing listens there
  }

  void run(const platform::LocalTime& now) {
    env_.now = [now] { return now; };
    doupdate(env_);
  }

  std::string path(const std::string& name) const { return data_.file(name); }

  // Writes call.db dated `start` and, in the publisher's folder, one database per week after
  // it; returns the update files' names, oldest first. Week k's database is weeks_[k].
  std::vector<std::string> make_weeks(const Date& start, int weeks, int records = 200) {
    std::mt19937 rng(static_cast<unsigned>(days_since_epoch(start)));
    std::map<std::uint32_t, UsRecord> db;
    while (static_cast<int>(db.size()) < records) {
      const std::uint32_t key = encode_call(testutil::random_us_call(rng).c_str());
      db[key] = UsRecord{key, testutil::random_text(rng, 30), "1 MAIN ST", "TOWN", 9, 501, false};
    }
    std::vector<std::string> names;
    std::int64_t day = days_since_epoch(start);
    write(publisher_.file("week0.db"), yyyymmdd(start), db);
    EXPECT_EQ(platform::copy_file(publisher_.file("week0.db"), path("call.db")), 0);
    weeks_.assign(1, publisher_.file("week0.db"));
    for (int k = 1; k <= weeks; ++k) {
      for (int i = 0; i < 20; ++i) {
        const std::uint32_t key = encode_call(testutil::random_us_call(rng).c_str());
        if (db.count(key) != 0 && i % 3 == 0) {
          db.erase(key);
        } else {
          db[key] = UsRecord{key, "WEEK " + std::to_string(k), "", "CITY", 1, 1, false};
        }
      }
      const Date from = date_from_days(day);
      const Date to = date_from_days(day + 7);
      day += 7;
      const std::string week_db = publisher_.file("week" + std::to_string(k) + ".db");
      write(week_db, yyyymmdd(to), db);
      const std::string name = update_name(from, to);
      std::string error;
      EXPECT_EQ(make_update(weeks_.back(), week_db, publisher_.file(name), &error), 0) << error;
      weeks_.push_back(week_db);
      names.push_back(name);
    }
    return names;
  }

  void write(const std::string& file, const std::string& date,
             const std::map<std::uint32_t, UsRecord>& db) {
    std::vector<UsRecord> list;
    for (const auto& [key, r] : db) list.push_back(r);
    ASSERT_EQ(dbfiles::write_call_db(file, date, list), 0);
  }

  // Puts the publisher's update file into the data folder, as if it had been fetched before.
  void at_hand(const std::string& name) {
    ASSERT_EQ(platform::copy_file(publisher_.file(name), path(name)), 0);
  }

  std::string finished() const {
    const auto f = link_.finished_messages();
    if (f.size() != 1) return "finished " + std::to_string(f.size()) + " times";
    return std::to_string(f[0].message) + " " + std::to_string(f[0].wparam) + " " +
           std::to_string(f[0].lparam);
  }

  TempDir data_;
  TempDir publisher_;
  std::vector<std::string> weeks_;
  testutil::RecordingLink link_;
  UpdaterState state_;
  WorkerEnv env_;
};

// ---------------------------------------------------------------------------------------------
// The schedule

TEST_F(UpdateRun, OneWeekDueIsMergedAndTheOldDatabaseKept) {
  const auto names = make_weeks({2018, 1, 5}, 1);
  ASSERT_EQ(names[0], "0105to0112.db");
  at_hand(names[0]);
  const std::string before = testutil::read_bytes(path("call.db"));

  run(at(2018, 1, 12, 10, 0));
  EXPECT_EQ(finished(), "1024 1 0");
  EXPECT_EQ(testutil::read_bytes(path("call.db")), testutil::read_bytes(weeks_[1]));
  EXPECT_EQ(testutil::read_bytes(path("call0105.db")), before);
  EXPECT_FALSE(platform::file_exists(path("call.db.new")));
  EXPECT_EQ(state_.rows_in_use, 1);
  EXPECT_EQ(state_.update_rows[0].row_state, kDone);
  EXPECT_EQ(link_.row(0, RowCell::name), "0105to0112.db");
  EXPECT_EQ(link_.row(0, RowCell::status), "done");
  const std::string log = link_.log();
  EXPECT_EQ(log.rfind("01/05/2018 <<---current database date\r\n200 entries\r\nFirst entry: ", 0), 0u)
      << log;
  EXPECT_NE(log.find("\r\nWARNING: database appears incomplete -- cleanup NOT recommended\r\n"
                     "Was expecting over 720000 entries and KQ7X as last\r\n\r\n"
                     "0105to0112.db\r\n1 updates\r\n01/12/2018\r\n"
                     "call0105.db <<--saved old call.db file\r\n"),
            std::string::npos)
      << log;
}

TEST_F(UpdateRun, FromTenAtNightTomorrowCounts) {
  make_weeks({2018, 1, 5}, 1);
  run(at(2018, 1, 11, 21, 59));
  EXPECT_EQ(finished(), "1024 0 -1");
  EXPECT_EQ(state_.rows_in_use, 0);
  EXPECT_NE(link_.log().find("0 updates\r\nNext update will be 1/12/2018\r\n"), std::string::npos);

  link_.clear();
  at_hand("0105to0112.db");
  run(at(2018, 1, 11, 22, 30));
  EXPECT_EQ(finished(), "1024 1 0");
  EXPECT_EQ(state_.update_rows[0].name, std::string("0105to0112.db"));
}

TEST_F(UpdateRun, WeekOverTheYearBoundary) {
  const auto names = make_weeks({2017, 12, 29}, 1);
  ASSERT_EQ(names[0], "1229to0105.db");
  at_hand(names[0]);
  run(at(2018, 1, 5, 12, 0));
  EXPECT_EQ(finished(), "1024 1 0");
  EXPECT_TRUE(platform::file_exists(path("call1229.db")));
}

TEST_F(UpdateRun, AtMostEightWeeksAtATime) {
  const auto names = make_weeks({2018, 1, 5}, 10);
  for (const auto& name : names) at_hand(name);
  run(at(2018, 3, 16, 9, 0));  // ten weeks after 01/05
  EXPECT_EQ(finished(), "1024 8 0");
  EXPECT_EQ(state_.rows_in_use, 8);
  EXPECT_EQ(state_.update_rows[7].name, std::string("0223to0302.db"));
  EXPECT_EQ(testutil::read_bytes(path("call.db")), testutil::read_bytes(weeks_[8]));

  link_.clear();
  run(at(2018, 3, 16, 9, 0));
  EXPECT_EQ(finished(), "1024 2 0");
  EXPECT_EQ(state_.update_rows[0].name, std::string("0302to0309.db"));
  EXPECT_EQ(state_.update_rows[1].name, std::string("0309to0316.db"));
  EXPECT_EQ(testutil::read_bytes(path("call.db")), testutil::read_bytes(weeks_[10]));
  EXPECT_TRUE(platform::file_exists(path("call0309.db")));
}

TEST_F(UpdateRun, CompletenessNeeds720000EntriesEndingInKQ7X) {
  for (int count : {719999, 720000}) {
    std::vector<UsRecord> db;
    // 719,998 or 719,999 filler calls below KQ7X, then KQ7X itself.
    for (int i = 0; static_cast<int>(db.size()) < count - 1; ++i) {
      char call[8];
      if (i < 26 * 17576) {
        std::snprintf(call, sizeof call, "A%c%c%c%c", 'A' + i / 17576 % 26, 'A' + i / 676 % 26,
                      'A' + i / 26 % 26, 'A' + i % 26);
      } else {
        const int j = i - 26 * 17576;  // KA0AAA and on, all below KQ7X
        std::snprintf(call, sizeof call, "K%c%d%c%c%c", 'A' + j / 175760, j / 17576 % 10,
                      'A' + j / 676 % 26, 'A' + j / 26 % 26, 'A' + j % 26);
      }
      db.push_back(UsRecord{encode_call(call), "", "", "", 0, 0, false});
    }
    std::sort(db.begin(), db.end(), [](const UsRecord& a, const UsRecord& b) { return a.key < b.key; });
    db.push_back(UsRecord{encode_call("KQ7X"), "", "", "", 0, 0, false});
    ASSERT_EQ(dbfiles::write_call_db(path("call.db"), "20180105", db), 0);
    link_.clear();
    run(at(2018, 1, 6, 9, 0));
    const std::string log = link_.log();
    EXPECT_NE(log.find(std::to_string(count) + " entries\r\nFirst entry: AAAAA\r\nLast entry:  KQ7X\r\n"),
              std::string::npos)
        << log.substr(0, 200);
    EXPECT_EQ(state_.db_complete, count == 720000);
    EXPECT_EQ(log.find("WARNING") == std::string::npos, count == 720000);
  }
}

// ---------------------------------------------------------------------------------------------
// Fetching, and where a run stops

TEST_F(UpdateRun, FetchedFilesAreMergedAndAFailedFetchStopsTheRest) {
  const auto names = make_weeks({2018, 1, 5}, 3);
  const std::string body = testutil::read_bytes(publisher_.file(names[0]));
  testutil::ScriptedServer server(
      {{testutil::ScriptedServer::send("HTTP/1.1 200 OK\r\nContent-Length: " +
                                       std::to_string(body.size()) + "\r\n\r\n" + body)},
       {testutil::ScriptedServer::send("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n")}});
  env_.server = ServerAddress{"127.0.0.1", server.port()};
  at_hand(names[2]);

  run(at(2018, 1, 26, 12, 0));
  EXPECT_EQ(finished(), "1024 3 1");
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].rfind("GET /db-files/0105to0112.db HTTP/1.1\r\n", 0), 0u);
  EXPECT_EQ(requests[1].rfind("GET /db-files/0112to0119.db HTTP/1.1\r\n", 0), 0u);
  EXPECT_EQ(state_.update_rows[0].row_state, kDone);
  EXPECT_EQ(state_.update_rows[1].row_state, kNotAvail);
  EXPECT_EQ(link_.row(1, RowCell::status), "Not avail");
  // The third week builds on the second: it waits, downloaded, for the next run.
  EXPECT_EQ(state_.update_rows[2].row_state, kDownloaded);
  EXPECT_EQ(testutil::read_bytes(path("call.db")), testutil::read_bytes(weeks_[1]));
  EXPECT_TRUE(platform::file_exists(path(names[2])));
  EXPECT_NE(link_.log().find("0105to0112.db <<--downloading\r\n"), std::string::npos);
}

TEST_F(UpdateRun, FailedMergeStopsTheRunAndCountsAsAnError) {
  const auto names = make_weeks({2018, 1, 5}, 3);
  for (const auto& name : names) at_hand(name);
  testutil::write_bytes(path(names[1]), "short");
  run(at(2018, 1, 26, 12, 0));
  EXPECT_EQ(finished(), "1024 3 1");
  const auto boxes = link_.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, "Update file is CORRUPT, deleting");
  EXPECT_EQ(state_.update_rows[1].row_state, kDone);
  EXPECT_EQ(state_.update_rows[2].row_state, kDownloaded);
  EXPECT_EQ(testutil::read_bytes(path("call.db")), testutil::read_bytes(weeks_[1]));
}

TEST_F(UpdateRun, SavedDatabaseOfAnEarlierYearIsReplaced) {
  const auto names = make_weeks({2018, 1, 5}, 1);
  at_hand(names[0]);
  testutil::write_bytes(path("call0105.db"), "a database of 01/05 a year before");
  const std::string before = testutil::read_bytes(path("call.db"));
  run(at(2018, 1, 12, 10, 0));
  EXPECT_EQ(finished(), "1024 1 0");
  EXPECT_EQ(testutil::read_bytes(path("call0105.db")), before);
}

TEST_F(UpdateRun, FailedRenameEndsTheRun) {
  const auto names = make_weeks({2018, 1, 5}, 2);
  for (const auto& name : names) at_hand(name);
  // A folder that cannot be deleted stands where the saved database goes.
  ASSERT_EQ(mkdir(path("call0105.db").c_str(), 0755), 0);
  testutil::write_bytes(path("call0105.db/keep"), "x");
  run(at(2018, 1, 19, 10, 0));
  EXPECT_EQ(finished(), "1024 2 1");
  EXPECT_NE(link_.log().find("ERROR 17 moving call.db to call0105.db\r\n"), std::string::npos);
  EXPECT_EQ(state_.update_rows[0].row_state, kError);
  EXPECT_EQ(link_.row(0, RowCell::status), "ERROR");
  EXPECT_EQ(testutil::read_bytes(path("call.db")), testutil::read_bytes(weeks_[0]));
}

// ---------------------------------------------------------------------------------------------
// A database that cannot be used

TEST_F(UpdateRun, DatabaseHeldByTheLookupProgram) {
  make_weeks({2018, 1, 5}, 1);
  platform::File lookup;
  ASSERT_EQ(lookup.open(path("call.db"), platform::Access::read, platform::Share::read_write,
                        platform::Disposition::open_existing),
            0);
  run(at(2018, 1, 12, 10, 0));
  EXPECT_EQ(finished(), "1024 0 -1");
  const auto boxes = link_.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, "call.db");
  EXPECT_EQ(boxes[0].text,
            "UNABLE TO OPEN database file for modification\rMake sure the orbisk pgm is not "
            "running.\rAnd make sure the fernwick pgm is in the same folder as the database file.");
}

TEST_F(UpdateRun, DatabaseWithoutEntriesCannotBeRead) {
  ASSERT_EQ(dbfiles::write_call_db(path("call.db"), "20180105", {}), 0);
  run(at(2018, 1, 12, 10, 0));
  EXPECT_EQ(finished(), "1024 0 -1");
  const auto boxes = link_.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "ERROR reading database file.");
}

TEST_F(UpdateRun, DatabaseDateThatIsNoDate) {
  ASSERT_EQ(dbfiles::write_call_db(path("call.db"), "20180230",
                                   {UsRecord{encode_call("K1A"), "", "", "", 0, 0, false}}),
            0);
  run(at(2018, 3, 12, 10, 0));
  EXPECT_EQ(finished(), "1024 0 -1");
  EXPECT_NE(link_.log().find("ERROR: database date 20180230 is not a valid date; no update can be "
                             "scheduled\r\n"),
            std::string::npos);
  EXPECT_EQ(state_.rows_in_use, 0);
}

TEST(Dates, DayCountsRoundTrip) {
  for (std::int64_t day = days_since_epoch({1601, 1, 1}); day < days_since_epoch({2400, 1, 1}); day += 13) {
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
