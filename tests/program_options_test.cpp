// The windows' command lines: a bad option or server address is a usage error, --help names the
// folder and the options. All of it works without a display: the window system cannot load here.

#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/support/run_process.h"

TEST(ProgramOptions, UsageErrorsAndHelp) {
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  const struct {
    const char* program;
    std::vector<std::string> args;
    int code;
    std::vector<std::string> says;
  } cases[] = {
      {FERNWICK_PATH, {"--update-server", "host:0"}, 2, {"fernwick: --update-server must be HOST or HOST:PORT"}},
      {FERNWICK_PATH, {"--canada-server", "host:port"}, 2, {"fernwick: --canada-server must be HOST or HOST:PORT"}},
      {FERNWICK_PATH, {"--no-such-option"}, 2, {"Unknown option 'no-such-option'"}},
      {ORBISK_PATH, {"--no-such-option"}, 2, {"Unknown option 'no-such-option'"}},
      {ORBISK_US_PATH, {"--no-such-option"}, 2, {"Unknown option 'no-such-option'"}},
      {FERNWICK_PATH, {"--help"}, 0, {"[FOLDER]", "--update-server", "--canada-server", "--ca-file", "--floppy-folder"}},
      {ORBISK_PATH, {"--help"}, 0, {"[FOLDER]", "US and Canadian licence databases"}},
      {ORBISK_US_PATH, {"--help"}, 0, {"[FOLDER]", "US-only edition"}}};
  for (const auto& c : cases) {
    const testutil::Outcome o = testutil::run_process(c.program, c.args);
    EXPECT_EQ(o.code, c.code) << c.program << " " << c.args[0];
    for (const std::string& text : c.says) EXPECT_NE((c.code == 0 ? o.out : o.err).find(text), std::string::npos) << text;
  }
}
