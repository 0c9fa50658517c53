// The FCC licence import: the text rules, hand-made EN/HD/AM lines for the odd cases, random
// input against a plain model, archives, failures and a kill between the two replaces.

#include "fcc/uls_import.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <random>
#include <set>

#include "dbfiles/usdb.h"
#include "platform/platform.h"
#include "tests/support/zip_tools.h"
#include "tests/test_util.h"
#include "fcc/fetch_fcc.h"

namespace {

namespace fs = std::filesystem;
using testutil::read_bytes;
using testutil::write_bytes;
using Strings = std::vector<std::string>;

// Record lines as the FCC writes them: every field, '|'-separated, CR LF.
std::string line_of(const std::map<int, std::string>& set, const char* type, int count) {
  std::string line = type;
  for (int i = 1; i < count; ++i) line += "|" + (set.count(i) ? set.at(i) : "");
  return line + "\r\n";
}
struct En {
  std::string id{}, call{}, entity{}, first{}, mi{}, last{}, suffix{}, street{}, city{}, state{},
      zip{}, po_box{};
  std::string type = "I", entity_type = "L";
};
std::string en(const En& e) {
  return line_of({{1, e.id}, {4, e.call}, {5, e.entity_type}, {7, e.entity}, {8, e.first},
                  {9, e.mi}, {10, e.last}, {11, e.suffix}, {15, e.street}, {16, e.city},
                  {17, e.state}, {18, e.zip}, {19, e.po_box}, {23, e.type}}, "EN", 30);
}
std::string person(const std::string& id, const std::string& call, const std::string& last) {
  return en({id, call, "", "ANN", "", last, "", "1 MAIN ST", "TOWN", "OH", "45245"});
}
std::string hd(const std::string& id, const std::string& call, const std::string& status,
               const std::string& grant = "01/02/2020", const std::string& service = "HA") {
  return line_of({{1, id}, {4, call}, {5, status}, {6, service}, {7, grant}}, "HD", 59);
}

class UlsImportTest : public ::testing::Test {
 protected:
  UlsImportTest() { fs::create_directory(out_); }

  std::string folder(const std::string& name, const std::string& en_dat,
                     const std::string& hd_dat, const std::string& am_dat = "") {
    const std::string path = dir_.file(name);
    fs::create_directory(path);
    write_bytes(path + "/EN.dat", en_dat);
    write_bytes(path + "/HD.dat", hd_dat);
    write_bytes(path + "/AM.dat", am_dat);
    return path;
  }
  int import(const Strings& sources, const std::string& zlib = "libz.so.1") {
    notes_.clear();
    calldb::ImportOptions options;
    options.folder = out_;
    options.date = "20251004";
    options.sources = sources;
    options.zlib_library = zlib;
    options.progress = progress_;
    options.note = [this](const std::string& n) { notes_.push_back(n); };
    options.cancel = cancel_;
    options.text_slack = text_slack_;
    options.between_replaces = between_replaces_;
    return calldb::import_uls(options, &report_, &error_);
  }
  // Imports `sources` into `into` as fetch-fcc does, writing callfcc.dat; with `from_state`
  // going on from the one there.
  int stage(const std::string& into, const Strings& sources, bool from_state) {
    calldb::ImportOptions options;
    options.folder = into;
    options.date = "20251004";
    options.sources = sources;
    options.zlib_library = "libz.so.1";
    options.from_state = from_state;
    options.state_archive = {"20251004", 1759579200};
    options.count_changes = true;
    options.between_replaces = between_replaces_;
    return calldb::import_uls(options, &report_, &error_);
  }
  // The three files of the set, "-" for one missing.
  static std::string set_of(const std::string& folder) {
    std::string set;
    for (const char* name : {"/call.db", "/callprev.db", "/callfcc.dat"}) {
      set += (fs::exists(folder + name) ? read_bytes(folder + name) : "-") + "|";
    }
    return set;
  }
  std::string shown(const std::string& call, const std::string& in = "") const {
    dbfiles::UsDatabase db;
    dbfiles::LookupResult r;  // name|street|place, "" when not found
    const bool open = dbfiles::open_call_db((in.empty() ? out_ : in) + "/call.db", &db) == 0;
    if (!open || !dbfiles::lookup_us_call(db, call.c_str(), &r).found) return "";
    return std::string(r.name_line) + "|" + r.street_line + "|" + r.place_line;
  }
  std::string successor(const std::string& old) const {
    dbfiles::PrevDatabase db;
    char now[7] = {};
    const bool open = dbfiles::open_prev_db(out_ + "/callprev.db", &db) == 0;
    return open && dbfiles::find_prev_call(db, old.c_str(), now) > 0 ? now : "";
  }
  Strings files_out() const {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(out_)) names.insert(e.path().filename());
    return Strings(names.begin(), names.end());
  }

  testutil::TempDir dir_;
  const std::string out_ = dir_.file("out");
  calldb::ImportReport report_;
  std::string error_;
  Strings notes_;
  std::function<void(const std::string&, std::uint64_t)> progress_;
  const std::atomic<bool>* cancel_ = nullptr;
  std::size_t text_slack_ = calldb::ImportOptions{}.text_slack;
  std::function<void()> between_replaces_;
};

