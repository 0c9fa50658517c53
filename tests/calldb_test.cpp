// The calldb command line as its users see it: the real program is run on databases written by
// the test, and its standard output, standard error and exit code are compared.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "dbfiles/dbwriter.h"
#include "tests/support/run_process.h"

namespace {

namespace fs = std::filesystem;

using testutil::Outcome;

// Runs calldb with `args` in folder `cwd` ("" for the test's own) and collects what it prints.
Outcome run_calldb(const std::vector<std::string>& args, const std::string& cwd = "") {
  return testutil::run_process(CALLDB_PATH, args, cwd);
}

std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::uint32_t word_at(const std::string& bytes, std::size_t offset) {
  std::uint32_t w = 0;
  for (int i = 3; i >= 0; --i) w = (w << 8) | static_cast<unsigned char>(bytes[offset + i]);
  return w;
}

void put_word(std::string* bytes, std::size_t offset, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) (*bytes)[offset + i] = static_cast<char>(value >> (8 * i));
}

std::uint32_t state(const char* code) {
  for (int i = 0; i < dbfiles::kStateCount; ++i) {
    if (std::string(dbfiles::StateCodes[i]) == code) return static_cast<std::uint32_t>(i);
  }
  ADD_FAILURE() << "no state " << code;
  return 0;
}

std::uint32_t province(const char* code) {
  for (int i = 0; i < dbfiles::kProvinceCount; ++i) {
    if (std::string(dbfiles::ProvinceCodes[i]) == code) return static_cast<std::uint32_t>(i);
  }
  ADD_FAILURE() << "no province " << code;
  return 0;
}

dbfiles::UsRecord us(const char* call, const char* name, const char* street, const char* city,
                     const char* st, std::uint32_t zip, bool po_box = false) {
  return dbfiles::UsRecord{dbfiles::encode_call(call), name, street, city, state(st), zip,
                           po_box};
}

struct CanRow {
  const char* call;
  const char* province;
  const char* surname;
  const char* given;
  const char* street;
  const char* city;
  const char* postal;
};

const dbfiles::UsRecord kW1abc = us("W1ABC", "GRETCHEN M HALLORAN", "55 FERRY LANDING",
                                    "HOLTSVILLE", "NY", 501);
const char kW1abcBlock[] = "W1ABC\nGRETCHEN M HALLORAN\n55 FERRY LANDING\nHOLTSVILLE NY 00501\n\n";
const dbfiles::UsRecord kKc4rtm =
    us("KC4RTM", "LUCINDA F BRAMBLETT", "1187", "MACON", "GA", 31208, /*po_box=*/true);
const char kKc4rtmBlock[] = "KC4RTM\nLUCINDA F BRAMBLETT\nPO BOX 1187\nMACON GA 31208\n\n";
const dbfiles::UsRecord kAa2b =
    us("AA2B", "DESMOND J FARRELLY", "9 QUARRY HILL RD", "MONTPELIER", "VT", 5602);
const char kAa2bBlock[] = "AA2B\nDESMOND J FARRELLY\n9 QUARRY HILL RD\nMONTPELIER VT 05602\n\n";

const CanRow kVe3xkt = {"VE3XKT", "ON",     "MARCHBANK", "ELOISE R",
                        "88 BYTOWN CRES", "OTTAWA", "K2P 1A4"};
const char kVe3xktBlock[] = "VE3XKT\nELOISE R MARCHBANK\n88 BYTOWN CRES\nOTTAWA, ON  K2P 1A4\n\n";

class CalldbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "calldb-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  std::string file(const std::string& name) const { return dir_ + "/" + name; }

  void write_us(std::vector<dbfiles::UsRecord> records, const char* date = "20260315") {
    std::sort(records.begin(), records.end(),
              [](const auto& a, const auto& b) { return a.key < b.key; });
    std::string error;
    ASSERT_EQ(dbfiles::write_call_db(file("call.db"), date, records, &error), 0) << error;
  }

  void write_prev(const std::vector<std::pair<const char*, const char*>>& moves,
                  const char* date = "20260301") {
    std::vector<dbfiles::PrevEntry> entries;
    for (const auto& [from, to] : moves) {
      entries.push_back({dbfiles::encode_call(from), dbfiles::encode_call(to)});
    }
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.old_key < b.old_key; });
    std::string error;
    ASSERT_EQ(dbfiles::write_prev_db(file("callprev.db"), date, entries, &error), 0) << error;
  }

  void write_can(const std::vector<CanRow>& rows, const char* date = "20261127") {
    dbfiles::CanDbWriter writer;
    ASSERT_EQ(writer.open(file("cancall.db"), date), 0) << writer.error();
    for (const CanRow& r : rows) {
      dbfiles::CanKey key = 0;
      ASSERT_EQ(dbfiles::encode_can_call(r.call, &key), 0) << r.call;
      ASSERT_EQ(writer.add(dbfiles::CanEntry::make_word0(key, province(r.province)), r.surname,
                           r.given, r.street, r.city, r.postal),
                0)
          << writer.error();
    }
    ASSERT_EQ(writer.finish(), 0) << writer.error();
  }

  Outcome lookup(std::vector<std::string> calls) {
    calls.insert(calls.begin(), {"lookup", "-C", dir_});
    return run_calldb(calls);
  }
  Outcome info() { return run_calldb({"info", "-C", dir_}); }

  std::string dir_;
};

// --- calldb lookup ---------------------------------------------------------------------------

TEST_F(CalldbTest, LookupPrintsEachFoundRecordAsFourLinesAndAnEmptyLine) {
  write_us({kW1abc, kKc4rtm, kAa2b});
  const Outcome r = lookup({"W1ABC", "KC4RTM", "AA2B"});
  EXPECT_EQ(r.out, std::string(kW1abcBlock) + kKc4rtmBlock + kAa2bBlock);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.code, 0);
}

TEST_F(CalldbTest, LookupUpperCasesInputAndExitsOneWhenAnyIsMissingWithAllResultsInOrder) {
  write_us({kW1abc, kAa2b});
  const Outcome r = lookup({"w1abc", "kz9zz", "aA2b"});
  EXPECT_EQ(r.out, std::string(kW1abcBlock) + "KZ9ZZ NOT FOUND\n\n" + kAa2bBlock);
  EXPECT_EQ(r.code, 1);
}

TEST_F(CalldbTest, LookupCutsEachCallsignTo255Characters) {
  write_us({kW1abc});
  const Outcome r = lookup({"w" + std::string(299, 'q')});
  EXPECT_EQ(r.out, "W" + std::string(254, 'Q') + " NOT FOUND\n\n");
  EXPECT_EQ(r.code, 1);
}

TEST_F(CalldbTest, LookupOfAPreviousCallsignNamesTheCurrentOne) {
  write_us({kW1abc, kAa2b});
  write_prev({{"KB1QRS", "W1ABC"}, {"AA9ZZ", "AA2B"}, {"WD4HJK", "W1ABC"}});
  const Outcome r = lookup({"kb1qrs", "WD4HJK", "N0PE"});
  EXPECT_EQ(r.out, "KB1QRS NOW W1ABC\n\nWD4HJK NOW W1ABC\n\nN0PE NOT FOUND\n\n");
  EXPECT_EQ(r.code, 1);
}

TEST_F(CalldbTest, LookupFindsCanadianCallsignsInCancallDb) {
  write_us({kW1abc});
  write_can({kVe3xkt,
             {"VE1TAR", "NS", "TIDEWATER AMATEUR RADIO SOCIETY", "", "19 HARBOURVIEW RD",
              "LUNENBURG", "B0J 2C0"},
             {"VA7ZZA", "ZZ", "ROUX", "GASTON", "no addr given", "not really", "xxx xxx"}});
  const Outcome r = lookup({"ve3xkt", "VE1TAR", "VA7ZZA", "W1ABC"});
  EXPECT_EQ(r.out, std::string(kVe3xktBlock) +
                       "VE1TAR\n TIDEWATER AMATEUR RADIO SOCIETY\n19 HARBOURVIEW RD\n"
                       "LUNENBURG, NS  B0J 2C0\n\n"
                       "VA7ZZA\nGASTON ROUX\nno addr given\nnot really, ZZ  xxx xxx\n\n" +
                       kW1abcBlock);
  EXPECT_EQ(r.code, 0);
}

