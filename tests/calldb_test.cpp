// What the calldb commands add to the engines: arguments, output and exit codes. What the engines
// do is their own tests' business, and so are the runs against real servers.

#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "dbfiles/dbwriter.h"
#include "tests/support/run_process.h"
#include "tests/test_util.h"
#include "demo/demo_data.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using testutil::read_bytes;
using testutil::write_bytes;

testutil::Outcome calldb(const std::vector<std::string>& args, const std::string& cwd = "") {
  return testutil::run_process(CALLDB_PATH, args, cwd);
}

struct Case {
  std::vector<std::string> args;
  std::string out, err;  // exact, or "*" (any text but none), "...TAIL" or "HEAD..."
  int code;
};

bool matches(const std::string& text, const std::string& want) {
  if (want == "*") return !text.empty();
  if (want.starts_with("...")) return text.ends_with(want.substr(3));
  if (want.ends_with("...")) return text.starts_with(want.substr(0, want.size() - 3));
  return text == want;
}

// Runs the cases in turn in folder `cwd`, which the settings file names as the data folder
// (when it is not ""), {D} in their texts standing for `d`.
void expect_cases(const std::vector<Case>& cases, const std::string& d, const std::string& cwd) {
  const auto with = [&](const std::string& text) {
    return std::regex_replace(text, std::regex("\\{D\\}"), d);
  };
  const testutil::TempDir config;
  fs::create_directory(config.file("vantry"));
  write_bytes(config.file("vantry/calldb.conf"), "data-folder=" + cwd + "\n");
  if (!cwd.empty()) setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
  for (const Case& c : cases) {
    std::vector<std::string> args;
    std::string shown = "calldb";
    for (const std::string& a : c.args) args.push_back(with(a)), shown += " " + a.substr(0, 40);
    SCOPED_TRACE(shown);
    const auto r = calldb(args, cwd);
    EXPECT_TRUE(matches(r.out, with(c.out))) << r.out;
    EXPECT_TRUE(matches(r.err, with(c.err))) << r.err;
    EXPECT_EQ(r.code, c.code);
  }
  unsetenv("XDG_CONFIG_HOME");
}

// calldb sample's folder as {D}/full, and copies of it: "nocall" without call.db, "short" with a
// call.db cut inside its header, "badtext" with AA1AB's text offset past the file's end.
class CalldbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    made_ = calldb({"sample", dir("full")});
    for (const char* name : {"nocall", "short", "badtext"}) fs::copy(dir("full"), dir(name));
    fs::remove(dir("nocall/call.db"));
    std::string db = read_bytes(dir("full/call.db"));
    write_bytes(dir("short/call.db"), db.substr(0, 11));
    const std::size_t first = testutil::word_at(db, 8);  // AA1AB's index entry
    testutil::put_word(&db, first + 4, (testutil::word_at(db, first + 4) & 0xFC000000u) |
                                           static_cast<std::uint32_t>(db.size() + 100));
    write_bytes(dir("badtext/call.db"), db);
  }
  std::string dir(const std::string& name) const { return scratch_.file(name); }
  testutil::TempDir scratch_;
  testutil::Outcome made_;
};