TEST(UlsTextTest, ChecksCallsignsAndDates) {
  for (const auto& [call, storable] : std::map<std::string, bool>{
           {"W1AW", 1}, {"K1A", 1}, {"KB5IHP", 1}, {"AA9PM", 1}, {"N0C", 1}, {"K9ZZ", 1}, {"", 0},
           {"W", 0}, {"W1", 0}, {"KB5IHPX", 0}, {"VE3ABC", 0}, {"W1-AW", 0}, {"w1aw", 0},
           {"W1AW/P", 0}, {"W1A[", 0}}) {
    EXPECT_EQ(calldb::uls::is_storable_call(call), storable) << call;
  }
  for (const auto& [date, real] : std::map<std::string, bool>{
           {"20240229", 1}, {"20000229", 1}, {"20001231", 1}, {"00010101", 1}, {"20230229", 0},
           {"19000229", 0}, {"20251301", 0}, {"20250431", 0}, {"2025104", 0}, {"2025-1-4", 0},
           {"00000101", 0}, {"20251000", 0}, {"20250001", 0}}) {
    EXPECT_EQ(calldb::is_calendar_date(date), real) << date;
  }
}

// callfcc.dat's licences read back as written, numbers and texts at the edges of their sizes.
TEST(FccStateTest, LicencesReadBackAsWritten) {
  testutil::TempDir dir;
  const std::string path = dir.file("callfcc.dat");
  const std::string bytes(16384, 'X');
  const std::string_view text = bytes;
  const std::vector<calldb::StateLicence> licences = {
      {0, 0, 0, "", "", ""},
      {127, 127, 20251004, "W1AW", text.substr(0, 127), text.substr(0, 128)},
      {128, 128, 1, text, "", text.substr(0, 16383)},
      {16384, 999999999999999999, 99991231, "K1A", "A\x1F", ""},
      {999999999999999999, UINT64_MAX, UINT32_MAX, "", text, "N0C"}};
  calldb::FccStateHeader header{"20251004", {"20251004", -1}, UINT64_MAX, {1, 2}, {3, 4},
                                licences.size()};
  {
    platform::File file;
    ASSERT_EQ(file.open(path, platform::Access::write, platform::Share::none,
                        platform::Disposition::create_always), 0);
    calldb::StateWriter out(&file);
    ASSERT_EQ(out.begin(header), 0);
    for (const calldb::StateLicence& licence : licences) ASSERT_EQ(out.add(licence), 0);
    ASSERT_EQ(out.finish(), 0);
  }
  calldb::FccStateHeader read;
  std::vector<std::string> got;
  std::string why;
  ASSERT_EQ(calldb::read_state(path, &read, [&got](const calldb::StateLicence& l) {
    got.push_back(std::to_string(l.id) + " " + std::to_string(l.order) + " " +
                  std::to_string(l.grant) + " " + std::string(l.call) + "|" + std::string(l.en) +
                  "|" + std::string(l.am));
  }, &why), 0) << why;
  ASSERT_EQ(got.size(), licences.size());
  for (std::size_t i = 0; i < licences.size(); ++i) {
    const calldb::StateLicence& l = licences[i];
    EXPECT_EQ(got[i], std::to_string(l.id) + " " + std::to_string(l.order) + " " +
                          std::to_string(l.grant) + " " + std::string(l.call) + "|" +
                          std::string(l.en) + "|" + std::string(l.am)) << i;
  }
  EXPECT_EQ(std::tuple(read.archive.utc_seconds, read.next_order, read.call_db, read.callprev_db),
            std::tuple(std::int64_t{-1}, UINT64_MAX, calldb::FileStamp{1, 2},
                       calldb::FileStamp{3, 4}));
}

