// The FCC licence import engine: hand-made EN/HD/AM lines for the odd cases, archives made by
// Python's zipfile read through zlib loaded at run time, and the real published files.

#include "tools/uls_import.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "dbfiles/usdb.h"
#include "platform/platform.h"
#include "tests/support/zip_tools.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;
using calldb::ImportOptions;
using calldb::ImportReport;
using testutil::read_bytes;
using testutil::write_bytes;

const std::string kFcc = std::string(ORBISK_SHARED_DATA) + "/fcc";

// ---------------------------------------------------------------------------------------------
// Record lines as the FCC writes them: every field, '|'-separated, CR LF.

std::string fields_line(std::vector<std::string> fields, std::size_t count) {
  fields.resize(count);
  std::string line;
  for (std::size_t i = 0; i < fields.size(); ++i) line += (i == 0 ? "" : "|") + fields[i];
  return line + "\r\n";
}

struct En {
  std::string id{}, call{}, entity{}, first{}, mi{}, last{}, suffix{}, street{}, city{}, state{},
      zip{}, po_box{};
  std::string type = "I";
};
std::string en(const En& e) {
  std::vector<std::string> f(30);
  f[0] = "EN", f[1] = e.id, f[4] = e.call, f[5] = "L", f[7] = e.entity, f[8] = e.first,
  f[9] = e.mi, f[10] = e.last, f[11] = e.suffix, f[15] = e.street, f[16] = e.city,
  f[17] = e.state, f[18] = e.zip, f[19] = e.po_box, f[23] = e.type;
  return fields_line(f, 30);
}
// A plain individual's EN line.
std::string person(const std::string& id, const std::string& call, const std::string& last) {
  return en({id, call, "", "ANN", "", last, "", "1 MAIN ST", "TOWN", "OH", "45245"});
}
std::string hd(const std::string& id, const std::string& call, const std::string& status,
               const std::string& grant = "01/02/2020", const std::string& service = "HA") {
  return fields_line({"HD", id, "", "", call, status, service, grant}, 59);
}
std::string am(const std::string& id, const std::string& call, const std::string& previous) {
  std::vector<std::string> f(18);
  f[0] = "AM", f[1] = id, f[4] = call, f[15] = previous;
  return fields_line(f, 18);
}

// What a lookup shows of a licence.
struct Shown {
  std::string name, street, place;
  bool found = false;
};

class UlsImportTest : public ::testing::Test {
 protected:
  UlsImportTest() { fs::create_directory(out_); }

  // Writes `files` (name, contents) into a new folder `name` and returns its path.
  std::string folder(const std::string& name,
                     const std::vector<std::pair<std::string, std::string>>& files) {
    const std::string path = dir_.file(name);
    fs::create_directory(path);
    for (const auto& [file, contents] : files) write_bytes(path + "/" + file, contents);
    return path;
  }

  int import(const std::vector<std::string>& sources, const std::string& zlib = "libz.so.1") {
    ImportOptions options;
    options.folder = out_;
    options.date = "20251004";
    options.sources = sources;
    options.zlib_library = zlib;
    options.note = [this](const std::string& note) { notes_.push_back(note); };
    options.between_replaces = between_replaces_;
    return calldb::import_uls(options, &report_, &error_);
  }

  Shown lookup(const std::string& call) const {
    dbfiles::UsDatabase db;
    Shown shown;
    if (dbfiles::open_call_db(out_ + "/call.db", &db) != 0) return shown;
    dbfiles::LookupResult result;
    shown.found = dbfiles::lookup_us_call(db, call.c_str(), &result).found;
    shown.name = result.name_line;
    shown.street = result.street_line;
    shown.place = result.place_line;
    return shown;
  }

  std::uint32_t count() const {
    dbfiles::UsDatabase db;
    return dbfiles::open_call_db(out_ + "/call.db", &db) == 0 ? db.count : 0;
  }

  // The current callsign callprev.db gives for `old`, or "".
  std::string successor(const std::string& old) const {
    dbfiles::PrevDatabase db;
    if (dbfiles::open_prev_db(out_ + "/callprev.db", &db) != 0) return "";
    char replacement[7] = {};
    bool damaged = false;
    return dbfiles::find_prev_call(db, old.c_str(), replacement, &damaged) > 0 ? replacement : "";
  }

