// What calldb cleanup, copy-to and copy-from add to the floppy and clean-up workers: arguments,
// output on the terminal, exit codes. The real program runs on a data folder and a folder that
// stands for drive A:; which files the workers take is tested with the workers.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/run_process.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;
using testutil::Outcome;

Outcome calldb(const std::vector<std::string>& args, const std::string& cwd = "") {
  return testutil::run_process(CALLDB_PATH, args, cwd);
}

// A folder's files as "name=bytes" lines in name order.
std::string contents(const std::string& folder) {
  std::map<std::string, std::string> files;
  if (fs::is_directory(folder)) {
    for (const fs::directory_entry& e : fs::directory_iterator(folder)) {
      files[e.path().filename().string()] = testutil::read_bytes(e.path().string());
    }
  }
  std::string text;
  for (const auto& [name, bytes] : files) text += name + "=" + bytes + "\n";
  return text;
}

// Each case starts from a data folder D and a floppy folder A holding the files given as
// "name=bytes" lines, runs calldb in D with {D} and {A} in its arguments and texts replaced, and
// compares what it prints ("*" is any text but none), its exit code and both folders afterwards.
// {L} is the longest name a status row holds (31 characters).
struct Case {
  const char* what;
  std::string data, floppy;
  std::vector<std::string> args;
  std::string out, err;
  int code;
  std::string data_after, floppy_after;
};

const Case kCases[] = {
    {"cleanup 1 deletes update files only",
     "0105TO0112.DB=x\n0105to0112.db=x\n0112to0119.db=x\namateur.txt=x\ncall.db=x\n"
     "call0105.db=x\n",
     "", {"cleanup", "-C", "{D}", "--mode", "1"},
     "0105to0112.db deleted\n0112to0119.db deleted\n", "", 0,
     "0105TO0112.DB=x\namateur.txt=x\ncall.db=x\ncall0105.db=x\n", ""},
    {"cleanup 3 in the current folder deletes saved databases too",
     "0119to0126.db=x\ncall.db=x\ncall0105.db=x\ncallprev.db=x\n", "", {"cleanup", "--mode", "3"},
     "0119to0126.db deleted\ncall0105.db deleted\n", "", 0, "call.db=x\ncallprev.db=x\n", ""},
    {"cleanup without a mode", "call0105.db=x\n", "", {"cleanup"}, "", "*", 2, "call0105.db=x\n",
     ""},
    {"cleanup mode 2", "call0105.db=x\n", "", {"cleanup", "--mode", "2"}, "", "*", 2,
     "call0105.db=x\n", ""},
    {"cleanup mode one", "call0105.db=x\n", "", {"cleanup", "--mode", "one"}, "", "*", 2,
     "call0105.db=x\n", ""},
    {"cleanup extra argument", "call0105.db=x\n", "", {"cleanup", "--mode", "3", "x"}, "", "*", 2,
     "call0105.db=x\n", ""},

    {"copy-to in the order given, replacing the floppy's copy",
     "0112to0119.db=new 2\n0105to0112.db=new 1\n{L}=31\n",
     "0105to0112.db=an old copy that is longer\n",
     {"copy-to", "--floppy", "{A}", "0112to0119.db", "{L}",
      "0105to0112.db"},
     "Copying 0112to0119.db to A: ({A})\nCopying {L} to A: ({A})\n"
     "Copying 0105to0112.db to A: ({A})\nCopying complete\n",
     "", 0, "0105to0112.db=new 1\n0112to0119.db=new 2\n{L}=31\n",
     "0105to0112.db=new 1\n0112to0119.db=new 2\n{L}=31\n"},
    {"copy-to gives up a file it cannot copy", "0112to0119.db=2\n", "",
     {"copy-to", "--floppy", "{A}", "0105to0112.db", "0112to0119.db"},
     "Copying 0105to0112.db to A: ({A})\nCopying 0112to0119.db to A: ({A})\nCopying complete\n",
     "ERROR copying file: A:\\0105to0112.db ({A}/0105to0112.db)\n", 1, "0112to0119.db=2\n",
     "0112to0119.db=2\n"},
    {"copy-to without names", "a.db=x\n", "", {"copy-to", "--floppy", "{A}"}, "", "*", 2,
     "a.db=x\n", ""},
    {"copy-to nine names", "a.db=x\n", "",
     {"copy-to", "--floppy", "{A}", "a.db", "a.db", "a.db", "a.db", "a.db", "a.db", "a.db", "a.db",
      "a.db"},
     "", "*", 2, "a.db=x\n", ""},
    {"copy-to a name of 32 characters", "a.db=x\n", "",
     {"copy-to", "--floppy", "{A}", "a.db", "{L}n"}, "", "*", 2,
     "a.db=x\n", ""},

    {"copy-from takes new update files, leaves the data folder's own",
     "0105to0112.db=mine\n",
     "0105to0112.db=floppy\n0112to0119.db=floppy\n0112to0119.dbx=floppy\ncall0105.db=floppy\n",
     {"copy-from", "-C", "{D}", "--floppy", "{A}"},
     "Reading floppy disk A: ({A})...\n0105to0112.db is already on hard disk\n"
     "Copying 0112to0119.db from floppy\nCopying complete\n",
     "", 0, "0105to0112.db=mine\n0112to0119.db=floppy\n",
     "0105to0112.db=floppy\n0112to0119.db=floppy\n0112to0119.dbx=floppy\ncall0105.db=floppy\n"},
    {"copy-from without a floppy", "", "", {"copy-from", "--floppy", "{A}/none"},
     "Reading floppy disk A: ({A}/none)...\nNothing copied: A: ({A}/none) not found\n",
     "ERROR copying file: A: ({A}/none) not found\nIs the floppy disk in the drive?\n", 1, "", ""},
    {"copy-from shows names escaped and exits 1 when a copy is given up", "",
     "\x1b[2J\x07" "abcde.db=x\n",
     {"copy-from", "-C", "{D}/missing", "--floppy", "{A}"},
     "Reading floppy disk A: ({A})...\nCopying \\x1b[2J\\x07abcde.db from floppy\nNothing copied\n",
     "ERROR copying file: A:\\\\x1b[2J\\x07abcde.db ({A}/\\x1b[2J\\x07abcde.db)\n", 1, "",
     "\x1b[2J\x07" "abcde.db=x\n"},
    {"copy-from extra argument", "", "", {"copy-from", "--floppy", "{A}", "x.db"}, "", "*", 2, "",
     ""},
};

