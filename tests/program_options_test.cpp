// The windows' command lines, without a display: a bad option or server address is a usage error.

#include <gtest/gtest.h>

#include "tests/support/run_process.h"

TEST(ProgramOptions, UsageErrorsAndHelp) {
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  const std::tuple<const char*, std::vector<std::string>, int, std::string> cases[] = {
      {FERNWICK_PATH, {"--update-server", "host:0"}, 2, "fernwick: --update-server must be HOST or HOST:PORT"},
      {FERNWICK_PATH, {"--canada-server", "host:port"}, 2, "fernwick: --canada-server must be HOST or HOST:PORT"},
      {ORBISK_PATH, {"--no-such-option"}, 2, "Unknown option 'no-such-option'"},
      {FERNWICK_PATH, {"--no-such-option"}, 2, "Unknown option 'no-such-option'"}};
  for (const auto& [program, args, code, says] : cases) {
    const testutil::Outcome o = testutil::run_process(program, args);
    EXPECT_EQ(o.code, code) << program << " " << args[0];
    EXPECT_NE(o.err.find(says), std::string::npos) << o.err;
  }
}