  std::string notes() const {
    std::string all;
    for (const std::string& note : notes_) all += note + "\n";
    return all;
  }

  testutil::TempDir dir_;
  const std::string out_ = dir_.file("out");
  ImportReport report_;
  std::string error_;
  std::vector<std::string> notes_;
  std::function<void()> between_replaces_;
};

// ---------------------------------------------------------------------------------------------
// Text rules

TEST(UlsTextTest, CleansUpperCasesAndChecksCodes) {
  using namespace calldb::uls;
  EXPECT_EQ(clean_text("  Smith\tjr\x7F "), "SMITH JR");
  EXPECT_EQ(clean_text(std::string("a\0b", 3)), "A B");
  EXPECT_EQ(clean_text("\xE9t\xE9 \xF7 \xFF \xC9"), "\xC9T\xC9 \xF7 \xFF \xC9");
  EXPECT_EQ(clean_text(" \r\n "), "");

  EXPECT_EQ(state_index("FL"), state_index("Fl"));
  EXPECT_EQ(state_index("id"), state_index("ID"));
  EXPECT_STREQ(dbfiles::StateCodes[state_index("vi")], "VI");
  EXPECT_EQ(state_index("??"), 0u);
  EXPECT_EQ(state_index("XX"), 0u);
  EXPECT_EQ(state_index(""), 0u);

  EXPECT_EQ(zip_number("088164464"), 8816u);
  EXPECT_EQ(zip_number("45245"), 45245u);
  EXPECT_EQ(zip_number("4524"), 0u);
  EXPECT_EQ(zip_number("4524X"), 0u);

  for (const char* good : {"W1AW", "K1A", "KB5IHP", "AA9PM", "N0C"}) {
    EXPECT_TRUE(is_storable_call(good)) << good;
  }
  for (const char* bad : {"", "W", "W1", "KB5IHPX", "VE3ABC", "W1-AW", "w1aw", "W1AW/P"}) {
    EXPECT_FALSE(is_storable_call(bad)) << bad;
  }

  EXPECT_TRUE(calldb::is_calendar_date("20240229"));
  EXPECT_TRUE(calldb::is_calendar_date("20001231"));
  for (const char* bad : {"20230229", "19000229", "20251301", "20250431", "2025104", "2025-1-4",
                          "00000101", "20251000"}) {
    EXPECT_FALSE(calldb::is_calendar_date(bad)) << bad;
  }
}

TEST_F(UlsImportTest, BuildsNamesAddressesStatesAndZipCodes) {
  const std::string src = folder(
      "day", {{"EN.dat",
               en({"1", "W1AAA", "SMITH, JOHN Q", "John", "q", "Smith", "Jr", "1 Elm St",
                   "Boise", "id", "837041234"}) +
                   en({"2", "W1AAB", "", "Marvin", "", "Boyd", ".", "", "Pulaski", "Fl", "38478",
                       "1281"}) +
                   en({"3", "W1AAC", "Heart Radio Club", "", "", "", "", "19711 NE 197th Ter",
                       "Smithville", "MO", "6408", "", "B"}) +
                   en({"4", "W1AAD", "Lone Entity", "", "", "", "", "Street", "City", "ZZ",
                       "A1234"}) +
                   en({"5", "W1AAE", "X", "", "", std::string("Tab\tName\x01"), "", "",
                       "Nowhere", "", "", ""})},
              {"HD.dat", hd("1", "W1AAA", "A") + hd("2", "w1aab", "A") + hd("3", "W1AAC", "A") +
                             hd("4", "W1AAD", "A") + hd("5", "W1AAE", "A")}});
  ASSERT_EQ(import({src}), 0) << error_;
  EXPECT_EQ(report_.licences, 5u);
  EXPECT_EQ(report_.skipped, 0u);

  const Shown a = lookup("W1AAA");
  EXPECT_EQ(a.name, "SMITH, JOHN Q JR");
  EXPECT_EQ(a.street, "1 ELM ST");
  EXPECT_EQ(a.place, "BOISE ID 83704");
  const Shown b = lookup("W1AAB");  // "." is no suffix; PO box only; state "Fl"
  EXPECT_EQ(b.name, "BOYD, MARVIN");
  EXPECT_EQ(b.street, "PO BOX 1281");
  EXPECT_EQ(b.place, "PULASKI FL 38478");
  const Shown c = lookup("W1AAC");  // a club: the entity name; a four-digit ZIP counts as none
  EXPECT_EQ(c.name, "HEART RADIO CLUB");
  EXPECT_EQ(c.place, "SMITHVILLE MO 00000");
  const Shown d = lookup("W1AAD");  // an individual without a last name: the entity name
  EXPECT_EQ(d.name, "LONE ENTITY");
  EXPECT_EQ(d.place, "CITY ?? 00000");
  const Shown e = lookup("W1AAE");  // control bytes become blanks and are trimmed
  EXPECT_EQ(e.name, "TAB NAME");
  EXPECT_EQ(e.street, "");
}

