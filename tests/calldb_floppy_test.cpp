// calldb cleanup, copy-to and copy-from as their users see them: the real program is run on
// temporary folders standing for the data folder and drive A:, and its output, the files left
// and its exit code are compared.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/run_process.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;
using testutil::Outcome;
using testutil::read_bytes;
using testutil::write_bytes;

Outcome calldb(const std::vector<std::string>& args, const std::string& cwd = "") {
  return testutil::run_process(CALLDB_PATH, args, cwd);
}

std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  for (const fs::directory_entry& e : fs::directory_iterator(folder)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class CalldbFloppyTest : public ::testing::Test {
 protected:
  CalldbFloppyTest() {
    fs::create_directory(data_);
    fs::create_directory(floppy_);
  }

  std::string data(const std::string& name) const { return data_ + "/" + name; }
  std::string floppy(const std::string& name) const { return floppy_ + "/" + name; }

  testutil::TempDir dir_;
  const std::string data_ = dir_.file("data");
  const std::string floppy_ = dir_.file("a");
};

// --- calldb cleanup --------------------------------------------------------------------------

TEST_F(CalldbFloppyTest, CleanupModeOneDeletesUpdateFilesAndModeThreeAlsoSavedDatabases) {
  const std::vector<std::string> kept = {"0105TO0112.DB", "amateur.txt", "amateur.zip",
                                         "call.db",       "call.db.new", "callprev.db",
                                         "cancall.db"};
  for (const std::string& name : kept) write_bytes(data(name), name);
  for (const char* name : {"0105to0112.db", "0112to0119.db", "call0105.db"}) {
    write_bytes(data(name), name);
  }

  const Outcome first = calldb({"cleanup", "-C", data_, "--mode", "1"});
  EXPECT_EQ(first.out, "0105to0112.db deleted\n0112to0119.db deleted\n");
  EXPECT_EQ(first.err, "");
  EXPECT_EQ(first.code, 0);
  EXPECT_TRUE(fs::exists(data("call0105.db")));

  write_bytes(data("0119to0126.db"), "x");
  const Outcome second = calldb({"cleanup", "--mode", "3"}, data_);  // the current folder
  EXPECT_EQ(second.out, "0119to0126.db deleted\ncall0105.db deleted\n");
  EXPECT_EQ(second.err, "");
  EXPECT_EQ(second.code, 0);
  EXPECT_EQ(names_in(data_), kept);
}

TEST_F(CalldbFloppyTest, CleanupExitsOneWhenAFileCouldNotBeDeleted) {
  // A folder whose path is as long as a path may be: it can be listed, but the path of a file
  // in it is too long to delete.
  int fd = ::open(data_.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  std::string deep = data_;
  while (deep.size() + 1 + 13 < PATH_MAX) {
    const std::string part(std::min<std::size_t>(200, PATH_MAX - 2 - deep.size()), 'd');
    ASSERT_EQ(::mkdirat(fd, part.c_str(), 0755), 0);
    const int inner = ::openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY);
    ::close(fd);
    ASSERT_GE(inner, 0);
    fd = inner;
    deep += "/" + part;
  }
  const int file = ::openat(fd, "0105to0112.db", O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(file, 0);
  ::close(file);

  const Outcome r = calldb({"cleanup", "-C", deep, "--mode", "1"});
  EXPECT_EQ(r.out, "0105to0112.db NOT deleted, error " + std::to_string(ENAMETOOLONG) + "\n");
  EXPECT_EQ(r.code, 1);

  ::unlinkat(fd, "0105to0112.db", 0);
  ::close(fd);
}

TEST_F(CalldbFloppyTest, CleanupWithAModeOtherThanOneOrThreeIsAUsageError) {
  write_bytes(data("0105to0112.db"), "x");
  write_bytes(data("call0105.db"), "x");
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"cleanup", "-C", data_},
           {"cleanup", "-C", data_, "--mode", "0"},
           {"cleanup", "-C", data_, "--mode", "2"},
           {"cleanup", "-C", data_, "--mode", "4"},
           {"cleanup", "-C", data_, "--mode", "one"},
           {"cleanup", "-C", data_, "--mode", ""},
           {"cleanup", "-C", data_, "--mode", "1", "extra"}}) {
    SCOPED_TRACE(args.size() > 4 ? args[4] : "no mode");
    const Outcome r = calldb(args);
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err, "");
  }
  EXPECT_EQ(names_in(data_), (std::vector<std::string>{"0105to0112.db", "call0105.db"}));
}

// --- calldb copy-to --------------------------------------------------------------------------

