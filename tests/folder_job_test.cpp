// One writer per data folder: the lock every writing job holds, the sweep it makes under it, and
// the update run's swap, with another program's jobs started in the middle of it.
#include "updater/folder_job.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <thread>

#include "dbfiles/dbwriter.h"
#include "tests/support/recording_link.h"
#include "tests/support/run_process.h"
#include "tests/test_util.h"
#include "fcc/fcc_update.h"
#include "fcc/fetch_fcc.h"
#include "fcc/uls_import.h"
#include "updater/canupdate.h"
#include "updater/doupdate.h"
#include "updater/file_set.h"
#include "updater/floppy.h"
#include "updater/make_update.h"
#include "updater/merge.h"

namespace updater {
namespace {

namespace fs = std::filesystem;
using testutil::read_bytes;
using testutil::write_bytes;

std::vector<std::string> listing(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A process of its own: with `lock_folder`, it holds that folder's writer lock as another
// program would; it ends when the object goes (SIGKILL: the system must drop the lock).
class OtherProgram {
 public:
  explicit OtherProgram(const std::string& lock_folder = "") {
    int ready[2];
    if (::pipe(ready) != 0) std::abort();
    pid_ = ::fork();
    if (pid_ == 0) {  // a fork shares this program's locks: the lock is taken by hand
      const std::string path = lock_folder + "/" + platform::kFolderLockName;
      const int fd = lock_folder.empty() ? 0 : ::open(path.c_str(), O_RDWR | O_CREAT, 0666);
      const char held = fd >= 0 && (lock_folder.empty() || ::flock(fd, LOCK_EX | LOCK_NB) == 0)
                            ? 'y'
                            : 'n';
      if (::write(ready[1], &held, 1) != 1) ::_exit(1);
      for (;;) ::pause();
    }
    ::close(ready[1]);
    char held = 0;
    ok_ = ::read(ready[0], &held, 1) == 1 && held == 'y';
    ::close(ready[0]);
  }
  ~OtherProgram() { end(); }
  void end() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  bool ok() const { return ok_; }
  long pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  bool ok_ = false;
};

long ended_process_id() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  return child;
}

class FolderJob : public testing::Test {
 protected:
  void SetUp() override {
    env_.link = &link_;
    env_.state = &state_;
    env_.folder = dir_.file("data");
    env_.floppy_folder = dir_.file("floppy");
    env_.server = ServerAddress{"127.0.0.1", 1};  // nothing listens there
    env_.canada_server = ServerAddress{"127.0.0.1", 1};
    fs::create_directories(env_.folder);
    fs::create_directories(env_.floppy_folder);
    link_.lock_file = data(platform::kFolderLockName);
  }
  std::string data(const std::string& name) const { return platform::join_path(env_.folder, name); }
  std::string db(const std::string& date, const char* name) {
    const std::string path = dir_.file(date + ".db");
    const dbfiles::UsRecord r{dbfiles::encode_call("K1A"), name, "1 MAIN ST", "TOWN, OH 43001"};
    EXPECT_EQ(dbfiles::write_call_db(path, date, {r}), 0);
    return path;
  }
  // Tells whether the lock file was still there when a job sent its finished message, which
  // the window takes as the job's end.
  class Link : public testutil::RecordingLink {
   public:
    std::string lock_file;
    bool locked_at_end = false;
    void finished(int message, std::int32_t wparam, std::int32_t lparam) override {
      locked_at_end = locked_at_end || fs::exists(lock_file);
      RecordingLink::finished(message, wparam, lparam);
    }
  };
  testutil::TempDir dir_;
  Link link_;
  UpdaterState state_;
  WorkerEnv env_;
};

// Only temporaries of our own file names, regular files, whose writer has ended.
TEST_F(FolderJob, SweepRemovesOnlyWhatEndedJobsLeftUnderOurNames) {
  const std::string dead = std::to_string(ended_process_id());
  const std::string own = std::to_string(platform::current_process_id());
  OtherProgram live;  // started before the files below were written
  const std::string alive = std::to_string(live.pid());
  const std::vector<std::string> removed = {
      "call.db.new-" + dead + "-0", "call.db.new.new-" + dead + "-1",
      "callprev.db.new-" + dead + "-2", "cancall.db.new-" + dead + "-3",
      "amateur.zip.new-" + dead + "-4", "amateur.txt.new-" + dead + "-5",
      "0105to0112.db.new-" + dead + "-6", "call0105.db.new-" + dead + "-7",
      "callprev.db.new-" + alive + "-8"};  // written long before its process started
  const std::vector<std::string> kept = {
      "thesis.new-" + dead + "-2", "CALL.DB.new-" + dead + "-0", "call.db.new-" + dead + "-",
      "call.db.new--7-0", "call.db.new-0-1", "call.db.new-" + own + "-0", "cancall.db.new-" + alive + "-0",
      "call.db.new-1-0", "notes.txt"};
  for (const auto& name : removed) write_bytes(data(name), "x");
  for (const auto& name : kept) write_bytes(data(name), "x");
  const timespec long_ago[2] = {{978307200, 0}, {978307200, 0}};  // 2001
  ASSERT_EQ(::utimensat(AT_FDCWD, data(removed.back()).c_str(), long_ago, 0), 0);
  write_bytes(dir_.file("target"), "not ours");
  fs::create_symlink(dir_.file("target"), data("amateur.zip.new-" + dead + "-9"));
  fs::create_directory(data("amateur.txt.new-" + dead + "-9"));

  platform::FolderLock lock;
  ASSERT_EQ(begin_folder_job(env_, &lock), 0);
  std::vector<std::string> expected = kept;
  expected.insert(expected.end(), {"amateur.txt.new-" + dead + "-9",
                                   "amateur.zip.new-" + dead + "-9", platform::kFolderLockName});
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(listing(env_.folder), expected);
  EXPECT_EQ(read_bytes(dir_.file("target")), "not ours");
  EXPECT_TRUE(link_.events().empty());
}

// Every writer's start finishes the set of databases a killed FCC import was putting in place
// (a merge over half of it would otherwise be undone by the next FCC run), and drops staged
// files no whole record names.
TEST_F(FolderJob, WritersFinishASetAKilledImportLeft) {
  for (const bool recorded : {true, false}) {
    SCOPED_TRACE(recorded ? "record written" : "no record");
    for (const char* name : {"call.db", "callprev.db", "callfcc.dat"}) {
      write_bytes(data(name), std::string("old ") + name);
      write_bytes(data(std::string(name) + kStagedSuffix), std::string("new ") + name);
    }
    platform::delete_file(data("callfcc.dat.next"));  // renamed before the kill
    write_bytes(data("callfcc.dat"), "new callfcc.dat");
    if (recorded) write_bytes(data(kFileSetName), "callfcc.dat\ncallprev.db\ncall.db\nend\n");
    platform::FolderLock lock;
    ASSERT_EQ(begin_folder_job(env_, &lock), 0);
    const std::string now = recorded ? "new " : "old ";
    EXPECT_EQ(read_bytes(data("call.db")), now + "call.db");
    EXPECT_EQ(read_bytes(data("callprev.db")), now + "callprev.db");
    EXPECT_EQ(listing(env_.folder), (std::vector<std::string>{"call.db", "calldb.lock",
                                                              "callfcc.dat", "callprev.db"}));
  }
}

TEST_F(FolderJob, JobsOfOneProgramShareItsLock) {
  platform::FolderLock a, b;
  ASSERT_EQ(a.lock(env_.folder), 0);
  ASSERT_EQ(b.lock(env_.folder), 0);
  a.unlock();
  EXPECT_FALSE(OtherProgram(env_.folder).ok());
  b.unlock();
  EXPECT_TRUE(OtherProgram(env_.folder).ok());
  OtherProgram other(env_.folder);
  EXPECT_EQ(a.lock(env_.folder), platform::sharing_violation_error());
}

// Each writing job, while another program holds the folder: refused at once, the folder as it
// was (a dead job's temporary not swept either); once that program is killed, the job runs and
// sweeps. Waiting, it goes on when the other ends, or stops when cancelled.
TEST_F(FolderJob, AnotherProgramsJobIsRefusedAwaitedOrCancelled) {
  const std::string stale = "call.db.new-" + std::to_string(ended_process_id()) + "-0";
  ASSERT_EQ(platform::copy_file(db("20180105", "A"), data("call.db")), 0);
  std::snprintf(state_.update_rows[0].name, sizeof state_.update_rows[0].name, "0105to0112.db");
  const auto import = [this](WorkerEnv&) {
    calldb::ImportOptions options;
    options.folder = env_.folder;
    options.date = "20180112";
    options.sources = {dir_.file("EN.dat")};
    calldb::ImportReport report;
    std::string error;
    const int rc = calldb::import_uls(options, &report, &error);
    if (rc != 0) link_.log_text(error);
  };
  const auto fetch = [this](WorkerEnv&) {
    calldb::FetchOptions options;
    options.import.folder = env_.folder;
    options.server = ServerAddress{"127.0.0.1", 1};
    calldb::FetchReport report;
    std::string error;
    if (calldb::fetch_fcc(options, &report, &error) != 0) link_.log_text(error);
  };
  const std::pair<const char*, std::function<void(WorkerEnv&)>> jobs[] = {
      {"update", doupdate},
      {"fcc update",
       [](WorkerEnv& env) {
         env.fcc_server = ServerAddress{"127.0.0.1", 1};
         calldb::fcc_update(env);
       }},
      {"canada", [](WorkerEnv& env) { canupdate(env); }},
      {"copy to", [](WorkerEnv& env) { copy_to_floppy(env); }},
      {"copy from", [](WorkerEnv& env) { copy_from_floppy(env); }},
      {"clean up", [](WorkerEnv& env) { cleanup_old_files(env); }},
      {"merge", [](WorkerEnv& env) { merge_update(env, 0); }},
      {"import", import},
      {"fetch", fetch}};
  const std::string busy = "another update is running in " + env_.folder;
  for (const auto& [what, job] : jobs) {
    SCOPED_TRACE(what);
    write_bytes(data(stale), "x");
    OtherProgram other(env_.folder);
    ASSERT_TRUE(other.ok());
    const auto before = listing(env_.folder);
    link_.clear();
    job(env_);
    EXPECT_NE(link_.log().find(busy), std::string::npos) << link_.log();
    const auto boxes = link_.boxes();
    if (std::string(what) != "import" && std::string(what) != "fetch") {
      ASSERT_EQ(boxes.size(), 1u);
      EXPECT_EQ(boxes[0].text, folder_busy_box(env_.folder));
      EXPECT_EQ(boxes[0].caption, kWindowTitle);
    }
    EXPECT_EQ(listing(env_.folder), before);
    other.end();
    link_.clear();
    link_.locked_at_end = false;
    job(env_);
    EXPECT_EQ(link_.log().find(busy), std::string::npos) << link_.log();
    EXPECT_FALSE(fs::exists(data(stale)));
    EXPECT_FALSE(link_.locked_at_end || fs::exists(link_.lock_file));
  }

  env_.wait_for_folder = true;
  std::atomic<bool> cancel{false};
  env_.cancel = &cancel;
  for (const bool cancelled : {false, true}) {
    write_bytes(data(stale), "x");
    OtherProgram other(env_.folder);
    link_.clear();
    platform::FolderLock lock;
    std::thread job([&] { EXPECT_EQ(begin_folder_job(env_, &lock), cancelled ? -1 : 0); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(fs::exists(data(stale)));  // nothing swept while waiting
    if (cancelled) {
      cancel = true;
    } else {
      other.end();
    }
    job.join();
    EXPECT_EQ(link_.log(), "Waiting for the other update in " + env_.folder + " to end\r\n");
    EXPECT_TRUE(link_.boxes().empty());
    EXPECT_EQ(fs::exists(data(stale)), cancelled);
  }
}

// What calldb adds: every writing command exits 1 with the run's own words, or waits.
TEST_F(FolderJob, CalldbWritersExitOneOrWaitForTheOther) {
  const std::string f = env_.folder, fl = env_.floppy_folder;
  ASSERT_EQ(platform::copy_file(db("20180105", "A"), data("call.db")), 0);
  const std::vector<std::vector<std::string>> commands = {
      {"update", "-C", f, "--server", "127.0.0.1:1"},
      {"merge", "-C", f, "0105to0112.db"},
      {"update-canada", "-C", f, "--server", "127.0.0.1:1"},
      {"unzip", "-C", f},
      {"convert-canada", "-C", f},
      {"import-uls", "-C", f, "--date", "20180112", data("call.db")},
      {"fetch-fcc", "-C", f, "--server", "127.0.0.1:1"},
      {"cleanup", "-C", f, "--mode", "1"},
      {"copy-to", "-C", f, "--floppy", fl, "0105to0112.db"},
      {"copy-from", "-C", f, "--floppy", fl}};
  OtherProgram other(f);
  const auto before = listing(f);
  for (const auto& args : commands) {
    const testutil::Outcome o = testutil::run_process(CALLDB_PATH, args);
    EXPECT_EQ(o.code, 1) << args[0];
    EXPECT_NE((o.out + o.err).find("another update is running in " + f), std::string::npos)
        << args[0] << ": " << o.out << o.err;
  }
  EXPECT_EQ(listing(f), before);
  // The other program ends once the waiting command has said that it waits (its output goes to
  // a file the test reads as it comes), however slowly the command starts.
  const std::string said = dir_.file("said");
  const std::string waiting = "Waiting for the other update in " + f + " to end\n";
  std::thread ender([&] {
    for (int i = 0; i < 3000 && read_bytes(said) != waiting; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    other.end();
  });
  const testutil::Outcome waited = testutil::run_process(
      "/bin/sh", {"-c", "exec \"$0\" cleanup -C \"$1\" --mode 1 --wait >\"$2\"", CALLDB_PATH, f,
                  said});
  ender.join();
  EXPECT_EQ(waited.code, 0);
  EXPECT_EQ(read_bytes(said), waiting);
}

// Another program's import, update and merge, started while the run is at its renames, are
// refused; the run's saved database is the one from before it.
TEST_F(FolderJob, UpdateRunKeepsItsFolderToItselfUntilItsLastRename) {
  const std::string week0 = db("20180105", "OLD"), week1 = db("20180112", "NEW");
  ASSERT_EQ(make_update(week0, week1, data("0105to0112.db"), nullptr), 0);
  ASSERT_EQ(platform::copy_file(week0, data("call.db")), 0);
  write_bytes(dir_.file("EN.dat"), "EN|1|||K1ZZ|L||DOE, JOHN|JOHN||DOE|||||1 ELM|TOWN|OH|43001|\n");
  env_.now = [] { return platform::LocalTime{2018, 1, 12, 12, 0, 0}; };
  std::vector<testutil::Outcome> others;
  platform::testing::before_rename([&](const std::string& to) {
    if (!others.empty() || to.find("call0105.db") == std::string::npos) return;
    const std::string folder = env_.folder;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"import-uls", "-C", folder, "--date", "20180120",
                                   dir_.file("EN.dat")},
          std::vector<std::string>{"update", "-C", folder, "--server", "127.0.0.1:1", "--now",
                                   "2018-01-12T12:00"},
          std::vector<std::string>{"merge", "-C", folder, "0105to0112.db"}}) {
      others.push_back(testutil::run_process(CALLDB_PATH, args));
    }
  });
  doupdate(env_);
  platform::testing::before_rename(nullptr);
  ASSERT_EQ(others.size(), 3u);
  for (const auto& o : others) {
    EXPECT_EQ(o.code, 1) << o.out << o.err;
    EXPECT_NE((o.out + o.err).find("another update is running in " + env_.folder),
              std::string::npos);
  }
  EXPECT_EQ(link_.finished_messages().back().lparam, 0) << link_.log();
  EXPECT_EQ(read_bytes(data("call0105.db")), read_bytes(week0));
  EXPECT_EQ(read_bytes(data("call.db")), read_bytes(week1));
  EXPECT_EQ(listing(env_.folder),
            (std::vector<std::string>{"0105to0112.db", "call.db", "call0105.db"}));
}

// A call.db replaced between the merge and the swap (by a program that writes without the
// lock) is neither saved nor replaced by a merge of the file it replaced.
TEST_F(FolderJob, SwapRefusesACallDbReplacedSinceTheMergeReadIt) {
  class ReplacingLink : public testutil::RecordingLink {
   public:
    std::function<void()> on_done;
    void set_row_cell(int row, RowCell cell, std::string_view text) override {
      RecordingLink::set_row_cell(row, cell, text);
      if (cell == RowCell::status && text == "done" && on_done) on_done();
    }
  } link;
  env_.link = &link;
  const std::string week0 = db("20180105", "OLD"), week1 = db("20180112", "NEW");
  const std::string other = db("20180105", "OTHER");
  ASSERT_EQ(make_update(week0, week1, data("0105to0112.db"), nullptr), 0);
  ASSERT_EQ(platform::copy_file(week0, data("call.db")), 0);
  link.on_done = [&] { ASSERT_EQ(platform::copy_file(other, data("call.db")), 0); };
  env_.now = [] { return platform::LocalTime{2018, 1, 12, 12, 0, 0}; };
  doupdate(env_);
  EXPECT_EQ(link.finished_messages().back().lparam, 1);
  EXPECT_NE(link.log().find("ERROR: call.db was replaced while it was merged; nothing was "
                            "changed\r\n"),
            std::string::npos);
  EXPECT_EQ(read_bytes(data("call.db")), read_bytes(other));
  EXPECT_EQ(listing(env_.folder), (std::vector<std::string>{"0105to0112.db", "call.db"}));
}

}  // namespace
}  // namespace updater
