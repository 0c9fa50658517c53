// What the calldb commands lookup, info, search and sample add to the engines: their arguments,
// the form of their output and their exit codes. The real program runs on data folders the
// test writes; how records look and which callsigns are found is the engines' tests' business.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "dbfiles/dbwriter.h"
#include "tests/support/run_process.h"
#include "tests/test_util.h"

namespace {

using testutil::Outcome;

Outcome calldb(const std::vector<std::string>& args, const std::string& cwd = "") {
  return testutil::run_process(CALLDB_PATH, args, cwd);
}

std::string shown(const std::vector<std::string>& args) {
  std::string text = "calldb";
  for (const std::string& a : args) text += " " + a.substr(0, 40);
  return text;
}

std::uint32_t code_of(const char* const* codes, int count, const std::string& code) {
  for (int i = 0; i < count; ++i) {
    if (codes[i] == code) return static_cast<std::uint32_t>(i);
  }
  ADD_FAILURE() << "no code " << code;
  return 0;
}

dbfiles::UsRecord us(const char* call, const char* name, const char* street, const char* city,
                     const char* state, std::uint32_t zip) {
  return dbfiles::UsRecord{dbfiles::encode_call(call), name, street, city,
                           code_of(dbfiles::StateCodes, dbfiles::kStateCount, state), zip, false};
}

const char kW1abc[] = "W1ABC\nGRETCHEN M HALLORAN\n55 FERRY LANDING\nHOLTSVILLE NY 00501\n\n";
const char kAa2b[] = "AA2B\nDESMOND J FARRELLY\n9 QUARRY HILL RD\nMONTPELIER VT 05602\n\n";
const char kVe3xkt[] = "VE3XKT\nELOISE R MARCHBANK\n88 BYTOWN CRES\nOTTAWA, ON  K2P 1A4\n\n";
const char kCanadianLine[] = "Canadian data 11/27/2026,       1 entries\n";

// Folders under one scratch folder: "full" (all three files), "nocall" (no call.db), "short"
// (a call.db cut inside its header) and "badtext" (AA2B's text offset past the file's end).
class CalldbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::vector<dbfiles::UsRecord> records = {
        us("AA2B", "DESMOND J FARRELLY", "9 QUARRY HILL RD", "MONTPELIER", "VT", 5602),
        us("W1ABC", "GRETCHEN M HALLORAN", "55 FERRY LANDING", "HOLTSVILLE", "NY", 501),
        us("N1VT", "ROSALIND P ACHESON", "12 STATE ST", "BARRE", "VT", 5641)};
    std::vector<dbfiles::UsRecord> sorted = records;
    std::sort(sorted.begin(), sorted.end(), [](auto& a, auto& b) { return a.key < b.key; });
    for (const char* folder : {"full", "nocall", "short", "badtext"}) {
      std::filesystem::create_directory(dir(folder));
      std::string error;
      ASSERT_EQ(dbfiles::write_prev_db(
                    dir(folder) + "/callprev.db", "20260301",
                    {{dbfiles::encode_call("KB1QRS"), dbfiles::encode_call("W1ABC")}}, &error),
                0);
      dbfiles::CanDbWriter can;
      dbfiles::CanKey key = 0;
      ASSERT_EQ(dbfiles::encode_can_call("VE3XKT", &key), 0);
      ASSERT_EQ(can.open(dir(folder) + "/cancall.db", "20261127"), 0);
      const std::uint32_t on = code_of(dbfiles::ProvinceCodes, dbfiles::kProvinceCount, "ON");
      ASSERT_EQ(can.add(dbfiles::CanEntry::make_word0(key, on), "MARCHBANK", "ELOISE R",
                        "88 BYTOWN CRES", "OTTAWA", "K2P 1A4"),
                0);
      ASSERT_EQ(can.finish(), 0);
      if (std::string(folder) == "nocall") continue;
      ASSERT_EQ(dbfiles::write_call_db(dir(folder) + "/call.db", "20260315", sorted, &error), 0)
          << error;
    }
    const std::string sound = testutil::read_bytes(dir("short") + "/call.db");
    testutil::write_bytes(dir("short") + "/call.db", sound.substr(0, 11));
    std::string bytes = sound;
    const std::size_t first = testutil::word_at(bytes, 8);  // AA2B's entry
    testutil::put_word(&bytes, first + 4,
                       (testutil::word_at(bytes, first + 4) & 0xFC000000u) |
                           static_cast<std::uint32_t>(bytes.size() + 100));
    testutil::write_bytes(dir("badtext") + "/call.db", bytes);
  }

  std::string dir(const std::string& name) const { return scratch_.file(name); }

  testutil::TempDir scratch_;
};