// Hand-made lines: names, addresses, states and ZIP codes as a lookup shows them, texts cut to
// fit, and the lines left out, each told with its file and line number, the rest still read.
TEST_F(UlsImportTest, BuildsRecordsAndReportsLeftOutLinesWithTheirNumbers) {
  const std::string c200(200, 'C'), s60 = "12 " + std::string(57, 'S'), y20(20, 'Y'), y(100, 'Y');
  const std::vector<std::pair<En, std::string>> rows = {
      {{"", "", "SMITH, JOHN Q", "John", "q", "Smith", "Jr", "1 Elm St", "Boise", "id", "83704123"},
       "SMITH, JOHN Q JR|1 ELM ST|BOISE ID 83704"},
      // "." is no suffix; a PO box alone, its prefix given or not; "Fl"
      {{"", "", "", "Marvin", "", "Boyd", ".", "", "Pulaski", "Fl", "38478", "1281"},
       "BOYD, MARVIN|PO BOX 1281|PULASKI FL 38478"},
      {{"", "", "", "", "9", "Poe", "", "", "Lompoc", "az", "93438", "PO Box 77"},
       "POE, 9|PO BOX 77|LOMPOC AZ 93438"},
      // a club: the entity name; a four-digit ZIP counts as none
      {{"", "", "Heart Radio Club", "", "", "", "", "19711 NE 197th Ter", "Smithville", "MO",
        "6408", "", "B"}, "HEART RADIO CLUB|19711 NE 197TH TER|SMITHVILLE MO 00000"},
      // without a last name, or with an entity name and no applicant type: the entity name;
      // upper case for ASCII and Latin-1 letters, blanks for control bytes, trimmed
      {{"", "", " az\tZ\x1F\x7F\xE0\xFE\xF7\xFF\x01", "Zed", "", "", "", "", "City", "ZZ", ":1234"},
       "AZ Z  \xC0\xDE\xF7\xFF||CITY ?? 00000"},
      {{"", "", "Club", "", "", "Last", "", "S", "C", "OH", "45245", "", ""}, "CLUB|S|C OH 45245"},
      // 200 + 60 + 20 bytes: the name gives up the 25 bytes past 255 (a lookup shows 127).
      {{"", "", c200, "", "", "", "", s60, y20, "OH", "45245", "", "B"},
       c200.substr(0, 127) + "|" + s60 + "|" + y20 + " OH 45245"},
      {{"", "", "", "A", "", "B", "", std::string(70, 'T'), "Z", "OH", "/9999"},
       "B, A|" + std::string(63, 'T') + "|Z OH 00000"},
      // 255 + 63 + 100: the name down to 127 bytes, then the street gives up the rest.
      {{"", "", std::string(255, 'N'), "", "", "", "", std::string(63, 'S'), y, "", "", "",
        "B"}, std::string(127, 'N') + "|" + std::string(28, 'S') + "|" + y + " ?? 00000"},
  };
  std::string lf = person("7", "W1AAG", "LFONLY");
  lf.erase(lf.size() - 2, 1);
  std::string nul = person("8", "W1AAH", "N");
  nul.insert(nul.find("|N|") + 2, std::string("\0L", 2));
  std::string exact = person("9", "W1AAJ", "EXACT");  // 16384 bytes with its CR: read
  exact.insert(exact.size() - 2, std::string(16384 - (exact.size() - 1), 'P'));
  // Identifiers: empty, past 18 digits, and 2^64 + 1, which would wrap onto licence 1.
  std::string ens = person("1", "W1AAA", "GOOD") + "EN|2|||W1AAB|L\r\n" +
                    person("x9", "W1AAC", "BADID") + hd("4", "W1AAD", "A") + "EN|5|" +
                    std::string(16400, 'L') + "\r\n\r\n" + lf + nul + exact +
                    person("", "W1AAA", "EMPTY") + person("1234567890123456789", "W1AAA", "LONG") +
                    person("18446744073709551617", "W1AAA", "WRAPPED") +
                    person("11", "VE3ABC", "CA") + person("12", "", "NOCALL") +
                    person("14", "W1AAA", "DUP");
  std::string hds, ams;
  for (const char* id : {"1", "7", "8", "9", "10"}) hds += hd(id, "", "A", "05/06/2024");
  hds += hd("11", "", "A") + hd("12", "", "A") + hd("13", "W2ZZZ", "A") + hd("14", "", "A");
  for (std::size_t i = 0; i < rows.size(); ++i) {
    En e = rows[i].first;
    e.id = std::to_string(100 + i);
    e.call = "W1A" + std::string(1, static_cast<char>('A' + i));
    ens += en(e);
    hds += hd(e.id, i == 1 ? "w1ab" : "", "A");
  }
  ens += en({"10", "W1AAI", "ENT", "ANN", "", "LAST"});
  ens.resize(ens.size() - 8);  // just the 24 fields read, and no line end
  for (int i = 0; i < 22; ++i) ams += "AM|bad\r\n";
  const std::string day = folder("day", ens, hds, ams);
  const auto no_id = [](const std::string& id) {
    return "unique system identifier \"" + id + "\" is not a number of 1 to 18 digits";
  };
  ASSERT_EQ(import({day}), 0) << error_;
  Strings want = {"EN.dat line 2: 6 fields, 24 needed", "EN.dat line 3: " + no_id("X9"),
                  "EN.dat line 4: not an EN record", "EN.dat line 5: line longer than 16384 bytes",
                  "EN.dat line 10: " + no_id(""), "EN.dat line 11: " + no_id("1234567890123456789"),
                  "EN.dat line 12: " + no_id("18446744073709551617")};
  for (int i = 1; i <= 20; ++i) {
    want.push_back("AM.dat line " + std::to_string(i) + ": 2 fields, 16 needed");
  }
  want.insert(want.end(),
              {"HD.dat line 6: licence 11: call sign \"VE3ABC\" cannot be stored: left out",
               "HD.dat line 7: licence 12 has no call sign: left out",
               "HD.dat line 8: licence 13 (W2ZZZ) has no EN record: left out",
               "HD.dat line 9: licence 14 has call sign W1AAA as licence 1 has: the later grant "
               "is kept",
               "AM.dat: 2 more lines left out"});
  for (std::string& note : want) note = day + " " + note;
  EXPECT_EQ(notes_, want);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(shown("W1A" + std::string(1, static_cast<char>('A' + i))), rows[i].second);
  }
  EXPECT_EQ(shown("W1AAI"), "LAST, ANN|| ?? 00000");
  EXPECT_EQ(std::tuple(report_.licences, report_.skipped, report_.duplicates, report_.cut,
                       report_.records_read),
            std::tuple(5u + 9, 7u + 22 + 4, 1u, 3u, 17u + 18));
  EXPECT_EQ(shown("W1AAA"), "GOOD, ANN|1 MAIN ST|TOWN OH 45245");
}

