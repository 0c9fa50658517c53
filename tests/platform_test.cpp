// What the other tests do not show of the file layer: share modes, copies refused or kept whole,
// and which temporaries count as left by an ended process.
#include "platform/platform.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "tests/test_util.h"

namespace platform {
namespace {

TEST(Platform, ShareModesAndCopiesRefuseWhatAHolderForbids) {
  testutil::TempDir dir;
  const auto open = [&](File& f, Share share, Disposition d = Disposition::open_existing) {
    return f.open(dir.file("a"), Access::read_write, share, d);
  };
  testutil::write_bytes(dir.file("a"), "keep me");
  for (Share held : {Share::none, Share::read, Share::read_write}) {
    for (Share wanted : {Share::none, Share::read, Share::read_write}) {
      File holder, other;
      ASSERT_EQ(open(holder, held), 0);
      const int refused = held == Share::none || wanted == Share::none ? sharing_violation_error() : 0;
      EXPECT_EQ(open(other, wanted), refused) << int(held) << int(wanted);
      EXPECT_EQ(open(other, Share::none, Disposition::create_always), sharing_violation_error());
      testutil::write_bytes(dir.file("from"), std::string(200 * 1024 + 17, 'x'));  // more than one chunk
      EXPECT_EQ(copy_file(dir.file("from"), dir.file("a")), held == Share::none ? sharing_violation_error() : 0);
      char seen[8] = {};  // what the holder has open is never touched
      EXPECT_EQ(std::string(seen, holder.read_at(0, seen, sizeof seen).count), "keep me");
      EXPECT_EQ(testutil::read_bytes(dir.file("a")).size(), held == Share::none ? 7u : 200 * 1024 + 17);
      testutil::write_bytes(dir.file("a"), "keep me");
    }
  }
  std::filesystem::create_symlink(dir.file("from"), dir.file("planted"));  // replaced whole, never written through
  testing::fail_writes_after(1000, ENOSPC);
  EXPECT_EQ(copy_file(dir.file("from"), dir.file("planted")), ENOSPC);
  testing::fail_writes_after(-1, 0);
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("planted")) && copy_file(dir.file("a"), dir.file("planted")) == 0);
  EXPECT_TRUE(!std::filesystem::is_symlink(dir.file("planted")) && testutil::read_bytes(dir.file("from")).size() > 7);
  EXPECT_EQ(copy_file(dir.file("a"), dir.file("a")), EINVAL);
  EXPECT_EQ(copy_file(dir.file("missing"), dir.file("b")), ENOENT);
  std::filesystem::create_symlink(dir.file("a"), dir.file("link"));
  EXPECT_EQ(copy_file(dir.file("link"), dir.file("b")), EINVAL);  // never through a symlink
  EXPECT_FALSE(file_exists(dir.file("b")));
}

TEST(Platform, StaleTemporariesAreThoseOfEndedProcesses) {
  testutil::TempDir dir;
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_EQ(::waitpid(child, nullptr, 0), child);
  const std::string dead = std::to_string(child);
  for (const std::string& n : {"call.db.new-" + dead + "-0", "0105to0112.db.new-" + dead + "-12"}) testutil::write_bytes(dir.file(n), "");
  std::vector<std::string> kept = {"a.db", "call.db.new", "call.db.new-" + std::to_string(::getpid()) + "-0",
                                   "call.db.new-1-0", "call.db.new-" + dead, "call.db.new-" + dead + "-", "call.db.new-x-1"};
  for (const std::string& n : kept) testutil::write_bytes(dir.file(n), "");
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(remove_stale_temporaries(dir.path()), 2);
  std::vector<std::string> found{"stale"};
  ASSERT_EQ(list_files(dir.path(), "*", &found), 0);
  EXPECT_EQ(found, kept);
  EXPECT_EQ(list_files(dir.file("missing"), "*", &found), ENOENT);
  EXPECT_TRUE(found.empty());
}

}  // namespace
}  // namespace platform
