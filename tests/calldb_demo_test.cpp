// calldb publish and calldb demo as their users run them: the real program, its output, its exit
// codes and the folders it leaves.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "dbfiles/dbwriter.h"
#include "dbfiles/usdb.h"
#include "tests/support/run_process.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;
using testutil::Outcome;
using testutil::TempDir;

Outcome run_calldb(const std::vector<std::string>& args, const std::string& cwd = "") {
  return testutil::run_process(CALLDB_PATH, args, cwd);
}

// Every file under `root`, as paths relative to it, sorted.
std::vector<std::string> files_under(const std::string& root) {
  std::vector<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    out.push_back(fs::relative(e.path(), root).string() + (e.is_directory() ? "/" : ""));
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> small_demo(const std::string& dir, const std::string& seed) {
  return {"demo",         dir,        "--seed",     seed, "--today",  "20250115", "--us",
          "3000",         "--canadian", "900",      "--previous", "200"};
}

// ---------------------------------------------------------------------------------------------
// calldb demo

TEST(CalldbDemo, MakesTheDocumentedFoldersAndSaysSo) {
  TempDir tmp;
  const std::string dir = tmp.file("demo");
  const Outcome o = run_calldb(small_demo(dir, "7"));
  ASSERT_EQ(o.code, 0) << o.err;
  // 2025-01-15 is a Wednesday: the latest Friday is 10 January, D0 four weeks before.
  EXPECT_EQ(o.out,
            "data folder: " + dir + "/calldb\n"
            "call.db: 3000 licences dated 20241213\n"
            "callprev.db: 200 previous callsigns\n"
            "cancall.db: 900 licences\n"
            "update server: " + dir + "/server\n"
            "db-files: 4 weekly files up to 20250110\n"
            "datafiles/amateur.zip: 900 licences\n");
  EXPECT_EQ(o.err, "");  // no progress when standard error is not a terminal
  EXPECT_EQ(files_under(dir),
            (std::vector<std::string>{
                "calldb/", "calldb/call.db", "calldb/callprev.db", "calldb/cancall.db",
                "calldb/fernwick-help.html", "calldb/orbisk-help.html", "server/",
                "server/datafiles/", "server/datafiles/amateur.zip", "server/db-files/",
                "server/db-files/0103to0110.db", "server/db-files/1213to1220.db",
                "server/db-files/1220to1227.db", "server/db-files/1227to0103.db"}));

  // The help pages beside calldb go into the data folders that demo and sample make.
  const Outcome sample = run_calldb({"sample", tmp.file("sample")});
  ASSERT_EQ(sample.code, 0) << sample.err;
  for (const char* page : {"orbisk-help.html", "fernwick-help.html"}) {
    const std::string shipped =
        testutil::read_bytes((fs::path(CALLDB_PATH).parent_path() / page).string());
    EXPECT_NE(shipped.find("<html"), std::string::npos) << page;
    EXPECT_EQ(testutil::read_bytes(dir + "/calldb/" + page), shipped) << page;
    EXPECT_EQ(testutil::read_bytes(tmp.file("sample") + "/" + page), shipped) << page;
  }

  // The data folder is one the lookup reads.
  const Outcome info = run_calldb({"info", "-C", dir + "/calldb"});
  EXPECT_EQ(info.code, 0) << info.err;
  EXPECT_NE(info.out.find("Database date 12/13/2024, 3000 entries"), std::string::npos)
      << info.out;
  EXPECT_NE(info.out.find("200 previous calls"), std::string::npos) << info.out;
  dbfiles::UsDatabase db;
  ASSERT_EQ(dbfiles::open_call_db(dir + "/calldb/call.db", &db), 0);
  unsigned char entry[dbfiles::IndexEntry::kSize];
  ASSERT_EQ(db.file.read_at(db.index_offset + 12 * 1234, entry, sizeof entry).count, 12);
  const std::string call = dbfiles::decode_call(dbfiles::IndexEntry::decode(entry).key);
  db.file.close();
  const Outcome found = run_calldb({"lookup", "-C", dir + "/calldb", call, "VE0ZZZ"});
  EXPECT_EQ(found.code, 1);  // VE0ZZZ is not there
  EXPECT_EQ(found.out.find(call + "\n"), 0u) << found.out;

  // amateur.zip is what the updater's unzip and conversion read, giving the same cancall.db.
  const std::string client = tmp.file("client");
  fs::create_directories(client);
  fs::copy_file(dir + "/server/datafiles/amateur.zip", client + "/amateur.zip");
  const Outcome unzip = run_calldb({"unzip", "-C", client});
  ASSERT_EQ(unzip.code, 0) << unzip.out << unzip.err;
  const Outcome convert = run_calldb({"convert-canada", "-C", client});
  ASSERT_EQ(convert.code, 0) << convert.out << convert.err;
  EXPECT_NE(convert.out.find("900 calls in database"), std::string::npos) << convert.out;
  EXPECT_EQ(testutil::read_bytes(client + "/cancall.db"),
            testutil::read_bytes(dir + "/calldb/cancall.db"));

  // The weekly files bring call.db up to the newest week through an ordinary update run
  // (the files are already in the folder, so nothing is fetched).
  for (const auto& e : fs::directory_iterator(dir + "/server/db-files")) {
    fs::copy_file(e.path(), client / e.path().filename());
  }
  fs::copy_file(dir + "/calldb/call.db", client + "/call.db");
  const Outcome update =
      run_calldb({"update", "-C", client, "--server", "127.0.0.1:9", "--now", "2025-01-15T12:00"});
  EXPECT_EQ(update.code, 0) << update.out << update.err;
  EXPECT_NE(update.out.find("UM_UPDATE_DONE 4 0"), std::string::npos) << update.out;
  EXPECT_EQ(testutil::read_bytes(client + "/call.db").substr(0, 8), "20250110");
}

// On a terminal the long commands draw a progress line on standard error, rewritten in place
// and ended; standard output stays the same as without a terminal.
TEST(CalldbDemo, ProgressShowsOnATerminalAndLeavesTheOutputAlone) {
  TempDir tmp;
  const Outcome quiet = run_calldb(small_demo(tmp.file("quiet"), "7"));
  const Outcome shown =
      testutil::run_process(CALLDB_PATH, small_demo(tmp.file("shown"), "7"), "", true);
  ASSERT_EQ(shown.code, 0) << shown.err;
  std::string expected = quiet.out;
  for (std::size_t at = 0; (at = expected.find(tmp.file("quiet"), at)) != std::string::npos;) {
    expected.replace(at, tmp.file("quiet").size(), tmp.file("shown"));
  }
  EXPECT_EQ(shown.out, expected);
  EXPECT_NE(shown.err.find("\x1b[K"), std::string::npos) << shown.err;
  EXPECT_NE(shown.err.find("weekly files"), std::string::npos) << shown.err;
  EXPECT_EQ(shown.err.back(), '\n');  // the last line is ended

  const std::string fcc = std::string(ORBISK_SHARED_DATA) + "/fcc/daily_zips/l_am_tue.zip";
  fs::create_directory(tmp.file("fcc"));
  const Outcome imported = testutil::run_process(
      CALLDB_PATH, {"import-uls", "-C", tmp.file("fcc"), "--date", "20250930", fcc}, "", true);
  ASSERT_EQ(imported.code, 0) << imported.err;
  EXPECT_NE(imported.err.find("records read"), std::string::npos) << imported.err;
  EXPECT_EQ(imported.out.substr(0, 9), "call.db: ");
}

TEST(CalldbDemo, SameSeedSameBytesOtherSeedOtherData) {
  TempDir tmp;
  ASSERT_EQ(run_calldb(small_demo(tmp.file("a"), "11")).code, 0);
  ASSERT_EQ(run_calldb(small_demo(tmp.file("b"), "11")).code, 0);
  ASSERT_EQ(run_calldb(small_demo(tmp.file("c"), "12")).code, 0);
  const std::vector<std::string> files = files_under(tmp.file("a"));
  ASSERT_EQ(files, files_under(tmp.file("b")));
  for (const std::string& f : files) {
    if (f.back() == '/' || f.ends_with(".html")) continue;  // folders, the shipped help pages
    SCOPED_TRACE(f);
    const std::string a = testutil::read_bytes(tmp.file("a/" + f));
    EXPECT_EQ(a, testutil::read_bytes(tmp.file("b/" + f)));
    EXPECT_NE(a, testutil::read_bytes(tmp.file("c/" + f)));
  }
}

TEST(CalldbDemo, NeverWritesIntoAFolderThatHoldsSomething) {
  TempDir tmp;
  const std::string dir = tmp.file("demo");
  fs::create_directories(dir);
  testutil::write_bytes(dir + "/notes.txt", "mine");
  const Outcome o = run_calldb(small_demo(dir, "1"));
  EXPECT_EQ(o.code, 1);
  EXPECT_EQ(o.out, "");
  EXPECT_NE(o.err.find("not empty"), std::string::npos) << o.err;
  EXPECT_EQ(files_under(dir), std::vector<std::string>{"notes.txt"});

  // An empty folder is fine.
  const std::string empty = tmp.file("empty");
  fs::create_directories(empty);
  EXPECT_EQ(run_calldb(small_demo(empty, "1")).code, 0);
  // A file in its place is refused.
  testutil::write_bytes(tmp.file("file"), "x");
  EXPECT_EQ(run_calldb(small_demo(tmp.file("file"), "1")).code, 1);
  EXPECT_EQ(testutil::read_bytes(tmp.file("file")), "x");
}

TEST(CalldbDemo, BadUsageExitsTwoWritingNothing) {
  TempDir tmp;
  const std::string dir = tmp.file("demo");
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"demo", dir, "--today", "20250230"},
           {"demo", dir, "--today", "2025-01-15"},
           {"demo", dir, "--seed", "x"},
           {"demo", dir, "--us", "0"},
           {"demo"},
       }) {
    SCOPED_TRACE(args.back());
    const Outcome o = run_calldb(args);
    EXPECT_EQ(o.code, 2) << o.err;
    EXPECT_EQ(o.out, "");
    EXPECT_FALSE(fs::exists(dir));
  }
}