TEST_F(CalldbTest, LookupAndInfoPrintTheirLinesAndExitByWhatTheyFound) {
  const std::string w4x = "W4X\nPEAVEY, ROSALIND T\n71 TOBACCO BARN LN\nDURHAM NC 27701\n\n";
  const std::string canada = "Canadian data 11/27/2026,       6 entries\n";
  const std::string unusable = "ERROR Reading Database: call.db";
  expect_cases(
      {// Typed text is upper-cased and cut to the callsign box's 255 characters; results come
       // in the order asked; a callsign not found (a former one too) makes it exit 1.
       {{"lookup", "-C", "{D}/full", "aa1ab", "ve3xkt", "W4X"},
        "AA1AB\nOSTERHOUT, MARGARET L\n12 BIRCHWOOD DR\nBANGOR ME 04401\n\n"
        "VE3XKT\nELOISE R MARCHBANK\n88 BYTOWN CRES\nOTTAWA, ON  K2P 1A4\n\n" + w4x, "", 0},
       {{"lookup", "KB1QRS", "W4X"}, "KB1QRS NOW AA1AB\n\n" + w4x, "", 1},
       {{"lookup", "kz9zz", "w" + std::string(299, 'q')},
        "KZ9ZZ NOT FOUND\n\nW" + std::string(254, 'Q') + " NOT FOUND\n\n", "", 1},
       {{"info"}, canada + "Database date 11/29/2026, 15 entries\n"
                           "4 previous calls in callprev.db, dated 11/29/2026\n", "", 0},
       // call.db that cannot be used: nothing is looked up, exit 2.
       {{"info", "-C", "{D}/nocall"}, canada, unusable + " (error 2)\n", 2},
       {{"lookup", "-C", "{D}/nocall", "W4X", "VE3XKT"}, "", unusable + " (error 2)\n", 2},
       {{"lookup", "-C", "{D}/short", "W4X"}, "",
        unusable + ": damaged file, its header is shorter than 12 bytes\n", 2},
       // A damaged record text: what the index entry holds, the reason on standard error.
       {{"lookup", "-C", "{D}/badtext", "AA1AB", "W4X"}, "AA1AB\n\n\n ME 04401\n\n" + w4x,
        "calldb: call.db: damaged file, a record text lies outside the text area\n", 0}},
      scratch_.path(), dir("full"));
}

TEST_F(CalldbTest, SearchPrintsALinePerLicenceAndExitsByWhatItFound) {
  const std::string k3q = "K3Q    - WINTERTHORN, HAROLD B - 418 LARKSPUR LN - ELMIRA NY 14901\n";
  expect_cases(
      {{{"search", "--state", "ny"},
        k3q + "N2XJ   - HALLORAN, GRETCHEN M - 55 FERRY LANDING - HOLTSVILLE NY 00501\n",
        "Done - found 2\n", 0},
       // A limit of the first line's size is passed by its "\r\n".
       {{"search", "--state", "ny", "--limit", std::to_string(k3q.size())}, k3q,
        "SORRY: Too much output: Some results will not be shown\nDone - found 1\n", 0},
       {{"search", "--name", "winterthorn", "--city", "elmira"}, k3q, "Done - found 1\n", 0},
       {{"search", "--name", "peavey", "--state", "ny"}, "", "Done - found 0\n", 1},
       {{"search", "--state", "xx"}, "",
        "calldb search: --state must be one of the 60 state codes\n", 2},
       {{"search", "--state", "ny", "--limit", "-1"}, "",
        "--limit: must be 0 or more bytes\nRun with --help for more information.\n", 2},
       {{"search", "--zip", "0"}, "", "Search: No search criteria were specified\n", 2},
       // Each text criterion takes what its box in the window takes, and no more: a longer one
       // is refused, never cut (a cut search is a wider one).
       {{"search", "--zip", "000000000014901"}, k3q, "Done - found 1\n", 0},
       {{"search", "--zip", "0000000000014901"}, "",
        "calldb search: --zip must be at most 15 characters\n", 2},
       {{"search", "--state", "ny", "--zip", "000000000000000000000"}, "",
        "calldb search: --zip must be at most 15 characters\n", 2},
       {{"search", "--name", "WINTERTHORN, HAROLD B" + std::string(106, ' ')}, "",
        "Done - found 0\n", 1},
       {{"search", "--name", "WINTERTHORN, HAROLD B" + std::string(107, ' ')}, "",
        "calldb search: --name must be at most 127 characters\n", 2},
       {{"search", "--city", std::string(57, ' ') + "ELMIRA"}, "", "Done - found 0\n", 1},
       {{"search", "--city", std::string(58, ' ') + "ELMIRA"}, "",
        "calldb search: --city must be at most 63 characters\n", 2},
       {{"search", "-C", "none", "--state", "ny"}, "",
        "ERROR Reading Database: call.db (error 2)\n", 2}},
      scratch_.path(), dir("full"));
}

