// Converting amateur.txt into cancall.db: random lists against a plain line-by-line model of
// which licences end up in the database with which texts, and a table of the edge cases.

#include "updater/convert_canada.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>

#include "dbfiles/callkey.h"
#include "tests/support/recording_link.h"
#include "tests/test_util.h"

namespace updater {
namespace {

using testutil::read_bytes;
using testutil::write_bytes;

// A line of `length` characters with texts at the given columns.
using Columns = std::vector<std::pair<std::size_t, std::string>>;
std::string columns(std::size_t length, const Columns& at) {
  std::string line(470, ' ');
  for (const auto& [column, text] : at) line.replace(column, text.size(), text);
  line.resize(length, ' ');
  return line;
}

std::string person(const std::string& call) { return columns(210, {{0, call}, {7, "G"}}); }

// What cancall.db must hold for the licences of a list: their texts in order and index words.
struct Model {
  std::string texts;
  std::vector<std::uint32_t> word0;
  std::string bad_calls;  // the log's lines
  int no_address = 0;

  // A licence with a bad call keeps its texts, with a zero index word; the city of one with an
  // unknown province code gets the code after it.
  void add(const std::string& call, std::vector<std::string> r, const std::string& province) {
    dbfiles::CanKey key = 0;
    std::uint32_t index = 1;  // ProvinceCodes[0], "??", is no province
    while (index < dbfiles::kProvinceCount && province != dbfiles::ProvinceCodes[index]) ++index;
    const bool good = dbfiles::encode_can_call(call.c_str(), &key) == 0;
    if (index == dbfiles::kProvinceCount && good) r[3] += "," + province;
    for (const std::string& t : r) texts += t + '\0';  // surname, given, street, city, postal
    word0.push_back(good ? dbfiles::CanEntry::make_word0(key, index % dbfiles::kProvinceCount) : 0);
    if (!good) bad_calls += "BAD CALL: '" + call + "'\r\n";
  }
};

// Random text of up to `width` characters of the Windows code page (Latin-1 letters, and
// characters outside Latin-1 at 0x80-0x9F), some of them control bytes; *shown gets it as the
// database must hold it (control bytes as blanks, the others by their single-byte stand-ins,
// trailing blanks dropped).
std::string random_field(std::mt19937& rng, std::size_t width, std::string* shown) {
  static const char kLetters[] =
      "ABCDEFGHIJ KLMNO PQRST UVWXYZ 0123456789,.-/\xE9\xC9\xE7\xFF\x96\x92\x8A\x80"
      "\x81\t\x7f\x01\0";
  static const std::string kChars(kLetters, sizeof kLetters - 1);  // control bytes last
  static const std::string kFrom("\x96\x92\x8A\x80\x81\t\x7f\x01\0", 9), kTo = "-'S?     ";
  std::string raw(rng() % (width + 1), ' ');
  for (char& c : raw) c = kChars[rng() % (rng() % 8 == 0 ? kChars.size() : kChars.size() - 5)];
  *shown = raw;
  for (char& c : *shown) c = kFrom.find(c) == std::string::npos ? c : kTo[kFrom.find(c)];
  while (!shown->empty() && shown->back() == ' ') shown->pop_back();
  return raw;
}

// Text of the Windows code page (with the characters random_field uses) in UTF-8.
std::string utf8_of(const std::string& windows) {
  static const std::map<char, std::string> kWide = {{'\x80', "\xE2\x82\xAC"},
                                                    {'\x8A', "\xC5\xA0"},
                                                    {'\x92', "\xE2\x80\x99"},
                                                    {'\x96', "\xE2\x80\x93"}};
  std::string out;
  for (const char c : windows) {
    const auto b = static_cast<unsigned char>(c);
    if (kWide.contains(c)) {
      out += kWide.at(c);
    } else if (b < 0x80) {
      out += c;
    } else {
      out += {static_cast<char>(0xC0 | b >> 6), static_cast<char>(0x80 | (b & 0x3F))};
    }
  }
  return out;
}

// One random licence line, added to the model.
std::string random_licence(std::mt19937& rng, Model* model) {
  static const char* const kCalls[] = {"VE3", "VA7", "VO1", "VY2", "VB3", "VE", "K1"};
  std::string call =
      kCalls[rng() % 7] + std::string(rng() % 4, static_cast<char>('A' + rng() % 26));
  if (rng() % 20 == 0) call.clear();
  const std::string provinces[] = {dbfiles::ProvinceCodes[1 + rng() % 14], "??", "XY", "O", ""};
  const std::string province = provinces[rng() % 3 == 0 ? rng() % 5 : 0];
  std::string name, second, street, city, postal, given;
  if (rng() % 4 == 0) {  // a club
    std::string raw_second = random_field(rng, 66, &second);
    const bool care_of = rng() % 3 == 0;
    if (care_of) raw_second = (rng() % 2 ? "C/O " : "c\\o ") + raw_second;
    const std::string line = columns(
        469, {{0, call}, {210, random_field(rng, 70, &name)}, {281, raw_second},
              {352, random_field(rng, 70, &street)}, {423, random_field(rng, 35, &city)},
              {459, province}, {462, random_field(rng, 7, &postal)}});
    if (!care_of && !second.empty() && second[0] != ' ') name += " " + second;
    model->add(call, {name, "", street, city, postal}, province);
    return line;
  }
  random_field(rng, 30, &name);  // the surname, perhaps with the "(+)" mark after it
  const char* const marks[] = {"", "", " (+)", "(+)JR"};
  const std::string raw_name = name + marks[rng() % 4];
  const bool blank = rng() % 4 == 0;
  const std::size_t length = rng() % 5 == 0 ? 199 + rng() % 2 : 210;
  const std::string line = columns(
      length, {{0, call}, {7, random_field(rng, 35, &given)}, {43, raw_name},
               {79, blank ? "" : random_field(rng, 70, &street)},
               {150, blank ? "" : random_field(rng, 35, &city)}, {186, blank ? "" : province},
               {189, blank ? "" : random_field(rng, 10, &postal)}});
  const bool none = length < 200 || blank || (street + city + province + postal).empty();
  model->no_address += none;
  if (none) model->add(call, {name, given, "no addr given", "not really", "xxx xxx"}, "ZZ");
  if (!none) model->add(call, {name, given, street, city, postal}, province);
  return line;
}

class Conversion : public testing::Test {
 protected:
  void SetUp() override {
    env_.link = &link_;
    env_.state = &state_;
    env_.cancel = &cancel_;
    env_.folder = dir_.path();
  }