TEST_F(CalldbTest, LookupNeverFindsACallsignStartingWithAnotherLetter) {
  // The US key of X1ABC is that of A1ABC; neither call.db nor callprev.db may answer for it.
  write_us({us("A1ABC", "HAROLD B WINTERTHORN", "418 LARKSPUR LN", "ELMIRA", "NY", 14901)});
  write_prev({{"A2ABC", "A1ABC"}});
  const Outcome r = lookup({"X1ABC", "x2abc", "A2ABC"});
  EXPECT_EQ(r.out, "X1ABC NOT FOUND\n\nX2ABC NOT FOUND\n\nA2ABC NOW A1ABC\n\n");
  EXPECT_EQ(r.code, 1);
}

TEST_F(CalldbTest, LookupOfAVCallsignMissingFromCancallDbIsPlainlyNotFound) {
  // VE3ABC has the US key of AE3ABC: neither call.db nor callprev.db may answer for it.
  write_us({kW1abc, us("AE3ABD", "ODILE BEAUCHEMIN", "1275 ERABLE ST", "BURLINGTON", "VT", 5401)});
  write_prev({{"AE3ABC", "W1ABC"}});
  for (const bool with_canadian_file : {true, false}) {
    SCOPED_TRACE(with_canadian_file ? "cancall.db present" : "cancall.db missing");
    if (with_canadian_file) {
      write_can({kVe3xkt});
    } else {
      fs::remove(file("cancall.db"));
    }
    const Outcome r = lookup({"VE3ABC", "ve3abd"});
    EXPECT_EQ(r.out, "VE3ABC NOT FOUND\n\nVE3ABD NOT FOUND\n\n");
    EXPECT_EQ(r.code, 1);
  }
}

