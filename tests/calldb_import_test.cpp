// calldb import-uls as its users run it: the real program on the FCC's published daily
// archives, then calldb lookup on what it wrote; usage errors and failed runs.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/run_process.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;
using testutil::Outcome;
using testutil::read_bytes;
using testutil::write_bytes;

const std::string kZips = std::string(ORBISK_SHARED_DATA) + "/fcc/daily_zips/";

Outcome calldb(const std::vector<std::string>& args, const std::string& cwd = "") {
  return testutil::run_process(CALLDB_PATH, args, cwd);
}

class CalldbImportTest : public ::testing::Test {
 protected:
  CalldbImportTest() { fs::create_directory(data_); }

  testutil::TempDir dir_;
  const std::string data_ = dir_.file("data");
};

TEST_F(CalldbImportTest, ImportsTheDailyWeekAndLooksItsLicencesUp) {
  std::vector<std::string> args = {"import-uls", "-C", data_, "--date", "20251004"};
  for (const char* day : {"mon", "tue", "wed", "thu", "fri", "sat"}) {
    args.push_back(kZips + "l_am_" + day + ".zip");
  }
  const Outcome imported = calldb(args);
  EXPECT_EQ(imported.code, 0) << imported.err;
  EXPECT_EQ(imported.out,
            "call.db: 1774 licences, dated 20251004\n"
            "callprev.db: 471 previous callsigns\n"
            "cut: 0 records too long for their fields\n"
            "skipped: 0 lines\n");
  EXPECT_EQ(imported.err, "");  // not a terminal: no progress line

  const Outcome found = calldb({"lookup", "-C", data_, "aa5xc", "W8ZMB", "KI5NS", "KN7J"});
  EXPECT_EQ(found.code, 1);  // KN7J was cancelled on Thursday
  EXPECT_EQ(found.out,
            "AA5XC\nSELFRIDGE, NELLWYN A\n806 W FOREST DR\nKUSTANG OK 73064\n\n"
            "W8ZMB\nROBINSON, CHARLES A\n1565 FAIRVIEW AVENUE\nFRUITLAND ID 83619\n\n"
            "KI5NS NOW AA5XQ\n\n"
            "KN7J NOT FOUND\n\n");

  const Outcome info = calldb({"info", "-C", data_});
  EXPECT_EQ(info.code, 0);
  EXPECT_NE(info.out.find("Database date 10/04/2025, 1774 entries"), std::string::npos)
      << info.out;

  // The current folder is the default; the Tuesday alone.
  const Outcome tuesday =
      calldb({"import-uls", "--date", "20250930", kZips + "l_am_tue.zip"}, data_);
  EXPECT_EQ(tuesday.code, 0) << tuesday.err;
  EXPECT_EQ(tuesday.out.substr(0, tuesday.out.find('\n')), "call.db: 496 licences, dated 20250930");
}

TEST_F(CalldbImportTest, ReportsLeftOutLinesOnStandardError) {
  const std::string src = dir_.file("src");
  fs::create_directory(src);
  std::string hd = "HD|1|||W1AAA|A|HA|01/02/2020";
  hd += std::string(51, '|') + "\r\nHD|oops\r\n";
  write_bytes(src + "/HD.dat", hd);
  std::string en = "EN|1|||W1AAA|L||CLUB||||||||1 MAIN ST|TOWN|OH|45245|||||B";
  write_bytes(src + "/EN.dat", en + "||||||\r\n");
  const Outcome run = calldb({"import-uls", "-C", data_, "--date", "20251004", src});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out,
            "call.db: 1 licences, dated 20251004\n"
            "callprev.db: 0 previous callsigns\n"
            "cut: 0 records too long for their fields\n"
            "skipped: 1 lines\n");
  EXPECT_EQ(run.err, "calldb import-uls: " + src + " HD.dat line 2: 2 fields, 8 needed\n");
}

TEST_F(CalldbImportTest, UsageErrorsAndFailedRunsReplaceNothing) {
  const std::string call_db = data_ + "/call.db";
  write_bytes(call_db, "old database");
  const std::string day = kZips + "l_am_mon.zip";

  for (const char* date : {"20250230", "2025-10-04", "20251304", ""}) {
    const Outcome bad = calldb({"import-uls", "-C", data_, "--date", date, day});
    EXPECT_EQ(bad.code, 2) << date;
    EXPECT_EQ(bad.out, "");
    EXPECT_NE(bad.err.find("--date must be a calendar date YYYYMMDD"), std::string::npos)
        << bad.err;
  }
  EXPECT_EQ(calldb({"import-uls", "-C", data_, day}).code, 2);                    // no --date
  EXPECT_EQ(calldb({"import-uls", "-C", data_, "--date", "20251004"}).code, 2);  // no source

  const Outcome missing =
      calldb({"import-uls", "-C", data_, "--date", "20251004", day, dir_.file("nowhere.zip")});
  EXPECT_EQ(missing.code, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err, "calldb import-uls: " + dir_.file("nowhere.zip") + ": not found\n");

  // An empty day alone gives no licence: the old database stays.
  const Outcome empty =
      calldb({"import-uls", "-C", data_, "--date", "20251004", kZips + "l_am_sun.zip"});
  EXPECT_EQ(empty.code, 1);
  EXPECT_NE(empty.err.find("no active licence"), std::string::npos) << empty.err;

  // An output folder that does not exist.
  const Outcome unwritable = calldb(
      {"import-uls", "-C", dir_.file("no/such/folder"), "--date", "20251004", day});
  EXPECT_EQ(unwritable.code, 1);
  EXPECT_NE(unwritable.err.find("no/such/folder: not a folder"), std::string::npos) << unwritable.err;

  EXPECT_EQ(read_bytes(call_db), "old database");
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(data_)) ++files;
  EXPECT_EQ(files, 1u);

  const Outcome help = calldb({"import-uls", "--help"});
  EXPECT_EQ(help.code, 0);
  for (const char* line : {"call.db: N licences, dated YYYYMMDD", "callprev.db: M previous callsigns",
                           "cut: K records too long for their fields", "skipped: S lines"}) {
    EXPECT_NE(help.out.find(line), std::string::npos) << line;
  }
}

}  // namespace
