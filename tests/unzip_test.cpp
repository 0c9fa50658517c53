// Taking amateur.txt out of amateur.zip: one table of archives, made by Python's zipfile and by
// hand while the tests run, and what each gives: the result, the log, the list afterwards.

#include "updater/unzip.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "platform/platform.h"
#include "tests/support/recording_link.h"
#include "tests/support/zip_tools.h"
#include "tests/test_util.h"
#include "updater/zlib_loader.h"

namespace {

namespace fs = std::filesystem;
using testutil::kBzip2;
using testutil::kDeflated;
using testutil::kStored;
using testutil::read_bytes;
using testutil::write_bytes;

constexpr char kHeading[] =
    "\r\nFiles in Canadian amateur.zip\r\n Compressed   Regular  Filename\r\n";
constexpr char kOldList[] = "last week's list\r\n";

std::string listing_line(int method, long compressed, long regular, const std::string& name) {
  char line[640];
  std::snprintf(line, sizeof line, "%02x %8ld %9ld  %s\r\n", method, compressed, regular,
                name.substr(0, 511).c_str());
  return line;
}

// Pseudo-random printable text: deflate can hardly shrink it.
std::string noise(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string text(size, ' ');
  for (char& c : text) c = static_cast<char>(' ' + rng() % 90);
  return text;
}

// An archive of one member, amateur.txt, whose data `body` was made apart.
std::string list_member(int method, const std::string& body, std::uint32_t regular,
                        std::uint32_t compressed = 0) {
  std::string zip(30, '\0');
  testutil::put_word(&zip, 0, updater::kZipLocalSignature);
  zip[8] = static_cast<char>(method);
  testutil::put_word(&zip, 18, compressed ? compressed : static_cast<std::uint32_t>(body.size()));
  testutil::put_word(&zip, 22, regular);
  zip[26] = 11;
  return zip + "amateur.txt" + body;
}

std::size_t data_start(const std::string& zip) { return 30 + (zip[26] & 0xFF) + (zip[28] & 0xFF); }

using Member = std::tuple<std::string, int, std::string>;

// Deflate data whose first read of 131070 bytes inflates to exactly two output buffers, so that
// inflate has nothing to do until the next read ("two", of "two.txt"); deflate data that carries
// zlib's check value after it, so that inflate reports the stream's end ("checked", of
// "text"); an archive written to a pipe, whose sizes follow the data ("piped"); and zipfile's
// archives, as make_archives() describes.
constexpr char kMakeArchives[] =
    "import io, struct, sys, zipfile, zlib\n"
    "def put(name, data): open(sys.argv[1] + '/' + name, 'wb').write(data)\n"
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
    "spaces = flushed(b' ' * a, zlib.Z_FULL_FLUSH)\n"
    "put('two', spaces + stored(noise) + flushed(text, zlib.Z_FINISH))\n"
    "put('two.txt', b' ' * a + noise + text)\n"
    "put('checked', zlib.compress(text)[2:])\n"
    "put('text', text)\n"
    "class Pipe(io.RawIOBase):\n"
    "    def __init__(self, f): self.f = f\n"
    "    def writable(self): return True\n"
    "    def write(self, b): return self.f.write(b)\n"
    "with open(sys.argv[1] + '/piped', 'wb') as f, zipfile.ZipFile(Pipe(f), 'w', 8) as z:\n"
    "    z.writestr('amateur.txt', 'x')\n"
    "archives = {}\n"
    "for arg in sys.argv[2:]:\n"
    "    archive, name, method, src = arg.split(':')\n"
    "    archives.setdefault(archive, []).append((name, int(method), src))\n"
    "for archive, members in archives.items():\n"
    "    path = sys.argv[1] + '/' + archive\n"
    "    with zipfile.ZipFile(path, 'w') as z:\n"
    "        for name, method, src in members: z.write(src, name, compress_type=method)\n"
    "    with zipfile.ZipFile(path) as z, open(path + '.list', 'w', newline='') as f:\n"
    "        for i in z.infolist():\n"
    "            f.write('%02x %8d %9d  %s\\r\\n' % (i.compress_type, i.compress_size,\n"
    "                                             i.file_size, i.filename[:511]))\n";

class UnzipTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testutil::RecordingLink load_log;
    ASSERT_TRUE(updater::load_zlib(load_log, platform::zlib_library_name(), &zlib_, &api_));
    env_.link = &link_;
    env_.state = &state_;
    env_.cancel = &cancel_;
  }

  // Archive `name`, made by make_archives().
  std::string made(const std::string& name) { return read_bytes(src_.file(name)); }

  // Has zipfile write each archive of (name, method, contents) members into the source folder,
  // with its listing as zipfile reads the central directory beside it (NAME.list); and makes
  // the deflate data of the odd streams below. One Python run: each costs a second.
  void make_archives(const std::map<std::string, std::vector<Member>>& archives) {
    std::vector<std::string> args = {src_.path()};
    for (const auto& [archive, members] : archives) {
      for (const auto& [name, method, contents] : members) {
        const std::string source = src_.file(std::to_string(args.size()));
        write_bytes(source, contents);
        args.push_back(archive + ":" + name + ":" + std::to_string(method) + ":" + source);
      }
    }
    ASSERT_EQ(testutil::python(kMakeArchives, args), 0);
    for (const auto& [archive, members] : archives) {
      listings_[made(archive)] = made(archive + ".list");
    }
  }

  std::map<std::string, std::string> listings_;  // archive bytes to zipfile's listing
  testutil::TempDir dir_;
  testutil::TempDir src_;
  platform::Library zlib_;
  updater::ZlibApi api_;
  struct : testutil::RecordingLink {
    std::atomic<bool>* cancel_on_list = nullptr;  // raised once amateur.txt is listed
    void log_text(std::string_view text) override {
      RecordingLink::log_text(text);
      if (cancel_on_list && text.ends_with("  amateur.txt\r\n")) *cancel_on_list = true;
    }
  } link_;
  updater::UpdaterState state_;
  std::atomic<bool> cancel_{false};
  updater::WorkerEnv env_;
};

