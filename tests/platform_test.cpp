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
  void put(const std::string& name, const std::string& bytes) { testutil::write_bytes(path(name), bytes); }
  std::string get(const std::string& name) { return testutil::read_bytes(path(name)); }
  int open(File& f, const std::string& name, Share share, Disposition d = Disposition::open_existing) const {
    return f.open(path(name), Access::read_write, share, d);
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
  File moved(std::move(holder));  // the lock follows the file, and goes with it
  EXPECT_EQ(open(other, "a", Share::read), kViolation);
  moved = File();
  EXPECT_EQ(open(other, "a", Share::none), 0);
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);  // fails without waiting for a writer
  EXPECT_NE(open(other, "fifo", Share::read), 0);
  EXPECT_FALSE(other.is_open());
}

TEST_F(PlatformTest, CopyFile_TargetIsTheWholeCopyOrAsItWas) {
  std::string big(200 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31 + i / 251);
  put("from", big);
  put("other", "not mine to write");
  fs::create_symlink(path("other"), path("to other"));
  fs::create_symlink(path("other"), path("source link"));
  const struct { const char *source, *target, *before; int expected; bool full_disk; } cases[] = {
      {"from", "longer", "a longer file than the copy is going to be", 0, false},  // before: the target's
      {"from", "to other", nullptr, 0, false},  // the symlink itself is replaced
      {"from", "held", "held open", 0, false},
      {"from", "held alone", "held with Share::none", -1, false},  // -1: a sharing violation
      {"from", "full", "as it was", ENOSPC, true},
      {"source link", "via link", nullptr, EINVAL, false},
      {"missing", "none", nullptr, ENOENT, false},
      {"from", "from", nullptr, EINVAL, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    if (c.before != nullptr) put(c.target, c.before);
    const std::string name = c.target;
    File holder;
    if (name.rfind("held", 0) == 0) open(holder, name, name == "held" ? Share::read_write : Share::none);
    if (c.full_disk) testing::fail_writes_after(1000, ENOSPC);
    const int result = copy_file(path(c.source), path(c.target));
    testing::fail_writes_after(-1, 0);
    EXPECT_EQ(result, c.expected < 0 ? kViolation : c.expected);
    char held[32] = {};  // what a holder has open is never touched
    EXPECT_EQ(std::string(held, holder.read_at(0, held, sizeof held).count), holder.is_open() ? c.before : "");
    EXPECT_TRUE(c.expected != 0 || (!fs::is_symlink(path(c.target)) && get(c.target) == big));
    EXPECT_TRUE(c.expected == 0 || c.before == nullptr || get(c.target) == c.before);
    EXPECT_TRUE(c.before != nullptr || name == "from" || fs::exists(fs::symlink_status(path(c.target))) == (c.expected == 0));
  }
  EXPECT_TRUE(get("from") == big);
  EXPECT_EQ(get("other"), "not mine to write");
  for (const auto& e : fs::directory_iterator(dir_.path())) EXPECT_FALSE(is_temporary_name(e.path().filename()));
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
  EXPECT_EQ(list_files(path("missing"), "*", &found), ENOENT);
  EXPECT_TRUE(found.empty());
  EXPECT_EQ(move_file(path("a.db"), path("x.dbx")), EEXIST);  // never replaces
}

}  // namespace
}  // namespace platform