// sample says what it wrote, never writes over a user's file and makes only the last folder.
TEST_F(CalldbTest, SampleWritesANewFolderOnly) {
  EXPECT_EQ(made_.out, "wrote " + dir("full/call.db") + " (15 licences)\nwrote " +
                           dir("full/callprev.db") + " (4 previous calls)\nwrote " +
                           dir("full/cancall.db") + " (6 licences)\n");
  EXPECT_EQ(made_.code, 0);
  for (const std::string mine : {"call.db", "callprev.db", "cancall.db"}) {
    fs::create_directory(dir(mine + "-only")), write_bytes(dir(mine + "-only/" + mine), "mine");
    expect_cases({{{"sample", dir(mine + "-only")}, "", "*", 1}}, "", "");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir(mine + "-only")), {}), 1);
  }
  expect_cases({{{"sample", dir("missing/data")}, "", "*", 1}}, "", "");
  EXPECT_FALSE(fs::exists(dir("missing")));
}

// Bad usage exits 2 with a message and touches nothing; usage inside the limits reaches a run
// that finds nothing to work on and exits 1; convert-canada prints the conversion's log.
TEST(CalldbUsage, HelpExitsZeroAndBadUsageTwo) {
  const auto all = calldb({"--help"});
  for (const char* command : {"lookup", "info", "search", "sample", "cleanup", "copy-to",
                              "copy-from", "merge", "update", "make-update", "convert-canada",
                              "update-canada"}) {
    EXPECT_NE(all.out.find(command), std::string::npos) << command;
    EXPECT_EQ(calldb({command, "--help"}).code, 0) << command;
  }
  const std::string a = "a", mode = "--mode", now = "--now", server = "--server";
  std::vector<Case> cases;
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {}, {"--bogus"}, {"frobnicate"}, {"lookup"}, {"lookup", "--bogus", a}, {"lookup", "-C"},
           {"info", a}, {"sample"}, {"cleanup"}, {"cleanup", mode, "2"}, {"cleanup", mode, "one"},
           {"cleanup", mode, "3", a}, {"copy-to"}, {"copy-to", a, a, a, a, a, a, a, a, a},
           {"copy-to", std::string(32, 'n')}, {"copy-from", a}, {"merge"}, {"merge", "sub/a"},
           {"merge", std::string(32, 'u')}, {"merge", a, a}, {"make-update"},
           {"make-update", a, a}, {"make-update", a, a, a, a}, {"update", now, "2018-02-30T12:00"},
           {"update", now, "2018-01-26 12:00"}, {"update", now, ""}, {"update", server, ""},
           {"update", server, ":80"}, {"update", server, "h:"}, {"update", server, "h:0"},
           {"update", server, "h:65536"}, {"update", server, "h:44x"},
           {"update", server, "h:000080"}, {"update", "--fcc-server", "h:0"},
           {"update", server, "h", "--fcc-server", "h"}, {"convert-canada", a},
           {"update-canada", server, ""}}) {
    cases.push_back({args, "", "*", 2});
  }
  for (const std::string s : {"127.0.0.1", "h:1", "h:65535", "h:00080"}) {
    cases.push_back({{"update", server, s, now, "2018-01-26T23:59"}, "UM_UPDATE_DONE 0 -1\n",
                     "call.db: UNABLE TO OPEN database file for modification\n...", 1});
  }
  cases.push_back({{"update", "--fcc-server", "127.0.0.1:1"}, "...\nUM_UPDATE_DONE 1 1\n", "*", 1});
  cases.push_back({{"update-canada", server, "127.0.0.1:9"}, "...\nUM_CANADA_DONE 0 0\n", "", 1});
  cases.push_back({{"convert-canada"}, "amateur.txt <--ERROR OPENING FILE\n", "", 1});
  cases.push_back({{"convert-canada", "-C", "{D}"}, "2024-11-05 -- canadian db date\n...", "", 0});
  const testutil::TempDir empty, list;
  const std::vector<calldb::demo::CanadianLicence> one(1);  // a list of one blank licence
  write_bytes(list.file("amateur.txt"), calldb::demo::fixed_column_list(one, "2024-11-05"));
  expect_cases(cases, list.path(), empty.path());
  EXPECT_TRUE(fs::is_empty(empty.path()));
}

