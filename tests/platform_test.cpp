// The file layer's share modes, whole copies and stale temporaries, as no other test shows them.
#include "platform/platform.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <limits>

#include "tests/test_util.h"

namespace platform {
namespace {

using testutil::read_bytes;
using testutil::write_bytes;

TEST(Platform, ShareModesAndCopiesRefuseWhatAHolderForbids) {
  testutil::TempDir dir;
  const auto a = dir.file("a"), from = dir.file("from"), planted = dir.file("planted");
  const std::string big(200 * 1024 + 17, 'x');  // more than one chunk
  const int refused = sharing_violation_error();
  const auto open = [&](File& f, Share share, Disposition d = Disposition::open_existing) {
    return f.open(a, Access::read_write, share, d);
  };
  write_bytes(from, big);
  for (Share held : {Share::none, Share::read, Share::read_write}) {
    for (Share wanted : {Share::none, Share::read, Share::read_write}) {
      write_bytes(a, "keep me");
      File holder, other;
      ASSERT_EQ(open(holder, held), 0);
      const int by_holder = held == Share::none ? refused : 0;
      EXPECT_EQ(open(other, wanted), wanted == Share::none ? refused : by_holder);
      EXPECT_EQ(open(other, Share::none, Disposition::create_always), refused);
      EXPECT_EQ(copy_file(from, a), by_holder);
      char seen[8] = {};  // what the holder has open is never touched
      EXPECT_EQ(std::string(seen, holder.read_at(0, seen, sizeof seen).count), "keep me");
      EXPECT_EQ(read_bytes(a).size(), by_holder != 0 ? 7u : big.size());
    }
  }
  // A symlink in the way is replaced whole, never written through, even by a failed copy.
  std::filesystem::create_symlink(from, planted);
  testing::fail_writes_after(1000, ENOSPC);
  EXPECT_EQ(copy_file(from, planted), ENOSPC);
  testing::fail_writes_after(-1, 0);
  EXPECT_TRUE(std::filesystem::is_symlink(planted));
  EXPECT_EQ(copy_file(a, planted), 0);
  EXPECT_FALSE(std::filesystem::is_symlink(planted));
  EXPECT_EQ(read_bytes(from), big);
  EXPECT_EQ(copy_file(a, a), EINVAL);
  EXPECT_EQ(copy_file(dir.file("missing"), dir.file("b")), ENOENT);
  std::filesystem::create_symlink(a, dir.file("link"));
  EXPECT_EQ(copy_file(dir.file("link"), dir.file("b")), EINVAL);  // never through a symlink
  EXPECT_FALSE(file_exists(dir.file("b")));
}

// Reads and writes are refused (EINVAL) only where the end would pass the largest file offset.
TEST(Platform, OffsetsUpToTheLargestFileOffset) {
  testutil::TempDir dir;
  write_bytes(dir.file("f"), "abc");
  File f;
  const Disposition existing = Disposition::open_existing;
  ASSERT_EQ(f.open(dir.file("f"), Access::read_write, Share::read_write, existing), 0);
  const std::uint64_t max = std::numeric_limits<off_t>::max();
  char c = 0;
  EXPECT_EQ(f.read_at(max, &c, 0).error, 0);
  EXPECT_EQ(f.read_at(max, &c, 1).error, EINVAL);
  EXPECT_EQ(f.read_at(max + 1, &c, 0).error, EINVAL);
  EXPECT_EQ(f.write_at(max, &c, 0).error, 0);
  EXPECT_EQ(f.write_at(max - 1, &c, 2).error, EINVAL);
  EXPECT_EQ(f.read_at(1, &c, 1).count, 1u);
  EXPECT_EQ(c, 'b');
  testing::fail_writes_after(0, ENOSPC);  // a disk full from the start
  EXPECT_EQ(f.write_at(0, &c, 1).error, ENOSPC);
  testing::fail_writes_after(-1, 0);
}

}  // namespace
}  // namespace platform