// ---------------------------------------------------------------------------------------------
// calldb publish

void write_snapshot(const std::string& path, const char* date, int first, int count) {
  std::vector<dbfiles::UsRecord> records;
  for (int i = first; i < first + count; ++i) {
    char call[8];
    std::snprintf(call, sizeof call, "KA1%c%c%c", 'A' + i / 676 % 26, 'A' + i / 26 % 26,
                  'A' + i % 26);
    records.push_back(dbfiles::UsRecord{dbfiles::encode_call(call), "SMITH, JOHN", "1 MAIN ST",
                                        "BOSTON", 25, 2108, false});
  }
  std::string error;
  ASSERT_EQ(dbfiles::write_call_db(path, date, records, &error), 0) << error;
}

TEST(CalldbPublish, PrintsEachFileAndTheNewestDate) {
  TempDir tmp;
  const std::string from = tmp.file("snapshots");
  fs::create_directories(from);
  write_snapshot(from + "/call20250103.db", "20250103", 0, 50);
  write_snapshot(from + "/call20250110.db", "20250110", 10, 50);   // 10 gone, 10 new
  write_snapshot(from + "/call20250124.db", "20250124", 12, 50);   // 2 gone, 2 new
  write_snapshot(from + "/callprev.db", "20250103", 0, 1);         // not a snapshot
  const Outcome o = run_calldb({"publish", "--from", from, "--to", tmp.file("server")});
  ASSERT_EQ(o.code, 0) << o.err;
  EXPECT_EQ(o.out,
            "db-files/0103to0110.db: 20 changes\n"
            "db-files/0110to0117.db: 4 changes\n"
            "db-files/0117to0124.db: 0 changes\n"
            "published 3 weekly files up to 20250124\n");
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(files_under(tmp.file("server")),
            (std::vector<std::string>{"db-files/", "db-files/0103to0110.db",
                                      "db-files/0110to0117.db", "db-files/0117to0124.db"}));
  // Publishing again replaces the files with the same ones.
  const Outcome again = run_calldb({"publish", "--from", from, "--to", tmp.file("server")});
  EXPECT_EQ(again.code, 0);
  EXPECT_EQ(again.out, o.out);
}

