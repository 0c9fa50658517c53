// Taking amateur.txt out of amateur.zip: archives made by Info-ZIP's zip and Python's zipfile
// while the tests run, read with the system's zlib, compared byte for byte and line for line.

#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "tests/support/recording_link.h"
#include "tests/support/zip_tools.h"
#include "tests/test_util.h"
#include "updater/unzip.h"
#include "updater/updater_state.h"
#include "updater/zlib_api.h"
#include "updater/zlib_loader.h"

namespace {

namespace fs = std::filesystem;
using testutil::kBzip2;
using testutil::kDeflated;
using testutil::kStored;
using testutil::quoted;
using testutil::read_bytes;
using testutil::shell;
using testutil::write_bytes;

constexpr char kHeading[] =
    "\r\nFiles in Canadian amateur.zip\r\n Compressed   Regular  Filename\r\n";

std::string listing_line(int method, long compressed, long regular, const std::string& name) {
  char line[640];
  std::snprintf(line, sizeof line, "%02x %8ld %9ld  %s\r\n", method, compressed, regular,
                name.c_str());
  return line;
}

// The listing lines zipfile gives for the archive's members.
std::string listing_of(const std::string& zip) {
  std::string lines;
  for (const testutil::ZipEntry& e : testutil::zip_entries(zip)) {
    lines += listing_line(e.method, e.compressed, e.regular, e.name);
  }
  return lines;
}

// Licence lines much like the real list's: they compress well.
std::string licence_lines(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    char line[96];
    std::snprintf(line, sizeof line, "VE%dX%03d  JOHN Q OPERATOR%*s%05d MAIN STREET  OTTAWA ON\r\n",
                  i % 10, i % 1000, 20, "", i);
    text += line;
  }
  return text;
}

// Pseudo-random printable text: deflate can hardly shrink it.
std::string noise(std::size_t size, unsigned seed) {
  static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 ,.";
  std::mt19937 rng(seed);
  std::string text(size, ' ');
  for (char& c : text) c = kChars[rng() % (sizeof kChars - 1)];
  return text;
}

// The start of a member's data, from its local header at `offset`.
std::size_t data_offset(const std::string& zip, std::size_t offset) {
  auto u16 = [&](std::size_t at) {
    return static_cast<unsigned char>(zip[at]) | (static_cast<unsigned char>(zip[at + 1]) << 8);
  };
  return offset + 30 + u16(offset + 26) + u16(offset + 28);
}

// An archive of one member, amateur.txt, whose data `body` was made apart.
std::string list_member(int method, const std::string& body, std::uint32_t regular) {
  std::string zip(30, '\0');
  testutil::put_word(&zip, 0, 0x04034B50);
  zip[4] = 20;
  zip[8] = static_cast<char>(method);
  testutil::put_word(&zip, 18, static_cast<std::uint32_t>(body.size()));
  testutil::put_word(&zip, 22, regular);
  zip[26] = 11;
  return zip + "amateur.txt" + body;
}

// Makes a full disk for the life of the object.
struct FullDisk {
  explicit FullDisk(std::int64_t after) { platform::testing::fail_writes_after(after, ENOSPC); }
  ~FullDisk() { platform::testing::fail_writes_after(-1, 0); }
};

// A RecordingLink that runs a hook on each log text once it is recorded.
class HookLink : public testutil::RecordingLink {
 public:
  std::function<void(std::string_view)> on_log;
  void log_text(std::string_view text) override {
    RecordingLink::log_text(text);
    if (on_log) on_log(text);
  }
};

class UnzipTest : public ::testing::Test {
 protected:
  UnzipTest() {
    fs::create_directory(src_);
    testutil::RecordingLink load_log;
    zlib_loaded_ = updater::load_zlib(load_log, platform::zlib_library_name(), &zlib_, &api_);
    env_.link = &link_;
    env_.state = &state_;
    env_.folder = dir_.path();
    env_.zlib = &api_;
    env_.cancel = &cancel_;
  }

