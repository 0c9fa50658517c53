#include "platform/platform.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

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
  // The names in the folder, symlinks included, sorted.
  std::vector<std::string> names() const {
    std::vector<std::string> found;
    for (const fs::directory_entry& e : fs::directory_iterator(dir_)) {
      found.push_back(e.path().filename().string());
    }
    std::sort(found.begin(), found.end());
    return found;
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

// --- files created, never followed ---

TEST_F(PlatformTest, CreateNew_RefusesEveryNameTakenAndWritesThroughNone) {
  put("file", "keep me");
  put("target", "keep me too");
  fs::create_symlink(path("target"), path("link"));
  fs::create_symlink(path("nowhere"), path("dangling"));
  for (const char* name : {"file", "link", "dangling"}) {
    SCOPED_TRACE(name);
    File f;
    EXPECT_EQ(open(f, name, Share::none, Disposition::create_new), EEXIST);
    EXPECT_FALSE(f.is_open());
  }
  EXPECT_EQ(get("file"), "keep me");
  EXPECT_EQ(get("target"), "keep me too");
  EXPECT_FALSE(fs::exists(path("nowhere")));
  File f;
  EXPECT_EQ(open(f, "free", Share::none, Disposition::create_new), 0);
}

TEST_F(PlatformTest, NewFile_CommitReplacesASymlinkAndAnUncommittedOneLeavesNothing) {
  put("target", "not mine to write");
  fs::create_symlink(path("target"), path("final"));
  {
    platform::NewFile file;
    ASSERT_EQ(file.create(path("final")), 0);
    EXPECT_TRUE(platform::is_temporary_name(fs::path(file.temp_path()).filename().string()));
    ASSERT_TRUE(file.file().write("whole", 5).ok());
    ASSERT_EQ(file.commit(), 0);
  }
  EXPECT_FALSE(fs::is_symlink(path("final")));
  EXPECT_EQ(get("final"), "whole");
  EXPECT_EQ(get("target"), "not mine to write");

  {
    platform::NewFile discarded, destroyed, kept_out;
    ASSERT_EQ(discarded.create(path("a")), 0);
    ASSERT_TRUE(discarded.file().write("half", 4).ok());
    discarded.discard();
    ASSERT_EQ(destroyed.create(path("final")), 0);
    ASSERT_TRUE(destroyed.file().write("half", 4).ok());
    ASSERT_EQ(kept_out.create(path("final")), 0);
    EXPECT_EQ(kept_out.commit(platform::NewFile::Replace::no), EEXIST);
  }
  EXPECT_EQ(names(), (std::vector<std::string>{"final", "target"}));
  EXPECT_EQ(get("final"), "whole");
}

TEST_F(PlatformTest, CopyFile_TargetIsTheWholeCopyOrAsItWas) {
  std::string big(200 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31 + i / 251);
  put("from", big);
  put("other", "not mine to write");
  fs::create_symlink(path("other"), path("to other"));
  fs::create_symlink(path("from"), path("to source"));
  fs::create_symlink(path("other"), path("source link"));
  struct Case {
    const char* source;
    const char* target;
    const char* before;  // the target's contents, nullptr for none
    int expected;        // -1: a sharing violation
    bool full_disk = false;
    platform::NewFile::Replace replace = platform::NewFile::Replace::yes;
  };
  const Case cases[] = {
      {"from", "longer", "a longer file than the copy is going to be", 0},
      {"from", "to other", nullptr, 0},   // the symlink itself is replaced
      {"from", "to source", nullptr, 0},
      {"from", "held", "held open", 0},
      {"from", "held alone", "held with Share::none", -1},
      {"from", "full", "as it was", ENOSPC, true},
      {"from", "kept", "kept", EEXIST, false, platform::NewFile::Replace::no},
      {"source link", "via link", nullptr, EINVAL},
      {"missing", "none", nullptr, ENOENT},
      {"from", "from", nullptr, EINVAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    if (c.before != nullptr) put(c.target, c.before);
    File holder;
    const std::string name = c.target;
    if (name.rfind("held", 0) == 0) {
      ASSERT_EQ(open(holder, c.target, name == "held" ? Share::read_write : Share::none), 0);
    }
    if (c.full_disk) platform::testing::fail_writes_after(1000, ENOSPC);
    const int result = platform::copy_file(path(c.source), path(c.target), c.replace);
    platform::testing::fail_writes_after(-1, 0);

    EXPECT_EQ(result, c.expected < 0 ? kViolation : c.expected);
    if (c.expected == 0) {
      EXPECT_FALSE(fs::is_symlink(path(c.target)));
      EXPECT_TRUE(get(c.target) == big);
    } else if (c.before != nullptr) {
      EXPECT_TRUE(get(c.target) == c.before);
    } else if (name != "from") {
      EXPECT_FALSE(fs::exists(fs::symlink_status(path(c.target))));
    }
    if (holder.is_open()) {  // what the holder has open is never touched
      char held[32] = {};
      EXPECT_EQ(holder.read_at(0, held, sizeof held).count, std::strlen(c.before));
      EXPECT_EQ(std::string(held), c.before);
    }
  }
  EXPECT_TRUE(get("from") == big);
  EXPECT_EQ(get("other"), "not mine to write");
  for (const std::string& name : names()) EXPECT_FALSE(platform::is_temporary_name(name)) << name;
}

TEST_F(PlatformTest, RemoveStaleTemporaries_RemovesOnlyThoseOfEndedProcesses) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  ASSERT_EQ(::waitpid(child, nullptr, 0), child);
  const std::string dead = std::to_string(child);
  const std::vector<std::string> stale = {"call.db.new-" + dead + "-0",
                                          "0105to0112.db.new-" + dead + "-12"};
  const std::vector<std::string> kept = {"call.db.new-" + std::to_string(::getpid()) + "-0",
                                         "call.db.new-1-0", "call.db.new",
                                         "call.db.new-" + dead, "call.db.new-x-1"};
  for (const std::string& name : stale) put(name, "x");
  for (const std::string& name : kept) put(name, "x");
  EXPECT_EQ(platform::remove_stale_temporaries(dir_.string()), 2);
  std::vector<std::string> expected = kept;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names(), expected);
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
