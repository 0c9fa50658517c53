// Loading zlib at run time, and taking amateur.txt out of amateur.zip: one table of archives,
// built while the tests run, and what each gives: the result, the log, the list afterwards.

#include "updater/unzip.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "tests/support/recording_link.h"
#include "tests/test_util.h"
#include "updater/zlib_loader.h"

namespace {

namespace fs = std::filesystem;
using testutil::write_bytes;

TEST(LibraryTest, OpensFindsExportsAndLetsGoWhenMovedClosedOrReopenedAmiss) {
  platform::Library library;
  EXPECT_EQ(library.symbol("inflate"), nullptr);
  ASSERT_EQ(library.open(platform::zlib_library_name()), 0);
  EXPECT_NE(library.symbol("inflate"), nullptr);
  EXPECT_EQ(library.symbol("no_such_entry_point"), nullptr);
  platform::Library moved(std::move(library));
  EXPECT_FALSE(library.is_open());
  EXPECT_EQ(reinterpret_cast<const char* (*)()>(moved.symbol("zlibVersion"))()[0], '1');
  moved.close();
  EXPECT_EQ(moved.symbol("inflate"), nullptr);
  testutil::TempDir dir;
  write_bytes(dir.file("libtext.so"), "not a shared library\n");
  for (const std::string& name : {std::string("libz-absent.so.9"), dir.file("libtext.so")}) {
    ASSERT_EQ(library.open(platform::zlib_library_name()), 0);
    EXPECT_NE(library.open(name), 0) << name;
    EXPECT_FALSE(library.is_open()) << name;  // the library held before is let go as well
  }
}

// Stand-ins built beside the tests lack some entry points; zlibVersion is only reported.
TEST(LoadZlibTest, EntryPointsFoundAndMissing) {
  const std::string present = "zlib is present\r\n";
  const auto note = [](const std::string& name) {
    return "NOTE: to update the Canadian database, download the " + name +
           " file into your calldb folder\r\n\r\n";
  };
  const std::string partial = "zlibVersion not found\r\n";
  const std::string none = partial + "inflateInit not found\r\ninflate not found\r\n";
  const struct {
    std::string library;
    std::string log;
  } cases[] = {
      {platform::zlib_library_name(), present + "all zlib procedures found\r\n"},
      {"libz-absent.so.9", note("libz-absent.so.9")},
      {FAKE_ZLIB_PARTIAL, present + partial + "inflateEnd not found\r\n" + note(FAKE_ZLIB_PARTIAL)},
      {FAKE_ZLIB_EMPTY, present + none + "inflateEnd not found\r\n" + note(FAKE_ZLIB_EMPTY)},
      {FAKE_ZLIB_NO_VERSION, present + partial + "all zlib procedures found\r\n"},
  };
  for (const auto& c : cases) {
    platform::Library library;
    updater::ZlibApi api;
    testutil::RecordingLink link;
    const bool ready = c.log.ends_with("found\r\n");
    EXPECT_EQ(updater::load_zlib(link, c.library, &library, &api), ready) << c.library;
    EXPECT_EQ(link.log(), c.log);
    EXPECT_EQ(library.is_open(), ready);
    EXPECT_EQ(api.inflate != nullptr, ready) << c.library;  // nothing is kept when not ready
  }
}

// Raw deflate data of `text` ending with `flush`; a zlib stream with `window` 15.
std::string deflated(const std::string& text, int flush = Z_FINISH, int window = -15) {
  z_stream z = {};
  deflateInit2(&z, 9, Z_DEFLATED, window, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, text.size()) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, flush);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

struct Member {
  std::string name;
  int method;      // 0 stored, 8 deflated, anything else unknown
  std::string text;
  std::string data = "";  // what the archive holds, when not made from `text`
  int flags = 0;
};

// Local headers, each followed by the member's data: the central directory is never read.
std::string zip_of(const std::vector<Member>& members) {
  std::string zip;
  for (const Member& m : members) {
    const std::string data = !m.data.empty() ? m.data : m.method == 8 ? deflated(m.text) : m.text;
    std::string header(30, '\0');
    testutil::put_word(&header, 0, updater::kZipLocalSignature);
    header[6] = static_cast<char>(m.flags);
    header[8] = static_cast<char>(m.method);
    testutil::put_word(&header, 18, static_cast<std::uint32_t>(data.size()));
    testutil::put_word(&header, 22, static_cast<std::uint32_t>(m.text.size()));
    header[26] = static_cast<char>(m.name.size() & 0xFF);
    header[27] = static_cast<char>(m.name.size() >> 8);
    header[28] = 4;  // an extra field
    zip += header + m.name + "xtra" + data;
  }
  return zip;
}

// Random bytes: deflate can hardly shrink them.
std::string noise(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string bytes(size, ' ');
  for (char& c : bytes) c = static_cast<char>(rng());
  return bytes;
}

class UnzipTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testutil::RecordingLink load_log;
    ASSERT_TRUE(updater::load_zlib(load_log, platform::zlib_library_name(), &zlib_, &api_));
    env_.link = &link_;
    env_.state = &state_;
    env_.cancel = &cancel_;
  }

  testutil::TempDir dir_;
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
  // Deflate data whose first read of 131070 bytes inflates to exactly two output buffers, so
  // that inflate has nothing to do until the next read.
  std::string lines;
  for (int i = 0; i < 900; ++i) lines += "VE" + std::to_string(i) + "  JOHN Q OPERATOR\r\n";
  std::size_t spaces = 131084;
  while (spaces != 131084 + deflated(std::string(spaces, ' '), Z_FULL_FLUSH).size()) ++spaces;
  const std::string filler = noise(262144 - spaces, 3);
  std::string two = deflated(std::string(spaces, ' '), Z_FULL_FLUSH);
  for (std::size_t at = 0; at < filler.size(); at += 65535) {  // stored blocks
    const std::string block = filler.substr(at, 65535);
    std::string head(5, '\0');
    head[1] = static_cast<char>(block.size() & 0xFF);
    head[2] = static_cast<char>(block.size() >> 8);
    head[3] = static_cast<char>(~head[1]);
    head[4] = static_cast<char>(~head[2]);
    two += head + block;
  }
  two += deflated(lines);
  const std::string deflated_big = zip_of({{"amateur.txt", 8, big}});
  const std::string stored_small = zip_of({{"amateur.txt", 0, small}});
  std::string one_more = deflated_big, one_less = stored_small, too_large = deflated_big,
              stored_too_large = stored_small;
  testutil::put_word(&one_more, 22, static_cast<std::uint32_t>(big.size() + 1));
  testutil::put_word(&one_less, 22, static_cast<std::uint32_t>(small.size() - 1));
  testutil::put_word(&too_large, 22, 257u << 20);
  testutil::put_word(&stored_too_large, 18, 257u << 20);
  const std::string kept = "\r\nFiles in Canadian amateur.zip\r\n Compressed   Regular  Filename\r\n"
                           "00        3         3  " + std::string(511, 'n') + "\r\n"
                           "00    10000     10000  amateur.txt\r\n"
                           "00        1         1  after.txt\r\n";
  const std::string enospc = "ERROR writing amateur.txt, error " + std::to_string(ENOSPC) + "\r\n";
  const std::string create = "  amateur.txt\r\namateur.txt <<-- ERROR creating output file\r\n";
  const std::string not_found = "amateur.txt not found in amateur.zip\r\n";
  const std::string failed = "doinflate() returned -1\r\n";

  enum Setting { none, cut_path, folder_in_the_way, cancel, no_zlib, refusing_zlib, full_disk };
  const struct {
    std::string archive;  // "-" for none
    int result;
    std::string log_end;
    std::string list = "";  // amateur.txt afterwards; "" when the old one stays
    Setting setting = none;
  } cases[] = {
      {zip_of({{"notes.txt", 12, small}, {"readme.txt", 8, small}, {"amateur.txt", 8, big}}), 0,
       "  amateur.txt\r\n", big},
      {zip_of({{std::string(600, 'n'), 0, text}, {"amateur.txt", 0, small}, {"after.txt", 0, "y"}}),
       0, kept, small},
      {zip_of({{"amateur.txt", 8, std::string(spaces, ' ') + filler + lines, two}}), 0,
       "  amateur.txt\r\n", std::string(spaces, ' ') + filler + lines},
      {zip_of({{"amateur.txt", 8, lines, deflated(lines, Z_FINISH, 15).substr(2)}}), 0,
       "wrote " + std::to_string(lines.size()) + " bytes, 0 left\r\n", lines},
      {zip_of({{"Amateur.txt", 0, text}, {"dir/amateur.txt", 0, text}, {"amateur.txt.old", 0, text}}),
       updater::kUnzipNoList, "  amateur.txt.old\r\n" + not_found},
      {"<!DOCTYPE html>\n<html><body>Maintenance</body></html>\n", updater::kUnzipNoList,
       "Filename\r\n" + not_found},
      {"-", updater::kUnzipFileError, "amateur.zip <<-- ERROR opening file\r\n"},
      {zip_of({{"amateur.txt", 12, text}}), updater::kUnzipNoList,
       "Compression not implemented\r\namateur.txt NOT extracted from amateur.zip\r\n"},
      {zip_of({{"amateur.txt", 8, text, "", updater::kZipFlagDataDescriptor}}),
       updater::kUnzipSizesUnusable, "amateur.txt has its sizes after its data: NOT extracted\r\n"},
      {deflated_big.substr(0, 200000), Z_BUF_ERROR, "INFLATE ERROR -5\r\ndoinflate() returned -5\r\n"},
      {stored_small.substr(0, 5045), updater::kUnzipCutShort,
       "amateur.txt is cut short: the archive ends 5000 bytes early\r\n"},
      {one_more, updater::kUnzipSizeMismatch,
       "amateur.txt came out at 400000 bytes, not 400001: NOT extracted\r\ndoinflate() returned -7\r\n"},
      {one_less, updater::kUnzipSizeMismatch,
       "  amateur.txt\r\namateur.txt came out at 10000 bytes, not 9999: NOT extracted\r\n"},
      {too_large, updater::kUnzipSizesUnusable, "amateur.txt is too large: NOT extracted\r\n"},
      {stored_too_large, updater::kUnzipSizesUnusable, "amateur.txt is too large: NOT extracted\r\n"},
      {deflated_big, updater::kUnzipFileError, enospc + failed, "", full_disk},
      {stored_small, updater::kUnzipFileError, enospc, "", full_disk},
      {deflated_big, updater::kUnzipFileError, create + failed, "", cut_path},
      {zip_of({{"amateur.txt", 0, text}, {"next.txt", 0, "y"}}), updater::kUnzipNoList,
       create + "00        1         1  next.txt\r\namateur.txt NOT extracted from amateur.zip\r\n",
       "", cut_path},
      {stored_small, updater::kUnzipFileError,
       "  amateur.txt\r\nERROR writing amateur.txt, error " + std::to_string(EISDIR) + "\r\n", "",
       folder_in_the_way},
      {deflated_big, updater::kUnzipCancelled,
       "  amateur.txt\r\nUnzip cancelled\r\ndoinflate() returned -8\r\n", "", cancel},
      {deflated_big, updater::kUnzipNoZlib,
       "zlib is not loaded: amateur.txt cannot be inflated\r\ndoinflate() returned -9\r\n", "",
       no_zlib},
      {stored_small, 0, "  amateur.txt\r\n", small, no_zlib},
      {deflated_big, Z_VERSION_ERROR,
       "  amateur.txt\r\ninflateInit error\r\ndoinflate() returned -6\r\n", "", refusing_zlib},
  };

  // A data folder whose path leaves room for "/amateur.zip" but not for the temporary name the
  // list is written under: creating that fails with ENAMETOOLONG.
  std::string cut_folder = dir_.file("cut");
  while (cut_folder.size() < 3800) cut_folder += "/" + std::string(200, 'd');
  cut_folder += "/" + std::string(4080 - cut_folder.size() - 1, 'e');
  fs::create_directories(cut_folder);
  updater::ZlibApi refusing = api_;
  refusing.inflateInit_ = [](z_streamp, const char*, int) { return Z_VERSION_ERROR; };
  const updater::ZlibApi no_api;

  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(&c - cases) + ": " + c.log_end);
    const std::string folder = c.setting == cut_path ? cut_folder : dir_.path();
    env_.folder = folder;
    env_.zlib = c.setting == no_zlib ? &no_api : c.setting == refusing_zlib ? &refusing : &api_;
    link_.clear();
    link_.cancel_on_list = c.setting == cancel ? &cancel_ : nullptr;
    cancel_ = false;
    fs::remove_all(folder + "/amateur.txt");
    fs::remove(folder + "/amateur.zip");
    if (c.setting == folder_in_the_way) fs::create_directories(folder + "/amateur.txt/inside");
    if (c.setting == none || c.setting > folder_in_the_way) {
      write_bytes(folder + "/amateur.txt", "last week's list\r\n");
    }
    if (c.archive != "-") write_bytes(folder + "/amateur.zip", c.archive);
    platform::testing::fail_writes_after(c.setting == full_disk ? 5000 : -1, ENOSPC);
    EXPECT_EQ(updater::unzip(env_, "amateur.zip"), c.result);
    platform::testing::fail_writes_after(-1, 0);
    EXPECT_TRUE(link_.log().ends_with(c.log_end)) << link_.log();
    if (c.setting != cut_path && c.setting != folder_in_the_way) {
      EXPECT_TRUE(testutil::read_bytes(folder + "/amateur.txt") ==
                  (c.list.empty() ? "last week's list\r\n" : c.list));
    }
    // No file but the list is left.
    std::size_t left = 0;
    for (const auto& e : fs::directory_iterator(dir_.path())) left += e.path().filename() != "amateur.zip";
    EXPECT_EQ(left, 2u);  // amateur.txt and the cut folder
    EXPECT_EQ(fs::exists(folder + "/amateur.txt"), c.setting != cut_path);
  }
}

}  // namespace
