// The windows' command lines: what they accept and how they refuse a bad option or server
// address. All of it works without a display: the window system's plugin cannot load here.

#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/support/run_process.h"

namespace {

class ProgramOptions : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    setenv("QT_QPA_PLATFORM", "xcb", 1);
  }
};

TEST_F(ProgramOptions, FernwickRefusesServerAddressesItCannotUse) {
  for (const char* option : {"--update-server", "--canada-server"}) {
    for (const char* address : {"host:port", "host:0", "host:99999", ""}) {
      SCOPED_TRACE(std::string(option) + " " + address);
      const testutil::Outcome o = testutil::run_process(FERNWICK_PATH, {option, address});
      EXPECT_EQ(o.code, 2);
      EXPECT_NE(o.err.find(std::string("fernwick: ") + option + " must be HOST or HOST:PORT"),
                std::string::npos)
          << o.err;
    }
  }
}

TEST_F(ProgramOptions, UnknownOptionIsAUsageError) {
  for (const char* program : {FERNWICK_PATH, ORBISK_PATH, ORBISK_US_PATH}) {
    const testutil::Outcome o = testutil::run_process(program, {"--no-such-option"});
    EXPECT_EQ(o.code, 2) << program;
    EXPECT_NE(o.err.find("Unknown option 'no-such-option'"), std::string::npos) << o.err;
  }
}

TEST_F(ProgramOptions, HelpNamesTheFolderAndTheServers) {
  const testutil::Outcome fernwick = testutil::run_process(FERNWICK_PATH, {"--help"});
  EXPECT_EQ(fernwick.code, 0);
  for (const char* text : {"[FOLDER]", "--update-server", "--canada-server", "--ca-file",
                           "--floppy-folder"}) {
    EXPECT_NE(fernwick.out.find(text), std::string::npos) << text;
  }
  struct Edition {
    const char* program;
    const char* says;
  };
  for (const Edition& e : {Edition{ORBISK_PATH, "US and Canadian licence databases"},
                           Edition{ORBISK_US_PATH, "US-only edition"}}) {
    const testutil::Outcome orbisk = testutil::run_process(e.program, {"--help"});
    EXPECT_EQ(orbisk.code, 0);
    EXPECT_NE(orbisk.out.find("[FOLDER]"), std::string::npos) << orbisk.out;
    EXPECT_NE(orbisk.out.find(e.says), std::string::npos) << orbisk.out;
  }
}

}  // namespace