TEST_F(CalldbTest, LookupAndInfoPrintTheirLinesAndExitByWhatTheyFound) {
  const std::string full = dir("full");
  const struct {
    std::vector<std::string> args;
    std::string cwd, out, err;
    int code;
  } cases[] = {
      // Typed text is upper-cased and cut to the callsign box's 255 characters; results come
      // in the order asked, and a callsign not found (a former one included) makes it exit 1.
      {{"lookup", "-C", full, "w1abc", "ve3xkt", "AA2B"}, "",
       std::string(kW1abc) + kVe3xkt + kAa2b, "", 0},
      {{"lookup", "-C", full, "KB1QRS", "W1ABC"}, "", "KB1QRS NOW W1ABC\n\n" + std::string(kW1abc),
       "", 1},
      {{"lookup", "-C", full, "kz9zz", "W1ABC", "w" + std::string(299, 'q')}, "",
       "KZ9ZZ NOT FOUND\n\n" + std::string(kW1abc) + "W" + std::string(254, 'Q') +
           " NOT FOUND\n\n",
       "", 1},
      {{"lookup", "W1ABC"}, full, kW1abc, "", 0},
      {{"info", "-C", full}, "",
       std::string(kCanadianLine) + "Database date 03/15/2026, 3 entries\n"
                                    "1 previous calls in callprev.db, dated 03/01/2026\n",
       "", 0},
      {{"info"}, full,
       std::string(kCanadianLine) + "Database date 03/15/2026, 3 entries\n"
                                    "1 previous calls in callprev.db, dated 03/01/2026\n",
       "", 0},
      // call.db that cannot be used: nothing is looked up, exit 2.
      {{"info", "-C", dir("nocall")}, "", kCanadianLine,
       "ERROR Reading Database: call.db (error 2)\n", 2},
      {{"lookup", "-C", dir("nocall"), "W1ABC", "VE3XKT"}, "", "",
       "ERROR Reading Database: call.db (error 2)\n", 2},
      {{"lookup", "-C", dir("short"), "W1ABC"}, "", "",
       "ERROR Reading Database: call.db: damaged file, its header is shorter than 12 bytes\n", 2},
      // A record whose text is damaged: what the index entry holds, the reason on standard
      // error.
      {{"lookup", "-C", dir("badtext"), "W1ABC", "AA2B"}, "",
       std::string(kW1abc) + "AA2B\n\n\n VT 05602\n\n",
       "calldb: call.db: damaged file, a record text lies outside the text area\n", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(shown(c.args));
    const Outcome r = calldb(c.args, c.cwd);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.code, c.code);
  }
}

TEST_F(CalldbTest, SearchPrintsALinePerLicenceAndExitsByWhatItFound) {
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
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(shown(args));
    const Outcome r = calldb(args, dir("full"));
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.code, c.code);
  }
}

TEST(CalldbUsage, HelpExitsZeroAndBadUsageTwo) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--help"}, {"lookup", "--help"}, {"info", "--help"}, {"sample", "--help"}}) {
    SCOPED_TRACE(shown(args));
    const Outcome r = calldb(args);
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find(args.size() == 1 ? "sample" : args[0]), std::string::npos) << r.out;
  }
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"--bogus"}, {"frobnicate"}, {"lookup"}, {"lookup", "--bogus", "W1ABC"},
           {"lookup", "-C"}, {"info", "extra"}, {"sample"}}) {
    SCOPED_TRACE(shown(args));
    const Outcome r = calldb(args);
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err, "");
    EXPECT_EQ(r.out, "");
  }
}

// sample says what it wrote, never writes over a file of the user's, and makes only the last
// folder level. What the sample licences are is the generators' tests' business.
TEST_F(CalldbTest, SampleWritesANewFolderOnly) {
  const std::string data = dir("data");
  const Outcome made = calldb({"sample", data});
  EXPECT_EQ(made.code, 0) << made.err;
  std::string form;
  for (const char* file : {"call.db (N licences)", "callprev.db (N previous calls)",
                           "cancall.db (N licences)"}) {
    form += "wrote " + data + "/" + file + "\n";
  }
  EXPECT_EQ(std::regex_replace(made.out, std::regex("[0-9]+"), "N"),
            std::regex_replace(form, std::regex("[0-9]+"), "N"));
  EXPECT_EQ(calldb({"info", "-C", data}).code, 0);

  for (const char* mine : {"call.db", "callprev.db", "cancall.db"}) {
    SCOPED_TRACE(mine);
    const std::string folder = dir(std::string("only-") + mine);
    std::filesystem::create_directory(folder);
    testutil::write_bytes(folder + "/" + mine, "the user's own");
    const Outcome r = calldb({"sample", folder});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err, "");
    EXPECT_EQ(testutil::read_bytes(folder + "/" + mine), "the user's own");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                            std::filesystem::directory_iterator()),
              1);
  }
  EXPECT_EQ(calldb({"sample", dir("missing/data")}).code, 1);
  EXPECT_FALSE(std::filesystem::exists(dir("missing")));
}

}  // namespace