TEST_F(UlsImportTest, CutsTextsThatDoNotFitAndCountsThem) {
  const std::string club(200, 'C');
  const std::string street = "12 " + std::string(57, 'S');  // 60, fits
  const std::string long_street(70, 'T');
  const std::string src = folder(
      "day", {{"EN.dat", en({"1", "W1AAA", club, "", "", "", "", street, std::string(20, 'Y'),
                             "OH", "45245", "", "B"}) +
                             en({"2", "W1AAB", "", "A", "", "B", "", long_street, "Z", "OH",
                                 "45245"}) +
                             person("3", "W1AAC", "FITS")},
              {"HD.dat", hd("1", "W1AAA", "A") + hd("2", "W1AAB", "A") + hd("3", "W1AAC", "A")}});
  ASSERT_EQ(import({src}), 0) << error_;
  EXPECT_EQ(report_.cut, 2u);

  // 200 + 60 + 20 bytes: the name gives up the 25 bytes past 255, street and city stay whole.
  dbfiles::UsDatabase db;
  ASSERT_EQ(dbfiles::open_call_db(out_ + "/call.db", &db), 0);
  dbfiles::IndexEntry entry;
  ASSERT_TRUE(dbfiles::find_entry(db, dbfiles::encode_call("W1AAA"), &entry).found);
  EXPECT_EQ(entry.name_len(), 175u);
  EXPECT_EQ(entry.street_len(), 60u);
  EXPECT_EQ(lookup("W1AAA").place, std::string(20, 'Y') + " OH 45245");
  EXPECT_EQ(lookup("W1AAB").street, std::string(63, 'T'));
}

TEST_F(UlsImportTest, LaterRecordsReplaceEarlierOnesByIdentifierAcrossSources) {
  const std::string monday = folder(
      "mon", {{"EN.dat", person("1", "W1AAA", "OLD") + person("2", "W1AAB", "KEPT") +
                             person("3", "W1AAC", "LATER")},
              {"HD.dat", hd("1", "W1AAA", "A") + hd("2", "W1AAB", "A") + hd("3", "W1AAC", "E")}});
  // Tuesday's daily: a new address for 1, 2 cancelled, 3 renewed; no AM.dat at all.
  const std::string tuesday = folder(
      "tue", {{"EN.dat", person("1", "W1AAA", "NEW")},
              {"HD.dat", hd("2", "W1AAB", "C") + hd("3", "W1AAC", "A")}});
  ASSERT_EQ(import({monday, tuesday}), 0) << error_;
  EXPECT_EQ(lookup("W1AAA").name, "NEW, ANN");
  EXPECT_FALSE(lookup("W1AAB").found);
  EXPECT_EQ(lookup("W1AAC").name, "LATER, ANN");

  // The other order: Monday's records win.
  ASSERT_EQ(import({tuesday, monday}), 0) << error_;
  EXPECT_EQ(lookup("W1AAA").name, "OLD, ANN");
  EXPECT_TRUE(lookup("W1AAB").found);
  EXPECT_FALSE(lookup("W1AAC").found);
}

