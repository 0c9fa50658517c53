// calldb's data-making commands as their users run them (import-uls, unzip, publish, demo):
// what each adds to its engine, that is its arguments, its output, its exit codes.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "dbfiles/dbwriter.h"
#include "tests/support/run_process.h"
#include "tests/support/zip_tools.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;
using testutil::Outcome;
using testutil::read_bytes;
using testutil::write_bytes;
using Args = std::vector<std::string>;

Outcome calldb(const Args& args, const std::string& cwd = "", bool terminal = false) {
  return testutil::run_process(CALLDB_PATH, args, cwd, terminal);
}

// Every file under `root`, relative to it, sorted; folders end in '/'.
Args files_under(const std::string& root) {
  Args out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    out.push_back(fs::relative(e.path(), root).string() + (e.is_directory() ? "/" : ""));
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Runs each of `failures` (arguments, exit code, text its standard error holds): nothing on
// standard output.
void expect_failures(const std::vector<std::tuple<Args, int, std::string>>& failures) {
  for (const auto& [args, code, text] : failures) {
    const Outcome o = calldb(args);
    EXPECT_EQ(o.code, code) << args.back() << o.err;
    EXPECT_EQ(o.out, "") << args.back();
    EXPECT_NE(o.err.find(text), std::string::npos) << o.err;
  }
}

TEST(CalldbImportTest, PrintsItsReportNotesAndProgressAndExitsByOutcome) {
  testutil::TempDir dir;
  const std::string src = dir.file("src"), data = dir.file("data");
  fs::create_directories(src);
  fs::create_directories(data);
  write_bytes(src + "/HD.dat", "HD|1|||W1AAA|A|HA|01/02/2020" + std::string(51, '|') + "\r\nHD|x\r\n");
  write_bytes(src + "/EN.dat", "EN|1|||W1AAA|L||CLUB||||||||1 MAIN ST|TOWN|OH|45245|||||B||||||\r\n");
  const Outcome run = calldb({"import-uls", "--date", "20251004", src}, data);
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out, "call.db: 1 licences, dated 20251004\ncallprev.db: 0 previous callsigns\n"
                     "cut: 0 records too long for their fields\nskipped: 1 lines\n");
  EXPECT_EQ(run.err, "calldb import-uls: " + src + " HD.dat line 2: 2 fields, 8 needed\n");
  EXPECT_EQ(files_under(data), (Args{"call.db", "callprev.db"}));
  const Outcome shown = calldb({"import-uls", "-C", data, "--date", "20251004", src}, "", true);
  EXPECT_NE(shown.err.find(src + ": records read"), std::string::npos) << shown.err;

  expect_failures({{{"import-uls", "-C", data, "--date", "20250230", src}, 2,
                    "--date must be a calendar date YYYYMMDD, not \"20250230\""},
                   {{"import-uls", "-C", data, src}, 2, "--date"},
                   {{"import-uls", "-C", data, "--date", "20251004"}, 2, "SOURCE"},
                   {{"import-uls", "-C", data, "--date", "20251004", dir.file("no.zip")}, 1,
                    "calldb import-uls: " + dir.file("no.zip") + ": not found\n"},
                   {{"import-uls", "-C", dir.file("none"), "--date", "20251004", src}, 1,
                    "none: not a folder"}});
}

TEST(CalldbUnzipTest, ExtractsTheListFromTheArchiveNamedOrAmateurZip) {
  testutil::TempDir dir;
  write_bytes(dir.file("amateur.txt"), "VE3ABC\r\n");
  fs::create_directories(dir.file("data"));
  ASSERT_EQ(testutil::python_zip(dir.file("data/list.zip"), {{"amateur.txt", 0, dir.file("amateur.txt")}}), 0);
  fs::copy_file(dir.file("data/list.zip"), dir.file("data/amateur.zip"));
  fs::remove(dir.file("amateur.txt"));
  const std::string found = "zlib is present\nall zlib procedures found\n";
  for (const auto& [args, cwd, code, out] : std::vector<std::tuple<Args, std::string, int, std::string>>{
           {{"unzip"}, dir.file("data"), 0, found + "\nFiles in Canadian amateur.zip\n Compressed   "
                                             "Regular  Filename\n00        8         8  amateur.txt\n"},
           {{"unzip", "-C", dir.file("data"), "list.zip"}, "", 0, ""},
           {{"unzip", "-C", dir.path()}, "", 1, found + "amateur.zip <<-- ERROR opening file\n"},
           {{"unzip", "-C", dir.path(), "a.zip", "b.zip"}, "", 2, ""}}) {
    fs::remove(dir.file("data/amateur.txt"));
    const Outcome o = calldb(args, cwd);
    EXPECT_EQ(o.code, code) << o.out << o.err;
    if (!out.empty()) EXPECT_EQ(o.out, out);
    EXPECT_EQ(read_bytes(dir.file("data/amateur.txt")), code == 0 ? "VE3ABC\r\n" : "");
  }
}