TEST_F(CalldbTest, LookupWithUnusableCallDbExitsTwoAndPrintsNothing) {
  write_us({kW1abc, kAa2b});
  const std::string sound = read_bytes(file("call.db"));
  std::string beyond = sound;
  put_word(&beyond, 8, static_cast<std::uint32_t>(sound.size() + 1));
  std::string inside_header = sound;
  put_word(&inside_header, 8, 4);
  const std::pair<const char*, std::string> cases[] = {
      {"missing", ""},
      {"11 bytes", sound.substr(0, 11)},
      {"index offset beyond the end", beyond},
      {"index offset inside the header", inside_header},
  };
  write_can({kVe3xkt});
  write_prev({{"KB1QRS", "W1ABC"}});
  for (const auto& [what, bytes] : cases) {
    SCOPED_TRACE(what);
    fs::remove(file("call.db"));
    if (!bytes.empty()) write_bytes(file("call.db"), bytes);
    const Outcome r = lookup({"W1ABC", "VE3XKT", "KB1QRS"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("ERROR Reading Database: call.db", 0), 0u) << r.err;
    EXPECT_EQ(r.code, 2);
  }
}

TEST_F(CalldbTest, LookupReportsADamagedCallDbOnStderr) {
  write_us({kW1abc, kAa2b});
  std::string bytes = read_bytes(file("call.db"));
  const std::size_t index = word_at(bytes, 8);
  // Entries are in key order: AA2B first. Point its text past the end of the file.
  ASSERT_EQ(word_at(bytes, index), kAa2b.key);
  const std::uint32_t text_ref = word_at(bytes, index + 4);
  put_word(&bytes, index + 4,
           (text_ref & 0xFC000000u) | static_cast<std::uint32_t>(bytes.size() + 100));
  write_bytes(file("call.db"), bytes);

  const Outcome sound = lookup({"W1ABC"});
  EXPECT_EQ(sound.out, kW1abcBlock);
  EXPECT_EQ(sound.err, "");

  const Outcome damaged = lookup({"AA2B"});
  EXPECT_EQ(damaged.out.rfind("AA2B\n", 0), 0u) << damaged.out;
  EXPECT_NE(damaged.err.find("call.db"), std::string::npos) << damaged.err;
  EXPECT_NE(damaged.err.find("damaged"), std::string::npos) << damaged.err;
}

TEST_F(CalldbTest, LookupAndInfoReadTheCurrentFolderWithoutC) {
  write_us({kW1abc});
  const Outcome found = run_calldb({"lookup", "W1ABC"}, dir_);
  EXPECT_EQ(found.out, kW1abcBlock);
  EXPECT_EQ(found.code, 0);
  const Outcome lines = run_calldb({"info"}, dir_);
  EXPECT_EQ(lines.out, "Database date 03/15/2026, 1 entries\n");
  EXPECT_EQ(lines.code, 0);
}

// --- calldb info -----------------------------------------------------------------------------

TEST_F(CalldbTest, InfoPrintsTheCanadianDatabaseAndPreviousCallsLines) {
  write_us({kW1abc, kKc4rtm, kAa2b});
  write_prev({{"KB1QRS", "W1ABC"}, {"WD4HJK", "AA2B"}});
  write_can({kVe3xkt, {"VA7QRS", "BC", "LINDQVIST", "HALVARD J", "4410 SALAL RIDGE RD",
                       "NANAIMO", "V9T 2K8"}});
  const Outcome r = info();
  EXPECT_EQ(r.out,
            "Canadian data 11/27/2026,       2 entries\n"
            "Database date 03/15/2026, 3 entries\n"
            "2 previous calls in callprev.db, dated 03/01/2026\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.code, 0);
}

TEST_F(CalldbTest, InfoWithOnlyCallDbPrintsTheDatabaseLine) {
  write_us({}, "19991231");
  const Outcome r = info();
  EXPECT_EQ(r.out, "Database date 12/31/1999, 0 entries\n");
  EXPECT_EQ(r.code, 0);
}

TEST_F(CalldbTest, InfoWithoutCallDbExitsTwoAfterTheCanadianLine) {
  write_prev({{"KB1QRS", "W1ABC"}});
  write_can({kVe3xkt}, "20250704");
  const Outcome r = info();
  EXPECT_EQ(r.out, "Canadian data 07/04/2025,       1 entries\n");
  EXPECT_EQ(r.err.rfind("ERROR Reading Database: call.db", 0), 0u) << r.err;
  EXPECT_EQ(r.code, 2);
}

// --- calldb search --------------------------------------------------------------------------

TEST_F(CalldbTest, SearchPrintsALinePerLicenceAndExitsByWhatItFound) {
  write_us({kW1abc, kAa2b, us("N1VT", "ROSALIND P ACHESON", "12 STATE ST", "BARRE", "VT", 5641)});
  const std::string aa2b = "AA2B   - DESMOND J FARRELLY - 9 QUARRY HILL RD - MONTPELIER VT 05602\n";
  const std::string n1vt = "N1VT   - ROSALIND P ACHESON - 12 STATE ST - BARRE VT 05641\n";
  const struct {
    std::vector<std::string> args;
    std::string out, err;
    int code;
  } cases[] = {
      {{"--state", "vt"}, aa2b + n1vt, "Done - found 2\n", 0},
      // The first line's "\r\n" passes a limit of its printed size.
      {{"--state", "vt", "--limit", std::to_string(aa2b.size())}, aa2b,
       "SORRY: Too much output: Some results will not be shown\nDone - found 1\n", 0},
      {{"--name", "gretchen", "--state", "vt"}, "", "Done - found 0\n", 1},
      {{"--state", "xx"}, "", "calldb search: --state must be one of the 60 state codes\n", 2},
      {{"--state", "vt", "--limit", "-1"}, "",
       "--limit: must be 0 or more bytes\nRun with --help for more information.\n", 2},
      {{"--zip", "0"}, "", "Search: No search criteria were specified\n", 2},
      {{"-C", "none", "--state", "vt"}, "", "ERROR Reading Database: call.db (error 2)\n", 2},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"search"};
    std::string shown;
    for (const std::string& a : c.args) shown += " " + a;
    SCOPED_TRACE("calldb search" + shown);
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome r = run_calldb(args, dir_);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.code, c.code);
  }
}

// --- usage -----------------------------------------------------------------------------------

TEST(CalldbUsage, HelpExitsZeroAndNamesEveryCommand) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--help"}, {"lookup", "--help"}, {"info", "--help"}, {"sample", "--help"}}) {
    SCOPED_TRACE(args.front() + " " + args.back());
    const Outcome r = run_calldb(args);
    EXPECT_EQ(r.code, 0);
    for (const char* command : {"lookup", "info", "sample"}) {
      EXPECT_NE(r.out.find(command), std::string::npos) << command << " in\n" << r.out;
    }
  }
}