// Random lines in several sources against a plain model: the last record of a type and identifier
// counts, EN records of others than the licensee are passed over, active = status A in HA or HV,
// HD's callsign else EN's, the later grant (then read) keeps a callsign and its previous one.
// Names of many lengths, so that in every other round the kept texts are copied anew often.
TEST_F(UlsImportTest, RandomSourcesAgreeWithAPlainModel) {
  const Strings calls = {"W1AAA", "w1aab", "K2XY", "N3Q", "VE3ABC", ""};
  const Strings olds = {"KB1OLD", "kb1old", "KB1OLD", "W1AAA", "VE3ABC", ""};  // one per grant
  const std::set<std::string> storable = {"W1AAA", "W1AAB", "K2XY", "N3Q", "KB1OLD"};
  const Strings grants = {"0a/02/2020", "01-02-2020", "12/31/2019", "01/31/2024", "05/06/2024",
                          "05/20/2024"};
  using Rank = std::pair<int, int>;  // grant, read order
  std::mt19937 rng(7);
  for (int round = 0; round < 100; ++round) {
    SCOPED_TRACE(round);
    text_slack_ = round % 2 == 0 ? 0 : calldb::ImportOptions{}.text_slack;
    std::map<int, std::pair<std::string, std::string>> en_of;  // id: call, name
    std::map<int, std::tuple<std::string, bool, Rank>> hd_of;  // id: call, active, rank
    std::map<int, std::string> am_of;
    Strings sources;
    for (int s = 0, order = 0, n = 1 + rng() % 3; s < n; ++s) {
      std::string dat[3];  // EN, HD and AM lines
      for (int i = rng() % 40; i > 0; --i) {
        const int id = 1 + rng() % 6, kind = rng() % 3, grant = rng() % grants.size();
        const std::string call = calls[rng() % 6];
        const std::string last = "N" + std::to_string(s * 99 + i) + std::string(rng() % 40, 'Z');
        const std::string type = Strings{"L", "", "CL"}[rng() % 3], status = rng() % 3 ? "A" : "C";
        const std::string service = rng() % 4 ? "HA" : rng() % 2 ? "HV" : "ZA";
        if (kind == 0) {
          dat[0] += en({std::to_string(id), call, "", "ANN", "", last, "", "S", "C", "OH", "45245",
                        "", "I", type});
          if (type != "CL") en_of[id] = {calldb::uls::clean_text(call), last + ", ANN"};
        } else if (kind == 1) {
          dat[1] += hd(std::to_string(id), call, status, grants[grant], service);
          const Rank rank = {std::max(grant, 1), ++order};  // the first two are no dates
          hd_of[id] = {calldb::uls::clean_text(call), status == "A" && service != "ZA", rank};
        } else {
          dat[2] += line_of({{1, std::to_string(id)}, {15, olds[grant]}}, "AM", 18);
          am_of[id] = calldb::uls::clean_text(olds[grant]);
        }
      }
      sources.push_back(folder(std::to_string(round * 3 + s), dat[0], dat[1], dat[2]));
    }
    std::map<std::string, std::pair<Rank, int>> written;  // call: rank, id
    std::size_t active = 0, duplicates = 0;
    for (const auto& [id, h] : hd_of) {
      const auto& [hd_call, is_active, rank] = h;
      const std::string call = hd_call.empty() && en_of.count(id) ? en_of[id].first : hd_call;
      active += is_active;
      if (!is_active || !en_of.count(id) || !storable.count(call)) continue;
      duplicates += written.count(call);
      written[call] = std::max(written[call], {rank, id});
    }
    std::map<std::string, std::pair<Rank, std::string>> previous;  // old: rank, new
    for (const auto& [call, w] : written) {
      const std::string old = am_of[w.second];
      if (storable.count(old) && old != call && !written.count(old)) {
        previous[old] = std::max(previous[old], {w.first, call});
      }
    }
    ASSERT_EQ(import(sources), written.empty() ? -1 : 0) << error_;
    if (written.empty()) continue;
    EXPECT_EQ(std::tuple(report_.licences, report_.skipped, report_.duplicates, report_.previous),
              std::tuple(written.size(), active - written.size(), duplicates, previous.size()));
    for (const std::string& call : storable) {
      const std::string name = written.count(call) ? en_of[written[call].second].second : "";
      EXPECT_EQ(shown(call), name.empty() ? "" : name + "|S|C OH 45245") << call;
      EXPECT_EQ(successor(call), previous.count(call) ? previous[call].second : "") << call;
    }
  }
}

