// The settings file as the three programs read it: the values it sets and where they came from,
// a damaged file ignored whole with what was wrong, and the file fernwick's dialog writes.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "settings/settings.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;
const std::string kHome = "/home/ann";

// Each key's "KEY=VALUE" as read, "(built in)" after those that are the build's.
std::string shown(const settings::Settings& s) {
  std::string text;
  for (int k = 0; k < settings::kKeyCount; ++k) {
    const auto key = static_cast<settings::Key>(k);
    text += std::string(settings::key_name(key)) + "=" + settings::value_text(s, key) +
            (s.from_file[k] ? "" : " (built in)") + "\n";
  }
  return text;
}

TEST(Settings, FileIsReadWholeOrIgnoredWhole) {
  const settings::Settings build = settings::built_in(kHome);
  const std::string built = shown(build);
  // The built-in lines with `lines` (KEY=VALUE) in their places.
  const auto with = [&](std::initializer_list<std::string> lines) {
    std::string text = built;
    for (const std::string& line : lines) {
      const std::size_t at = text.find(line.substr(0, line.find('=') + 1));
      text.replace(at, text.find('\n', at) - at, line);
    }
    return text;
  };
  const struct {
    std::string text, values, problem;
  } cases[] = {
      {"", built, ""},
      {"# settings\n\n  us-source = club.example.org:8080 \r\ndata-folder=~/radio data\n"
       "floppy-folder=/mnt/a\n",
       with({"us-source=club.example.org:8080", "data-folder=/home/ann/radio data",
             "floppy-folder=/mnt/a"}), ""},
      {"us-source=fcc\nfcc-server=127.0.0.1:8443\ncanada-server=ca.example:443\n",
       with({"us-source=fcc", "fcc-server=127.0.0.1:8443", "canada-server=ca.example"}), ""},
      {"us-source=club:80\ndata-folder=~", with({"us-source=club", "data-folder=/home/ann"}), ""},
      // Damaged: nothing of it is used, not even the lines before the fault.
      {"colour=blue", built, "line 1: unknown key \"colour\""},
      {"data-folder=/a\ndata-folder=/b", built, "line 2: data-folder is given twice"},
      {"#\nus-source", built, "line 2: no KEY=VALUE"},
      {"us-source=http://club", built, "line 1: us-source must be fcc, or a club's update server"},
      {"fcc-server=h:0", built, "line 1: fcc-server must be HOST or HOST:PORT, as data.fcc.gov"},
      {"canada-server=a b", built, "line 1: canada-server must be HOST or HOST:PORT"},
      {"data-folder=vantry/calldb", built, "line 1: data-folder must be a folder's full path"},
      {"data-folder=", built, "line 1: data-folder must be a folder's full path"},
      {"floppy-folder=/a\x01", built, "line 1: floppy-folder must be a folder's full path"},
      {"key\x1b[2J=1", built, "line 1: unknown key \"key\\x1b[2J\""},
      {"#" + std::string(settings::kMaxFileSize, ' '), built, "larger than 64 KiB"},
  };
  const testutil::TempDir dir;
  const std::string path = dir.file("calldb.conf");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 60));
    testutil::write_bytes(path, c.text);
    const settings::Settings s = settings::load(path, kHome);
    EXPECT_EQ(shown(s), c.values);
    if (c.problem.empty()) {
      EXPECT_EQ(s.problem, "");
    } else {
      EXPECT_TRUE(s.problem.starts_with(path + ": " + c.problem)) << s.problem;
      EXPECT_TRUE(s.problem.ends_with("save new settings in fernwick's Settings dialog"));
    }
    EXPECT_EQ(settings::origin(s, settings::kDataFolder),
              s.from_file[settings::kDataFolder] ? "from " + path : "built in");
  }
  // Not there: the build's, no problem; not readable: told.
  EXPECT_EQ(shown(settings::load(dir.file("none"), kHome)), built);
  EXPECT_EQ(settings::load(dir.file("none"), kHome).problem, "");
  EXPECT_TRUE(settings::load(dir.path(), kHome).problem.starts_with(
      dir.path() + ": cannot be read (error 21)"));
}

// The dialog's values written and read back: only those that are not the build's, under a
// comment line, in folders made as needed, with no temporary file left.
TEST(Settings, SavedValuesReadBackAsTheyWere) {
  const testutil::TempDir dir;
  const std::string path = dir.file("config/vantry/calldb.conf");
  settings::Settings s = settings::built_in(kHome);
  std::string error;
  ASSERT_EQ(settings::save(path, s, kHome, &error), 0) << error;
  EXPECT_EQ(shown(settings::load(path, kHome)), shown(s));
  for (const auto& [key, text] : {std::pair{settings::kUsSource, "club.example.org:8080"},
                                  {settings::kCanadaServer, "127.0.0.1:8443"},
                                  {settings::kDataFolder, "/srv/calldb"}}) {
    ASSERT_EQ(settings::set_value(&s, key, text, kHome), "");
  }
  ASSERT_EQ(settings::save(path, s, kHome, &error), 0) << error;
  const std::string file = testutil::read_bytes(path);
  EXPECT_TRUE(file.starts_with("# ")) << file;
  EXPECT_TRUE(file.ends_with("\nus-source=club.example.org:8080\ncanada-server=127.0.0.1:8443\n"
                             "data-folder=/srv/calldb\n")) << file;
  EXPECT_EQ(shown(settings::load(path, kHome)), shown(s));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.file("config/vantry")), {}), 1);
  EXPECT_EQ(settings::save(dir.file("config/vantry/calldb.conf/x"), s, kHome, &error), -1);
  EXPECT_EQ(error, "Cannot write " + dir.file("config/vantry/calldb.conf/x") + " (error 20)");
}

}  // namespace