// The settings file's values are the defaults --help shows, with where they came from; a damaged
// file is told on standard error and ignored whole. (expect_cases runs every case with the data
// folder named by the file, and -C overrides it.)
TEST(CalldbSettings, HelpShowsTheValuesAndADamagedFileIsIgnored) {
  const testutil::TempDir config;
  const std::string file = config.file("vantry/calldb.conf"), from = "  (from " + file + ")\n";
  fs::create_directory(config.file("vantry"));
  setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
  write_bytes(file, "data-folder=/srv/calldb\ncanada-server=ca.example:8443\n");
  EXPECT_NE(calldb({"--help"}).out.find("\n  canada-server=ca.example:8443" + from +
                                        "  floppy-folder=/media/floppy  (built in)\n"
                                        "  data-folder=/srv/calldb" + from),
            std::string::npos);
  EXPECT_NE(calldb({"update-canada", "--help"})
                .out.find("Canadian data server (default: ca.example:8443, from " + file + ")"),
            std::string::npos);
  write_bytes(file, "data-folder=/srv/calldb\ncolour=blue\n");
  const auto info = calldb({"info"});
  EXPECT_EQ(info.err, "calldb: " + file + ": line 2: unknown key \"colour\". The file is ignored "
                      "and the build's settings are used: correct it, or save new settings in "
                      "fernwick's Settings dialog\nERROR Reading Database: call.db (error 2)\n");
  const std::string built_in = "DIR=" + std::string(getenv("HOME")) + "/vantry/calldb";
  EXPECT_NE(calldb({"info", "--help"}).out.find(built_in), std::string::npos);
  unsetenv("XDG_CONFIG_HOME");
}

// One session at a data folder {D}/data, where calldb runs, and {D}/a for drive A:.
TEST(CalldbFloppy, CommandsPrintTheirLinesAndExitByWhatTheyDid) {
  const testutil::TempDir d;
  std::string deep = d.file("data");  // too long a path for its files: they cannot be deleted
  while (deep.size() + 14 < PATH_MAX) deep += "/.";
  const std::string longest(31, 'n');  // the longest name a status row holds
  for (const std::string name : {"data", "a", "b", "c"}) fs::create_directory(d.file(name));
  for (const std::string& name : {"data/0105to0112.db"s, "data/0112to0119.db"s, "data/" + longest,
                                  "data/call0105.db"s, "a/0119to0126.db"s,
                                  "b/\x1b[2J\x07" "abcde.db"s}) {
    write_bytes(d.file(name), name);
  }
  const std::string on_a = " to A: ({D}/a)\n";
  expect_cases(
      {{{"copy-to", "--floppy", "{D}/a", "0112to0119.db", longest},
        "Copying 0112to0119.db" + on_a + "Copying " + longest + on_a + "Copying complete\n", "", 0},
       // A copy given up makes it exit 1.
       {{"copy-to", "--floppy", "{D}/a", "0119to0126.db", "0105to0112.db"},
        "Copying 0119to0126.db" + on_a + "Copying 0105to0112.db" + on_a + "Copying complete\n",
        "ERROR copying file: A:\\0119to0126.db ({D}/a/0119to0126.db)\n", 1},
       {{"copy-from", "-C", "{D}/data", "--floppy", "{D}/a"},
        "Reading floppy disk A: ({D}/a)...\n0105to0112.db is already on hard disk\n"
        "0112to0119.db is already on hard disk\nCopying 0119to0126.db from floppy\n"
        "Copying complete\n", "", 0},
       {{"copy-from", "--floppy", "{D}/none"},
        "Reading floppy disk A: ({D}/none)...\nNothing copied: A: ({D}/none) not found\n",
        "ERROR copying file: A: ({D}/none) not found\nIs the floppy disk in the drive?\n", 1},
       // Names from outside are shown escaped; a data folder that is not there is refused.
       {{"copy-from", "-C", "{D}/c", "--floppy", "{D}/b"},
        "Reading floppy disk A: ({D}/b)...\nCopying \\x1b[2J\\x07abcde.db from floppy\n"
        "Copying complete\n", "", 0},
       {{"copy-from", "-C", "{D}/none", "--floppy", "{D}/b"},
        "Reading floppy disk A: ({D}/b)...\nERROR 2 locking {D}/none\n",
        "Fernwick 012 for Orbisk: Cannot write in {D}/none (error 2).\n...", 1},
       {{"cleanup", "-C", deep, "--mode", "1"},
        "0105to0112.db NOT deleted, error " + std::to_string(ENAMETOOLONG) + "\n...", "", 1},
       {{"cleanup", "-C", "{D}/data", "--mode", "1"},
        "0105to0112.db deleted\n0112to0119.db deleted\n0119to0126.db deleted\n", "", 0},
       {{"cleanup", "--mode", "3"}, "call0105.db deleted\n", "", 0}},
      d.path(), d.file("data"));
}