  void SetUp() override { ASSERT_TRUE(zlib_loaded_) << "the system's zlib did not load"; }

  // A member's source file, kept apart from the data folder.
  std::string source(const std::string& name, const std::string& contents) {
    const std::string path = src_ + "/" + name;
    fs::create_directories(fs::path(path).parent_path());
    write_bytes(path, contents);
    return path;
  }
  std::string data(const std::string& name) const { return dir_.file(name); }

  // Runs Info-ZIP's zip in the source folder: `zip ARGS`.
  void info_zip(const std::string& args) {
    ASSERT_EQ(shell("cd " + quoted(src_) + " && zip -q -X " + args), 0) << args;
  }
  void python_zip(const std::string& zip, const std::vector<testutil::ZipSource>& members) {
    ASSERT_EQ(testutil::python_zip(zip, members), 0);
  }

  int unzip(const char* archive = "amateur.zip") { return updater::unzip(env_, archive); }

  // What the data folder holds besides the source folder.
  std::vector<std::string> data_files() const {
    std::vector<std::string> names;
    for (const fs::directory_entry& e : fs::directory_iterator(dir_.path())) {
      if (e.path() != src_) names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  testutil::TempDir dir_;
  const std::string src_ = dir_.file("src");
  platform::Library zlib_;
  updater::ZlibApi api_;
  bool zlib_loaded_ = false;
  HookLink link_;
  updater::UpdaterState state_;
  std::atomic<bool> cancel_{false};
  updater::WorkerEnv env_;
};

// --- Extraction --------------------------------------------------------------------------------

TEST_F(UnzipTest, DeflatedListAfterOtherMembersIsListedAndExtractedWhole) {
  const std::string list = licence_lines(3000);
  source("readme.txt", licence_lines(40));
  source("amateur.txt", list);
  info_zip(quoted(data("amateur.zip")) + " readme.txt amateur.txt");
  const std::string listing = listing_of(data("amateur.zip"));
  ASSERT_EQ(listing.substr(0, 2), "08");
  ASSERT_NE(listing.find("\r\n08 "), std::string::npos) << "amateur.txt not deflated";

  EXPECT_EQ(unzip(), 0);
  EXPECT_EQ(link_.log(), kHeading + listing);
  EXPECT_EQ(read_bytes(data("amateur.txt")), list);
  EXPECT_EQ(data_files(), (std::vector<std::string>{"amateur.txt", "amateur.zip"}));
}

TEST_F(UnzipTest, StoredListIsCopiedInPiecesAndReplacesTheOldOne) {
  write_bytes(data("amateur.txt"), "last week's list\r\n");
  const std::string list = noise(10000, 1);  // more than two copy pieces
  python_zip(data("amateur.zip"), {{"amateur.txt", kStored, source("amateur.txt", list)},
                                   {"after.txt", kDeflated, source("after.txt", "x")}});

  EXPECT_EQ(unzip(), 0);
  EXPECT_EQ(link_.log(), std::string(kHeading) + listing_line(0, 10000, 10000, "amateur.txt") +
                             listing_line(8, 3, 1, "after.txt"));
  EXPECT_EQ(read_bytes(data("amateur.txt")), list);
  EXPECT_EQ(data_files(), (std::vector<std::string>{"amateur.txt", "amateur.zip"}));
}

TEST_F(UnzipTest, DeflatedDataLargerThanTheInputBufferInflatesIdentically) {
  const std::string list = noise(400000, 2);
  source("amateur.txt", list);
  info_zip(quoted(data("amateur.zip")) + " amateur.txt");
  const std::vector<testutil::ZipEntry> entries = testutil::zip_entries(data("amateur.zip"));
  ASSERT_EQ(entries.size(), 1u);
  ASSERT_EQ(entries[0].method, 8);
  ASSERT_GT(entries[0].compressed, 2 * 131072) << "needs three reads of the input buffer";

  EXPECT_EQ(unzip(), 0);
  EXPECT_EQ(link_.log(), kHeading + listing_of(data("amateur.zip")));
  EXPECT_TRUE(read_bytes(data("amateur.txt")) == list);
}

TEST_F(UnzipTest, FirstReadThatInflatesToExactlyTwoOutputBuffersGoesOnWithTheNextRead) {
  // The first read's 131070 bytes of data inflate to exactly 2 x 131072 bytes: spaces flushed to
  // a byte boundary, then stored blocks up to the read's last byte. Inflate then has nothing to
  // do until the next read (Z_BUF_ERROR), which is no error.
  ASSERT_EQ(testutil::python(
                "import struct, sys, zlib\n"
                "def flushed(data, mode):\n"
                "    c = zlib.compressobj(9, zlib.DEFLATED, -15)\n"
                "    return c.compress(data) + c.flush(mode)\n"
                "def stored(d):\n"
                "    return b''.join(struct.pack('<BHH', 0, len(d[i:i + 65535]),\n"
                "                                len(d[i:i + 65535]) ^ 0xFFFF) + d[i:i + 65535]\n"
                "                    for i in range(0, len(d), 65535))\n"
                "a = next(a for a in range(131084, 132084)\n"
                "         if a == 131084 + len(flushed(b' ' * a, zlib.Z_FULL_FLUSH)))\n"
                "noise = bytes((i * 7919 + i // 251) % 251 for i in range(262144 - a))\n"
                "text = b''.join(b'VE%dX%03d  JOHN Q OPERATOR\\r\\n' % (i % 10, i) for i in range(900))\n"
                "open(sys.argv[1], 'wb').write(flushed(b' ' * a, zlib.Z_FULL_FLUSH) + stored(noise)\n"
                "                              + flushed(text, zlib.Z_FINISH))\n"
                "open(sys.argv[2], 'wb').write(b' ' * a + noise + text)\n",
                {data("body"), data("list")}),
            0);
  const std::string list = read_bytes(data("list"));
  write_bytes(data("amateur.zip"), list_member(kDeflated, read_bytes(data("body")),
                                               static_cast<std::uint32_t>(list.size())));

  EXPECT_EQ(unzip(), 0) << link_.log();
  EXPECT_TRUE(read_bytes(data("amateur.txt")) == list);
}

TEST_F(UnzipTest, DeflateStreamThatCarriesZlibsCheckValueReportsItsEnd) {
  // Raw deflate data followed by the Adler-32 value zlib's own format ends with: the inflate
  // reaches the stream's end and reports the bytes written.
  const std::string list = licence_lines(100);
  ASSERT_EQ(testutil::python("import sys, zlib\n"
                             "data = open(sys.argv[1], 'rb').read()\n"
                             "open(sys.argv[2], 'wb').write(zlib.compress(data)[2:])\n",
                             {source("amateur.txt", list), data("body")}),
            0);
  const std::string body = read_bytes(data("body"));
  write_bytes(data("amateur.zip"),
              list_member(kDeflated, body, static_cast<std::uint32_t>(list.size())));
  const long compressed = static_cast<long>(body.size());

  EXPECT_EQ(unzip(), 0);
  EXPECT_EQ(link_.log(), kHeading +
                             listing_line(8, compressed, static_cast<long>(list.size()),
                                          "amateur.txt") +
                             "wrote " + std::to_string(list.size()) + " bytes, 0 left\r\n");
  EXPECT_EQ(read_bytes(data("amateur.txt")), list);
}

// --- Members that are not the list -------------------------------------------------------------

TEST_F(UnzipTest, NamesThatOnlyResembleTheListAreListedButNotExtracted) {
  write_bytes(data("amateur.txt"), "last week's list\r\n");
  source("Amateur.txt", "upper case\r\n");
  source("dir/amateur.txt", "in a folder\r\n");
  source("amateur.txt.old", "longer name\r\n");
  info_zip(quoted(data("amateur.zip")) + " Amateur.txt dir/amateur.txt amateur.txt.old");

  EXPECT_EQ(unzip(), updater::kUnzipNoList);
  EXPECT_EQ(link_.log(), kHeading + listing_of(data("amateur.zip")) +
                             "amateur.txt not found in amateur.zip\r\n");
  EXPECT_EQ(read_bytes(data("amateur.txt")), "last week's list\r\n");
  EXPECT_EQ(data_files(), (std::vector<std::string>{"amateur.txt", "amateur.zip"}));
}

TEST_F(UnzipTest, WebPageInsteadOfAnArchiveListsNothingAndFindsNoList) {
  write_bytes(data("amateur.zip"),
              "<!DOCTYPE html>\n<html><head><title>Maintenance</title></head>\n"
              "<body><p>The service is unavailable. Please try again later.</p></body></html>\n");
  EXPECT_EQ(unzip(), updater::kUnzipNoList);
  EXPECT_EQ(link_.log(), std::string(kHeading) + "amateur.txt not found in amateur.zip\r\n");
  EXPECT_FALSE(fs::exists(data("amateur.txt")));
}

TEST_F(UnzipTest, MissingArchiveIsAnOpeningError) {
  EXPECT_EQ(unzip("nope.zip"), updater::kUnzipFileError);
  EXPECT_EQ(link_.log(), "nope.zip <<-- ERROR opening file\r\n");
}

TEST_F(UnzipTest, OtherCompressionMethodIsPassedOverQuietlyButReportedForTheList) {
  const std::string list = licence_lines(50);
  python_zip(data("amateur.zip"),
             {{"notes.txt", kBzip2, source("notes.txt", licence_lines(20))},
              {"amateur.txt", kDeflated, source("amateur.txt", list)}});
  const std::string listing = listing_of(data("amateur.zip"));
  ASSERT_EQ(listing.substr(0, 3), "0c ");

  EXPECT_EQ(unzip(), 0);
  EXPECT_EQ(link_.log(), kHeading + listing);
  EXPECT_EQ(read_bytes(data("amateur.txt")), list);

  link_.clear();
  python_zip(data("bz.zip"), {{"amateur.txt", kBzip2, source("amateur.txt", "new\r\n")}});
  EXPECT_EQ(unzip("bz.zip"), updater::kUnzipNoList);
  EXPECT_EQ(link_.log(), kHeading + listing_of(data("bz.zip")) +
                             "Compression not implemented\r\n"
                             "amateur.txt NOT extracted from bz.zip\r\n");
  EXPECT_EQ(read_bytes(data("amateur.txt")), list);
}

TEST_F(UnzipTest, NameLongerThan511BytesIsListedCutAndPassedOver) {
  const std::string long_name = std::string(600, 'n');
  const std::string list = licence_lines(10);
  python_zip(data("amateur.zip"),
             {{long_name, kDeflated, source("long.txt", licence_lines(30))},
              {"amateur.txt", kStored, source("amateur.txt", list)}});
  const std::vector<testutil::ZipEntry> entries = testutil::zip_entries(data("amateur.zip"));
  ASSERT_EQ(entries.size(), 2u);

  EXPECT_EQ(unzip(), 0);
  EXPECT_EQ(link_.log(),
            kHeading +
                listing_line(8, entries[0].compressed, entries[0].regular,
                             long_name.substr(0, 511)) +
                listing_line(0, entries[1].compressed, entries[1].regular, "amateur.txt"));
  EXPECT_EQ(read_bytes(data("amateur.txt")), list);
}

// --- Archives that cannot give a whole list ----------------------------------------------------

TEST_F(UnzipTest, ArchivesWrittenToAPipeKeepTheirSizesAfterTheDataAndAreRefused) {
  write_bytes(data("amateur.txt"), "last week's list\r\n");
  source("amateur.txt", licence_lines(200));
  ASSERT_EQ(shell("cd " + quoted(src_) + " && zip -q - amateur.txt | cat > " +
                  quoted(data("infozip.zip"))),
            0);
  ASSERT_EQ(shell("cd " + quoted(src_) + " && python3 -c " +
                  quoted("import sys, zipfile\n"
                         "with zipfile.ZipFile(sys.stdout.buffer, 'w',\n"
                         "                     zipfile.ZIP_DEFLATED) as z:\n"
                         "    z.write('amateur.txt')\n") +
                  " | cat > " + quoted(data("python.zip"))),
            0);

  for (const char* zip : {"infozip.zip", "python.zip"}) {
    SCOPED_TRACE(zip);
    link_.clear();
    EXPECT_EQ(unzip(zip), updater::kUnzipSizesUnusable);
    const std::string log = link_.log();
    EXPECT_EQ(log.substr(0, sizeof kHeading - 1), kHeading);
    EXPECT_NE(log.find("  amateur.txt\r\n"), std::string::npos);
    EXPECT_TRUE(log.ends_with("  amateur.txt\r\namateur.txt has its sizes after its data: NOT "
                              "extracted\r\n"))
        << log;
    EXPECT_EQ(read_bytes(data("amateur.txt")), "last week's list\r\n");
  }
}

TEST_F(UnzipTest, DeflatedListCutByTheArchivesEndFailsWithoutLeavingAList) {
  source("amateur.txt", noise(300000, 3));
  info_zip(quoted(data("full.zip")) + " amateur.txt");
  const std::string full = read_bytes(data("full.zip"));
  write_bytes(data("amateur.zip"), full.substr(0, data_offset(full, 0) + 200000));

  EXPECT_EQ(unzip(), Z_BUF_ERROR);
  EXPECT_EQ(link_.log(), kHeading + listing_of(data("full.zip")) +
                             "INFLATE ERROR -5\r\ndoinflate() returned -5\r\n");
  EXPECT_EQ(data_files(), (std::vector<std::string>{"amateur.zip", "full.zip"}));
}

TEST_F(UnzipTest, StoredListCutByTheArchivesEndFailsWithoutLeavingAList) {
  python_zip(data("full.zip"), {{"amateur.txt", kStored, source("amateur.txt", noise(9000, 4))}});
  const std::string full = read_bytes(data("full.zip"));
  write_bytes(data("amateur.zip"), full.substr(0, data_offset(full, 0) + 5000));

  EXPECT_EQ(unzip(), updater::kUnzipCutShort);
  EXPECT_EQ(link_.log(), kHeading + listing_line(0, 9000, 9000, "amateur.txt") +
                             "amateur.txt is cut short: the archive ends 4000 bytes early\r\n");
  EXPECT_EQ(data_files(), (std::vector<std::string>{"amateur.zip", "full.zip"}));
}

TEST_F(UnzipTest, ListThatComesOutAtAnotherSizeThanItsHeaderGivesIsDropped) {
  const std::string list = licence_lines(500);
  source("amateur.txt", list);
  info_zip(quoted(data("amateur.zip")) + " amateur.txt");
  std::string zip = read_bytes(data("amateur.zip"));
  testutil::put_word(&zip, 22, static_cast<std::uint32_t>(list.size() + 1));
  write_bytes(data("amateur.zip"), zip);
  python_zip(data("stored.zip"), {{"amateur.txt", kStored, source("amateur.txt", list)}});
  std::string stored = read_bytes(data("stored.zip"));
  testutil::put_word(&stored, 22, static_cast<std::uint32_t>(list.size() - 1));
  write_bytes(data("stored.zip"), stored);

  const std::string size = std::to_string(list.size());
  EXPECT_EQ(unzip(), updater::kUnzipSizeMismatch);
  EXPECT_TRUE(link_.log().ends_with("amateur.txt came out at " + size + " bytes, not " +
                                    std::to_string(list.size() + 1) +
                                    ": NOT extracted\r\ndoinflate() returned -7\r\n"))
      << link_.log();

  link_.clear();
  EXPECT_EQ(unzip("stored.zip"), updater::kUnzipSizeMismatch);
  EXPECT_TRUE(link_.log().ends_with("  amateur.txt\r\namateur.txt came out at " + size +
                                    " bytes, not " + std::to_string(list.size() - 1) +
                                    ": NOT extracted\r\n"))
      << link_.log();
  EXPECT_EQ(data_files(), (std::vector<std::string>{"amateur.zip", "stored.zip"}));
}

TEST_F(UnzipTest, ListLargerThan256MiBIsRefusedBeforeAnythingIsWritten) {
  // 257 MiB of zero bytes deflate to some 260 KB: the same flushed block 257 times over.
  ASSERT_EQ(testutil::python("import sys, zlib\n"
                             "c = zlib.compressobj(9, zlib.DEFLATED, -15)\n"
                             "block = c.compress(bytes(1 << 20)) + c.flush(zlib.Z_FULL_FLUSH)\n"
                             "open(sys.argv[1], 'wb').write(block * 257 + b'\\x03\\x00')\n",
                             {data("zeros")}),
            0);
  write_bytes(data("deflated.zip"), list_member(kDeflated, read_bytes(data("zeros")), 257u << 20));
  std::string stored = list_member(kStored, "short", 257u << 20);
  testutil::put_word(&stored, 18, 257u << 20);
  write_bytes(data("stored.zip"), stored);
  write_bytes(data("amateur.txt"), "last week's list\r\n");

  for (const char* zip : {"deflated.zip", "stored.zip"}) {
    link_.clear();
    EXPECT_EQ(unzip(zip), updater::kUnzipSizesUnusable) << zip;
    EXPECT_TRUE(link_.log().ends_with("amateur.txt is too large: NOT extracted\r\n")) << link_.log();
    EXPECT_EQ(read_bytes(data("amateur.txt")), "last week's list\r\n");
  }
}

TEST_F(UnzipTest, FullDiskOrALinkPlantedAtTheOldWorkingNameChangesNothingElse) {
  write_bytes(data("amateur.txt"), "last week's list\r\n");
  write_bytes(data("victim"), "not for the updater");
  fs::create_symlink(data("victim"), data("amateur.txt.part"));
  const std::string list = noise(300000, 6);
  python_zip(data("deflated.zip"), {{"amateur.txt", kDeflated, source("amateur.txt", list)}});
  python_zip(data("stored.zip"), {{"amateur.txt", kStored, source("amateur.txt", list)}});
  {
    const FullDisk full(100000);
    for (const char* zip : {"deflated.zip", "stored.zip"}) {
      link_.clear();
      EXPECT_EQ(unzip(zip), updater::kUnzipFileError) << zip;
      EXPECT_NE(link_.log().find("ERROR writing amateur.txt, error " + std::to_string(ENOSPC)),
                std::string::npos)
          << link_.log();
      EXPECT_EQ(read_bytes(data("amateur.txt")), "last week's list\r\n");
    }
  }
  EXPECT_EQ(unzip("stored.zip"), 0);
  EXPECT_TRUE(read_bytes(data("amateur.txt")) == list);
  EXPECT_EQ(read_bytes(data("victim")), "not for the updater");
  EXPECT_EQ(data_files(), (std::vector<std::string>{"amateur.txt", "amateur.txt.part",
                                                    "deflated.zip", "stored.zip", "victim"}));
}

// --- Failures around the output ---------------------------------------------------------------

TEST_F(UnzipTest, OutputThatCannotBeCreatedFailsTheDeflatedListAndPassesOverTheStoredOne) {
  // A data folder whose path leaves room for "/amateur.zip" but not for the temporary name the
  // list is written under: creating it fails with ENAMETOOLONG.
  std::string folder = dir_.path();
  while (folder.size() < 3800) folder += "/" + std::string(200, 'd');
  folder += "/" + std::string(4080 - folder.size() - 1, 'e');
  fs::create_directories(folder);
  env_.folder = folder;
  python_zip(folder + "/deflated.zip",
             {{"amateur.txt", kDeflated, source("amateur.txt", licence_lines(20))}});
  python_zip(folder + "/stored.zip", {{"amateur.txt", kStored, source("amateur.txt", "x\r\n")},
                                      {"next.txt", kStored, source("next.txt", "y")}});

  EXPECT_EQ(unzip("deflated.zip"), updater::kUnzipFileError);
  EXPECT_TRUE(link_.log().ends_with(
      "  amateur.txt\r\namateur.txt <<-- ERROR creating output file\r\n"
      "doinflate() returned -1\r\n"))
      << link_.log();

  link_.clear();
  EXPECT_EQ(unzip("stored.zip"), updater::kUnzipNoList);
  EXPECT_EQ(link_.log(), kHeading + listing_line(0, 3, 3, "amateur.txt") +
                             "amateur.txt <<-- ERROR creating output file\r\n" +
                             listing_line(0, 1, 1, "next.txt") +
                             "amateur.txt NOT extracted from stored.zip\r\n");
  EXPECT_FALSE(fs::exists(folder + "/amateur.txt"));
}

TEST_F(UnzipTest, ListThatCannotBePutInPlaceIsAFailureAndLeavesNoPart) {
  fs::create_directories(data("amateur.txt/inside"));  // a folder where the list goes
  python_zip(data("amateur.zip"), {{"amateur.txt", kStored, source("amateur.txt", "x\r\n")}});

  EXPECT_EQ(unzip(), updater::kUnzipFileError);
  EXPECT_TRUE(link_.log().ends_with("  amateur.txt\r\nERROR writing amateur.txt, error " +
                                    std::to_string(EISDIR) + "\r\n"))
      << link_.log();
  EXPECT_EQ(data_files(), (std::vector<std::string>{"amateur.txt", "amateur.zip"}));
}

TEST_F(UnzipTest, CancelDuringTheInflateLeavesNoPartialList) {
  source("amateur.txt", noise(300000, 5));
  info_zip(quoted(data("amateur.zip")) + " amateur.txt");
  link_.on_log = [this](std::string_view text) {
    if (text.ends_with("  amateur.txt\r\n")) cancel_ = true;
  };

  EXPECT_EQ(unzip(), updater::kUnzipCancelled);
  EXPECT_TRUE(link_.log().ends_with(
      "  amateur.txt\r\nUnzip cancelled\r\ndoinflate() returned -8\r\n"))
      << link_.log();
  EXPECT_EQ(data_files(), (std::vector<std::string>{"amateur.zip"}));
}

TEST_F(UnzipTest, WithoutZlibOnlyAStoredListCanBeExtracted) {
  updater::ZlibApi none;
  env_.zlib = &none;
  python_zip(data("deflated.zip"),
             {{"amateur.txt", kDeflated, source("amateur.txt", licence_lines(20))}});
  python_zip(data("stored.zip"), {{"amateur.txt", kStored, source("amateur.txt", "x\r\n")}});

  EXPECT_EQ(unzip("deflated.zip"), updater::kUnzipNoZlib);
  EXPECT_TRUE(link_.log().ends_with(
      "zlib is not loaded: amateur.txt cannot be inflated\r\ndoinflate() returned -9\r\n"))
      << link_.log();
  EXPECT_FALSE(fs::exists(data("amateur.txt")));

  EXPECT_EQ(unzip("stored.zip"), 0);
  EXPECT_EQ(read_bytes(data("amateur.txt")), "x\r\n");
}

TEST_F(UnzipTest, InflateInitFailureIsReportedWithZlibsCode) {
  updater::ZlibApi refusing = api_;
  refusing.inflateInit_ = [](z_streamp, const char*, int) { return Z_VERSION_ERROR; };
  env_.zlib = &refusing;
  python_zip(data("amateur.zip"),
             {{"amateur.txt", kDeflated, source("amateur.txt", licence_lines(20))},
              {"after.txt", kStored, source("after.txt", "y")}});

  EXPECT_EQ(unzip(), Z_VERSION_ERROR);
  EXPECT_TRUE(link_.log().ends_with(
      "  amateur.txt\r\ninflateInit error\r\ndoinflate() returned -6\r\n"))
      << link_.log();
  EXPECT_EQ(data_files(), (std::vector<std::string>{"amateur.zip"}));
}

}  // namespace