// Archives as zipfile writes them (deflated, stored, streamed with the sizes after the data),
// the files alone; then failed imports, which replace nothing and leave no file behind.
TEST_F(UlsImportTest, ReadsArchivesAndLoneFilesAndAFailedImportReplacesNothing) {
  const std::string src = folder("src", person("1", "W1AAA", "ZIPPED") + person("2", "W1AAB", "B"),
                                 hd("1", "W1AAA", "A") + hd("2", "W1AAB", "A"));
  write_bytes(src + "/counts", "2 EN.dat\r\n");
  const std::string deflated = dir_.file("d"), stored = dir_.file("s"), piped = dir_.file("p");
  // Those written to a pipe, which cannot seek, have their sizes after the data (flag bit 3);
  // as zip64, behind an extra field without sizes and as 64-bit sizes.
  const std::string script = testutil::quoted(
      "import sys, zipfile\n"
      "for out, m in [(sys.stdout.buffer, 8)] + list(zip(sys.argv[2:], (8, 0))):\n"
      "  with zipfile.ZipFile(out, 'w', m) as z:\n"
      "    for name in 'counts', 'EN.dat', 'HD.dat':\n"
      "      with z.open(name, 'w', force_zip64=sys.argv[1] == '64') as f:\n"
      "        f.write(open(name, 'rb').read())\n");
  ASSERT_EQ(testutil::shell("cd " + src + " && python3 -c " + script + " 32 " + deflated + " " +
                            stored + " | cat >" + piped + " && python3 -c " + script +
                            " 64 | cat >" + piped + "64"), 0);
  write_bytes(dir_.file("victim"), "not to be written");  // planted where earlier runs wrote
  for (const char* name : {"/import-uls-EN.dat.part", "/callprev.db.new"}) {
    fs::create_symlink(dir_.file("victim"), out_ + name);
  }
  write_bytes(out_ + "/call.db.new", "a merge's output");  // another job's: left alone
  fs::copy_file(src + "/HD.dat", src + "/hd.DAT");
  for (const auto& [sources, zlib] : std::vector<std::pair<Strings, std::string>>{
           {{deflated}, "libz.so.1"}, {{stored}, "libnot-zlib.so"}, {{piped}, "libz.so.1"},
           {{piped + "64"}, "libz.so.1"},
           {{src + "/EN.dat", src + "/hd.DAT"}, ""}}) {
    ASSERT_EQ(import(sources, zlib), 0) << error_;
    EXPECT_EQ(report_.licences, 2u);
    EXPECT_EQ(shown("W1AAA").substr(0, 12), "ZIPPED, ANN|");
    EXPECT_EQ(files_out(), (Strings{"call.db", "call.db.new", "callprev.db"}));
  }
  EXPECT_EQ(read_bytes(dir_.file("victim")), "not to be written");
  EXPECT_EQ(read_bytes(out_ + "/call.db.new"), "a merge's output");
  const std::string call_db = read_bytes(out_ + "/call.db");
  write_bytes(dir_.file("cut.zip"), read_bytes(deflated).substr(0, 120));
  std::string damaged = read_bytes(stored);
  damaged[damaged.find("ZIPPED")] = 'X';
  write_bytes(dir_.file("damaged.zip"), damaged);
  fs::create_directory(dir_.file("empty"));
  const std::string inactive = folder("inactive", "", hd("1", "", "C") + hd("2", "", "C"));
  for (const auto& [sources, zlib, message] :
       std::vector<std::tuple<Strings, std::string, std::string>>{
           {{src, dir_.file("missing.zip")}, "", "missing.zip: not found"},
           {{dir_.file("cut.zip")}, "libz.so.1", "cut.zip: "},
           {{dir_.file("damaged.zip")}, "", "EN.dat is damaged: its CRC does not match"},
           {{src + "/counts"}, "", "counts: not a ZIP archive, a folder, or an EN.dat, HD.dat"},
           {{dir_.file("empty")}, "", "empty: the folder holds none of EN.dat, HD.dat and AM.dat"},
           {{src, inactive}, "", "no active licence in the sources: nothing written"},
           {{deflated}, "libnot-zlib.so", "zlib (libnot-zlib.so) cannot be used"}}) {
    EXPECT_EQ(import(sources, zlib), -1) << message;
    EXPECT_NE(error_.find(message), std::string::npos) << error_;
    EXPECT_EQ(read_bytes(out_ + "/call.db"), call_db);
    EXPECT_EQ(files_out().size(), 3u);
  }
}

