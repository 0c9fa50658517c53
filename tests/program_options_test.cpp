// The windows' command lines, without a display: a bad option or server address is a usage error.

#include <gtest/gtest.h>

#include "tests/support/run_process.h"

TEST(ProgramOptions, UsageErrorsAndHelp) {
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  const std::string must = " must be HOST or HOST:PORT";
  const std::tuple<const char*, std::vector<std::string>, std::string> cases[] = {
      {FERNWICK_PATH, {"--update-server", "host:0"}, "fernwick: --update-server" + must},
      {FERNWICK_PATH, {"--canada-server", "host:port"}, "fernwick: --canada-server" + must},
      {ORBISK_PATH, {"--no-such-option"}, "Unknown option 'no-such-option'"},
      {FERNWICK_PATH, {"--no-such-option"}, "Unknown option 'no-such-option'"}};
  for (const auto& [program, args, says] : cases) {
    const testutil::Outcome o = testutil::run_process(program, args);
    EXPECT_TRUE(o.code == 2 && o.err.find(says) != std::string::npos) << program << ": " << o.err;
  }
}
