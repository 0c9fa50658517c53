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

namespace fs = std::filesystem;
using testutil::read_bytes;
using testutil::write_bytes;

TEST(Platform, ShareModesAndCopiesRefuseWhatAHolderForbids) {
  testutil::TempDir dir;
  const auto open = [&](File& f, Share share, Disposition d = Disposition::open_existing) {
    return f.open(dir.file("a"), Access::read_write, share, d);
  };
  const std::string big(200 * 1024 + 17, 'x');  // more than one chunk
  write_bytes(dir.file("from"), big);
  write_bytes(dir.file("a"), "keep me");
  for (Share held : {Share::none, Share::read, Share::read_write}) {
    for (Share wanted : {Share::none, Share::read, Share::read_write}) {
      File holder, other;
      ASSERT_EQ(open(holder, held), 0);
      const int refused = held == Share::none ? sharing_violation_error() : 0;
      const int none = sharing_violation_error();
      EXPECT_EQ(open(other, wanted), wanted == Share::none ? none : refused) << int(wanted);
      EXPECT_EQ(open(other, Share::none, Disposition::create_always), none);
      EXPECT_EQ(copy_file(dir.file("from"), dir.file("a")), refused);
      char seen[8] = {};  // what the holder has open is never touched
      EXPECT_EQ(std::string(seen, holder.read_at(0, seen, sizeof seen).count), "keep me");
      EXPECT_EQ(read_bytes(dir.file("a")).size(), refused != 0 ? 7u : big.size());
      write_bytes(dir.file("a"), "keep me");
    }
  }
  // A symlink in the way is replaced whole, never written through, even by a failed copy.
  fs::create_symlink(dir.file("from"), dir.file("planted"));
  testing::fail_writes_after(1000, ENOSPC);
  EXPECT_EQ(copy_file(dir.file("from"), dir.file("planted")), ENOSPC);
  testing::fail_writes_after(-1, 0);
  EXPECT_TRUE(fs::is_symlink(dir.file("planted")));
  EXPECT_EQ(copy_file(dir.file("a"), dir.file("planted")), 0);
  EXPECT_FALSE(fs::is_symlink(dir.file("planted")));
  EXPECT_EQ(read_bytes(dir.file("from")), big);
  EXPECT_EQ(copy_file(dir.file("a"), dir.file("a")), EINVAL);
  EXPECT_EQ(copy_file(dir.file("missing"), dir.file("b")), ENOENT);
  fs::create_symlink(dir.file("a"), dir.file("link"));
  EXPECT_EQ(copy_file(dir.file("link"), dir.file("b")), EINVAL);  // never through a symlink
  EXPECT_FALSE(file_exists(dir.file("b")));
}

TEST(Platform, StaleTemporariesAreThoseOfEndedProcesses) {
  testutil::TempDir dir;
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_EQ(::waitpid(child, nullptr, 0), child);
  const std::string dead = std::to_string(child);
  write_bytes(dir.file("call.db.new-" + dead + "-0"), "");
  write_bytes(dir.file("0105to0112.db.new-" + dead + "-12"), "");
  std::vector<std::string> kept = {"a.db", "call.db.new", "call.db.new-1-0", "call.db.new-x-1",
                                   "call.db.new-" + std::to_string(::getpid()) + "-0",
                                   "call.db.new-" + dead, "call.db.new-" + dead + "-"};
  for (const std::string& n : kept) write_bytes(dir.file(n), "");
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