dbfiles::UsRecord rec(const char* call, const char* street, const char* city, std::uint32_t zip,
                      bool po_box = false) {
  return {dbfiles::encode_call(call), "NAME", street, city, 9, zip, po_box};
}

// A week that adds a call before the first, deletes the first and the last, and changes records
// in ways that leave their text alone: only the ZIP, only the PO box, only where the street ends.
// A corrupt update file is deleted; call.db is never changed.
TEST(CalldbUpdate, MakeUpdateAndMergeExitByWhatTheyDid) {
  const testutil::TempDir d;
  ASSERT_EQ(dbfiles::write_call_db(d.file("call.db"), "20180105", {rec("K1ABC", "1", "A", 1),
      rec("K2X", "2", "B", 2), rec("N3Y", "3", "C", 3), rec("W4Z", "4 ST", "ROME", 4),
      rec("W5Q", "5", "E", 5)}), 0);
  ASSERT_EQ(dbfiles::write_call_db(d.file("new"), "20180112", {rec("AA1A", "", "", 6),
      rec("K2X", "2", "B", 7), rec("N3Y", "3", "C", 3, true), rec("W4Z", "4 STR", "OME", 4)}), 0);
  const std::string old = read_bytes(d.file("call.db"));
  write_bytes(d.file("0105to0112.db"), "12345");
  expect_cases(
      {{{"merge", "-C", "{D}", "0105to0112.db"},
        "0105to0112.db <<----CORRUPT update file deleted: shorter than its 12-byte header\n",
        "Update file is CORRUPT, deleting: 0105to0112.db: shorter than its 12-byte header\n", 1},
       {{"make-update", "{D}/none", "{D}/new", "{D}/out.db"}, "", "calldb make-update: ...", 1},
       {{"make-update", "{D}/call.db", "{D}/new", "{D}/0105to0112.db"},
        "wrote {D}/0105to0112.db (6 entries)\n", "", 0},
       {{"merge", "0105to0112.db"}, "01/12/2018\n", "", 0}},
      d.path(), d.path());
  EXPECT_EQ(read_bytes(d.file("call.db.new")), read_bytes(d.file("new")));
  EXPECT_EQ(read_bytes(d.file("call.db")), old);
  EXPECT_TRUE(fs::exists(d.file("0105to0112.db"))) << "merge keeps a sound update file";
}