void write_snapshot(const std::string& path, const char* date, int first) {
  std::vector<dbfiles::UsRecord> records;
  for (int i = first; i < first + 50; ++i) {
    const std::string call = "KA1A" + std::string{char('A' + i / 26), char('A' + i % 26)};
    records.push_back({dbfiles::encode_call(call.c_str()), "SMITH, JOHN", "1 MAIN ST", "BOSTON",
                       25, 2108, false});
  }
  std::string error;
  ASSERT_EQ(dbfiles::write_call_db(path, date, records, &error), 0) << error;
}

TEST(CalldbPublish, PrintsEachFileAndTheNewestDateAndExitsByOutcome) {
  testutil::TempDir tmp;
  const std::string from = tmp.file("snapshots"), to = tmp.file("server");
  fs::create_directories(from);
  write_snapshot(from + "/call20250103.db", "20250103", 0);
  write_snapshot(from + "/call20250110.db", "20250110", 10);  // 10 gone, 10 new
  write_snapshot(from + "/call20250124.db", "20250124", 12);  // 2 gone, 2 new
  const Outcome o = calldb({"publish", "--from", from, "--to", to});
  ASSERT_EQ(o.code, 0) << o.err;
  EXPECT_EQ(o.out, "db-files/0103to0110.db: 20 changes\ndb-files/0110to0117.db: 4 changes\n"
                   "db-files/0117to0124.db: 0 changes\npublished 3 weekly files up to 20250124\n");
  EXPECT_EQ(o.err, "");
  write_bytes(tmp.file("plain"), "x");
  write_snapshot(tmp.file("odd.db"), "20250111", 0);
  expect_failures({{{"publish", "--from", from}, 2, "--to"},
                   {{"publish", "--from", tmp.file("none"), "--to", to}, 1, "cannot list"},
                   {{"publish", "--from", from, "--to", tmp.file("plain")}, 1, "plain"},
                   {{"publish", "--from", to + "/db-files", "--to", to}, 2, "no snapshot"}});
  fs::rename(tmp.file("odd.db"), from + "/callodd.db");
  expect_failures({{{"publish", "--from", from, "--to", to}, 2, "callodd.db"}});
}

Args small_demo(const std::string& dir) {
  return {"demo", dir, "--seed", "7", "--today", "20250115", "--us", "3000", "--canadian", "900",
          "--previous", "200"};
}

TEST(CalldbDemo, MakesTheDocumentedFoldersAndSaysSo) {
  testutil::TempDir tmp;
  const std::string dir = tmp.file("demo");
  const Outcome o = calldb(small_demo(dir));
  ASSERT_EQ(o.code, 0) << o.err;
  // 2025-01-15 is a Wednesday: the latest Friday is 10 January, D0 four weeks before.
  EXPECT_EQ(o.out, "data folder: " + dir + "/calldb\ncall.db: 3000 licences dated 20241213\n"
                   "callprev.db: 200 previous callsigns\ncancall.db: 900 licences\n"
                   "update server: " + dir + "/server\ndb-files: 4 weekly files up to 20250110\n"
                   "datafiles/amateur.zip: 900 licences\n");
  EXPECT_EQ(o.err, "");  // no progress when standard error is not a terminal
  EXPECT_EQ(files_under(dir),
            (Args{"calldb/", "calldb/call.db", "calldb/callprev.db", "calldb/cancall.db",
                  "calldb/fernwick-help.html", "calldb/orbisk-help.html", "server/",
                  "server/datafiles/", "server/datafiles/amateur.zip", "server/db-files/",
                  "server/db-files/0103to0110.db", "server/db-files/1213to1220.db",
                  "server/db-files/1220to1227.db", "server/db-files/1227to0103.db"}));
  // The help pages beside calldb go into the data folders that demo and sample make.
  ASSERT_EQ(calldb({"sample", tmp.file("sample")}).code, 0);
  for (const char* page : {"orbisk-help.html", "fernwick-help.html"}) {
    const std::string shipped = read_bytes(fs::path(CALLDB_PATH).parent_path() / page);
    EXPECT_NE(shipped.find("<html"), std::string::npos) << page;
    EXPECT_EQ(read_bytes(dir + "/calldb/" + page), shipped) << page;
    EXPECT_EQ(read_bytes(tmp.file("sample/") + page), shipped) << page;
  }
  // On a terminal a progress line is drawn on standard error; standard output stays the same.
  const Outcome shown = calldb(small_demo(tmp.file("show")), "", true);  // as long as "demo"
  std::string want = o.out;
  for (std::size_t at; (at = want.find(dir)) != std::string::npos;) want.replace(at, 4 + tmp.path().size() + 1, tmp.file("show"));
  EXPECT_EQ(shown.out, want);
  EXPECT_NE(shown.err.find("\x1b[K"), std::string::npos) << shown.err;
  EXPECT_EQ(shown.err.back(), '\n');

  expect_failures({{small_demo(dir), 1, "not empty"},
                   {{"demo", tmp.file("x"), "--today", "20250230"}, 2, ""},
                   {{"demo", tmp.file("x"), "--seed", "x"}, 2, "--seed must be a whole number"},
                   {{"demo", tmp.file("x"), "--us", "0"}, 2, ""}, {{"demo"}, 2, ""}});
  EXPECT_FALSE(fs::exists(tmp.file("x")));
}

}  // namespace
