#include "updater/doupdate.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
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
#include "updater/merge.h"

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

// Only the ends of the index are read: the entries between them may be anything.
TEST_F(UpdateRun, CompletenessNeeds720000EntriesReachingKQ7X) {
  const struct {
    int count;
    const char* last;
    bool complete;
  } cases[] = {
      {720000, "KQ7X", true},    {719999, "KQ7X", false}, {720000, "KQ7W", false},
      {720000, "KQ7XA", true},   {720000, "W9ZZZ", true}, {720000, "N0A", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.last) + " " + std::to_string(c.count));
    std::string bytes = "20180105" + std::string(4 + 12 * c.count, '\0');
    testutil::put_word(&bytes, 8, 12);
    testutil::put_word(&bytes, 12, encode_call("AAAAA"));
    testutil::put_word(&bytes, bytes.size() - 12, encode_call(c.last));
    testutil::write_bytes(path("call.db"), bytes);
    link_.clear();
    run(at(2018, 1, 6, 9, 0));
    const std::string log = link_.log();
    EXPECT_NE(log.find(std::to_string(c.count) + " entries\r\nFirst entry: AAAAA\r\nLast entry:  " +
                       c.last + "\r\n"),
              std::string::npos)
        << log.substr(0, 200);
    EXPECT_EQ(state_.db_complete, c.complete);
    EXPECT_EQ(log.find("WARNING: database appears incomplete -- cleanup NOT recommended\r\n"
                       "Was expecting over 720000 entries and KQ7X as last\r\n") == std::string::npos,
              c.complete);
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
  EXPECT_EQ(state_.update_rows[1].row_state, kError);
  EXPECT_EQ(state_.update_rows[2].row_state, kDownloaded);
  EXPECT_EQ(testutil::read_bytes(path("call.db")), testutil::read_bytes(weeks_[1]));
}