// Runs calldb under ptrace, output on /dev/null, killed as it enters its `kill_after`-th system
// call (0: never; only renames, links and unlinks counted if `names_only`). Returns both counts.
std::pair<int, int> run_traced(const std::vector<std::string>& args, bool names_only,
                               int kill_after) {
  static const std::set<std::uint64_t> kNames = {
#ifdef SYS_rename
      SYS_rename, SYS_link, SYS_unlink,
#endif
      SYS_renameat, SYS_renameat2, SYS_linkat, SYS_unlinkat};
  std::vector<char*> argv = {const_cast<char*>(CALLDB_PATH)};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    for (int fd : {0, 1, 2}) ::dup2(null, fd);
    ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    ::execv(CALLDB_PATH, argv.data());
    ::_exit(127);
  }
  int all = 0, names = 0, status = 0, signal = 0;
  ::waitpid(pid, &status, 0);  // stopped at its exec
  ::ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
  for (;;) {
    ::ptrace(PTRACE_SYSCALL, pid, nullptr, signal);
    if (::waitpid(pid, &status, 0) != pid || WIFEXITED(status) || WIFSIGNALED(status)) break;
    signal = WSTOPSIG(status) == (SIGTRAP | 0x80) ? 0 : WSTOPSIG(status);  // others passed on
    __ptrace_syscall_info info{};
    if (signal != 0 || ::ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof info, &info) <= 0 ||
        info.op != PTRACE_SYSCALL_INFO_ENTRY) {
      continue;
    }
    ++all;
    names += static_cast<int>(kNames.count(info.entry.nr));
    if (kill_after > 0 && (names_only ? names : all) == kill_after) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
  }
  return {all, names};
}

// An update run over the demo's data (its weekly files at hand) killed after each rename, link and
// unlink of its first week and at instants spread over the run, then run to the end: call.db is
// always one week's whole database, and the folder ends byte for byte as an uninterrupted run's.
TEST(CalldbUpdateKilled, RerunEndsAsTheUninterruptedRun) {
  const testutil::TempDir tmp;
  const std::string demo = tmp.file("demo");
  const fs::path work = tmp.file("work");
  ASSERT_EQ(calldb({"demo", demo, "--today", "20250115", "--us", "60000", "--canadian", "10",
                    "--previous", "10"}).code, 0);
  const auto restore = [&] {  // a run only reads the files it finds: second names will do
    fs::remove_all(work);
    fs::create_directories(work);
    fs::create_hard_link(demo + "/calldb/call.db", work / "call.db");
    for (const auto& e : fs::directory_iterator(demo + "/server/db-files")) {
      fs::create_hard_link(e.path(), work / e.path().filename());
    }
  };
  const auto folder = [&] {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::directory_iterator(work)) {
      files[e.path().filename()] = read_bytes(e.path());
    }
    return files;
  };
  const std::vector<std::string> args = {"update", "-C", work, "--server", "127.0.0.1:9",
                                         "--now", "2025-01-15T12:00"};
  restore();
  expect_cases({{args, "...\nUM_UPDATE_DONE 4 0\n", "", 0}}, "", "");
  const std::map<std::string, std::string> expected = folder();
  restore();
  const auto [all, names] = run_traced(args, false, 0);
  std::vector<std::pair<bool, int>> kills;  // names only, after how many calls
  for (int n = 2; n <= names / 4 + 1; ++n) kills.emplace_back(true, n);
  for (int k = 1; k <= 4; ++k) kills.emplace_back(false, all * k / 5);
  for (const auto& [names_only, after] : kills) {
    SCOPED_TRACE(std::to_string(after) + (names_only ? " renames, links and unlinks" : " calls"));
    restore();
    run_traced(args, names_only, after);
    const std::string now = read_bytes(work / "call.db");  // as a week left it: as a callMMDD.db
    EXPECT_TRUE(std::ranges::any_of(expected, [&](auto& f) { return f.second == now; }));
    calldb(args);
    EXPECT_TRUE(folder() == expected);
  }
}

}  // namespace
