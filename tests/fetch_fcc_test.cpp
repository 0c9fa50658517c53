// calldb fetch-fcc against nginx with TLS on 127.0.0.1, serving the FCC's real daily archives
// and a small weekly one under the FCC's paths: what it applies, what it keeps, and that every
// failure leaves the data folder as it was.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "tests/support/nginx_server.h"
#include "tests/support/run_process.h"
#include "tests/support/test_certificates.h"
#include "tests/support/zip_tools.h"
#include "tests/test_util.h"
#include "fcc/fetch_fcc.h"

namespace {

namespace fs = std::filesystem;
using testutil::read_bytes;
using testutil::write_bytes;
using Args = std::vector<std::string>;

testutil::Outcome calldb(const Args& args, bool terminal = false) {
  return testutil::run_process(CALLDB_PATH, args, "", terminal);
}

// Every file of a folder tree with its bytes.
std::map<std::string, std::string> contents(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    files[fs::relative(e.path(), folder).string()] = e.is_regular_file() ? read_bytes(e.path())
                                                                         : "(folder)";
  }
  return files;
}

TEST(FetchFccTest, CreationDatesAreReadWithTheirZones) {
  const auto utc = [](const std::string& line) {
    calldb::ArchiveDate date;
    return calldb::parse_creation_date("File Creation Date: " + line, &date) == 0
               ? date.day + " " + std::to_string(date.utc_seconds)
               : "unreadable";
  };
  EXPECT_EQ(utc("Wed Oct  1 08:00:23 EDT 2025"), "20251001 1759320023");
  EXPECT_EQ(utc("Sun Nov  2 01:30:00 EST 2025"), "20251102 1762065000");  // an hour after EDT's
  EXPECT_EQ(utc("Sun Nov  2 01:30:00 EDT 2025"), "20251102 1762061400");
  for (const char* bad : {"Wed Feb 30 08:00:23 EDT 2025", "Wed Oct  1 08:00:23 XYZ 2025",
                          "Wed Oct  1 8:00:23 EDT 2025", "Wed Oct  1 08:00:23 EDT 2025 x"}) {
    EXPECT_EQ(utc(bad), "unreadable") << bad;
  }
}

// A data folder not there yet is made, never called "not a folder"; a server whose name cannot
// be looked up is named with what chose it.
TEST(FetchFccTest, MakesAMissingFolderAndNamesAServerItCannotLookUp) {
  const testutil::TempDir dir;
  const std::string folder = dir.file("new/calldb");
  const testutil::Outcome run =
      calldb({"fetch-fcc", "-C", folder, "--server", "no-such-host.invalid:4443"});
  EXPECT_EQ(run.code, 1);
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_NE(run.err.find("l_amat.zip: ERROR looking up host 'no-such-host.invalid' (the FCC's "
                         "server, --server)"),
            std::string::npos) << run.err;
}