// Random weeks: a weekly and dailies touching licences with their HD, EN and AM records
// together (as the FCC's do), now and then with one alone: granted, cancelled, expired, renewed,
// changing and swapping call signs, two licences with one call sign, previous calls. The weekly
// and the first dailies imported, then the rest applied from callfcc.dat, give the bytes of one
// import of all (all three files), or are refused exactly when a licence active at the end is
// not in the state and the later dailies lack its EN or AM record. The calls counted new,
// deleted and changed agree with lookups before and after.
TEST_F(UlsImportTest, DailiesAppliedToTheStateGiveTheBytesOfOneImportOfAll) {
  const Strings calls = {"W1AAA", "W1AAB", "K2XY", "N3Q", "KB1OLD", "W9ZZ", ""};
  const Strings grants = {"01/02/2020", "05/06/2024", "05/20/2024", "xx"};
  std::mt19937 rng(23);
  int applied = 0, refused = 0;
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE(round);
    Strings sources;
    std::vector<std::map<int, std::string>> seen;  // per archive and licence: 'A'/'C', 'E', 'M'
    for (int d = 0, days = 2 + rng() % 5; d < days; ++d) {
      std::string dat[3];
      seen.emplace_back();
      for (int i = d == 0 ? 20 : rng() % 6; i > 0; --i) {
        const int id = 1 + rng() % 16, shape = rng() % 7;  // 0: HD alone, 1: EN, 2: AM
        const std::string call = calls[rng() % calls.size()], ids = std::to_string(id);
        const std::string status = rng() % 3 ? "A" : rng() % 2 ? "C" : "E";
        if (shape != 1 && shape != 2) {
          dat[1] += hd(ids, call, status, grants[rng() % grants.size()], rng() % 4 ? "HA" : "HV");
          seen[d][id] += status == "A" ? 'A' : 'C';
        }
        if (shape != 0 && shape != 2) {
          dat[0] += person(ids, call, "N" + std::to_string(rng() % 1000));
          seen[d][id] += 'E';
        }
        if (shape != 0 && shape != 1) {
          dat[2] += line_of({{1, ids}, {15, calls[rng() % calls.size()]}}, "AM", 18);
          seen[d][id] += 'M';
        }
      }
      sources.push_back(folder(std::to_string(round) + "-" + std::to_string(d), dat[0], dat[1],
                               dat[2]));
    }
    const std::string all = dir_.file("all" + std::to_string(round));
    fs::create_directory(all);
    if (stage(all, sources, false) != 0) continue;  // no active licence
    {
      const std::size_t k = 1 + rng() % (sources.size() - 1);
      SCOPED_TRACE(k);
      const std::string part = dir_.file("part" + std::to_string(round) + "-" + std::to_string(k));
      fs::create_directory(part);
      if (stage(part, Strings(sources.begin(), sources.begin() + k), false) != 0) continue;
      // The model: whether each licence is active after `upto` archives, and what it lacks.
      const auto active_after = [&](int id, std::size_t upto) {
        char last = 'C';
        for (std::size_t d = 0; d < upto; ++d) {
          for (const char c : seen[d][id]) last = c == 'A' || c == 'C' ? c : last;
        }
        return last == 'A';
      };
      bool needs_weekly = false;
      for (int id = 1; id <= 16; ++id) {
        std::string later;
        for (std::size_t d = k; d < sources.size(); ++d) later += seen[d][id];
        needs_weekly |= active_after(id, sources.size()) && !active_after(id, k) &&
                        (later.find('E') == std::string::npos ||
                         later.find('M') == std::string::npos);
      }
      std::map<std::string, std::string> before;
      for (const std::string& call : calls) before[call] = shown(call, part);
      const std::string old_set = set_of(part);
      const int rc = stage(part, Strings(sources.begin() + k, sources.end()), true);
      ASSERT_EQ(rc != 0, needs_weekly) << error_;
      EXPECT_EQ(report_.needs_weekly, needs_weekly);
      if (needs_weekly) {
        ++refused;
        EXPECT_NE(error_.find("the weekly archive is needed"), std::string::npos) << error_;
        EXPECT_TRUE(set_of(part) == old_set);
        continue;
      }
      ++applied;
      EXPECT_TRUE(set_of(part) == set_of(all));
      std::uint64_t counts[3] = {};  // new, deleted, changed
      for (const std::string& call : calls) {
        const std::string now = shown(call, part);
        if (now != before[call]) ++counts[before[call].empty() ? 0 : now.empty() ? 1 : 2];
      }
      EXPECT_EQ(std::tuple(report_.new_calls, report_.deleted_calls, report_.changed_calls),
                std::tuple(counts[0], counts[1], counts[2]));
    }
  }
  EXPECT_GT(applied, 30);
  EXPECT_GT(refused, 5);
}

// The FCC's real week, oldest first: the first days imported, then the rest applied from
// callfcc.dat, give the bytes of one import of the week.
TEST_F(UlsImportTest, TheRealDailiesAppliedToTheStateGiveTheBytesOfOneImportOfAll) {
  Strings week;
  for (const char* day : {"wed", "thu", "fri", "sat", "sun", "mon", "tue"}) {
    week.push_back(ORBISK_SHARED_DATA "/fcc/daily_zips/l_am_" + std::string(day) + ".zip");
  }
  ASSERT_TRUE(fs::exists(week[0])) << week[0] << " is missing";
  ASSERT_EQ(stage(out_, week, false), 0) << error_;
  for (const std::size_t k : {1, 3, 6}) {
    const std::string part = dir_.file("part" + std::to_string(k));
    fs::create_directory(part);
    ASSERT_EQ(stage(part, Strings(week.begin(), week.begin() + k), false), 0) << error_;
    ASSERT_EQ(stage(part, Strings(week.begin() + k, week.end()), true), 0) << error_;
    EXPECT_TRUE(set_of(part) == set_of(out_)) << k;
  }
}

