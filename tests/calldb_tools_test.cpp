// calldb's data-making commands as their users run them (import-uls, publish, demo, and unzip on
// the demo's list): what each adds to its engine, that is its arguments, output and exit codes;
// and the long commands stopped by Ctrl+C or a TERM signal.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include "tests/support/run_process.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_certificates.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;
using testutil::Outcome;
using testutil::read_bytes;
using testutil::write_bytes;
using Args = std::vector<std::string>;

Outcome calldb(const Args& args, const std::string& cwd = "", bool terminal = false) {
  return testutil::run_process(CALLDB_PATH, args, cwd, terminal);
}

// Each run (arguments, exit code, part of standard error) fails printing nothing on stdout.
void expect_failures(const std::vector<std::tuple<Args, int, std::string>>& runs) {
  for (const auto& [args, code, text] : runs) {
    const Outcome o = calldb(args);
    EXPECT_EQ(std::pair(o.code, o.out), std::pair(code, std::string())) << args.back() << o.err;
    EXPECT_NE(o.err.find(text), std::string::npos) << o.err;
  }
}

TEST(CalldbImportTest, PrintsItsReportNotesAndProgressAndExitsByOutcome) {
  testutil::TempDir dir;
  const std::string src = dir.file("src"), data = dir.path();
  fs::create_directories(src);
  write_bytes(src + "/HD.dat", "HD|1|||W1AAA|A|HA|01/02/2020" + std::string(51, '|') + "\nHD|x");
  write_bytes(src + "/EN.dat", "EN|1|||W1AAA|L||CLUB||||||||1 MAIN ST|TOWN|OH|45245|||||B|||||");
  const Outcome run = calldb({"import-uls", "-C", data, "--date", "20251004", src});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out + run.err, "call.db: 1 licences, dated 20251004\ncallprev.db: 0 previous "
                               "callsigns\ncut: 0 records too long for their fields\nskipped: 1 "
                               "lines\ncalldb import-uls: " + src + " HD.dat line 2: 2 fields, 8 "
                               "needed\n");
  const Outcome shown = calldb({"import-uls", "-C", data, "--date", "20251004", src}, "", true);
  EXPECT_NE(shown.err.find(src + ": records read"), std::string::npos) << shown.err;
  expect_failures({{{"import-uls", "-C", data, "--date", "20250230", src}, 2,
                    "--date must be a calendar date YYYYMMDD, not \"20250230\""},
                   {{"import-uls", "-C", data, "--date", "20251004", data}, 1,
                    "calldb import-uls: " + data + ": the folder holds none of"}});
}

TEST(CalldbDemo, MakesTheDocumentedFoldersAndSaysSo) {
  testutil::TempDir tmp;
  const auto demo = [&](const std::string& dir) {
    return Args{"demo", tmp.file(dir), "--seed", "7", "--today", "20250115", "--us", "3000",
                "--canadian", "900", "--previous", "200"};
  };
  const std::string dir = tmp.file("demo");
  const Outcome o = calldb(demo("demo"));
  ASSERT_EQ(o.code, 0) << o.err;
  // 2025-01-15 is a Wednesday: the latest Friday is 10 January, D0 four weeks before.
  EXPECT_EQ(o.out + o.err, "data folder: " + dir + "/calldb\ncall.db: 3000 licences dated "
                           "20241213\ncallprev.db: 200 previous callsigns\ncancall.db: 900 licences"
                           "\nupdate server: " + dir + "/server\ndb-files: 4 weekly files up to "
                           "20250110\ndatafiles/amateur.zip: 900 licences\n");
  // The help pages beside calldb go into the data folder.
  for (const char* page : {"orbisk-help.html", "fernwick-help.html"}) {
    const std::string shipped = read_bytes(fs::path(CALLDB_PATH).parent_path() / page);
    EXPECT_TRUE(!shipped.empty() && read_bytes(dir + "/calldb/" + page) == shipped) << page;
  }
  // amateur.zip, extracted and converted by the updater's steps, gives the demo's cancall.db.
  fs::copy_file(dir + "/server/datafiles/amateur.zip", tmp.file("amateur.zip"));
  const Outcome unzip = calldb({"unzip", "-C", tmp.path()});
  EXPECT_EQ(unzip.out.substr(0, 43), "zlib is present\nall zlib procedures found\n\n") << unzip.err;
  EXPECT_EQ(calldb({"convert-canada", "-C", tmp.path()}).code, 0);
  EXPECT_EQ(read_bytes(tmp.file("cancall.db")), read_bytes(dir + "/calldb/cancall.db"));
  expect_failures({{{"publish", "--from", dir + "/server/db-files", "--to", tmp.file("x")}, 2,
                    "no snapshot"},
                   {{"publish", "--from", tmp.file("no"), "--to", tmp.file("x")}, 1, "cannot list"},
                   {demo("demo"), 1, "not empty"},
                   {{"demo", tmp.file("x"), "--seed", "x"}, 2, "--seed must be a whole number"},
                   {{"demo", tmp.file("x"), "--us", "0"}, 2, ""}, {{"demo"}, 2, ""}});
}