TEST(CalldbUsage, BadUsageExitsTwoWithAMessageOnStderr) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"--bogus"}, {"frobnicate"}, {"lookup"}, {"lookup", "--bogus", "W1ABC"},
           {"lookup", "-C"}, {"info", "extra"}, {"sample"}}) {
    std::string shown;
    for (const std::string& a : args) shown += a + " ";
    SCOPED_TRACE("calldb " + shown);
    const Outcome r = run_calldb(args);
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err, "");
    EXPECT_EQ(r.out, "");
  }
}

// --- calldb sample ---------------------------------------------------------------------------

std::string can_call_text(dbfiles::CanKey key) {
  std::string call = "V";
  call += "AEOY"[(key >> 19) & 3];
  call += static_cast<char>('0' + ((key >> 15) & 0xF));
  for (int shift = 10; shift >= 0; shift -= 5) {
    const std::uint32_t letter = (key >> shift) & 0x1F;
    if (letter != 0) call += static_cast<char>('A' + letter - 1);
  }
  return call;
}

// The found blocks of `out`, each split into its four lines.
std::vector<std::vector<std::string>> blocks(const std::string& out) {
  std::vector<std::vector<std::string>> result;
  std::size_t pos = 0;
  while (pos < out.size()) {
    const std::size_t end = out.find("\n\n", pos);
    if (end == std::string::npos) break;
    std::vector<std::string> lines;
    std::size_t start = pos;
    while (start <= end) {
      const std::size_t nl = out.find('\n', start);
      lines.push_back(out.substr(start, nl - start));
      start = nl + 1;
    }
    result.push_back(lines);
    pos = end + 2;
  }
  return result;
}