  testutil::TempDir dir_;
  testutil::RecordingLink link_;
  UpdaterState state_;
  std::atomic<bool> cancel_{false};
  WorkerEnv env_;
};

TEST_F(Conversion, RandomListsGiveTheModelsDatabaseAndLog) {
  std::mt19937 rng(13);
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    const char* const eols[] = {"\r\n", "\n", "\r"};
    const auto eol = [&] { return std::string(eols[rng() % 3]); };
    char date[11];
    std::snprintf(date, sizeof date, "20%02u%c%02u-%02u", static_cast<unsigned>(rng() % 100),
                  rng() % 2 ? '-' : '/', static_cast<unsigned>(1 + rng() % 12),
                  static_cast<unsigned>(1 + rng() % 28));
    // "\xE9t\xE9" ("ete" accented) is no UTF-8: a list of the code page is read as Latin-1.
    std::string list = std::string(date) + " Canadian Amateur List" + eol() + " " + eol() +
                       "There are N call signs \xE9t\xE9" + eol() + " " + eol();
    Model model;
    int lines = 4;
    for (int n = 1 + static_cast<int>(rng() % 120); n > 0; --n, ++lines) {
      if (rng() % 20 == 0) list += " " + eol(), ++lines;
      list += random_licence(rng, &model) + eol();
    }
    list += "EOF" + (rng() % 2 ? eol() + person("VE3ZZZ") + eol() : std::string());
    write_bytes(dir_.file("amateur.txt"), rng() % 2 ? utf8_of(list) : list);
    link_.clear();
    ASSERT_EQ(convert_canadian_list(env_), 0) << link_.log();
    const std::string db = read_bytes(dir_.file("cancall.db"));
    const std::size_t index = testutil::word_at(db, 8);
    const std::size_t pad = (4 - model.texts.size() % 4) % 4;
    EXPECT_EQ(db.substr(0, 8),
              (std::string{'C', date[1], date[2], date[3], date[5], date[6], date[8], date[9]}));
    ASSERT_EQ(index, 12 + model.texts.size() + pad);
    EXPECT_TRUE(db.substr(12, index - 12) == model.texts + std::string(pad, '\0'));
    ASSERT_EQ(db.size(), index + 8 * model.word0.size());
    for (std::size_t i = 0; i < model.word0.size(); ++i) {
      EXPECT_EQ(testutil::word_at(db, index + 8 * i), model.word0[i]) << i;
    }
    EXPECT_EQ(link_.row(0, RowCell::name), date);
    EXPECT_EQ(link_.log(),
              std::string(date) + " -- canadian db date\r\n" + date + " Canadian Amateur List\r\n" +
                  "There are N call signs \xE9t\xE9\r\n" + model.bad_calls +
                  std::to_string(lines + 1) + " lines, " + std::to_string(model.word0.size()) +
                  " calls in database, " + std::to_string(model.no_address) +
                  " calls have no address\r\n" +
                  (pad ? "aligning +" + std::to_string(pad) + "\r\n" : "") + "cancall.db size " +
                  std::to_string(db.size()) + "\r\ncancall.db written\r\n");
  }
}

// Real licences with accents and characters outside Latin-1 (an individual's line is 210
// characters, more bytes in UTF-8) give the same database in UTF-8 as in the Windows code page,
// and that of the same lines in plain ASCII but for the accented letters.
TEST_F(Conversion, AccentedListsInEitherEncodingKeepTheirColumns) {
  const std::string lines[] = {
      columns(210, {{0, "VA2UT"}, {7, "Fran\xE7ois"}, {43, "Chillas"}, {79, "883 rue de l\x92"
                    "Anse"}, {150, "SHERBROOKE"}, {186, "QC"}, {189, "J1E 3S5"}, {208, "E"}}),
      columns(210, {{0, "VA2ZJB"}, {7, "Jimmy"}, {43, "Bilodeau"}, {79, "3472 rue d\xBF"
                    "Al\xE8s"}, {150, "LA BAIE"}, {186, "QC"}, {189, "G7B 4P5"}, {208, "E"}}),
      columns(469, {{0, "VA7CNS"}, {7, "Merrick"}, {43, "Grieder"}, {186, "BC"}, {200, "A"},
                    {210, "CVRD \x96 EMERGENCY COMMUNICATIONS TEAM"}, {352, "175 Ingram Street"},
                    {423, "Duncan"}, {459, "BC"}, {462, "V9L 1N8"}}),
  };
  std::string list = "2025-03-30  Canadian list\r\n \r\nThere are 3 call signs.\r\n \r\n";
  for (const std::string& line : lines) list += line + "\r\n";
  list += "EOF\r\n";
  std::string plain = list;  // the stand-ins, and x for each accented letter
  const auto accent = [](char c) { return static_cast<unsigned char>(c) >= 0x80; };
  for (char& c : plain) c = c == '\x92' ? '\'' : c == '\x96' ? '-' : accent(c) ? 'x' : c;
  const auto convert = [&](const std::string& text) {
    write_bytes(dir_.file("amateur.txt"), text);
    EXPECT_EQ(convert_canadian_list(env_), 0) << link_.log();
    return read_bytes(dir_.file("cancall.db"));
  };
  const std::string windows = convert(list), utf8 = convert(utf8_of(list));
  std::string accented = windows;
  for (std::size_t i = 12; i < testutil::word_at(windows, 8); ++i) {
    if (accent(accented[i])) accented[i] = 'x';
  }
  EXPECT_TRUE(utf8 == windows);
  EXPECT_TRUE(accented == convert(plain));
  for (const char* text : {"Fran\xE7ois", "883 rue de l'Anse", "3472 rue d\xBF" "Al\xE8s",
                           "CVRD - EMERGENCY COMMUNICATIONS TEAM"}) {
    EXPECT_NE(windows.find(std::string(text) + '\0'), std::string::npos) << text;
  }
}

// Failures keep the old database and leave no other file.
TEST_F(Conversion, EdgeCases) {
  const std::string headings = "2026-04-17  Canadian list\r\n \r\nThere are N call signs.\r\n \r\n";
  std::string lines;
  for (char c = 'A'; c < 'A' + 20; ++c) lines += person(std::string("VE3A") + c) + "\r\n";
  // A CR LF pair across the 8192-byte reads that follow the 10 bytes of the date.
  std::string across = headings + lines + lines + "EOF\r\n";
  across.insert(12, std::string(8201 - across.rfind('\r', 8201), 'x'));
  std::string clubs = headings;  // 258 bytes of text each: 70,000 pass 16 MiB
  const std::string club = columns(469, {{0, "VE3ABC"}, {210, std::string(70, 'N')},
                                         {281, std::string(70, 'M')}, {352, std::string(70, 'S')},
                                         {423, std::string(35, 'C')}});
  for (int n = 0; n < 70000; ++n) clubs += club + "\r\n";
  std::string deep = dir_.path();  // room for "/amateur.txt", not for a temporary name
  while (deep.size() < 3800) deep += "/" + std::string(200, 'd');
  deep += "/" + std::string(4080 - deep.size() - 1, 'e');
  std::filesystem::create_directories(deep);
  const std::string list = headings + lines + "EOF\r\n";
  enum Setting { none, full_disk, deep_folder, cancel };
  const struct {
    std::string list, log_part;  // list "-" for none
    int result;
    Setting setting = none;
  } cases[] = {
      {across, "45 lines, 40 calls in database, 40 calls have no address\r\n", 0},
      {"-", "amateur.txt <--ERROR OPENING FILE\r\n", -1},
      {"2026-04", "amateur.txt <--ERROR OPENING FILE\r\n", -1},
      {"2026-02-30" + list.substr(10), "its date (YYYY-MM-DD): \"2026-02-30\"; cancall.db NOT", -2},
      {"1999-04-17" + list.substr(10), "its date (YYYY-MM-DD): \"1999-04-17\"; cancall.db NOT", -2},
      {"\x1b]2;0wn\a" + list.substr(10),
       "amateur.txt does not begin with its date (YYYY-MM-DD): \"\\x1b]2;0wn\\x07  \"; cancall.db "
       "NOT written\r\n",
       -2},
      {"\xEF\xBB\xBF" + list, "2026-04-17 -- canadian db date\r\n2026-04-17  Canadian list\r\n", 0},
      {headings + "EOF\r\n", "amateur.txt holds no licence; cancall.db NOT written\r\n", -2},
      {list.substr(0, 3000), "amateur.txt ends without its EOF line; cancall.db NOT written\r\n",
       -2},
      {list, "ERROR writing cancall.db: ", -2, full_disk},
      {headings + person("VE3AA") + "\r\n" + std::string(9000, 'x') + "\r\nEOF\r\n",
       "ERROR: line longer than 8192 characters after line 5; cancall.db NOT written\r\n", -2},
      {clubs + "EOF\r\n", " at the licence of VE", -2},
      {list, "2026-04-17 -- canadian db date\r\ncancall.db <--ERROR CREATING FILE\r\n", -2,
       deep_folder},
      {list, "2026-04-17 -- canadian db date\r\n2026-04-17", -2, cancel},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.log_part);
    env_.folder = c.setting == deep_folder ? deep : dir_.path();
    const std::string db = env_.path("cancall.db");
    std::filesystem::remove(env_.path("amateur.txt"));
    write_bytes(db, "old");
    if (c.list != "-") write_bytes(env_.path("amateur.txt"), c.list);
    link_.clear();
    cancel_ = c.setting == cancel;
    platform::testing::fail_writes_after(c.setting == full_disk ? 100 : -1, ENOSPC);
    EXPECT_EQ(convert_canadian_list(env_), c.result);
    platform::testing::fail_writes_after(-1, 0);
    const std::string log = link_.log();
    EXPECT_NE(log.find(c.log_part), std::string::npos) << log;
    EXPECT_EQ(log.find("NOT written"), log.rfind("NOT written")) << log;  // said once at most
    EXPECT_EQ(read_bytes(db) == "old", c.result != 0);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(env_.folder), {}),
              (c.list == "-" ? 1 : 2) + (c.setting == deep_folder ? 0 : 1));
  }
}

}  // namespace
}  // namespace updater
