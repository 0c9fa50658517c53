#include "platform/platform.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "tests/test_util.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;
const int kViolation = sharing_violation_error();

class PlatformTest : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return dir_.file(name); }
  void put(const std::string& name, const std::string& bytes) const { testutil::write_bytes(path(name), bytes); }
  std::string get(const std::string& name) const { return testutil::read_bytes(path(name)); }
  int open(File& f, const std::string& name, Share share, Disposition d = Disposition::open_existing) const {
    return f.open(path(name), Access::read_write, share, d);
  }
  Names names() const {  // symlinks and folders too
    Names found;
    for (const auto& e : fs::directory_iterator(dir_.path())) found.push_back(e.path().filename().string());
    std::sort(found.begin(), found.end());
    return found;
  }
  testutil::TempDir dir_;
};

TEST_F(PlatformTest, ShareModesRefuseWhatTheHolderForbidsUntilItLetsGo) {
  put("a", "keep me");
  for (Share held : {Share::none, Share::read, Share::read_write}) {
    for (Share wanted : {Share::none, Share::read, Share::read_write}) {
      File holder, other;
      ASSERT_EQ(open(holder, "a", held), 0);
      const bool refused = held == Share::none || wanted == Share::none;
      EXPECT_EQ(open(other, "a", wanted), refused ? kViolation : 0) << int(held) << int(wanted);
      EXPECT_EQ(other.is_open(), !refused);
      EXPECT_EQ(open(other, "a", Share::none, Disposition::create_always), kViolation);
    }
  }
  EXPECT_EQ(get("a"), "keep me");  // a refused create_always empties nothing
  File holder, other;
  ASSERT_EQ(open(holder, "a", Share::none), 0);
  File moved(std::move(holder));  // the lock follows the file
  holder = std::move(moved);
  EXPECT_EQ(open(other, "a", Share::read), kViolation);
  holder = File();
  EXPECT_FALSE(holder.is_open());
  EXPECT_EQ(open(other, "a", Share::none), 0);
  EXPECT_EQ(other.close(), 0);
  { File scoped; ASSERT_EQ(open(scoped, "a", Share::none), 0); }
  EXPECT_EQ(open(other, "a", Share::none), 0);
}

TEST_F(PlatformTest, OpenFailuresLeaveTheFileClosed) {
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);  // fails without waiting for a writer
  File f;
  EXPECT_EQ(open(f, "missing", Share::read), ENOENT);
  EXPECT_FALSE(file_exists(path("missing")));
  EXPECT_EQ(f.open(dir_.path(), Access::read, Share::read, Disposition::open_existing), EISDIR);
  EXPECT_NE(f.open(path("fifo"), Access::read, Share::read, Disposition::open_existing), 0);
  EXPECT_FALSE(f.is_open());
  char c;
  for (const IoResult& r : {f.read(&c, 1), f.write(&c, 1), f.read_at(0, &c, 1), f.write_at(0, &c, 1), f.size()}) {
    EXPECT_EQ(r.error, EBADF);
  }
  EXPECT_EQ(f.seek(0), EBADF);
  EXPECT_EQ(f.sync(), EBADF);
  EXPECT_EQ(f.close(), 0);
}

TEST_F(PlatformTest, ReadsAndWrites) {
  put("a", "0123456789");
  File f;
  ASSERT_EQ(open(f, "a", Share::none), 0);
  ASSERT_EQ(f.seek(2), 0);
  char buf[16];
  ASSERT_EQ(f.read_at(7, buf, sizeof buf).count, 3u);  // short at the end, no error
  EXPECT_EQ(std::string(buf, 3), "789");
  ASSERT_TRUE(f.write_at(0, "AB", 2).ok());  // positioned: the position stays at 2
  ASSERT_EQ(f.read(buf, 3).count, 3u);
  EXPECT_EQ(std::string(buf, 3), "234");
  ASSERT_TRUE(f.write("xy", 2).ok());
  const IoResult end = f.read(buf, sizeof buf);
  EXPECT_EQ(end.count, 3u);
  EXPECT_EQ(end.error, 0);
  EXPECT_EQ(f.read(buf, sizeof buf).count, 0u);
  ASSERT_TRUE(f.write_at(100, "z", 1).ok());
  EXPECT_EQ(f.size().count, 101u);
  EXPECT_EQ(f.sync(), 0);
  f.close();
  EXPECT_EQ(get("a").substr(0, 10), "AB234xy789");
  ASSERT_EQ(f.open(path("a"), Access::read, Share::read, Disposition::open_existing), 0);
  EXPECT_NE(f.write("x", 1).error, 0);
  ASSERT_EQ(open(f, "a", Share::none, Disposition::create_always), 0);
  EXPECT_EQ(f.size().count, 0u);
}