// The synthetic weekly archive is the same for the same options, and the import reads it whole
// in both forms: every active licence asked for comes out.
TEST(CalldbDemoFcc, MakesTheSameArchiveEachTimeAndTheImportReadsItWhole) {
  testutil::TempDir tmp;
  write_bytes(tmp.file("taken.zip"), "");
  expect_failures({{{"demo-fcc", tmp.file("taken.zip")}, 1, "taken.zip exists; nothing written"},
                   {{"demo-fcc", "x.zip", "--licences", "9", "--active", "10"}, 2,
                    "--active at most --licences"}});
  for (const bool zip64 : {false, true}) {
    const std::string zip = tmp.file(zip64 ? "zip64.zip" : "plain.zip");
    Args make{"demo-fcc", zip, "--licences", "3000", "--active", "1700", "--date", "20261206"};
    if (zip64) make.push_back("--zip64");
    const std::string out = calldb(make).out;
    ASSERT_EQ(out, zip + ": 3000 licences, 1700 active, " + std::to_string(fs::file_size(zip)) +
                       " bytes\n");
    make[1] = tmp.file("again.zip");
    EXPECT_EQ(calldb(make).code, 0);
    EXPECT_EQ(read_bytes(make[1]), read_bytes(zip));
    fs::remove(make[1]);
    const Outcome o = calldb({"import-uls", "-C", tmp.path(), "--date", "20261206", zip});
    EXPECT_EQ(o.out.substr(0, 39), "call.db: 1700 licences, dated 20261206\n") << o.err;
  }
}

// calldb started in the background with its output in `log`; killed if the test leaves it.
class Started {
 public:
  Started(const Args& args, const std::string& log) {
    std::vector<char*> argv = {const_cast<char*>(CALLDB_PATH)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(::open("/dev/null", O_RDONLY), 0), ::dup2(out, 1), ::dup2(out, 2);
      ::execv(CALLDB_PATH, argv.data());
      ::_exit(127);
    }
  }
  ~Started() {
    if (pid_ > 0) ::kill(pid_, SIGKILL), ::waitpid(pid_, nullptr, 0);
  }
  pid_t pid() const { return pid_; }
  // Its exit code when it exits within `limit`, else -1; 128 + N when signal N ended it.
  int wait(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    pid_ = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = 0;
};

// Every file under `dir` with its bytes, folders as "/".
std::map<std::string, std::string> contents(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    files[fs::relative(e.path(), dir)] = e.is_directory() ? "/" : read_bytes(e.path());
  }
  return files;
}

std::size_t entries(const std::string& dir) {  // of a folder that may change as it is listed
  std::error_code ec;
  std::size_t n = 0;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) ++n;
  return n;
}

std::uint64_t bytes_read(pid_t pid) {
  std::ifstream io("/proc/" + std::to_string(pid) + "/io");
  std::string key;
  std::uint64_t value = 0;
  while (io >> key >> value) {
    if (key == "rchar:") return value;
  }
  return 0;
}

// Ctrl+C or a TERM signal mid-way: the downloads once their first bytes are in (a temporary file
// shows it) from a server that then stalls, the import a few megabytes into a large HD.dat. Each
// exits 1 at once, and the data folder holds what it held before.
TEST(CalldbInterrupted, ExitsOneAndLeavesTheFolderAsItWas) {
  using S = testutil::ScriptedServer;
  const testutil::TestCertificates certificates;
  ASSERT_EQ(certificates.error(), "");
  const S::Script stall = {
      S::send("HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n" + std::string(5000, 'x')),
      S::stall()};
  const S http({stall});
  const S https({stall}, certificates.cert("good"), certificates.key("good"));
  testutil::TempDir tmp;
  const std::string data = tmp.file("data"), log = tmp.file("log"), hd = tmp.file("HD.dat");
  ASSERT_EQ(calldb({"sample", data}).code, 0);
  const auto folder = contents(data);
  {
    std::ofstream out(hd, std::ios::binary);
    for (int id = 1; id <= 200000; ++id) {
      out << "HD|" << id << "|||W1AAA|A|HA|01/02/2020" << std::string(51, '|') << "\n";
    }
  }
  const auto at = [](const S& server) { return "127.0.0.1:" + std::to_string(server.port()); };
  const auto downloading = [&](const S& server) {
    return [&server, &data, asked = server.requests().size(), listed = entries(data)](pid_t) {
      return server.requests().size() > asked && entries(data) > listed;
    };
  };
  for (const int signal : {SIGINT, SIGTERM}) {
    const std::vector<std::pair<Args, std::function<bool(pid_t)>>> runs = {
        {{"update", "-C", data, "--server", at(http), "--now", "2026-12-20T12:00"},
         downloading(http)},
        {{"update-canada", "-C", data, "--server", at(https), "--ca-file", certificates.ca()},
         downloading(https)},
        {{"fetch-fcc", "-C", data, "--server", at(https), "--ca-file", certificates.ca()},
         downloading(https)},
        {{"import-uls", "-C", data, "--date", "20261206", hd},
         [](pid_t pid) { return bytes_read(pid) > (std::uint64_t{1} << 20); }}};
    for (const auto& [args, midway] : runs) {
      SCOPED_TRACE(args[0] + (signal == SIGINT ? " SIGINT" : " SIGTERM"));
      Started run(args, log);
      const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (!midway(run.pid()) && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      ASSERT_TRUE(midway(run.pid())) << read_bytes(log);
      ::kill(run.pid(), signal);
      EXPECT_EQ(run.wait(std::chrono::seconds(5)), 1) << read_bytes(log);
      EXPECT_TRUE(contents(data) == folder) << read_bytes(log);
    }
  }
}

}  // namespace