TEST(CalldbFloppy, CommandsPrintTheirLinesAndExitByWhatTheyDid) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    testutil::TempDir dir;
    const std::string d = dir.file("data");
    const std::string a = dir.file("a");
    const auto with = [&](std::string text) {
      text = std::regex_replace(text, std::regex("\\{D\\}"), d);
      text = std::regex_replace(text, std::regex("\\{L\\}"), std::string(31, 'n'));
      return std::regex_replace(text, std::regex("\\{A\\}"), a);
    };
    for (const auto& [folder, files] : {std::pair{d, with(c.data)}, std::pair{a, c.floppy}}) {
      fs::create_directory(folder);
      std::size_t at = 0;
      for (std::size_t end; (end = files.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = files.substr(at, end - at);
        const std::size_t eq = line.find('=');
        testutil::write_bytes(folder + "/" + line.substr(0, eq), line.substr(eq + 1));
      }
    }
    std::vector<std::string> args;
    for (const std::string& arg : c.args) args.push_back(with(arg));
    const Outcome r = calldb(args, d);
    EXPECT_EQ(r.out, with(c.out));
    if (c.err == "*") {
      EXPECT_NE(r.err, "");
    } else {
      EXPECT_EQ(r.err, with(c.err));
    }
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(contents(d), with(c.data_after));
    EXPECT_EQ(contents(a), with(c.floppy_after));
  }
}

// A file the clean-up cannot delete makes it exit 1: its path is longer than a path may be.
TEST(CalldbFloppy, CleanupExitsOneWhenAFileCouldNotBeDeleted) {
  testutil::TempDir dir;
  int fd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  std::string deep = dir.path();
  while (deep.size() + 1 + 13 < PATH_MAX) {
    const std::string part(std::min<std::size_t>(200, PATH_MAX - 2 - deep.size()), 'd');
    ASSERT_EQ(::mkdirat(fd, part.c_str(), 0755), 0);
    const int inner = ::openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY);
    ::close(fd);
    ASSERT_GE(inner, 0);
    fd = inner;
    deep += "/" + part;
  }
  ::close(::openat(fd, "0105to0112.db", O_WRONLY | O_CREAT, 0644));
  const Outcome r = calldb({"cleanup", "-C", deep, "--mode", "1"});
  EXPECT_EQ(r.out, "0105to0112.db NOT deleted, error " + std::to_string(ENAMETOOLONG) + "\n");
  EXPECT_EQ(r.code, 1);
  ::unlinkat(fd, "0105to0112.db", 0);
  ::close(fd);
}

TEST(CalldbFloppy, EachCommandsHelpTellsItsExitCodesAndTheFloppyDefault) {
  for (const char* command : {"cleanup", "copy-to", "copy-from"}) {
    SCOPED_TRACE(command);
    const Outcome r = calldb({command, "--help"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("Exit 0"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(", 1 when"), std::string::npos) << r.out;
    if (std::string(command) != "cleanup") {
      EXPECT_NE(r.out.find("(default: /"), std::string::npos) << r.out;
    }
  }
}

}  // namespace
