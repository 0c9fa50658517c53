// Loading zlib at run time, and taking amateur.txt out of amateur.zip: one table of archives,
// built while the tests run, and what each gives: the result, the log, the list afterwards.
#include "updater/unzip.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <random>

#include "tests/support/recording_link.h"
#include "tests/test_util.h"
#include "updater/zlib_loader.h"

namespace {

namespace fs = std::filesystem;
using testutil::put_word;
using testutil::write_bytes;

// Stand-ins built beside the tests lack some entry points; zlibVersion is only reported.
TEST(LoadZlibTest, EntryPointsFoundAndMissing) {
  const std::string present = "zlib is present\r\n", all = "all zlib procedures found\r\n";
  const std::string version = "zlibVersion not found\r\n", end = "inflateEnd not found\r\n";
  const std::string note = "NOTE: to update the Canadian database, download the ";
  const std::string tail = " file into your calldb folder\r\n\r\n";
  const std::string cases[][2] = {
      {platform::zlib_library_name(), present + all},
      {"libz-absent.so.9", note + "libz-absent.so.9" + tail},
      {FAKE_ZLIB_PARTIAL, present + version + end + note + FAKE_ZLIB_PARTIAL + tail},
      {FAKE_ZLIB_NO_VERSION, present + version + all},
  };
  platform::Library library;  // each load lets go of the library held before
  for (const auto& [name, log] : cases) {
    updater::ZlibApi api;
    testutil::RecordingLink link;
    const bool ready = log.ends_with(all);
    EXPECT_EQ(updater::load_zlib(link, name, &library, &api), ready) << name;
    EXPECT_EQ(link.log(), log);
    EXPECT_EQ(library.is_open(), ready);
    EXPECT_EQ(api.inflate != nullptr, ready) << name;  // nothing is kept when not ready
    EXPECT_EQ(library.symbol("inflate") != nullptr, ready);
  }
}

// Raw deflate data of `text` ending with `flush`; with `window` 15, a zlib stream.
std::string deflated(const std::string& text, int flush = Z_FINISH, int window = -15) {
  z_stream z = {};
  deflateInit2(&z, 9, Z_DEFLATED, window, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, text.size()) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, flush);
  deflateEnd(&z);
  return out.substr(0, z.total_out);
}

// Method 0 stored, 8 deflated, else unknown; `data`, if any, replaces what `text` makes.
struct Member {
  std::string name;
  int method;
  std::string text, data = "";
  int flags = 0;
};

// Local headers with an extra field, each followed by its data: no central directory is read.
std::string zip_of(const std::vector<Member>& members) {
  std::string zip;
  for (const Member& m : members) {
    std::string data = m.data;
    if (data.empty()) data = m.method == 8 ? deflated(m.text) : m.text;
    std::string header(30, '\0');
    put_word(&header, 0, updater::kZipLocalSignature);
    header[6] = static_cast<char>(m.flags);
    header[8] = static_cast<char>(m.method);
    put_word(&header, 18, static_cast<std::uint32_t>(data.size()));
    put_word(&header, 22, static_cast<std::uint32_t>(m.text.size()));
    put_word(&header, 26, static_cast<std::uint32_t>(m.name.size() + (4 << 16)));
    zip += header + m.name + "xtra" + data;
  }
  return zip;
}

std::string noise(std::size_t size, unsigned seed) {  // deflate can hardly shrink it
  std::mt19937 rng(seed);
  std::string bytes(size, ' ');
  for (char& c : bytes) c = static_cast<char>(rng());
  return bytes;
}