TEST_F(CalldbTest, SampleWritesAFolderThatInfoAndLookupRead) {
  const std::string data = dir_ + "/data";  // made by the command
  const Outcome made = run_calldb({"sample", data});
  ASSERT_EQ(made.code, 0) << made.err;
  // "wrote DIR/NAME (N WHAT)" for each file, in this order.
  const std::pair<const char*, const char*> files[] = {
      {"call.db", "licences"}, {"callprev.db", "previous calls"}, {"cancall.db", "licences"}};
  std::string counts[3];
  std::size_t pos = 0;
  for (int i = 0; i < 3; ++i) {
    const std::string head = "wrote " + data + "/" + files[i].first + " (";
    const std::string tail = std::string(" ") + files[i].second + ")\n";
    ASSERT_EQ(made.out.compare(pos, head.size(), head), 0) << made.out;
    pos += head.size();
    while (pos < made.out.size() && std::isdigit(static_cast<unsigned char>(made.out[pos]))) {
      counts[i] += made.out[pos++];
    }
    ASSERT_FALSE(counts[i].empty()) << made.out;
    ASSERT_EQ(made.out.compare(pos, tail.size(), tail), 0) << made.out;
    pos += tail.size();
  }
  ASSERT_EQ(pos, made.out.size()) << made.out;

  char canadian_line[64];
  std::snprintf(canadian_line, sizeof canadian_line, "Canadian data 11/27/2026, %7d entries\n",
                std::stoi(counts[2]));
  const Outcome lines = run_calldb({"info", "-C", data});
  EXPECT_EQ(lines.out, canadian_line + ("Database date 11/29/2026, " + counts[0] +
                                        " entries\n" + counts[1] +
                                        " previous calls in callprev.db, dated 11/29/2026\n"));
  EXPECT_EQ(lines.code, 0);

  // Every US licence is found, and together they show every kind of record.
  const std::string us_bytes = read_bytes(data + "/call.db");
  std::vector<std::string> us_calls;
  bool top_bit = false;
  for (std::size_t at = word_at(us_bytes, 8); at + 12 <= us_bytes.size(); at += 12) {
    const dbfiles::IndexEntry e = dbfiles::IndexEntry::decode(
        reinterpret_cast<const unsigned char*>(us_bytes.data() + at));
    us_calls.push_back(dbfiles::decode_call(e.key));
    top_bit = top_bit || (e.key >> 31) != 0;
  }
  EXPECT_EQ(std::to_string(us_calls.size()), counts[0]);
  EXPECT_TRUE(top_bit);
  std::vector<std::string> args = {"lookup", "-C", data};
  args.insert(args.end(), us_calls.begin(), us_calls.end());
  const Outcome us_found = run_calldb(args);
  EXPECT_EQ(us_found.code, 0) << us_found.out;
  const auto us_blocks = blocks(us_found.out);
  ASSERT_EQ(us_blocks.size(), us_calls.size());
  bool po_box = false, empty_city = false, low_zip = false;
  for (std::size_t i = 0; i < us_blocks.size(); ++i) {
    ASSERT_EQ(us_blocks[i].size(), 4u);
    EXPECT_EQ(us_blocks[i][0], us_calls[i]);
    po_box = po_box || us_blocks[i][2].rfind("PO BOX ", 0) == 0;
    empty_city = empty_city || us_blocks[i][3][0] == ' ';
    low_zip = low_zip || us_blocks[i][3].substr(us_blocks[i][3].size() - 5, 1) == "0";
  }
  EXPECT_TRUE(po_box);
  EXPECT_TRUE(empty_city);
  EXPECT_TRUE(low_zip);

  // Every previous callsign names a current licence.
  const std::string prev_bytes = read_bytes(data + "/callprev.db");
  ASSERT_EQ(std::to_string(prev_bytes.size() / 8 - 1), counts[1]);
  for (std::size_t at = 8; at + 8 <= prev_bytes.size(); at += 8) {
    const std::string old_call = dbfiles::decode_call(word_at(prev_bytes, at));
    const std::string new_call = dbfiles::decode_call(word_at(prev_bytes, at + 4));
    EXPECT_NE(std::find(us_calls.begin(), us_calls.end(), new_call), us_calls.end()) << new_call;
    const Outcome moved = run_calldb({"lookup", "-C", data, old_call});
    EXPECT_EQ(moved.out, old_call + " NOW " + new_call + "\n\n");
  }

  // Every Canadian licence is found, a club and one without an address among them.
  const std::string can_bytes = read_bytes(data + "/cancall.db");
  args = {"lookup", "-C", data};
  for (std::size_t at = word_at(can_bytes, 8); at + 8 <= can_bytes.size(); at += 8) {
    args.push_back(can_call_text(word_at(can_bytes, at) & dbfiles::CanEntry::kKeyMask));
  }
  const Outcome can_found = run_calldb(args);
  EXPECT_EQ(can_found.code, 0) << can_found.out;
  const auto can_blocks = blocks(can_found.out);
  ASSERT_EQ(std::to_string(can_blocks.size()), counts[2]);
  bool club = false, no_address = false;
  for (const auto& b : can_blocks) {
    ASSERT_EQ(b.size(), 4u);
    club = club || b[1][0] == ' ';
    no_address = no_address || b[3] == "not really, ZZ  xxx xxx";
  }
  EXPECT_TRUE(club);
  EXPECT_TRUE(no_address);
}

TEST_F(CalldbTest, SampleNeverWritesOverAnExistingDataFile) {
  const std::string data = dir_ + "/data";
  ASSERT_EQ(run_calldb({"sample", data}).code, 0);
  const std::string names[] = {"call.db", "callprev.db", "cancall.db"};
  std::vector<std::string> before;
  for (const std::string& n : names) before.push_back(read_bytes(data + "/" + n));

  const Outcome again = run_calldb({"sample", data});
  EXPECT_EQ(again.code, 1);
  EXPECT_EQ(again.out, "");
  EXPECT_NE(again.err, "");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(read_bytes(data + "/" + names[i]), before[i]) << names[i];

  // One file of the user's is enough to stop it, and nothing else appears beside it.
  for (const std::string& mine : names) {
    SCOPED_TRACE(mine);
    const std::string folder = dir_ + "/only-" + mine;
    fs::create_directory(folder);
    write_bytes(folder + "/" + mine, "the user's own");
    const Outcome r = run_calldb({"sample", folder});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err, "");
    EXPECT_EQ(read_bytes(folder + "/" + mine), "the user's own");
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
  }
}

TEST_F(CalldbTest, SampleMakesOnlyTheLastFolderLevel) {
  const Outcome r = run_calldb({"sample", dir_ + "/missing/data"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err, "");
  EXPECT_FALSE(fs::exists(dir_ + "/missing"));
}

}  // namespace