TEST_F(UnzipTest, ArchivesAndWhatTheyGive) {
  const std::string big = noise(400000, 1);   // more than two reads of deflated data
  const std::string small = noise(10000, 2);  // more than two pieces of a stored copy
  const std::string text = "x\r\n";
  make_archives(
      {{"deflated", {{"amateur.txt", kDeflated, big}}},
       {"stored", {{"amateur.txt", kStored, small}}},
       {"after", {{"readme.txt", kDeflated, small}, {"amateur.txt", kDeflated, big}}},
       {"before", {{"amateur.txt", kStored, small}, {"after.txt", kDeflated, text}}},
       {"bzip2", {{"notes.txt", kBzip2, small}, {"amateur.txt", kDeflated, big}}},
       {"long", {{std::string(600, 'n'), kDeflated, big}, {"amateur.txt", kStored, small}}},
       {"alike",
        {{"Amateur.txt", kStored, text},
         {"dir/amateur.txt", kStored, text},
         {"amateur.txt.old", kStored, text}}},
       {"bzip2_list", {{"amateur.txt", kBzip2, text}}},
       {"next", {{"amateur.txt", kStored, text}, {"next.txt", kStored, "y"}}}});
  if (HasFatalFailure()) return;
  const std::string deflated = made("deflated");
  const std::string stored = made("stored");
  std::string one_more = deflated, one_less = stored;
  testutil::put_word(&one_more, 22, static_cast<std::uint32_t>(big.size() + 1));
  testutil::put_word(&one_less, 22, static_cast<std::uint32_t>(small.size() - 1));
  const std::string two = made("two.txt");
  const std::string checked_text = made("text");

  enum Setting { none, cut_path, folder_in_the_way, cancel, no_zlib, refusing_zlib, full_disk };
  struct Case {
    std::string archive;  // "-" for none
    int result;
    std::string log;        // after zipfile's listing of the archive, or the log's end when !listed
    std::string list = "";  // amateur.txt afterwards; "" when the old one stays
    bool listed = true;
    Setting setting = none;
  } cases[] = {
      {made("after"), 0, "", big},
      {made("before"), 0, "", small},
      {list_member(kDeflated, made("two"), two.size()), 0, "", two, false},
      {list_member(kDeflated, made("checked"), checked_text.size()), 0,
       "wrote " + std::to_string(checked_text.size()) + " bytes, 0 left\r\n", checked_text, false},
      {made("bzip2"), 0, "", big},
      {made("long"), 0, "", small},
      {made("alike"), updater::kUnzipNoList, "amateur.txt not found in amateur.zip\r\n"},
      {"<!DOCTYPE html>\n<html><body>Maintenance</body></html>\n", updater::kUnzipNoList,
       "amateur.txt not found in amateur.zip\r\n"},
      {"-", updater::kUnzipFileError, "amateur.zip <<-- ERROR opening file\r\n", "", false},
      {made("bzip2_list"), updater::kUnzipNoList,
       "Compression not implemented\r\namateur.txt NOT extracted from amateur.zip\r\n"},
      {made("piped"), updater::kUnzipSizesUnusable,
       "  amateur.txt\r\namateur.txt has its sizes after its data: NOT extracted\r\n", "", false},
      {deflated.substr(0, data_start(deflated) + 200000), Z_BUF_ERROR,
       "INFLATE ERROR -5\r\ndoinflate() returned -5\r\n", "", false},
      {stored.substr(0, data_start(stored) + 5000), updater::kUnzipCutShort,
       "amateur.txt is cut short: the archive ends 5000 bytes early\r\n", "", false},
      {one_more, updater::kUnzipSizeMismatch,
       "amateur.txt came out at 400000 bytes, not 400001: NOT extracted\r\n"
       "doinflate() returned -7\r\n",
       "", false},
      {one_less, updater::kUnzipSizeMismatch,
       "  amateur.txt\r\namateur.txt came out at 10000 bytes, not 9999: NOT extracted\r\n", "",
       false},
      {list_member(kDeflated, "x", 257u << 20), updater::kUnzipSizesUnusable,
       "amateur.txt is too large: NOT extracted\r\n", "", false},
      {list_member(kStored, "short", 5, 257u << 20), updater::kUnzipSizesUnusable,
       "amateur.txt is too large: NOT extracted\r\n", "", false},
      {deflated, updater::kUnzipFileError,
       "ERROR writing amateur.txt, error " + std::to_string(ENOSPC) +
           "\r\ndoinflate() returned -1\r\n",
       "", false, full_disk},
      {stored, updater::kUnzipFileError,
       "ERROR writing amateur.txt, error " + std::to_string(ENOSPC) + "\r\n", "", false, full_disk},
      {deflated, updater::kUnzipFileError,
       "  amateur.txt\r\namateur.txt <<-- ERROR creating output file\r\n"
       "doinflate() returned -1\r\n",
       "", false, cut_path},
      {made("next"), updater::kUnzipNoList,
       "  amateur.txt\r\namateur.txt <<-- ERROR creating output file\r\n" +
           listing_line(0, 1, 1, "next.txt") + "amateur.txt NOT extracted from amateur.zip\r\n",
       "", false, cut_path},
      {stored, updater::kUnzipFileError,
       "  amateur.txt\r\nERROR writing amateur.txt, error " + std::to_string(EISDIR) + "\r\n", "",
       false, folder_in_the_way},
      {deflated, updater::kUnzipCancelled,
       "  amateur.txt\r\nUnzip cancelled\r\ndoinflate() returned -8\r\n", "", false, cancel},
      {deflated, updater::kUnzipNoZlib,
       "zlib is not loaded: amateur.txt cannot be inflated\r\ndoinflate() returned -9\r\n", "",
       false, no_zlib},
      {stored, 0, "", small, true, no_zlib},
      {deflated, Z_VERSION_ERROR,
       "  amateur.txt\r\ninflateInit error\r\ndoinflate() returned -6\r\n", "", false,
       refusing_zlib},
  };

  // A data folder whose path leaves room for "/amateur.zip" but not for the temporary name the
  // list is written under: creating that fails with ENAMETOOLONG.
  std::string cut_folder = dir_.file("cut");
  while (cut_folder.size() < 3800) cut_folder += "/" + std::string(200, 'd');
  cut_folder += "/" + std::string(4080 - cut_folder.size() - 1, 'e');
  fs::create_directories(cut_folder);
  // Where the list was once written on its way: a link there must not be followed.
  write_bytes(dir_.file("victim"), "not for the updater");
  fs::create_symlink(dir_.file("victim"), dir_.file("amateur.txt.part"));
  updater::ZlibApi refusing = api_;
  refusing.inflateInit_ = [](z_streamp, const char*, int) { return Z_VERSION_ERROR; };
  const updater::ZlibApi no_api;

  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(&c - cases) + ": " + c.log);
    const std::string folder = c.setting == cut_path ? cut_folder : dir_.path();
    env_.folder = folder;
    env_.zlib = c.setting == no_zlib ? &no_api : c.setting == refusing_zlib ? &refusing : &api_;
    link_.clear();
    link_.cancel_on_list = c.setting == cancel ? &cancel_ : nullptr;
    cancel_ = false;
    fs::remove_all(folder + "/amateur.txt");
    fs::remove(folder + "/amateur.zip");
    if (c.setting == folder_in_the_way) {
      fs::create_directories(folder + "/amateur.txt/inside");
    } else if (c.setting != cut_path) {
      write_bytes(folder + "/amateur.txt", kOldList);
    }
    if (c.archive != "-") write_bytes(folder + "/amateur.zip", c.archive);
    platform::testing::fail_writes_after(c.setting == full_disk ? 5000 : -1, ENOSPC);
    EXPECT_EQ(updater::unzip(env_, "amateur.zip"), c.result);
    platform::testing::fail_writes_after(-1, 0);

    if (c.listed) {
      EXPECT_EQ(link_.log(), kHeading + listings_[c.archive] + c.log);
    } else {
      EXPECT_TRUE(link_.log().ends_with(c.log)) << link_.log();
    }
    if (c.setting != cut_path && c.setting != folder_in_the_way) {
      EXPECT_TRUE(read_bytes(folder + "/amateur.txt") == (c.list.empty() ? kOldList : c.list));
    }
    EXPECT_EQ(fs::exists(folder + "/amateur.txt"), c.setting != cut_path);
    std::vector<std::string> names;
    for (const fs::directory_entry& e : fs::directory_iterator(dir_.path())) {
      names.push_back(e.path().filename().string());
    }
    std::erase(names, "amateur.zip");
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"amateur.txt", "amateur.txt.part", "cut", "victim"}))
        << "no file but the list is left";
    EXPECT_EQ(read_bytes(dir_.file("victim")), "not for the updater");
  }
}

}  // namespace