TEST_F(UlsImportTest, WritesOnlyActiveAmateurLicencesWithAStorableCallsign) {
  std::string ens, hds;
  const std::vector<std::pair<std::string, std::string>> statuses = {
      {"A", "HA"}, {"A", "HV"}, {"C", "HA"}, {"E", "HA"}, {"L", "HA"}, {"P", "HA"},
      {"T", "HA"}, {"X", "HA"}, {"A", "ZA"}};
  for (std::size_t i = 0; i < statuses.size(); ++i) {
    const std::string id = std::to_string(i + 1);
    const std::string call = "W1AA" + std::string(1, static_cast<char>('A' + i));
    ens += person(id, call, "P");
    hds += hd(id, call, statuses[i].first, "01/02/2020", statuses[i].second);
  }
  ens += person("20", "KB5IHP", "FROMEN") + person("21", "VE3ABC", "CANADA") +
         person("22", "", "NOCALL");
  hds += hd("20", "", "A") + hd("21", "VE3ABC", "A") + hd("22", "", "A") +
         hd("23", "W2ZZZ", "A");  // 23 has no EN record
  ASSERT_EQ(import({folder("day", {{"EN.dat", ens}, {"HD.dat", hds}})}), 0) << error_;
  EXPECT_EQ(report_.licences, 3u);
  EXPECT_TRUE(lookup("W1AAA").found);
  EXPECT_TRUE(lookup("W1AAB").found);
  EXPECT_EQ(lookup("KB5IHP").name, "FROMEN, ANN");  // HD without a callsign: EN's
  EXPECT_EQ(report_.skipped, 3u);
  const std::string all = notes();
  EXPECT_NE(all.find("HD.dat line 11: licence 21: call sign \"VE3ABC\" cannot be stored"),
            std::string::npos) << all;
  EXPECT_NE(all.find("HD.dat line 12: licence 22 has no call sign"), std::string::npos) << all;
  EXPECT_NE(all.find("HD.dat line 13: licence 23 (W2ZZZ) has no EN record"), std::string::npos)
      << all;
}

TEST_F(UlsImportTest, KeepsTheLaterGrantOfTwoLicencesWithOneCallsign) {
  const std::string src = folder(
      "day", {{"EN.dat", person("1", "W1AAA", "NEWER") + person("2", "W1AAA", "OLDER") +
                             person("3", "W1AAB", "FIRST") + person("4", "W1AAB", "SECOND")},
              {"HD.dat", hd("1", "W1AAA", "A", "05/06/2024") + hd("2", "W1AAA", "A", "12/31/2023") +
                             hd("3", "W1AAB", "A", "01/01/2020") +
                             hd("4", "W1AAB", "A", "01/01/2020")}});
  ASSERT_EQ(import({src}), 0) << error_;
  EXPECT_EQ(lookup("W1AAA").name, "NEWER, ANN");
  EXPECT_EQ(lookup("W1AAB").name, "SECOND, ANN");  // equal grants: the one read later
  EXPECT_EQ(report_.duplicates, 2u);
  EXPECT_EQ(report_.skipped, 2u);
  EXPECT_NE(notes().find("HD.dat line 2: licence 2 has call sign W1AAA as licence 1 has"),
            std::string::npos) << notes();
}

TEST_F(UlsImportTest, MapsPreviousCallsignsToTheLatestGrant) {
  const std::string src = folder(
      "day",
      {{"EN.dat", person("1", "W1AAA", "A") + person("2", "W1AAB", "B") +
                      person("3", "W1AAC", "C") + person("4", "W1AAD", "D") +
                      person("5", "W1AAE", "E") + person("6", "W1AAF", "F") +
                      person("7", "W1AAG", "G")},
       {"HD.dat", hd("1", "W1AAA", "A", "01/01/2024") + hd("2", "W1AAB", "A", "03/01/2025") +
                      hd("3", "W1AAC", "A", "02/01/2024") + hd("4", "W1AAD", "A") +
                      hd("5", "W1AAE", "A") + hd("6", "W1AAF", "E") + hd("7", "W1AAG", "A")},
       {"AM.dat", am("1", "W1AAA", "KB1OLD") + am("2", "W1AAB", "kb1old") +
                      am("3", "W1AAC", "KB1OLD") + am("4", "W1AAD", "W1AAD") +
                      am("5", "W1AAE", "W1AAA") + am("6", "W1AAF", "N1GONE") +
                      am("7", "W1AAG", "VE3XYZ")}});
  ASSERT_EQ(import({src}), 0) << error_;
  EXPECT_EQ(successor("KB1OLD"), "W1AAB");  // granted 2025, after 1 and 3
  EXPECT_EQ(successor("W1AAD"), "");        // the licence's own callsign
  EXPECT_EQ(successor("W1AAA"), "");        // a current callsign: call.db answers first
  EXPECT_EQ(successor("N1GONE"), "");       // an expired licence's
  EXPECT_EQ(successor("VE3XYZ"), "");       // not storable
  EXPECT_EQ(report_.previous, 1u);
}