TEST(UnzipTest, ArchivesAndWhatTheyGive) {
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
  const std::string two_text = std::string(spaces, ' ') + filler + lines;
  std::string two = deflated(std::string(spaces, ' '), Z_FULL_FLUSH);
  for (std::size_t at = 0; at < filler.size(); at += 65535) {  // stored blocks
    const std::uint32_t n = static_cast<std::uint32_t>(filler.substr(at, 65535).size());
    std::string head(5, '\0');
    put_word(&head, 1, n | (~n << 16));
    two += head + filler.substr(at, 65535);
  }
  two += deflated(lines);
  const std::string deflated_big = zip_of({{"amateur.txt", 8, big}});
  const std::string stored = zip_of({{"amateur.txt", 0, small}});
  // The archive with the word at `at` set to `value`.
  const auto with = [](std::string zip, std::size_t at, std::size_t value) {
    put_word(&zip, at, static_cast<std::uint32_t>(value));
    return zip;
  };
  const std::string kept =
      "\r\nFiles in Canadian amateur.zip\r\n Compressed   Regular  Filename\r\n00        3 "
      "        3  " + std::string(511, 'n') + "\r\n00    10000     10000  amateur.txt\r\n"
      "00        1         1  after.txt\r\n";
  const std::string full = "ERROR writing amateur.txt, error " + std::to_string(ENOSPC) + "\r\n";
  const std::string too_large = "amateur.txt is too large: NOT extracted\r\n";
  const std::string create = "  amateur.txt\r\namateur.txt <<-- ERROR creating output file\r\n";
  const std::string failed = "doinflate() returned -1\r\n", listed = "  amateur.txt\r\n";
  const std::string unused = "amateur.txt NOT extracted from amateur.zip\r\n";
  enum Setting { none, cut_path, in_the_way, cancel, no_zlib, refusing_zlib, full_disk };
  const struct {
    std::string archive;  // "-" for none
    int result;
    std::string log_end, list = "";  // and amateur.txt afterwards, "" when the old one stays
    Setting setting = none;
  } cases[] = {
      {zip_of({{"notes.txt", 12, small}, {"readme.txt", 8, small}, {"amateur.txt", 8, big}}),
       0, listed, big},
      {zip_of({{std::string(600, 'n'), 0, text}, {"amateur.txt", 0, small},
               {"after.txt", 0, "y"}}),
       0, kept, small},
      {zip_of({{"amateur.txt", 8, two_text, two}}), 0, listed, two_text},
      {zip_of({{"amateur.txt", 8, lines, deflated(lines, Z_FINISH, 15).substr(2)}}), 0,
       "wrote " + std::to_string(lines.size()) + " bytes, 0 left\r\n", lines},
      {zip_of({{"Amateur.txt", 0, text}, {"dir/amateur.txt", 0, text},
               {"amateur.txt.old", 0, text}}),
       updater::kUnzipNoList, "  amateur.txt.old\r\namateur.txt not found in amateur.zip\r\n"},
      {"-", updater::kUnzipFileError, "amateur.zip <<-- ERROR opening file\r\n"},
      {zip_of({{"amateur.txt", 12, text}}), updater::kUnzipNoList,
       "Compression not implemented\r\n" + unused},
      {zip_of({{"amateur.txt", 8, text, "", updater::kZipFlagDataDescriptor}}),
       updater::kUnzipSizesUnusable, "amateur.txt has its sizes after its data: NOT extracted\r\n"},
      {deflated_big.substr(0, 200000), Z_BUF_ERROR,
       "INFLATE ERROR -5\r\ndoinflate() returned -5\r\n"},
      {stored.substr(0, 5045), updater::kUnzipCutShort,
       "amateur.txt is cut short: the archive ends 5000 bytes early\r\n"},
      {with(deflated_big, 22, big.size() + 1), updater::kUnzipSizeMismatch,
       "amateur.txt came out at 400000 bytes, not 400001: NOT extracted\r\n"
       "doinflate() returned -7\r\n"},
      {with(stored, 22, small.size() - 1), updater::kUnzipSizeMismatch,
       listed + "amateur.txt came out at 10000 bytes, not 9999: NOT extracted\r\n"},
      {with(deflated_big, 22, updater::kMaxListSize + 1), updater::kUnzipSizesUnusable, too_large},
      {with(stored, 18, updater::kMaxListSize + 1), updater::kUnzipSizesUnusable, too_large},
      {deflated_big, updater::kUnzipFileError, full + failed, "", full_disk},
      {stored, updater::kUnzipFileError, full, "", full_disk},
      {deflated_big, updater::kUnzipFileError, create + failed, "", cut_path},
      {zip_of({{"amateur.txt", 0, text}, {"next.txt", 0, "y"}}), updater::kUnzipNoList,
       create + "00        1         1  next.txt\r\n" + unused, "", cut_path},
      {stored, updater::kUnzipFileError,
       listed + "ERROR writing amateur.txt, error " + std::to_string(EISDIR) + "\r\n", "",
       in_the_way},
      {deflated_big, updater::kUnzipCancelled,
       listed + "Unzip cancelled\r\ndoinflate() returned -8\r\n", "", cancel},
      {deflated_big, updater::kUnzipNoZlib,
       "zlib is not loaded: amateur.txt cannot be inflated\r\ndoinflate() returned -9\r\n", "",
       no_zlib},
      {stored, 0, listed, small, no_zlib},
      {deflated_big, Z_VERSION_ERROR, listed + "inflateInit error\r\ndoinflate() returned -6\r\n",
       "", refusing_zlib},
  };
  testutil::TempDir dir;
  std::atomic<bool> cancelled{false};
  struct : testutil::RecordingLink {
    std::atomic<bool>* cancel_on_list = nullptr;  // raised once amateur.txt is listed
    void log_text(std::string_view text) override {
      RecordingLink::log_text(text);
      if (cancel_on_list && text.ends_with("  amateur.txt\r\n")) *cancel_on_list = true;
    }
  } link;
  platform::Library zlib;
  updater::ZlibApi api, refusing, no_api;
  ASSERT_TRUE(updater::load_zlib(link, platform::zlib_library_name(), &zlib, &api));
  refusing = api;
  refusing.inflateInit_ = [](z_streamp, const char*, int) { return Z_VERSION_ERROR; };
  updater::UpdaterState state;
  updater::WorkerEnv env;
  env.link = &link;
  env.state = &state;
  env.cancel = &cancelled;
  // A data folder whose path leaves room for "/amateur.zip" but not for the temporary name the
  // list is written under: creating that fails with ENAMETOOLONG.
  std::string cut_folder = dir.file("cut");
  while (cut_folder.size() < 3800) cut_folder += "/" + std::string(200, 'd');
  cut_folder += "/" + std::string(4080 - cut_folder.size() - 1, 'e');
  fs::create_directories(cut_folder);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(&c - cases) + ": " + c.log_end);
    env.folder = c.setting == cut_path ? cut_folder : dir.path();
    env.zlib = c.setting == no_zlib ? &no_api : c.setting == refusing_zlib ? &refusing : &api;
    link.clear();
    link.cancel_on_list = c.setting == cancel ? &cancelled : nullptr;
    cancelled = false;
    const std::string list = env.folder + "/amateur.txt";
    fs::remove_all(list);
    fs::remove(env.folder + "/amateur.zip");
    if (c.setting == in_the_way) fs::create_directories(list + "/inside");
    if (c.setting == none || c.setting > in_the_way) write_bytes(list, "last week's list\r\n");
    if (c.archive != "-") write_bytes(env.folder + "/amateur.zip", c.archive);
    platform::testing::fail_writes_after(c.setting == full_disk ? 5000 : -1, ENOSPC);
    EXPECT_EQ(updater::unzip(env, "amateur.zip"), c.result);
    platform::testing::fail_writes_after(-1, 0);
    EXPECT_TRUE(link.log().ends_with(c.log_end)) << link.log();
    EXPECT_EQ(fs::exists(list), c.setting != cut_path);
    EXPECT_TRUE(c.setting == cut_path || c.setting == in_the_way ||
                testutil::read_bytes(list) == (c.list.empty() ? "last week's list\r\n" : c.list));
    fs::remove(dir.file("amateur.zip"));  // no file but the list is left beside the cut folder
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 2);
  }
}

