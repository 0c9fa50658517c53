// The windows' command lines, without a display: a bad option or server address is a usage error;
// the help shows the settings file's values.

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/run_process.h"
#include "tests/test_util.h"

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

TEST(ProgramOptions, HelpShowsTheSettingsInForce) {
  const testutil::TempDir config;
  const std::string file = config.file("vantry/calldb.conf");
  std::filesystem::create_directory(config.file("vantry"));
  testutil::write_bytes(file, "data-folder=/srv/calldb\n");
  setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
  for (const char* program : {ORBISK_PATH, FERNWICK_PATH}) {
    const testutil::Outcome o = testutil::run_process(program, {"--help"});
    EXPECT_NE(o.out.find("  data-folder=/srv/calldb  (from " + file + ")\n"), std::string::npos)
        << program << ": " << o.out;
  }
  unsetenv("XDG_CONFIG_HOME");
}