TEST_F(UlsImportTest, ReportsMalformedLinesWithTheirNumbersAndReadsTheRest) {
  std::string lines = person("1", "W1AAA", "GOOD");
  lines += "EN|2|||W1AAB|L\r\n";                                     // 2: too few fields
  lines += person("x9", "W1AAC", "BADID");                           // 3
  lines += hd("4", "W1AAD", "A");                                    // 4: not an EN record
  lines += std::string("EN|5|||W1AAE|L||N\0ME|") + std::string(30000, 'L') + "\r\n";  // 5
  lines += person("6", "W1AAF", "CUT").substr(0, 10) + "\n";                         // 6
  lines += "\r\n";                                                   // 7: empty, passed over
  std::string lf_only = person("8", "W1AAG", "LFONLY");
  lf_only.erase(lf_only.size() - 2, 1);
  lines += lf_only;                                                  // 8: LF alone
  std::string nul = person("9", "W1AAH", "NUL");
  nul.replace(nul.find("NUL"), 3, std::string("N\0L", 3));
  lines += nul;                                                      // 9: a NUL in a field
  std::string last = person("10", "W1AAI", "LAST");
  lines += last.substr(0, last.size() - 2);                          // 10: no line end
  std::string hds;
  for (int i = 1; i <= 10; ++i) {
    hds += hd(std::to_string(i), "", "A");  // the call signs come from EN
  }
  ASSERT_EQ(import({folder("day", {{"EN.dat", lines}, {"HD.dat", hds}})}), 0) << error_;

  EXPECT_TRUE(lookup("W1AAA").found);
  EXPECT_EQ(lookup("W1AAG").name, "LFONLY, ANN");
  EXPECT_EQ(lookup("W1AAH").name, "N L, ANN");
  EXPECT_EQ(lookup("W1AAI").name, "LAST, ANN");
  const std::string all = notes();
  const std::string day = dir_.file("day") + " EN.dat line ";
  EXPECT_NE(all.find(day + "2: 6 fields, 24 needed"), std::string::npos) << all;
  EXPECT_NE(all.find(day + "3: unique system identifier \"X9\" is not a number"),
            std::string::npos) << all;
  EXPECT_NE(all.find(day + "4: not an EN record"), std::string::npos) << all;
  EXPECT_NE(all.find(day + "5: line longer than 16384 bytes"), std::string::npos) << all;
  EXPECT_NE(all.find(day + "6: 5 fields, 24 needed"), std::string::npos) << all;
  EXPECT_EQ(all.find(day + "7"), std::string::npos) << all;
  // EN lines 2 to 6 left out; their licences and 7 then have no EN record.
  EXPECT_EQ(report_.skipped, 11u);
  EXPECT_EQ(report_.licences, 4u);
}

TEST_F(UlsImportTest, ShowsAtMostTheCapOfNotesPerFileThenACount) {
  std::string lines;
  for (int i = 0; i < 25; ++i) lines += "EN|bad\r\n";
  lines += person("1", "W1AAA", "GOOD");
  ASSERT_EQ(import({folder("day", {{"EN.dat", lines}, {"HD.dat", hd("1", "W1AAA", "A")}})}), 0);
  ASSERT_EQ(notes_.size(), 21u);
  EXPECT_EQ(notes_.back(), dir_.file("day") + " EN.dat: 5 more lines left out");
  EXPECT_EQ(report_.skipped, 25u);
}