TEST(CalldbPublish, BadSnapshotsExitTwoAndUnwritableFilesOne) {
  TempDir tmp;
  const std::string from = tmp.file("snapshots");
  fs::create_directories(from);
  // No snapshot at all.
  Outcome o = run_calldb({"publish", "--from", from, "--to", tmp.file("server")});
  EXPECT_EQ(o.code, 2);
  EXPECT_NE(o.err.find("no snapshot"), std::string::npos) << o.err;

  write_snapshot(from + "/call20250103.db", "20250103", 0, 50);
  write_snapshot(from + "/callodd.db", "20250111", 0, 40);
  o = run_calldb({"publish", "--from", from, "--to", tmp.file("server")});
  EXPECT_EQ(o.code, 2);
  EXPECT_EQ(o.out, "");
  EXPECT_NE(o.err.find("callodd.db"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("weeks"), std::string::npos) << o.err;
  fs::remove(from + "/callodd.db");

  testutil::write_bytes(from + "/callbad.db", "20250110 not a database");
  o = run_calldb({"publish", "--from", from, "--to", tmp.file("server")});
  EXPECT_EQ(o.code, 2);
  EXPECT_NE(o.err.find("callbad.db"), std::string::npos) << o.err;
  fs::remove(from + "/callbad.db");

  // A missing folder cannot be read; a server folder that is a file cannot be written.
  EXPECT_EQ(run_calldb({"publish", "--from", tmp.file("none"), "--to", tmp.file("s")}).code, 1);
  write_snapshot(from + "/call20250110.db", "20250110", 5, 50);
  testutil::write_bytes(tmp.file("plain"), "x");
  o = run_calldb({"publish", "--from", from, "--to", tmp.file("plain")});
  EXPECT_EQ(o.code, 1) << o.out;
  EXPECT_EQ(run_calldb({"publish", "--from", from}).code, 2);
}

}  // namespace