// Nothing is written through a symlink, and a file takes its final name only whole.
TEST_F(PlatformTest, NewFilesAndMoves) {
  put("file", "keep me");
  put("target", "not mine to write");
  fs::create_symlink(path("target"), path("link"));
  fs::create_symlink(path("nowhere"), path("dangling"));
  for (const char* name : {"file", "link", "dangling"}) {
    File f;
    EXPECT_EQ(open(f, name, Share::none, Disposition::create_new), EEXIST) << name;
  }
  EXPECT_EQ(get("file"), "keep me");
  EXPECT_FALSE(fs::exists(path("nowhere")));
  {
    NewFile file, discarded, destroyed, kept_out;
    ASSERT_EQ(file.create(path("link")), 0);
    EXPECT_TRUE(is_temporary_name(fs::path(file.temp_path()).filename().string()));
    ASSERT_TRUE(file.file().write("whole", 5).ok());
    ASSERT_EQ(file.commit(), 0);
    ASSERT_EQ(discarded.create(path("a")), 0);
    discarded.discard();
    ASSERT_EQ(destroyed.create(path("link")), 0);
    ASSERT_TRUE(destroyed.file().write("half", 4).ok());
    ASSERT_EQ(kept_out.create(path("file")), 0);
    EXPECT_EQ(kept_out.commit(NewFile::Replace::no), EEXIST);
  }
  EXPECT_EQ(names(), (Names{"dangling", "file", "link", "target"}));
  EXPECT_FALSE(fs::is_symlink(path("link")));
  EXPECT_EQ(get("link"), "whole");
  EXPECT_EQ(get("target"), "not mine to write");
  EXPECT_EQ(move_file(path("link"), path("file")), EEXIST);
  ASSERT_EQ(move_file(path("link"), path("moved")), 0);
  EXPECT_EQ(move_file(path("link"), path("other")), ENOENT);
  EXPECT_EQ(get("moved"), "whole");
  EXPECT_EQ(get("file"), "keep me");
  EXPECT_EQ(delete_file(path("moved")), 0);
  EXPECT_EQ(delete_file(path("moved")), ENOENT);
}

TEST_F(PlatformTest, CopyFile_TargetIsTheWholeCopyOrAsItWas) {
  std::string big(200 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31 + i / 251);
  put("from", big);
  put("other", "not mine to write");
  fs::create_symlink(path("other"), path("to other"));
  fs::create_symlink(path("from"), path("to source"));
  fs::create_symlink(path("other"), path("source link"));
  const struct {
    const char *source, *target, *before;  // before: the target's contents, nullptr for none
    int expected;                          // -1: a sharing violation
    bool full_disk = false;
    NewFile::Replace replace = NewFile::Replace::yes;
  } cases[] = {
      {"from", "longer", "a longer file than the copy is going to be", 0},
      {"from", "to other", nullptr, 0},  // the symlink itself is replaced
      {"from", "to source", nullptr, 0},
      {"from", "held", "held open", 0},
      {"from", "held alone", "held with Share::none", -1},
      {"from", "full", "as it was", ENOSPC, true},
      {"from", "kept", "kept", EEXIST, false, NewFile::Replace::no},
      {"source link", "via link", nullptr, EINVAL},
      {"missing", "none", nullptr, ENOENT},
      {"from", "from", nullptr, EINVAL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    if (c.before != nullptr) put(c.target, c.before);
    const std::string name = c.target;
    File holder;
    if (name.rfind("held", 0) == 0) ASSERT_EQ(open(holder, name, name == "held" ? Share::read_write : Share::none), 0);
    if (c.full_disk) testing::fail_writes_after(1000, ENOSPC);
    const int result = copy_file(path(c.source), path(c.target), c.replace);
    testing::fail_writes_after(-1, 0);
    EXPECT_EQ(result, c.expected < 0 ? kViolation : c.expected);
    if (c.expected == 0) {
      EXPECT_FALSE(fs::is_symlink(path(c.target)));
      EXPECT_TRUE(get(c.target) == big);
    } else if (c.before != nullptr) {
      EXPECT_EQ(get(c.target), c.before);
    } else if (name != "from") {
      EXPECT_FALSE(fs::exists(fs::symlink_status(path(c.target))));
    }
    char held[32] = {};  // what the holder has open is never touched
    if (holder.is_open()) EXPECT_EQ(std::string(held, holder.read_at(0, held, sizeof held).count), c.before);
  }
  EXPECT_TRUE(get("from") == big);
  EXPECT_EQ(get("other"), "not mine to write");
  for (const std::string& name : names()) EXPECT_FALSE(is_temporary_name(name)) << name;
}

TEST_F(PlatformTest, FolderListsAndStaleTemporaries) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_EQ(::waitpid(child, nullptr, 0), child);
  const std::string dead = std::to_string(child);
  for (const std::string& n : {"call.db.new-" + dead + "-0", "0105to0112.db.new-" + dead + "-12"}) put(n, "");
  Names kept = {"0105TO0112.DB", "a.db", "call.db.new", "call.db.new-" + std::to_string(::getpid()) + "-0",
                      "call.db.new-1-0", "call.db.new-" + dead, "call.db.new-x-1", "x.dbx"};
  for (const std::string& n : kept) put(n, "");
  std::sort(kept.begin(), kept.end());
  fs::create_directory(path("dir.db"));
  EXPECT_EQ(remove_stale_temporaries(dir_.path()), 2);
  Names found{"stale"};
  ASSERT_EQ(list_files(dir_.path(), "*", &found), 0);
  EXPECT_EQ(found, kept);
  ASSERT_EQ(list_files(dir_.path() + "/", "*.db", &found), 0);  // letters match either case
  EXPECT_EQ(found, (Names{"0105TO0112.DB", "a.db"}));
  ASSERT_EQ(list_files(dir_.path(), "?.*", &found), 0);
  EXPECT_EQ(found, (Names{"a.db", "x.dbx"}));
  EXPECT_EQ(list_files(path("missing"), "*", &found), ENOENT);
  EXPECT_TRUE(found.empty());
  const fs::path cwd = fs::current_path();
  EXPECT_EQ(set_current_directory(path("missing")), ENOENT);
  ASSERT_EQ(set_current_directory(dir_.path()), 0);
  EXPECT_TRUE(file_exists("a.db"));
  ASSERT_EQ(list_files("", "a*", &found), 0);
  EXPECT_EQ(found, Names{"a.db"});
  fs::current_path(cwd);
  for (const auto& [folder, joined] : {std::pair{"", "a.db"}, {"data", "data/a.db"}, {"data/", "data/a.db"}, {"/", "/a.db"}}) {
    EXPECT_EQ(join_path(folder, "a.db"), joined);
  }
}

}  // namespace
}  // namespace platform