// ---------------------------------------------------------------------------------------------
// Archives, files alone, and failures

TEST_F(UlsImportTest, ReadsDeflatedStoredAndDescriptorArchivesAndLoneFiles) {
  const std::string src = folder("src", {{"EN.dat", person("1", "W1AAA", "ZIPPED") +
                                                        person("2", "W1AAB", "STORED")},
                                         {"HD.dat", hd("1", "W1AAA", "A") + hd("2", "W1AAB", "A")},
                                         {"counts", "2 EN.dat\r\n"}});
  const std::string deflated = dir_.file("l_am_mon.zip");
  ASSERT_EQ(testutil::python_zip(deflated, {{"counts", testutil::kDeflated, src + "/counts"},
                                            {"EN.dat", testutil::kDeflated, src + "/EN.dat"},
                                            {"HD.dat", testutil::kDeflated, src + "/HD.dat"}}),
            0);
  // Names earlier runs wrote, planted as symlinks: removed, never written through.
  write_bytes(dir_.file("victim"), "not to be written");
  for (const char* name : {"/import-uls-EN.dat.part", "/call.db.new", "/callprev.db.new"}) {
    fs::create_symlink(dir_.file("victim"), out_ + name);
  }
  ASSERT_EQ(import({deflated}), 0) << error_;
  EXPECT_EQ(lookup("W1AAA").name, "ZIPPED, ANN");
  EXPECT_EQ(report_.licences, 2u);
  EXPECT_EQ(read_bytes(dir_.file("victim")), "not to be written");

  const std::string stored = dir_.file("stored.zip");
  ASSERT_EQ(testutil::python_zip(stored, {{"EN.dat", testutil::kStored, src + "/EN.dat"},
                                          {"HD.dat", testutil::kStored, src + "/HD.dat"}}),
            0);
  ASSERT_EQ(import({stored}, "libnot-zlib.so"), 0) << error_;  // stored: no zlib needed
  EXPECT_EQ(report_.licences, 2u);

  // Written to a stream that cannot seek: sizes follow the data (flag bit 3).
  const std::string streamed = dir_.file("streamed.zip");
  ASSERT_EQ(testutil::python(
                "import sys, zipfile\n"
                "class Stream:\n"
                "    def __init__(self, f): self.f = f\n"
                "    def write(self, b): return self.f.write(b)\n"
                "    def flush(self): self.f.flush()\n"
                "with open(sys.argv[1], 'wb') as f:\n"
                "    with zipfile.ZipFile(Stream(f), 'w', zipfile.ZIP_DEFLATED) as z:\n"
                "        for name in sys.argv[2:]:\n"
                "            with open(name, 'rb') as s:\n"
                "                z.writestr(name.split('/')[-1], s.read())\n"
                "with zipfile.ZipFile(sys.argv[1]) as z:\n"
                "    assert all(i.flag_bits & 8 for i in z.infolist())\n",
                {streamed, src + "/EN.dat", src + "/HD.dat"}),
            0);
  ASSERT_EQ(import({streamed}), 0) << error_;
  EXPECT_EQ(report_.licences, 2u);

  // The files alone, in any case of name; an AM.dat alone adds nothing to an HD.dat.
  const std::string lone = folder("lone", {{"hd.DAT", hd("2", "W1AAB", "A")}});
  ASSERT_EQ(import({src + "/EN.dat", lone + "/hd.DAT"}), 0) << error_;
  EXPECT_EQ(report_.licences, 1u);
  EXPECT_EQ(lookup("W1AAB").name, "STORED, ANN");

  // Nothing left behind in the output folder.
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(out_)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"call.db", "callprev.db"}));
}