// A file that fails a check is refused whole, deleted, and fetched again by the next run.
TEST_F(UpdateRun, UnsoundUpdateFileIsDeletedAndFetchedAgain) {
  const std::string name = make_weeks({2018, 1, 5}, 1)[0];
  const std::string good = testutil::read_bytes(publisher_.file(name));
  const std::uint32_t index = testutil::word_at(good, 8);
  const auto changed = [&](std::size_t at, std::uint32_t word) {
    std::string bytes = good;
    testutil::put_word(&bytes, at, word);
    return bytes;
  };
  std::string unsorted = good;
  std::swap_ranges(unsorted.begin() + index, unsorted.begin() + index + 12,
                   unsorted.begin() + index + 12);
  std::string unterminated = good;
  std::fill(unterminated.begin() + 12, unterminated.begin() + index, 'C');
  dbfiles::CallDbWriter big;
  ASSERT_EQ(big.open(path("big.db"), "20180112"), 0);
  for (std::uint32_t k = 0; k <= kMaxUpdateEntries; ++k) ASSERT_EQ(big.add_without_text(k + 1), 0);
  ASSERT_EQ(big.finish(), 0);
  dbfiles::CallDbWriter small;  // two entries, to be cut at every length inside the index
  ASSERT_EQ(small.open(path("small.db"), "20180112"), 0);
  ASSERT_EQ(small.add(encode_call("K1A"), "NAME", "", "CITY", 1, 1, false), 0);
  ASSERT_EQ(small.add_without_text(encode_call("K1B")), 0);
  ASSERT_EQ(small.finish(), 0);
  const std::string two = testutil::read_bytes(path("small.db"));
  const std::string html = "<html><body><h1>Not Found</h1></body></html>\n";
  struct Case {
    std::string bytes;
    std::string reason;
    bool served;  // else at hand
  };
  std::vector<Case> cases = {
      {good.substr(0, 11), "shorter than its 12-byte header", false},
      {html, "its date is not a valid date", true},
      {"20170112" + good.substr(8), "dated 01/12/2017 instead of 01/12/2018", false},
      {changed(8, 4), "its index offset 4 lies outside the file", false},
      {changed(8, good.size() + 1), "its index offset", false},
      {unsorted, "does not sort after the one before", false},
      {changed(index + 12, testutil::word_at(good, index)), "does not sort after", false},
      {changed(index + 4, 3), "lies outside the text area", false},
      {unterminated, "has no end within 256 bytes", false},
      {testutil::read_bytes(path("big.db")), "16385 index entries, more than 16384", false},
  };
  for (std::size_t cut = testutil::word_at(two, 8) + 1; cut < two.size(); ++cut) {
    if (cut % 12 != two.size() % 12) cases.push_back({two.substr(0, cut), "ends inside an entry", false});
  }
  std::remove(path("big.db").c_str());
  std::remove(path("small.db").c_str());
  const auto reply = [](const std::string& body) {
    return testutil::ScriptedServer::Script{testutil::ScriptedServer::send(
        "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body)};
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason + ", " + std::to_string(c.bytes.size()) + " bytes");
    ASSERT_EQ(platform::copy_file(weeks_[0], path("call.db")), 0);
    std::remove(path("call0105.db").c_str());
    std::remove(path(name).c_str());
    using Scripts = std::vector<testutil::ScriptedServer::Script>;
    testutil::ScriptedServer server(c.served ? Scripts{reply(c.bytes), reply(good)}
                                             : Scripts{reply(good)});
    env_.server = ServerAddress{"127.0.0.1", server.port()};
    if (!c.served) testutil::write_bytes(path(name), c.bytes);
    link_.clear();
    run(at(2018, 1, 12, 10, 0));
    EXPECT_EQ(finished(), "1024 1 1");
    const auto boxes = link_.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Update file is CORRUPT, deleting");
    EXPECT_EQ(boxes[0].text.rfind(name + ": ", 0), 0u) << boxes[0].text;
    EXPECT_NE(boxes[0].text.find(c.reason), std::string::npos) << boxes[0].text;
    EXPECT_NE(link_.log().find(name + " <<----CORRUPT update file deleted: "), std::string::npos);
    EXPECT_EQ(link_.row(0, RowCell::status), "ERROR");
    EXPECT_FALSE(platform::file_exists(path(name)));
    EXPECT_EQ(testutil::read_bytes(path("call.db")), testutil::read_bytes(weeks_[0]));

    link_.clear();
    run(at(2018, 1, 12, 10, 0));
    EXPECT_EQ(finished(), "1024 1 0");
    EXPECT_EQ(testutil::read_bytes(path("call.db")), testutil::read_bytes(weeks_[1]));
    EXPECT_EQ(server.requests().size(), c.served ? 2u : 1u);
  }
}

// A full disk fails the merge before anything is replaced.
TEST_F(UpdateRun, FullDiskDuringTheMergeReplacesNothing) {
  at_hand(make_weeks({2018, 1, 5}, 1)[0]);
  platform::testing::fail_writes_after(4000, ENOSPC);
  run(at(2018, 1, 12, 10, 0));
  platform::testing::fail_writes_after(-1, 0);
  EXPECT_EQ(finished(), "1024 1 1");
  const auto boxes = link_.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, "ERROR Writing file");
  EXPECT_EQ(link_.row(0, RowCell::status), "ERROR");
  EXPECT_EQ(testutil::read_bytes(path("call.db")), testutil::read_bytes(weeks_[0]));
  std::vector<std::string> names;
  ASSERT_EQ(platform::list_files(data_.path(), "*", &names), 0);
  EXPECT_EQ(names, (std::vector<std::string>{"0105to0112.db", "call.db"}));
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
  EXPECT_NE(link_.log().find("ERROR " + std::to_string(EISDIR) + " moving call.db to call0105.db\r\n"),
            std::string::npos);
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

  // A missing file is not blamed on the lookup program.
  link_.clear();
  lookup.close();
  ASSERT_EQ(std::remove(path("call.db").c_str()), 0);
  run(at(2018, 1, 12, 10, 0));
  ASSERT_EQ(link_.boxes().size(), 1u);
  EXPECT_EQ(link_.boxes()[0].text,
            "UNABLE TO OPEN database file for modification\rcall.db not found in " +
                data_.path() + ".");
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
