#include "platform/platform.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using platform::Access;
using platform::Disposition;
using platform::File;
using platform::IoResult;
using platform::Share;

namespace {

class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "platform-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    cwd_ = fs::current_path();
  }
  void TearDown() override {
    fs::current_path(cwd_);
    fs::remove_all(dir_);
  }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  void put(const std::string& name, const std::string& contents) const {
    std::ofstream(path(name), std::ios::binary) << contents;
  }
  std::string get(const std::string& name) const {
    std::ifstream in(path(name), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  int open(File& f, const std::string& name, Share share,
           Disposition disp = Disposition::open_existing) const {
    return f.open(path(name), Access::read_write, share, disp);
  }

  fs::path dir_;
  fs::path cwd_;
};

const int kViolation = platform::sharing_violation_error();

// --- share modes ---

TEST_F(PlatformTest, ExclusiveOpen_FailsWhileSharedHolderOpen) {
  put("a", "x");
  File shared, exclusive;
  ASSERT_EQ(open(shared, "a", Share::read), 0);
  EXPECT_EQ(open(exclusive, "a", Share::none), kViolation);
  EXPECT_FALSE(exclusive.is_open());
}

TEST_F(PlatformTest, AnyOpen_FailsWhileExclusiveHolderOpen) {
  put("a", "x");
  File exclusive, other;
  ASSERT_EQ(open(exclusive, "a", Share::none), 0);
  EXPECT_EQ(open(other, "a", Share::read), kViolation);
  EXPECT_EQ(open(other, "a", Share::read_write), kViolation);
  EXPECT_EQ(open(other, "a", Share::none), kViolation);
}

TEST_F(PlatformTest, SharedOpens_Coexist) {
  put("a", "x");
  File a, b, c;
  ASSERT_EQ(open(a, "a", Share::read), 0);
  EXPECT_EQ(open(b, "a", Share::read_write), 0);
  EXPECT_EQ(c.open(path("a"), Access::read, Share::read, Disposition::open_existing), 0);
}

TEST_F(PlatformTest, Lock_ReleasedOnCloseDestructionAndMoveAssignment) {
  put("a", "x");
  File other;
  {
    File holder;
    ASSERT_EQ(open(holder, "a", Share::none), 0);
    ASSERT_EQ(holder.close(), 0);
    EXPECT_EQ(open(other, "a", Share::none), 0) << "after close";
    other.close();
    ASSERT_EQ(open(holder, "a", Share::none), 0);
  }
  EXPECT_EQ(open(other, "a", Share::none), 0) << "after destruction";
  other.close();

  File holder;
  ASSERT_EQ(open(holder, "a", Share::none), 0);
  holder = File();
  EXPECT_FALSE(holder.is_open());
  EXPECT_EQ(open(other, "a", Share::none), 0) << "after move-assignment";
}

TEST_F(PlatformTest, Lock_FollowsMovedFile) {
  put("a", "x");
  File other;
  File moved;
  {
    File original;
    ASSERT_EQ(open(original, "a", Share::none), 0);
    moved = std::move(original);
    File constructed(std::move(moved));
    moved = std::move(constructed);
  }
  EXPECT_TRUE(moved.is_open());
  EXPECT_EQ(open(other, "a", Share::read), kViolation);
}

TEST_F(PlatformTest, CreateAlways_RefusedByShareCheck_LeavesContents) {
  put("a", "keep me");
  File holder, creator;
  ASSERT_EQ(open(holder, "a", Share::read), 0);
  EXPECT_EQ(open(creator, "a", Share::none, Disposition::create_always), kViolation);
  EXPECT_EQ(get("a"), "keep me");
}

TEST_F(PlatformTest, CreateAlways_EmptiesExistingAndCreatesMissing) {
  put("a", "old contents");
  File f, g;
  ASSERT_EQ(open(f, "a", Share::none, Disposition::create_always), 0);
  EXPECT_EQ(f.size().count, 0u);
  ASSERT_EQ(open(g, "new", Share::none, Disposition::create_always), 0);
  EXPECT_TRUE(platform::file_exists(path("new")));
}

// --- open failures ---

TEST_F(PlatformTest, OpenExisting_MissingFile_GivesEnoentAndStaysClosed) {
  File f;
  EXPECT_EQ(open(f, "missing", Share::read), ENOENT);
  EXPECT_FALSE(f.is_open());
  EXPECT_FALSE(platform::file_exists(path("missing")));
}

TEST_F(PlatformTest, Open_Folder_GivesEisdir) {
  File f;
  EXPECT_EQ(f.open(dir_.string(), Access::read, Share::read, Disposition::open_existing), EISDIR);
  EXPECT_FALSE(f.is_open());
}

TEST_F(PlatformTest, Open_Fifo_FailsWithoutWaitingForWriter) {
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  File f;
  EXPECT_NE(f.open(path("fifo"), Access::read, Share::read, Disposition::open_existing), 0);
  EXPECT_FALSE(f.is_open());
}

TEST_F(PlatformTest, ClosedFile_ReportsEbadf) {
  File f;
  char c;
  EXPECT_EQ(f.read(&c, 1).error, EBADF);
  EXPECT_EQ(f.write(&c, 1).error, EBADF);
  EXPECT_EQ(f.read_at(0, &c, 1).error, EBADF);
  EXPECT_EQ(f.write_at(0, &c, 1).error, EBADF);
  EXPECT_EQ(f.size().error, EBADF);
  EXPECT_EQ(f.seek(0), EBADF);
  EXPECT_EQ(f.sync(), EBADF);
  EXPECT_EQ(f.close(), 0);
}

// --- reading and writing ---

TEST_F(PlatformTest, Read_PastEnd_GivesShortCountWithoutError) {
  put("a", "hello");
  File f;
  ASSERT_EQ(open(f, "a", Share::read), 0);
  char buf[16];
  IoResult r = f.read(buf, sizeof buf);
  EXPECT_EQ(r.count, 5u);
  EXPECT_EQ(r.error, 0);
  EXPECT_EQ(std::string(buf, 5), "hello");
  r = f.read(buf, sizeof buf);
  EXPECT_EQ(r.count, 0u);
  EXPECT_EQ(r.error, 0);
  r = f.read_at(3, buf, sizeof buf);
  EXPECT_EQ(r.count, 2u);
  EXPECT_EQ(r.error, 0);
}

TEST_F(PlatformTest, PositionedIo_LeavesPositionAlone) {
  put("a", "0123456789");
  File f;
  ASSERT_EQ(open(f, "a", Share::none), 0);
  ASSERT_EQ(f.seek(2), 0);
  char buf[3];
  ASSERT_EQ(f.read_at(7, buf, 3).count, 3u);
  EXPECT_EQ(std::string(buf, 3), "789");
  ASSERT_TRUE(f.write_at(0, "AB", 2).ok());
  ASSERT_EQ(f.read(buf, 3).count, 3u);
  EXPECT_EQ(std::string(buf, 3), "234");
  ASSERT_TRUE(f.write("xy", 2).ok());
  f.close();
  EXPECT_EQ(get("a"), "AB234xy789");
}

TEST_F(PlatformTest, Size_FollowsWritesAndSparseExtension) {
  File f;
  ASSERT_EQ(open(f, "a", Share::none, Disposition::create_always), 0);
  EXPECT_EQ(f.size().count, 0u);
  ASSERT_EQ(f.write("abcd", 4).count, 4u);
  EXPECT_EQ(f.size().count, 4u);
  ASSERT_TRUE(f.write_at(100, "z", 1).ok());
  EXPECT_EQ(f.size().count, 101u);
  EXPECT_EQ(f.sync(), 0);
}

TEST_F(PlatformTest, Write_OnReadOnlyFile_Fails) {
  put("a", "abc");
  File f;
  ASSERT_EQ(f.open(path("a"), Access::read, Share::read, Disposition::open_existing), 0);
  IoResult r = f.write("x", 1);
  EXPECT_EQ(r.count, 0u);
  EXPECT_NE(r.error, 0);
  f.close();
  EXPECT_EQ(get("a"), "abc");
}

// --- move, copy, delete ---

TEST_F(PlatformTest, MoveFile_RefusesExistingTargetAndKeepsBoth) {
  put("from", "source");
  put("to", "target");
  EXPECT_EQ(platform::move_file(path("from"), path("to")), EEXIST);
  EXPECT_EQ(get("from"), "source");
  EXPECT_EQ(get("to"), "target");
}

TEST_F(PlatformTest, MoveFile_ToFreeName_Renames) {
  put("from", "source");
  ASSERT_EQ(platform::move_file(path("from"), path("to")), 0);
  EXPECT_FALSE(platform::file_exists(path("from")));
  EXPECT_EQ(get("to"), "source");
  EXPECT_EQ(platform::move_file(path("from"), path("other")), ENOENT);
}

TEST_F(PlatformTest, CopyFile_ReplacesLongerTargetExactly) {
  std::string big(200 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31 + i / 251);
  put("from", big);
  put("to", std::string(300 * 1024, 'q'));
  ASSERT_EQ(platform::copy_file(path("from"), path("to")), 0);
  EXPECT_EQ(get("to"), big);
  EXPECT_EQ(get("from"), big);
}

TEST_F(PlatformTest, CopyFile_MissingSource_FailsWithoutCreatingTarget) {
  EXPECT_EQ(platform::copy_file(path("missing"), path("to")), ENOENT);
  EXPECT_FALSE(platform::file_exists(path("to")));
}

TEST_F(PlatformTest, CopyFile_OntoItself_FailsAndKeepsContents) {
  put("a", "precious");
  EXPECT_NE(platform::copy_file(path("a"), path("a")), 0);
  ASSERT_EQ(platform::set_current_directory(dir_.string()), 0);
  EXPECT_NE(platform::copy_file(path("a"), "./a"), 0);
  EXPECT_EQ(get("a"), "precious");
}

TEST_F(PlatformTest, DeleteFile_RemovesAndReportsMissing) {
  put("a", "x");
  EXPECT_EQ(platform::delete_file(path("a")), 0);
  EXPECT_FALSE(platform::file_exists(path("a")));
  EXPECT_EQ(platform::delete_file(path("a")), ENOENT);
}

// --- folders ---

TEST_F(PlatformTest, ListFiles_MatchesPatternSortedRegularFilesOnly) {
  for (const char* n : {"b.db", "a.db", "c.dbx", "call.db.bak", "x.txt"}) put(n, "");
  fs::create_directory(dir_ / "dir.db");
  std::vector<std::string> names{"stale"};
  ASSERT_EQ(platform::list_files(dir_.string(), "*.db", &names), 0);
  EXPECT_EQ(names, (std::vector<std::string>{"a.db", "b.db"}));
  ASSERT_EQ(platform::list_files(dir_.string() + "/", "?.*", &names), 0);
  EXPECT_EQ(names, (std::vector<std::string>{"a.db", "b.db", "c.dbx", "x.txt"}));
  ASSERT_EQ(platform::list_files(dir_.string(), "*.none", &names), 0);
  EXPECT_TRUE(names.empty());
}

TEST_F(PlatformTest, ListFiles_MissingFolder_GivesEnoentAndNoNames) {
  std::vector<std::string> names{"stale"};
  EXPECT_EQ(platform::list_files(path("missing"), "*", &names), ENOENT);
  EXPECT_TRUE(names.empty());
}

TEST_F(PlatformTest, SetCurrentDirectory_ChangesWhereRelativePathsResolve) {
  put("a", "here");
  ASSERT_EQ(platform::set_current_directory(dir_.string()), 0);
  EXPECT_TRUE(platform::file_exists("a"));
  std::vector<std::string> names;
  ASSERT_EQ(platform::list_files("", "*", &names), 0);
  EXPECT_EQ(names, std::vector<std::string>{"a"});
}

TEST_F(PlatformTest, SetCurrentDirectory_MissingFolder_FailsAndKeepsCwd) {
  const fs::path before = fs::current_path();
  EXPECT_EQ(platform::set_current_directory(path("missing")), ENOENT);
  EXPECT_EQ(fs::current_path(), before);
}

TEST(JoinPath, AddsOneSeparatorOnlyWhenNeeded) {
  EXPECT_EQ(platform::join_path("", "a.db"), "a.db");
  EXPECT_EQ(platform::join_path("data", "a.db"), "data/a.db");
  EXPECT_EQ(platform::join_path("data/", "a.db"), "data/a.db");
  EXPECT_EQ(platform::join_path("/", "a.db"), "/a.db");
}

}  // namespace