TEST_F(UlsImportTest, AFailedImportReplacesNothingAndLeavesNoFiles) {
  const std::string src = folder("src", {{"EN.dat", person("1", "W1AAA", "OLD")},
                                         {"HD.dat", hd("1", "W1AAA", "A")}});
  ASSERT_EQ(import({src}), 0) << error_;
  const std::string call_db = read_bytes(out_ + "/call.db");
  const std::string prev_db = read_bytes(out_ + "/callprev.db");

  const std::string deflated = dir_.file("day.zip");
  ASSERT_EQ(testutil::python_zip(deflated, {{"EN.dat", testutil::kDeflated, src + "/EN.dat"},
                                            {"HD.dat", testutil::kDeflated, src + "/HD.dat"}}),
            0);
  const std::string cut = dir_.file("cut.zip");
  write_bytes(cut, read_bytes(deflated).substr(0, 120));
  const std::string junk = dir_.file("junk.txt");
  write_bytes(junk, "hello\n");
  const std::string inactive = folder("inactive", {{"HD.dat", hd("1", "W1AAA", "C")}});

  const std::vector<std::pair<std::vector<std::string>, std::string>> failures = {
      {{src, dir_.file("missing.zip")}, "missing.zip: not found"},
      {{cut}, "cut.zip"},
      {{junk}, "not a ZIP archive, a folder, or an EN.dat, HD.dat or AM.dat file"},
      {{dir_.file("out")}, "holds none of EN.dat, HD.dat and AM.dat"},
      {{src, inactive}, "no active licence in the sources"},
  };
  for (const auto& [sources, message] : failures) {
    EXPECT_EQ(import(sources), -1) << message;
    EXPECT_NE(error_.find(message), std::string::npos) << error_;
  }
  EXPECT_EQ(import({deflated}, "libnot-zlib.so"), -1);
  EXPECT_NE(error_.find("zlib (libnot-zlib.so) cannot be used"), std::string::npos) << error_;

  EXPECT_EQ(read_bytes(out_ + "/call.db"), call_db);
  EXPECT_EQ(read_bytes(out_ + "/callprev.db"), prev_db);
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(out_)) ++files;
  EXPECT_EQ(files, 2u);
}

TEST_F(UlsImportTest, AKillBetweenTheReplacesLeavesAPairThatWorksAndTheNextRunCleansUp) {
  ASSERT_EQ(import({folder("old", {{"EN.dat", person("1", "W1AAA", "OLD")},
                                   {"HD.dat", hd("1", "W1AAA", "A")}})}),
            0);
  const std::string old_call_db = read_bytes(out_ + "/call.db");
  const std::string src = folder("new", {{"EN.dat", person("2", "W1BBB", "NEW")},
                                         {"HD.dat", hd("2", "W1BBB", "A")},
                                         {"AM.dat", am("2", "W1BBB", "W1AAA")}});
  const pid_t child = ::fork();
  if (child == 0) {
    between_replaces_ = [] { ::raise(SIGKILL); };
    import({src});
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));

  // The old call.db and the new callprev.db, both whole; the killed run's files are left.
  EXPECT_EQ(read_bytes(out_ + "/call.db"), old_call_db);
  EXPECT_TRUE(lookup("W1AAA").found);
  EXPECT_EQ(successor("W1AAA"), "W1BBB");
  const auto names = [this] {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(out_)) found.push_back(entry.path().filename());
    std::sort(found.begin(), found.end());
    return found;
  };
  ASSERT_EQ(names().size(), 3u);
  EXPECT_TRUE(platform::is_temporary_name(names()[1])) << names()[1];

  for (const char* left : {"/call.db.new", "/callprev.db.new"}) write_bytes(out_ + left, "old");
  ASSERT_EQ(import({src}), 0) << error_;
  EXPECT_TRUE(lookup("W1BBB").found);
  EXPECT_EQ(names(), (std::vector<std::string>{"call.db", "callprev.db"}));
}

// ---------------------------------------------------------------------------------------------
// The real published files