// A list of exactly the largest size taken (one byte more is refused above), inflated from
// about 256 KB: 1 MiB of blanks deflated to a full flush, which makes the piece stand alone,
// repeated, then the empty last block.
TEST(UnzipTest, ListOfTheLargestSizeIsExtracted) {
  const std::string piece = deflated(std::string(1 << 20, ' '), Z_FULL_FLUSH);
  std::string data;
  for (int n = updater::kMaxListSize >> 20; n > 0; --n) data += piece;
  std::string zip = zip_of({{"amateur.txt", 8, "", data + std::string("\x03\x00", 2)}});
  put_word(&zip, 22, updater::kMaxListSize);
  const testutil::TempDir dir;
  write_bytes(dir.file("amateur.zip"), zip);
  testutil::RecordingLink link;
  platform::Library zlib;
  updater::ZlibApi api;
  ASSERT_TRUE(updater::load_zlib(link, platform::zlib_library_name(), &zlib, &api));
  updater::UpdaterState state;
  updater::WorkerEnv env;
  env.link = &link;
  env.state = &state;
  env.folder = dir.path();
  env.zlib = &api;
  EXPECT_EQ(updater::unzip(env, "amateur.zip"), 0) << link.log();
  EXPECT_EQ(fs::file_size(dir.file("amateur.txt")), std::uintmax_t{updater::kMaxListSize});
}

}  // namespace