// The dailies made after the weekly are applied, oldest first, while each follows on from the
// one before (the weekly first) without a missing day; a weekly older than the day before the
// oldest of them is refused.
TEST(FetchFccTest, AppliesTheDailiesThatFollowOnFromTheWeeklyWithoutAMissingDay) {
  const auto plan = [](const std::vector<std::pair<std::string, std::string>>& made) {
    std::vector<calldb::FetchedArchive> archives;
    for (const auto& [name, when] : made) {
      archives.push_back({name, "", {}});
      EXPECT_EQ(calldb::parse_creation_date("File Creation Date: " + when + " EDT 2025",
                                            &archives.back().date), 0) << when;
    }
    std::vector<std::size_t> applied;
    std::vector<std::string> passed_over;
    std::string error;
    if (calldb::plan_archives(archives, &applied, &passed_over, &error) != 0) return error;
    std::string said;
    for (const std::size_t i : applied) said += archives[i].name + " ";
    for (const std::string& line : passed_over) said += "| " + line;
    return said;
  };
  const std::string weekly = "Sun Sep 28 09:00:00";
  const std::vector<std::pair<std::vector<std::pair<std::string, std::string>>, std::string>>
      rows = {
          {{{"W", weekly}, {"sun", "Mon Sep 29 08:00:00"}, {"sat", "Sun Sep 28 10:00:00"},
            {"thu", "Fri Sep 26 08:00:00"}, {"mon", "Tue Sep 30 08:00:00"}},
           "W sat sun mon | thu: dated 20250926, not after the weekly archive, passed over"},
          {{{"W", weekly}, {"fri", "Sat Sep 27 08:00:00"}}, "W | fri: dated 20250927, not after "
                                                           "the weekly archive, passed over"},
          {{{"W", weekly}, {"mon", "Tue Sep 30 08:00:00"}, {"tue", "Wed Oct  1 08:00:00"}},
           "W: dated 20250928, and the oldest daily made after it 20250930: the daily of "
           "20250929 is missing, so nothing was replaced"},
          {{{"W", "Mon Sep  1 09:00:00"}, {"thu", "Thu Sep 25 08:00:00"},
            {"tue", "Wed Oct  1 08:00:00"}},
           "W: dated 20250901, and the oldest daily made after it 20250925: the dailies of "
           "20250902 to 20250924 are missing, so nothing was replaced"},
          // A gap between two dailies: those after it are passed over.
          {{{"W", weekly}, {"sun", "Mon Sep 29 08:00:00"}, {"tue", "Wed Oct  1 08:00:00"},
            {"sat", "Sun Sep 28 10:00:00"}, {"wed", "Thu Oct  2 08:00:00"}},
           "W sat sun | tue: dated 20251001, passed over: the daily of 20250930 is missing"
           "| wed: dated 20251002, passed over: the daily of 20250930 is missing"},
      };
  for (const auto& [made, want] : rows) EXPECT_EQ(plan(made), want);
}

// A run removes the work folders that ended runs left and nothing else: a folder fetch-fcc.N, N a
// plain positive number that is no live process, holding the marker a run writes into its work
// folder and regular files alone. A user's folder of the run's own name is not taken.
TEST(FetchFccTest, RemovesOnlyTheMarkedWorkFoldersOfEndedRuns) {
  const testutil::TempDir data, elsewhere;
  const std::string users = elsewhere.file("users");
  write_bytes(users, "the user's");
  fs::create_directory(elsewhere.file("marked"));
  write_bytes(elsewhere.file("marked/") + calldb::kFetchWorkMarker, "");
  // What each holds: the marker "M", a file "f", a folder "d", a symlink to the user's file "l",
  // the marker as a symlink "m" or as a folder "n"; "file" is a file, "link" a symlink to a
  // marked folder elsewhere. Past 4194304 no number is a process.
  const std::vector<std::tuple<std::string, std::string, bool>> planted = {
      {"fetch-fcc.4194399", "Mff", true}, {"fetch-fcc.4194398", "M", true},
      {"fetch-fcc.4194397", "ff", false}, {"fetch-fcc.4194396", "file", false},
      {"fetch-fcc.-7", "Mf", false},      {"fetch-fcc.+7", "M", false},
      {"fetch-fcc.07", "M", false},       {"fetch-fcc.0", "M", false},
      {"fetch-fcc.7x", "M", false},       {"fetch-fcc.99999999999999999999", "M", false},
      {"fetch-fcc.1", "M", false},        {"fetch-fcc.4194395", "Mfd", false},
      {"fetch-fcc.4194394", "Ml", false}, {"fetch-fcc.4194393", "link", false},
      {"fetch-fcc.4194392", "mf", false}, {"fetch-fcc.4194391", "n", false},
      {"fetch-fcc." + std::to_string(::getpid()), "f", false},  // this run's name
  };
  for (const auto& [name, holds, removed] : planted) {
    const std::string path = data.file(name);
    if (holds == "file" || holds == "link") {
      holds == "file" ? write_bytes(path, "x") : fs::create_symlink(elsewhere.file("marked"), path);
      continue;
    }
    fs::create_directory(path);
    for (std::size_t i = 0; i < holds.size(); ++i) {
      const char c = holds[i];
      const std::string in = path + "/" + c + std::to_string(i);
      if (c == 'M') write_bytes(path + "/" + calldb::kFetchWorkMarker, "");
      if (c == 'f') write_bytes(in, "a download");
      if (c == 'd') fs::create_directory(in);
      if (c == 'l') fs::create_symlink(users, in);
      if (c == 'm') fs::create_symlink(users, path + "/" + calldb::kFetchWorkMarker);
      if (c == 'n') fs::create_directory(path + "/" + calldb::kFetchWorkMarker);
    }
  }
  calldb::FetchOptions options;
  options.import.folder = data.path();
  updater::parse_server("127.0.0.1:1", 443, &options.server);  // nothing to download from
  calldb::FetchReport report;
  std::string error;
  EXPECT_EQ(calldb::fetch_fcc(options, &report, &error), -1);
  EXPECT_NE(error.find("fetch-fcc." + std::to_string(::getpid()) + ": cannot be made"),
            std::string::npos) << error;
  for (const auto& [name, holds, removed] : planted) {
    EXPECT_EQ(fs::exists(fs::symlink_status(data.file(name))), !removed) << name;
  }
  EXPECT_EQ(read_bytes(users), "the user's");
  EXPECT_TRUE(fs::exists(elsewhere.file("marked/") + calldb::kFetchWorkMarker));
}

