// Loading libraries at run time, and zlib's start-up check: the system's zlib, a name that
// does not exist, and stand-in libraries built beside the tests that lack some entry points.

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "platform/platform.h"
#include "tests/support/recording_link.h"
#include "tests/test_util.h"
#include "updater/zlib_api.h"
#include "updater/zlib_loader.h"

namespace {

std::string note(const std::string& name) {
  return "NOTE: to update the Canadian database, download the " + name +
         " file into your calldb folder\r\n\r\n";
}

// --- platform::Library ------------------------------------------------------------------------

TEST(LibraryTest, OpensByNameFindsExportsAndUnloadsWhenMovedOrClosed) {
  platform::Library library;
  EXPECT_FALSE(library.is_open());
  EXPECT_EQ(library.symbol("inflate"), nullptr);

  ASSERT_EQ(library.open(platform::zlib_library_name()), 0);
  EXPECT_TRUE(library.is_open());
  EXPECT_NE(library.symbol("inflate"), nullptr);
  EXPECT_EQ(library.symbol("no_such_entry_point"), nullptr);

  platform::Library moved(std::move(library));
  EXPECT_FALSE(library.is_open());
  EXPECT_EQ(library.symbol("inflate"), nullptr);
  ASSERT_TRUE(moved.is_open());
  using Version = const char* (*)();
  const auto version = reinterpret_cast<Version>(moved.symbol("zlibVersion"));
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(version()[0], '1');

  moved.close();
  EXPECT_FALSE(moved.is_open());
  EXPECT_EQ(moved.symbol("inflate"), nullptr);
}

TEST(LibraryTest, FilesThatAreNoLibraryFailToOpenWithACodeAndLeaveItClosed) {
  testutil::TempDir dir;
  testutil::write_bytes(dir.file("libtext.so"), "not a shared library\n");
  for (const std::string& name :
       {std::string("libz-absent.so.9"), dir.file("libmissing.so"), dir.file("libtext.so")}) {
    SCOPED_TRACE(name);
    platform::Library library;
    ASSERT_EQ(library.open(platform::zlib_library_name()), 0);
    EXPECT_NE(library.open(name), 0);
    EXPECT_FALSE(library.is_open());  // the library held before is let go as well
  }
}

// --- load_zlib -------------------------------------------------------------------------------

struct Loaded {
  bool ready = false;
  std::string log;
};

Loaded load(const std::string& name, platform::Library* library, updater::ZlibApi* api) {
  testutil::RecordingLink link;
  Loaded loaded;
  loaded.ready = updater::load_zlib(link, name, library, api);
  loaded.log = link.log();
  return loaded;
}

TEST(LoadZlibTest, SystemLibraryHasEverything) {
  platform::Library library;
  updater::ZlibApi api;
  const Loaded loaded = load(platform::zlib_library_name(), &library, &api);
  EXPECT_EQ(loaded.log, "zlib is present\r\nall zlib procedures found\r\n");
  ASSERT_TRUE(loaded.ready);
  EXPECT_TRUE(library.is_open());
  ASSERT_TRUE(api.ready());
  EXPECT_NE(api.zlibVersion, nullptr);
}

TEST(LoadZlibTest, MissingLibraryGivesOnlyTheNoteNamingIt) {
  platform::Library library;
  updater::ZlibApi api;
  const Loaded loaded = load("libz-absent.so.9", &library, &api);
  EXPECT_EQ(loaded.log, note("libz-absent.so.9"));
  EXPECT_FALSE(loaded.ready);
  EXPECT_FALSE(library.is_open());
  EXPECT_FALSE(api.ready());
}

TEST(LoadZlibTest, LibraryLackingAnInflateEntryPointIsNotUsed) {
  platform::Library library;
  updater::ZlibApi api;
  const Loaded loaded = load(FAKE_ZLIB_PARTIAL, &library, &api);  // inflateInit_ and inflate
  EXPECT_EQ(loaded.log, "zlib is present\r\nzlibVersion not found\r\ninflateEnd not found\r\n" +
                            note(FAKE_ZLIB_PARTIAL));
  EXPECT_FALSE(loaded.ready);
  EXPECT_FALSE(library.is_open());
  EXPECT_EQ(api.inflateInit_, nullptr);
  EXPECT_EQ(api.inflate, nullptr);
}

TEST(LoadZlibTest, LibraryLackingEverythingReportsEachEntryPointInOrder) {
  platform::Library library;
  updater::ZlibApi api;
  const Loaded loaded = load(FAKE_ZLIB_EMPTY, &library, &api);
  EXPECT_EQ(loaded.log,
            "zlib is present\r\nzlibVersion not found\r\ninflateInit not found\r\n"
            "inflate not found\r\ninflateEnd not found\r\n" +
                note(FAKE_ZLIB_EMPTY));
  EXPECT_FALSE(loaded.ready);
}

TEST(LoadZlibTest, MissingVersionIsOnlyReported) {
  platform::Library library;
  updater::ZlibApi api;
  const Loaded loaded = load(FAKE_ZLIB_NO_VERSION, &library, &api);
  EXPECT_EQ(loaded.log,
            "zlib is present\r\nzlibVersion not found\r\nall zlib procedures found\r\n");
  EXPECT_TRUE(loaded.ready);
  EXPECT_TRUE(library.is_open());
  EXPECT_TRUE(api.ready());
  EXPECT_EQ(api.zlibVersion, nullptr);
  // The stand-in's own inflateInit_, not the system's.
  z_stream stream = {};
  EXPECT_EQ(api.inflateInit_(&stream, "1.2.3", static_cast<int>(sizeof stream)), -2);
}

}  // namespace