TEST_F(UlsImportTest, ExcerptOfOddLicences) {
  ASSERT_EQ(import({kFcc + "/excerpt_l_am_2025-09"}), 0) << error_;
  EXPECT_EQ(report_.licences, 14u);
  EXPECT_EQ(report_.skipped, 0u);
  EXPECT_EQ(report_.cut, 0u);

  const Shown club = lookup("W0RR");  // a club with a trustee
  EXPECT_EQ(club.name, "HEART OF AMERICA RADIO CLUB");
  EXPECT_EQ(club.place, "SMITHVILLE MO 64089");
  const Shown box = lookup("AC6ST");  // PO box only, ZIP+4
  EXPECT_EQ(box.name, "POE, JIMMY A");
  EXPECT_EQ(box.street, "PO BOX 1281");
  EXPECT_EQ(box.place, "LOMPOC CA 93438");
  EXPECT_EQ(lookup("AA9PM").name, "BOYD, MARVIN D");  // suffix "."
  EXPECT_EQ(lookup("AA1EE").place, "DELRAY BEACH FL 33444");  // "Fl"
  EXPECT_EQ(lookup("W8ZMB").place, "FRUITLAND ID 83619");     // "id"
  EXPECT_EQ(lookup("KA1KLN").street, "786 ROUTE 163");
  EXPECT_EQ(lookup("KB5IHP").street, "1001 RIDGETOP DR");
  // Expired, cancelled, and the licence without a call sign: not written.
  for (const char* gone : {"K2BMW", "AI4FJ", "KH0OR", "WP3UM", "KP2CQ", "AB4GC", "K8WOW"}) {
    EXPECT_FALSE(lookup(gone).found) << gone;
  }
  EXPECT_EQ(successor("KI5NS"), "AA5XQ");
  EXPECT_EQ(successor("KF7MQH"), "W8ZMB");
  EXPECT_EQ(successor("N8ZYV"), "");  // AA8PK expired
  EXPECT_EQ(report_.previous, 5u);
}

TEST_F(UlsImportTest, ExtractedTuesdayWritesEveryActiveLicence) {
  const std::string day = kFcc + "/l_am_tue_2025-09-30_extracted";
  ASSERT_EQ(import({day}), 0) << error_;
  std::ifstream in(day + "/HD.dat", std::ios::binary);
  std::set<std::string> active;
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream fields(line);
    for (std::string field; std::getline(fields, field, '|');) f.push_back(field);
    if (f.size() > 5 && f[5] == "A") active.insert(f[4]);
  }
  EXPECT_EQ(active.size(), 496u);
  for (const std::string& call : active) EXPECT_TRUE(lookup(call).found) << call;
  EXPECT_EQ(count(), active.size());
  EXPECT_EQ(report_.records_read, 750u * 3);
  EXPECT_EQ(report_.skipped, 0u);

  const Shown knd = lookup("AA5XC");
  EXPECT_EQ(knd.name, "SELFRIDGE, NELLWYN A");
  EXPECT_EQ(knd.street, "806 W FOREST DR");
  EXPECT_EQ(knd.place, "KUSTANG OK 73064");

  // The same day read from its published archive gives the same files.
  const std::string call_db = read_bytes(out_ + "/call.db");
  const std::string prev_db = read_bytes(out_ + "/callprev.db");
  ASSERT_EQ(import({kFcc + "/daily_zips/l_am_tue.zip"}), 0) << error_;
  EXPECT_EQ(read_bytes(out_ + "/call.db"), call_db);
  EXPECT_EQ(read_bytes(out_ + "/callprev.db"), prev_db);
}

TEST_F(UlsImportTest, TheDailyWeekInOrder) {
  const std::string zips = kFcc + "/daily_zips/";
  // KN7J is active on Wednesday and cancelled on Thursday.
  ASSERT_EQ(import({zips + "l_am_sun.zip", zips + "l_am_mon.zip", zips + "l_am_tue.zip",
                    zips + "l_am_wed.zip"}),
            0)
      << error_;
  EXPECT_EQ(lookup("KN7J").place, "BOISE, ID. ID 83704");
  ASSERT_EQ(import({zips + "l_am_mon.zip", zips + "l_am_tue.zip", zips + "l_am_wed.zip",
                    zips + "l_am_thu.zip", zips + "l_am_fri.zip", zips + "l_am_sat.zip"}),
            0)
      << error_;
  EXPECT_FALSE(lookup("KN7J").found);
  EXPECT_EQ(report_.licences, 1774u);
  EXPECT_EQ(count(), 1774u);
  EXPECT_EQ(report_.previous, 471u);
  EXPECT_EQ(report_.skipped, 0u);
  EXPECT_TRUE(notes_.empty()) << notes();
}

}  // namespace