// The real daily archives and a weekly made of Wednesday's, through nginx: what a run applies,
// tells and keeps, and that every failure leaves the data folder as it was.
TEST(FetchFccTest, AppliesTheDailiesMadeAfterTheWeeklyAndLeavesAFailedRunsFolderAsItWas) {
  // scripts/setup installs nginx and openssl; the data is beside the repository.
  const std::string real = ORBISK_SHARED_DATA "/fcc/daily_zips/";
  ASSERT_TRUE(fs::exists(real + "l_am_wed.zip")) << real << " is missing";
  const testutil::TempDir www, data, ref;
  const std::string complete = www.file("download/pub/uls/complete/"),
                    daily = www.file("download/pub/uls/daily/");
  fs::create_directories(complete);
  fs::create_directories(daily);
  for (const std::string& d : {www.path(), www.file("download"), www.file("download/pub"),
                               www.file("download/pub/uls"), complete, daily}) {
    ::chmod(d.c_str(), 0755);  // nginx may drop root's rights
  }
  // The weekly: Wednesday's records, made on Sunday morning, its members with data descriptors
  // as the FCC's have; and one made on 1 September.
  const std::string stale = ref.file("stale.zip");
  ASSERT_EQ(testutil::python(
                "import sys, zipfile\n"
                "class Stream:\n"
                "    def __init__(self, f): self.f = f\n"
                "    def write(self, b): return self.f.write(b)\n"
                "    def flush(self): self.f.flush()\n"
                "src = zipfile.ZipFile(sys.argv[2])\n"
                "for out, made in (sys.argv[1], 'Sun Sep 28'), (sys.argv[3], 'Mon Sep  1'):\n"
                "  with zipfile.ZipFile(Stream(open(out, 'wb')), 'w', 8) as z:\n"
                "    z.writestr('counts', 'File Creation Date: %s 09:00:00 EDT 2025\\n' % made)\n"
                "    for m in ('EN.dat', 'HD.dat', 'AM.dat'): z.writestr(m, src.read(m))\n",
                {complete + "l_amat.zip", real + "l_am_wed.zip", stale}),
            0);
  // Friday's is missing; Wednesday's and Thursday's are older than the weekly, Saturday's was
  // made later the same day.
  for (const char* day : {"mon", "tue", "wed", "thu", "sat", "sun"}) {
    fs::copy_file(real + "l_am_" + day + ".zip", daily + "l_am_" + day + ".zip");
  }
  std::map<std::string, std::string> served;
  for (const auto& [name, bytes] : contents(www.path())) served[www.file(name)] = bytes;
  const testutil::TestCertificates certificates;
  ASSERT_EQ(certificates.error(), "");
  testutil::NginxServer nginx;
  ASSERT_EQ(nginx.start(www.path(), certificates.cert("good"), certificates.key("good")), "");
  const std::string server = "127.0.0.1:" + std::to_string(nginx.port());
  const Args fetch = {"fetch-fcc", "-C", data.path(), "--server", server, "--ca-file",
                      certificates.ca()};
  // The database being replaced, and an older file of the name it is kept under.
  ASSERT_EQ(calldb({"import-uls", "-C", data.path(), "--date", "20250923", real + "l_am_thu.zip"})
                .code,
            0);
  write_bytes(data.file("call0923.db"), "an older call0923.db");
  const std::string old_call_db = read_bytes(data.file("call.db"));

  const std::string sunday = served[daily + "l_am_sun.zip"];
  const struct {
    std::string file;  // served, replaced by `bytes` ("-": removed)
    std::string bytes;
    Args args;  // after -C DIR, instead of fetch's
    int code;
    std::string error;
  } failures[] = {
      {"", "", {"--server", "127.0.0.1:x"}, 2, "--server must be HOST or HOST:PORT"},
      {"", "", {"--server", server, "--ca-file", certificates.cert("other")}, 1,
       "l_am_fri.zip: Certificate of 127.0.0.1 not trusted: unable to get local issuer"},
      {"", "", {"--server", server}, 1, "l_am_fri.zip: Certificate of 127.0.0.1 not trusted"},
      {complete + "l_amat.zip", "-", {}, 1,
       "l_amat.zip: ERROR the server answered 404 for l_amat.zip"},
      {complete + "l_amat.zip", served[complete + "l_amat.zip"].substr(0, 20000), {}, 1,
       "l_amat.zip: counts"},
      {daily + "l_am_tue.zip", served[daily + "l_am_tue.zip"].substr(0, 30000), {}, 1,
       "l_am_tue.zip: EN.dat is cut short"},
      {daily + "l_am_sun.zip", std::string(sunday).replace(sunday.find("File"), 4, "Fyle"), {}, 1,
       "l_am_sun.zip: its counts member cannot be read: counts is damaged: its CRC does not"},
      {complete + "l_amat.zip", read_bytes(stale), {}, 1,
       "l_amat.zip: dated 20250901, and the oldest daily made after it 20250925: the dailies of "
       "20250902 to 20250924 are missing"},
  };
  for (const auto& f : failures) {
    SCOPED_TRACE(f.error);
    for (const auto& [path, bytes] : served) write_bytes(path, bytes);
    if (f.bytes == "-") fs::remove(f.file);
    if (!f.file.empty() && f.bytes != "-") write_bytes(f.file, f.bytes);
    Args args = fetch;
    if (!f.args.empty()) args.resize(3);
    args.insert(args.end(), f.args.begin(), f.args.end());
    const auto before = contents(data.path());
    const testutil::Outcome run = calldb(args);
    EXPECT_EQ(run.code, f.code) << run.out << run.err;
    EXPECT_NE(run.err.find(f.error), std::string::npos) << run.err;
    EXPECT_TRUE(contents(data.path()) == before);
  }

  // The first run (its callfcc.dat is of Thursday's, made on Friday: Friday's is asked for
  // first, and is missing, so all are): Monday's and Tuesday's dailies are not out yet; the database (and its
  // callfcc.dat) is of Thursday's, and Friday's is missing.
  for (const auto& [path, bytes] : served) write_bytes(path, bytes);
  fs::remove(daily + "l_am_mon.zip");
  fs::remove(daily + "l_am_tue.zip");
  fs::create_directory(data.file("fetch-fcc.4194399"));  // a killed run's work folder
  write_bytes(data.file("fetch-fcc.4194399/") + calldb::kFetchWorkMarker, "");
  testutil::Outcome run = calldb(fetch, true);
  ASSERT_EQ(run.code, 0) << run.out << run.err;
  EXPECT_NE(run.err.find("l_amat.zip: bytes received: "), std::string::npos) << run.err;
  const auto imported = [&](const std::string& folder, const Args& days) {
    Args args = {"import-uls", "-C", folder, "--date", "20251001", complete + "l_amat.zip"};
    for (const std::string& day : days) args.push_back(daily + "l_am_" + day + ".zip");
    const testutil::Outcome made = calldb(args);
    return made.out.substr(0, made.out.find('\n') + 1);  // "call.db: N licences, dated D"
  };
  const std::string first = imported(ref.file("first"), {"sat", "sun"});
  EXPECT_EQ(run.out.substr(0, run.out.find("call.db: ")),
            "l_am_fri.zip: not on the server, passed over\n"
            "l_am_mon.zip: not on the server, passed over\n"
            "l_am_tue.zip: not on the server, passed over\n"
            "the weekly archive is fetched: the daily of 20250927 is missing\n"
            "l_am_wed.zip: dated 20250925, not after the weekly archive, passed over\n"
            "l_am_thu.zip: dated 20250926, not after the weekly archive, passed over\n"
            "l_amat.zip: dated 20250928, applied\nl_am_sat.zip: dated 20250928, applied\n"
            "l_am_sun.zip: dated 20250929, applied\nthe previous call.db is kept as call0923.db\n");
  auto result = contents(data.path());
  EXPECT_EQ(result.size(), 6u);  // the help pages came, and no work folder or download is left
  EXPECT_TRUE(result.at("call0923.db") == old_call_db);

  // Then Tuesday's comes without Monday's: a missing day, so the weekly again; then Monday's:
  // the two dailies are fetched and applied, and Wednesday's, the next one, is found not made
  // since (no other daily is asked for); then nothing is new.
  write_bytes(daily + "l_am_tue.zip", served[daily + "l_am_tue.zip"]);
  run = calldb(fetch);
  EXPECT_NE(run.out.find("the weekly archive is fetched: the daily of 20250930 is missing\n"),
            std::string::npos) << run.out;
  write_bytes(daily + "l_am_mon.zip", served[daily + "l_am_mon.zip"]);
  run = calldb(fetch);
  ASSERT_EQ(run.code, 0) << run.out << run.err;
  std::uint64_t dailies = 0;
  for (const char* day : {"mon", "tue", "wed"}) {
    dailies += served[daily + "l_am_" + day + ".zip"].size();
  }
  const std::string all = imported(ref.path(), {"sat", "sun", "mon", "tue"});
  EXPECT_EQ(run.out.substr(0, run.out.find("cut: ")),
            "l_am_mon.zip: dated 20250930, applied\nl_am_tue.zip: dated 20251001, applied\n"
            "the dailies were applied to call.db of 20250929: " + std::to_string(dailies) +
            " bytes downloaded, no weekly archive\nthe previous call.db is kept as call0929.db\n" +
            all + "callprev.db: " + std::to_string(fs::file_size(ref.file("callprev.db")) / 8 - 1) +
            " previous callsigns\n");
  result = contents(data.path());
  for (const char* name : {"call.db", "callprev.db", "callfcc.dat"}) {
    EXPECT_TRUE(result.at(name) == read_bytes(ref.file(name))) << name;
  }
  run = calldb(fetch);
  EXPECT_EQ(run.out, "call.db is up to date: dated 20251001, no daily archive made since; "
                     "nothing replaced\n");
  EXPECT_TRUE(contents(data.path()) == result);
}

}  // namespace