// A callfcc.dat missing, damaged anywhere, cut short, of another version or of another
// database, and a call.db or callprev.db changed behind it: the apply is refused and nothing
// is replaced.
TEST_F(UlsImportTest, AStateThatIsNotWholeOrNotInStepIsRefused) {
  const std::string day = folder("day", person("1", "W1AAA", "A"), hd("1", "W1AAA", "A"));
  const std::string next = folder("next", person("2", "W1BBB", "B"), hd("2", "W1BBB", "A"),
                                  line_of({{1, "2"}, {15, "W1OLD"}}, "AM", 18));
  fs::create_directory(dir_.file("other"));
  ASSERT_EQ(stage(dir_.file("other"), {next}, false), 0);
  ASSERT_EQ(stage(out_, {day}, false), 0);
  const std::string state = read_bytes(out_ + "/callfcc.dat"), good = dir_.file("good");
  fs::copy(out_, good);
  std::mt19937 rng(5);
  std::vector<std::pair<std::string, std::function<void()>>> damages = {
      {"callfcc.dat is missing", [&] { fs::remove(out_ + "/callfcc.dat"); }},
      {"it is cut short",
       [&] { write_bytes(out_ + "/callfcc.dat", state.substr(0, state.size() - 5)); }},
      {"its size does not match",
       [&] { write_bytes(out_ + "/callfcc.dat", state + "x"); }},
      {"another version", [&] {
         std::string changed = state;
         changed[8] = 1;
         write_bytes(out_ + "/callfcc.dat", changed);
       }},
      {"call.db is not the one",
       [&] { write_bytes(out_ + "/callfcc.dat", read_bytes(dir_.file("other/callfcc.dat"))); }},
      {"callprev.db is not the one",
       [&] { fs::copy_file(dir_.file("other/callprev.db"), out_ + "/callprev.db",
                           fs::copy_options::overwrite_existing); }},
  };
  for (int i = 0; i < 30; ++i) {
    damages.push_back({"callfcc.dat", [&] {
      std::string changed = state;
      changed[rng() % changed.size()] ^= static_cast<char>(1 + rng() % 255);
      write_bytes(out_ + "/callfcc.dat", changed);
    }});
  }
  for (const auto& [why, damage] : damages) {
    SCOPED_TRACE(why);
    damage();
    const std::string before = set_of(out_);
    EXPECT_EQ(stage(out_, {next}, true), -1);
    EXPECT_TRUE(report_.needs_weekly);
    EXPECT_NE(error_.find(why), std::string::npos) << error_;
    EXPECT_TRUE(set_of(out_) == before);
    for (const char* name : {"call.db", "callprev.db", "callfcc.dat"}) {
      fs::copy_file(good + "/" + name, out_ + "/" + name,
                    fs::copy_options::overwrite_existing);
    }
  }
}

// callfcc.dat keeps only what call.db's record is made from: EN records that differ in nothing
// else give the same three files.
TEST_F(UlsImportTest, WhatTheRecordDoesNotUseIsNotKept) {
  const En base{"1", "W1AAA", "", "ANN", "B", "ROSS", "JR", "1 MAIN ST", "TOWN", "OH", "45245"};
  const En plain{"1", "W1AAA", "", "ANN", "", "ROSS", "", "1 MAIN ST", "TOWN", "", ""};
  En club{"1", "W1AAA", "ACME CLUB", "", "", "", "", "1 MAIN ST", "TOWN", "OH", "45245"};
  club.type = "C";
  const std::vector<std::pair<En, std::function<void(En*)>>> cases = {
      {base, [](En* e) { e->entity = "ROSS, ANN B JR"; }},
      {base, [](En* e) { e->type = ""; }},
      {base, [](En* e) { e->zip = "45245-1234"; }},
      {base, [](En* e) { e->po_box = "12"; }},
      {plain, [](En* e) { e->mi = ". "; }},
      {plain, [](En* e) { e->state = "ZZ"; }},
      {plain, [](En* e) { e->zip = "4524X"; }},
      {club, [](En* e) { e->first = "ANN", e->mi = "B", e->last = "ROSS", e->suffix = "JR"; }},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    En other = cases[i].first;
    cases[i].second(&other);
    std::string sets[2];
    for (int k = 0; k < 2; ++k) {
      const std::string name = std::to_string(i) + "-" + std::to_string(k);
      const std::string into = dir_.file("into" + name);
      fs::create_directory(into);
      ASSERT_EQ(stage(into, {folder(name, en(k == 0 ? cases[i].first : other),
                                    hd("1", "W1AAA", "A"))}, false), 0) << error_;
      sets[k] = set_of(into);
    }
    EXPECT_TRUE(sets[0] == sets[1]);
  }
}

