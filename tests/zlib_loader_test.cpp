// Loading libraries at run time, and zlib's start-up check: the system's zlib, a name that
// does not exist, and stand-in libraries built beside the tests that lack some entry points.

#include "updater/zlib_loader.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "platform/platform.h"
#include "tests/support/recording_link.h"
#include "tests/test_util.h"
#include "updater/zlib_api.h"

namespace {

TEST(LibraryTest, OpensFindsExportsAndLetsGoWhenMovedClosedOrReopenedAmiss) {
  platform::Library library;
  EXPECT_EQ(library.symbol("inflate"), nullptr);
  ASSERT_EQ(library.open(platform::zlib_library_name()), 0);
  EXPECT_NE(library.symbol("inflate"), nullptr);
  EXPECT_EQ(library.symbol("no_such_entry_point"), nullptr);
  platform::Library moved(std::move(library));
  EXPECT_FALSE(library.is_open());
  ASSERT_TRUE(moved.is_open());
  EXPECT_EQ(reinterpret_cast<const char* (*)()>(moved.symbol("zlibVersion"))()[0], '1');
  moved.close();
  EXPECT_FALSE(moved.is_open());
  EXPECT_EQ(moved.symbol("inflate"), nullptr);

  testutil::TempDir dir;
  testutil::write_bytes(dir.file("libtext.so"), "not a shared library\n");
  for (const std::string& name : {std::string("libz-absent.so.9"), dir.file("libtext.so")}) {
    ASSERT_EQ(library.open(platform::zlib_library_name()), 0);
    EXPECT_NE(library.open(name), 0) << name;
    EXPECT_FALSE(library.is_open()) << name;  // the library held before is let go as well
  }
}

TEST(LoadZlibTest, EntryPointsFoundAndMissing) {
  const std::string present = "zlib is present\r\n";
  const auto note = [](const std::string& name) {
    return "NOTE: to update the Canadian database, download the " + name +
           " file into your calldb folder\r\n\r\n";
  };
  const struct {
    std::string library;
    std::string log;
    bool ready;
  } cases[] = {
      {platform::zlib_library_name(), present + "all zlib procedures found\r\n", true},
      {"libz-absent.so.9", note("libz-absent.so.9"), false},
      {FAKE_ZLIB_PARTIAL,  // inflateInit_ and inflate only
       present + "zlibVersion not found\r\ninflateEnd not found\r\n" + note(FAKE_ZLIB_PARTIAL),
       false},
      {FAKE_ZLIB_EMPTY,
       present +
           "zlibVersion not found\r\ninflateInit not found\r\ninflate not found\r\n"
           "inflateEnd not found\r\n" +
           note(FAKE_ZLIB_EMPTY),
       false},
      // zlibVersion is only reported: the inflate never calls it.
      {FAKE_ZLIB_NO_VERSION, present + "zlibVersion not found\r\nall zlib procedures found\r\n",
       true},
  };
  for (const auto& c : cases) {
    platform::Library library;
    updater::ZlibApi api;
    testutil::RecordingLink link;
    EXPECT_EQ(updater::load_zlib(link, c.library, &library, &api), c.ready) << c.library;
    EXPECT_EQ(link.log(), c.log);
    EXPECT_EQ(library.is_open(), c.ready);
    EXPECT_EQ(api.ready(), c.ready);
    EXPECT_EQ(api.inflate != nullptr, c.ready) << c.library;  // nothing is kept when not ready
  }
  // The stand-in's own inflateInit_ is used, not the system's.
  platform::Library library;
  updater::ZlibApi api;
  testutil::RecordingLink link;
  ASSERT_TRUE(updater::load_zlib(link, FAKE_ZLIB_NO_VERSION, &library, &api));
  EXPECT_EQ(api.zlibVersion, nullptr);
  z_stream stream = {};
  EXPECT_EQ(api.inflateInit_(&stream, "1.2.3", static_cast<int>(sizeof stream)), -2);
}

}  // namespace
