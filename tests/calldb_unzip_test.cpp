// calldb unzip as its users see it: the real program on a temporary data folder, with archives
// made by Python's zipfile; its output, the files it leaves and its exit code are compared.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/run_process.h"
#include "tests/support/zip_tools.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;
using testutil::Outcome;
using testutil::read_bytes;
using testutil::write_bytes;

constexpr char kZlibFound[] = "zlib is present\nall zlib procedures found\n";
constexpr char kHeading[] = "\nFiles in Canadian amateur.zip\n Compressed   Regular  Filename\n";

Outcome calldb(const std::vector<std::string>& args, const std::string& cwd = "") {
  return testutil::run_process(CALLDB_PATH, args, cwd);
}

class CalldbUnzipTest : public ::testing::Test {
 protected:
  CalldbUnzipTest() {
    fs::create_directory(data_);
    fs::create_directory(src_);
  }

  std::string data(const std::string& name) const { return data_ + "/" + name; }
  // A stored archive `zip` in the data folder holding `members` (name, contents).
  void stored_zip(const std::string& zip,
                  const std::vector<std::pair<std::string, std::string>>& members) {
    std::vector<testutil::ZipSource> sources;
    for (const auto& [name, contents] : members) {
      const std::string path = src_ + "/" + std::to_string(sources.size());
      write_bytes(path, contents);
      sources.push_back({name, testutil::kStored, path});
    }
    ASSERT_EQ(testutil::python_zip(data(zip), sources), 0);
  }

  testutil::TempDir dir_;
  const std::string data_ = dir_.file("data");
  const std::string src_ = dir_.file("src");
};

TEST_F(CalldbUnzipTest, ExtractsTheListFromAmateurZipInTheDataFolderOrTheCurrentOne) {
  stored_zip("amateur.zip", {{"readme.txt", "read me\r\n"}, {"amateur.txt", "VE3ABC\r\n"}});

  const Outcome first = calldb({"unzip", "-C", data_});
  EXPECT_EQ(first.out, std::string(kZlibFound) + kHeading +
                           "00        9         9  readme.txt\n"
                           "00        8         8  amateur.txt\n");
  EXPECT_EQ(first.err, "");
  EXPECT_EQ(first.code, 0);
  EXPECT_EQ(read_bytes(data("amateur.txt")), "VE3ABC\r\n");

  fs::remove(data("amateur.txt"));
  const Outcome second = calldb({"unzip"}, data_);
  EXPECT_EQ(second.out, first.out);
  EXPECT_EQ(second.code, 0);
  EXPECT_EQ(read_bytes(data("amateur.txt")), "VE3ABC\r\n");
}

TEST_F(CalldbUnzipTest, ReadsTheArchiveNamed) {
  stored_zip("list.zip", {{"amateur.txt", "VE3XYZ\r\n"}});
  const Outcome run = calldb({"unzip", "-C", data_, "list.zip"});
  EXPECT_EQ(run.out, std::string(kZlibFound) + kHeading + "00        8         8  amateur.txt\n");
  EXPECT_EQ(run.code, 0);
  EXPECT_EQ(read_bytes(data("amateur.txt")), "VE3XYZ\r\n");
}

TEST_F(CalldbUnzipTest, ExitsOneWhenNoListCameOut) {
  write_bytes(data("amateur.txt"), "last week's list\r\n");
  const Outcome missing = calldb({"unzip", "-C", data_});
  EXPECT_EQ(missing.out, std::string(kZlibFound) + "amateur.zip <<-- ERROR opening file\n");
  EXPECT_EQ(missing.err, "");
  EXPECT_EQ(missing.code, 1);

  write_bytes(data("page.zip"), "<html><body>Not found</body></html>\n");
  const Outcome page = calldb({"unzip", "-C", data_, "page.zip"});
  EXPECT_EQ(page.out, std::string(kZlibFound) + kHeading + "amateur.txt not found in page.zip\n");
  EXPECT_EQ(page.code, 1);

  stored_zip("other.zip", {{"Amateur.txt", "upper case\r\n"}});
  const Outcome other = calldb({"unzip", "-C", data_, "other.zip"});
  EXPECT_EQ(other.out, std::string(kZlibFound) + kHeading +
                           "00       12        12  Amateur.txt\n"
                           "amateur.txt not found in other.zip\n");
  EXPECT_EQ(other.code, 1);
  EXPECT_EQ(read_bytes(data("amateur.txt")), "last week's list\r\n");
}

TEST_F(CalldbUnzipTest, ExitsTwoOnBadUsage) {
  const Outcome two_archives = calldb({"unzip", "-C", data_, "a.zip", "b.zip"});
  EXPECT_EQ(two_archives.out, "");
  EXPECT_NE(two_archives.err, "");
  EXPECT_EQ(two_archives.code, 2);
}

}  // namespace