// A run killed at each rename it makes (its staged files, the record, the set), then what the
// next writer does first: the three files are the old set or the new one, and a rerun from the
// old one writes the bytes of the run not killed.
TEST_F(UlsImportTest, AKillAtAnyRenameLeavesTheOldSetOrTheNewOne) {
  const std::string day = folder("day", person("1", "W1AAA", "A"), hd("1", "W1AAA", "A"));
  const std::string next = folder("next", person("2", "W1BBB", "B"), hd("2", "W1BBB", "A"),
                                  line_of({{1, "2"}, {15, "W1OLD"}}, "AM", 18));
  ASSERT_EQ(stage(out_, {day}, false), 0);
  const std::string old_set = set_of(out_);
  const std::string start = dir_.file("start");
  fs::copy(out_, start);
  ASSERT_EQ(stage(out_, {next}, true), 0) << error_;
  const std::string new_set = set_of(out_);
  bool ended = false;
  for (int n = 1; !ended; ++n) {
    SCOPED_TRACE(n);
    fs::remove_all(out_);
    fs::copy(start, out_);
    const pid_t child = ::fork();
    if (child == 0) {
      int renames = 0;
      platform::testing::before_rename([&](const std::string&) {
        if (++renames == n) ::raise(SIGKILL);
      });
      ::_exit(stage(out_, {next}, true) == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ended = WIFEXITED(status);
    std::string error;
    ASSERT_EQ(updater::finish_replacing(out_, &error), 0) << error;
    const std::string found = set_of(out_);
    ASSERT_TRUE(found == old_set || found == new_set);
    if (found == old_set) {
      ASSERT_EQ(stage(out_, {next}, true), 0) << error_;
      EXPECT_TRUE(set_of(out_) == new_set);
    }
  }
}

// Text from an archive or a file name reaches notes and errors with its control bytes escaped:
// a member name, a source's folder, a data folder, of the import and of fetch-fcc's engine.
TEST_F(UlsImportTest, TextFromOutsideComesOutEscaped) {
  const std::string cut = dir_.file("cut.zip");
  ASSERT_EQ(testutil::python("import sys, zipfile\n"
                             "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                             "  z.writestr('EN.dat\\x1b]0;owned\\x07', 'x' * 400)\n"
                             "b = open(sys.argv[1], 'rb').read()\n"
                             "open(sys.argv[1], 'wb').write(b[:b.index(b'owned') + 100])\n",
                             {cut}),
            0);
  const std::string odd = folder("day\x1b[2J", "EN|x\r\n", "");
  calldb::ArchiveDate date;
  calldb::FetchOptions fetch;
  fetch.import.folder = dir_.file("file\x1b]0;owned\x07");
  write_bytes(fetch.import.folder, "a file where the data folder would be");
  calldb::FetchReport fetched;
  const std::vector<std::pair<std::function<void()>, std::string>> runs = {
      {[&] { import({cut}); }, "EN.dat\\x1b]0;owned\\x07 is cut short"},
      {[&] { import({odd}); }, "day\\x1b[2J EN.dat line 1: 2 fields, 24 needed"},
      {[&] { calldb::read_archive_date(cut, nullptr, &date, &error_); },
       "EN.dat\\x1b]0;owned\\x07 is cut short"},
      {[&] { calldb::fetch_fcc(fetch, &fetched, &error_); }, "file\\x1b]0;owned\\x07: not a"}};
  for (const auto& [run, want] : runs) {
    error_.clear();
    notes_.clear();
    run();
    std::string said = error_;
    for (const std::string& note : notes_) said += "\n" + note;
    EXPECT_NE(said.find(want), std::string::npos) << said;
    EXPECT_EQ(std::count_if(said.begin(), said.end(), [](char c) { return c >= 0 && c < 0x20; }),
              std::count(said.begin(), said.end(), '\n'))
        << said;
  }
}

// EN.dat repeats one licensee's line, two lengths by turns, between another's: the import keeps
// the last of each in memory of the licences' size, not of the lines' (measured in a process of
// its own, so that no earlier test set the high-water mark, and not under AddressSanitizer, whose
// quarantine holds freed memory). A cancel stops the import inside the member, replacing nothing.
TEST_F(UlsImportTest, RepeatedLinesTakeNoMoreMemoryAndACancelStopsInsideAMember) {
  constexpr int kRounds = 200000;  // three lines each
  const std::string zip = dir_.file("repeated.zip");
  En longer = {"1", "W1AAA", "", "ANN", "", "LONGER", "", std::string(60, 'S'), "TOWN", "OH"};
  En shorter = longer, other = {"2", "W1BBB", "", "BO", "", "OTHER", "", "2 ELM", "CITY", "ID"};
  shorter.last = "SHORT";
  shorter.street = "1 MAIN ST";
  ASSERT_EQ(testutil::python("import sys, zipfile\n"
                             "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
                             "  z.writestr('HD.dat', sys.argv[2])\n"
                             "  z.writestr('EN.dat', sys.argv[3] * int(sys.argv[4]))\n",
                             {zip, hd("1", "W1AAA", "A") + hd("2", "W1BBB", "A"),
                              en(longer) + en(other) + en(shorter), std::to_string(kRounds)}),
            0);
  const pid_t child = ::fork();
  if (child == 0) {
    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    const int rc = import({zip});
    ::getrusage(RUSAGE_SELF, &after);
    const long grown = (after.ru_maxrss - before.ru_maxrss) >> 10;  // MiB
    ::_exit(rc != 0 ? 255 : static_cast<int>(std::min(254L, grown)));
  }
  int status = 0;
  ASSERT_TRUE(::waitpid(child, &status, 0) == child && WIFEXITED(status));
  ASSERT_NE(WEXITSTATUS(status), 255) << "the import failed";
#if !defined(__SANITIZE_ADDRESS__)
  EXPECT_LT(WEXITSTATUS(status), 16) << "MiB more at the import's peak";
#endif
  EXPECT_EQ(shown("W1AAA"), "SHORT, ANN|1 MAIN ST|TOWN OH 00000");
  EXPECT_EQ(shown("W1BBB"), "OTHER, BO|2 ELM|CITY ID 00000");

  const std::string call_db = read_bytes(out_ + "/call.db");
  std::atomic<bool> stop{false};
  std::uint64_t last = 0;
  cancel_ = &stop;
  progress_ = [&](const std::string&, std::uint64_t records) { stop = (last = records) > 2; };
  EXPECT_EQ(import({zip}), -1);
  EXPECT_EQ(error_, "cancelled");
  EXPECT_LT(last, 3u * kRounds);
  EXPECT_EQ(read_bytes(out_ + "/call.db"), call_db);
  EXPECT_EQ(files_out(), (Strings{"call.db", "callprev.db"}));
}

}  // namespace