TEST_F(CalldbFloppyTest, CopyToCopiesEightFilesInTheOrderGivenReplacingTheFloppysCopies) {
  std::vector<std::string> args = {"copy-to", "-C", data_, "--floppy", floppy_};
  std::string expected_out;
  std::vector<std::string> names;
  for (int i = 7; i >= 0; --i) {
    const std::string name = "01" + std::to_string(i) + "0to01" + std::to_string(i) + "7.db";
    names.push_back(name);
  }
  names[3] = std::string(31, 'n');  // the longest name a row holds
  for (const std::string& name : names) {
    write_bytes(data(name), "new " + name);
    args.push_back(name);
    expected_out += "Copying " + name + " to A: (" + floppy_ + ")\n";
  }
  write_bytes(floppy(names[0]), "an old copy that is longer than the new one");

  const Outcome r = calldb(args);
  EXPECT_EQ(r.out, expected_out + "Copying complete\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.code, 0);
  for (const std::string& name : names) EXPECT_EQ(read_bytes(floppy(name)), "new " + name);
}

TEST_F(CalldbFloppyTest, CopyToGivesUpAFileThatCannotBeCopiedAndExitsOne) {
  write_bytes(data("0112to0119.db"), "second week");
  const Outcome r = calldb({"copy-to", "--floppy", floppy_, "0105to0112.db", "0112to0119.db"},
                           data_);
  EXPECT_EQ(r.out, "Copying 0105to0112.db to A: (" + floppy_ + ")\nCopying 0112to0119.db to A: (" +
                       floppy_ + ")\nCopying complete\n");
  EXPECT_EQ(r.err, "ERROR copying file: A:\\0105to0112.db (" + floppy("0105to0112.db") + ")\n");
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(names_in(floppy_), std::vector<std::string>{"0112to0119.db"});
}

TEST_F(CalldbFloppyTest, CopyToTakesOneToEightNamesOfAtMost31Characters) {
  write_bytes(data("0105to0112.db"), "x");
  const std::vector<std::string> nine(9, "0105to0112.db");
  std::vector<std::vector<std::string>> cases = {
      {"copy-to", "-C", data_, "--floppy", floppy_},
      {"copy-to", "-C", data_, "--floppy", floppy_, "0105to0112.db", std::string(32, 'n')},
      {"copy-to", "-C", data_, "--floppy"},
      {"copy-to", "-C", data_, "--floppy", floppy_, "--bogus", "0105to0112.db"},
  };
  cases.push_back({"copy-to", "-C", data_, "--floppy", floppy_});
  cases.back().insert(cases.back().end(), nine.begin(), nine.end());
  for (const std::vector<std::string>& args : cases) {
    SCOPED_TRACE(std::to_string(args.size()) + " arguments");
    const Outcome r = calldb(args);
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err, "");
  }
  EXPECT_TRUE(names_in(floppy_).empty());
}

// --- calldb copy-from ------------------------------------------------------------------------

TEST_F(CalldbFloppyTest, CopyFromCopiesNewUpdateFilesAndLeavesTheDataFoldersOwn) {
  for (const char* name : {"0105to0112.db", "0112to0119.db", "call0105.db", "0112to0119.dbx"}) {
    write_bytes(floppy(name), "from the floppy");
  }
  write_bytes(data("0105to0112.db"), "mine");

  const Outcome r = calldb({"copy-from", "-C", data_, "--floppy", floppy_});
  EXPECT_EQ(r.out,
            "Reading floppy disk A: (" + floppy_ + ")...\n"
            "0105to0112.db is already on hard disk\n"
            "Copying 0112to0119.db from floppy\n"
            "Copying complete\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(read_bytes(data("0105to0112.db")), "mine");
  EXPECT_EQ(read_bytes(data("0112to0119.db")), "from the floppy");
  EXPECT_EQ(names_in(data_), (std::vector<std::string>{"0105to0112.db", "0112to0119.db"}));

  const std::string none = "A: (" + floppy("none") + ")";
  const Outcome no_disk = calldb({"copy-from", "-C", data_, "--floppy", floppy("none")});
  EXPECT_EQ(no_disk.out, "Reading floppy disk " + none + "...\nNothing copied: " + none +
                             " not found\n");
  EXPECT_EQ(no_disk.err,
            "ERROR copying file: " + none + " not found\nIs the floppy disk in the drive?\n");
  EXPECT_EQ(no_disk.code, 1);
}

TEST_F(CalldbFloppyTest, CopyFromExitsOneWhenACopyIsGivenUpShowingNamesEscaped) {
  write_bytes(floppy("0105to0112.db"), "first week");
  write_bytes(floppy("\x1b[2J\x07" "abcde.db"), "a name that clears the terminal");
  const Outcome r = calldb({"copy-from", "-C", data("missing"), "--floppy", floppy_});
  EXPECT_EQ(r.out,
            "Reading floppy disk A: (" + floppy_ + ")...\n"
            "Copying \\x1b[2J\\x07abcde.db from floppy\n"
            "Copying 0105to0112.db from floppy\n"
            "Nothing copied\n");
  EXPECT_EQ(r.err,
            "ERROR copying file: A:\\\\x1b[2J\\x07abcde.db (" + floppy_ +
                "/\\x1b[2J\\x07abcde.db)\n"
            "ERROR copying file: A:\\0105to0112.db (" + floppy("0105to0112.db") + ")\n");
  EXPECT_EQ(r.code, 1);

  const Outcome extra = calldb({"copy-from", "-C", data_, "--floppy", floppy_, "x.db"});
  EXPECT_EQ(extra.code, 2);
  EXPECT_EQ(extra.out, "");
}

// --- help ------------------------------------------------------------------------------------

TEST(CalldbFloppyHelp, EachCommandsHelpTellsItsExitCodesAndTheFloppyDefault) {
  for (const char* command : {"cleanup", "copy-to", "copy-from"}) {
    SCOPED_TRACE(command);
    const Outcome r = calldb({command, "--help"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("Exit 0"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(", 1 when"), std::string::npos) << r.out;
    if (std::string(command) != "cleanup") {
      EXPECT_NE(r.out.find("--floppy DIR"), std::string::npos) << r.out;
      EXPECT_NE(r.out.find("(default: /"), std::string::npos) << r.out;
    }
  }
  const Outcome all = calldb({"--help"});
  for (const char* command : {"cleanup", "copy-to", "copy-from"}) {
    EXPECT_NE(all.out.find(command), std::string::npos) << command;
  }
}

}  // namespace
