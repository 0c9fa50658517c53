// calldb make-update, merge and update as their users see them: the real program is run on
// temporary data folders. Four dated databases a week apart stand for the publisher's snapshots;
// the update files between them are made with calldb make-update, and every merged result must
// be the next snapshot byte for byte. (An update run against nginx is the club pipeline's test.)

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "dbfiles/callkey.h"
#include "dbfiles/dbwriter.h"
#include "dbfiles/usdb.h"
#include "platform/platform.h"
#include "tests/support/run_process.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;
using dbfiles::UsRecord;
using testutil::Outcome;
using testutil::read_bytes;
using testutil::write_bytes;

using Db = std::map<dbfiles::CallKey, UsRecord>;

constexpr int kWeeks = 3;
const char* const kDates[kWeeks + 1] = {"20180105", "20180112", "20180119", "20180126"};
const char* const kUpdates[kWeeks] = {"0105to0112.db", "0112to0119.db", "0119to0126.db"};
constexpr char kNow[] = "2018-01-26T12:00";

Outcome calldb(const std::vector<std::string>& args, const std::string& cwd = "") {
  return testutil::run_process(CALLDB_PATH, args, cwd);
}

std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  for (const fs::directory_entry& e : fs::directory_iterator(folder)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool same_record(const UsRecord& a, const UsRecord& b) {
  return a.name == b.name && a.street == b.street && a.city == b.city && a.state == b.state &&
         a.zip == b.zip && a.po_box == b.po_box;
}

// Entries of the update file from `from` to `to`: new, changed and deleted calls.
std::size_t changes_between(const Db& from, const Db& to) {
  std::size_t n = 0;
  for (const auto& [key, record] : from) {
    const auto it = to.find(key);
    if (it == to.end() || !same_record(record, it->second)) ++n;
  }
  for (const auto& [key, record] : to) n += from.count(key) == 0 ? 1 : 0;
  return n;
}

dbfiles::CallKey key_of(const std::string& call) { return dbfiles::encode_call(call.c_str()); }

// A call whose key `fits` and is not yet in `db`.
dbfiles::CallKey fresh_key(const Db& db, std::mt19937& rng,
                           bool (*fits)(const Db&, dbfiles::CallKey)) {
  for (;;) {
    const dbfiles::CallKey key = key_of(testutil::random_us_call(rng));
    if (db.count(key) == 0 && fits(db, key)) return key;
  }
}

UsRecord record_for(dbfiles::CallKey key, std::mt19937& rng) {
  UsRecord r;
  r.key = key;
  r.name = "NAME" + testutil::random_text(rng, 25);
  r.street = rng() % 4 == 0 ? "" : std::to_string(rng() % 9000 + 1) + " OAK ST";
  r.city = "CITY" + testutil::random_text(rng, 12);
  r.state = 1 + rng() % 60;
  r.zip = rng() % 100000;
  r.po_box = rng() % 5 == 0;
  return r;
}

// An existing key picked at random.
dbfiles::CallKey some_key(const Db& db, std::mt19937& rng) {
  auto it = db.begin();
  std::advance(it, static_cast<long>(rng() % db.size()));
  return it->first;
}

// The publisher's four snapshots. Every week adds, deletes and changes calls, the first and the
// last of the index included, and changes records in ways that leave the text alone: only the
// ZIP, only the PO box flag, or only where the name or the street ends.
std::vector<Db> make_snapshots() {
  std::mt19937 rng(20180105);
  std::vector<Db> weeks(1);
  Db& first = weeks[0];
  while (first.size() < 300) {
    const dbfiles::CallKey key = key_of(testutil::random_us_call(rng));
    first[key] = record_for(key, rng);
  }
  for (int k = 1; k <= kWeeks; ++k) {
    Db db = weeks.back();
    for (int i = 0; i < 6; ++i) db.erase(some_key(db, rng));
    for (int i = 0; i < 6; ++i) db[some_key(db, rng)].name = "RENAMED " + std::to_string(k);
    db[some_key(db, rng)].zip += 1;
    UsRecord& box = db[some_key(db, rng)];
    box.po_box = !box.po_box;
    UsRecord& split = db[some_key(db, rng)];
    split.street = split.name.back() + split.street;
    split.name.pop_back();
    UsRecord& moved = db[some_key(db, rng)];
    moved.street.push_back(moved.city.front());
    moved.city.erase(0, 1);
    for (int i = 0; i < 8; ++i) {
      const dbfiles::CallKey key =
          fresh_key(db, rng, [](const Db&, dbfiles::CallKey) { return true; });
      db[key] = record_for(key, rng);
    }
    switch (k) {
      case 1:
        db.erase(db.begin());
        db.erase(std::prev(db.end()));
        break;
      case 2: {
        const dbfiles::CallKey low = fresh_key(
            db, rng, [](const Db& d, dbfiles::CallKey key) { return key < d.begin()->first; });
        const dbfiles::CallKey high = fresh_key(
            db, rng, [](const Db& d, dbfiles::CallKey key) { return key > d.rbegin()->first; });
        db[low] = record_for(low, rng);
        db[high] = record_for(high, rng);
        break;
      }
      default:
        db.begin()->second.city = "FIRSTVILLE";
        db.rbegin()->second.city = "LASTVILLE";
        break;
    }
    weeks.push_back(std::move(db));
  }
  return weeks;
}

// Folders for one test: the data folder, the dated snapshots, and the publisher's folder that
// nginx serves (its db-files/ holds the update files). Everything is readable by others, as
// nginx may drop root's rights.
class CalldbUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::chmod(dir_.path().c_str(), 0755);
    for (const std::string& folder : {data_, snapshots_, www_ + "/db-files"}) {
      fs::create_directories(folder);
    }
    for (const std::string& folder : {data_, snapshots_, www_, www_ + "/db-files"}) {
      ::chmod(folder.c_str(), 0755);
    }
    for (int k = 0; k <= kWeeks; ++k) {
      std::vector<UsRecord> records;
      for (const auto& [key, record] : weeks_[k]) records.push_back(record);
      std::string error;
      ASSERT_EQ(dbfiles::write_call_db(snapshot(k), kDates[k], records, &error), 0) << error;
    }
    ASSERT_EQ(platform::copy_file(snapshot(0), data("call.db")), 0);
  }

  std::string data(const std::string& name) const { return data_ + "/" + name; }
  std::string snapshot(int week) const { return snapshots_ + "/" + kDates[week] + ".db"; }
  std::string published(const std::string& name) const { return www_ + "/db-files/" + name; }

  // Makes the update file of week k (1-3) with calldb make-update into the publisher's folder.
  void publish(int week) {
    const std::string out = published(kUpdates[week - 1]);
    const Outcome r = calldb({"make-update", snapshot(week - 1), snapshot(week), out});
    ASSERT_EQ(r.code, 0) << r.err;
    ASSERT_EQ(r.out, "wrote " + out + " (" +
                         std::to_string(changes_between(weeks_[week - 1], weeks_[week])) +
                         " entries)\n");
    ::chmod(out.c_str(), 0644);
  }

  testutil::TempDir dir_;
  const std::string data_ = dir_.file("data");
  const std::string snapshots_ = dir_.file("snapshots");
  const std::string www_ = dir_.file("www");
  const std::vector<Db> weeks_ = make_snapshots();
};

// --- calldb make-update and calldb merge -----------------------------------------------------

TEST_F(CalldbUpdateTest, EachWeeksUpdateMergedIntoItsOldDatabaseGivesTheNewOneByteForByte) {
  for (int week = 1; week <= kWeeks; ++week) {
    SCOPED_TRACE(kUpdates[week - 1]);
    ASSERT_GT(changes_between(weeks_[week - 1], weeks_[week]), 20u);
    publish(week);
    const std::string name = kUpdates[week - 1];
    const std::string update = read_bytes(published(name));
    ASSERT_EQ(platform::copy_file(published(name), data(name)), 0);
    ASSERT_EQ(platform::copy_file(snapshot(week - 1), data("call.db")), 0);
    fs::remove(data("call.db.new"));

    const Outcome r = calldb({"merge", "-C", data_, name});
    const std::string date = kDates[week];
    EXPECT_EQ(r.out, date.substr(4, 2) + "/" + date.substr(6, 2) + "/" + date.substr(0, 4) + "\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(read_bytes(data("call.db.new")) == read_bytes(snapshot(week)));
    EXPECT_TRUE(read_bytes(data("call.db")) == read_bytes(snapshot(week - 1)))
        << "merge leaves call.db alone";
    EXPECT_TRUE(read_bytes(data(name)) == update) << "merge keeps a sound update file";
  }
}

// Usage errors exit 2 and failures 1, touching nothing but a corrupt update file, which is
// deleted. {D} is the data folder, {S0} and {S1} the first two snapshots; the data folder holds
// call.db (week 0) and 0105to0112.db (a file shorter than a header) unless a case removes it.
TEST_F(CalldbUpdateTest, UsageErrorsAndFailuresExitTwoAndOne) {
  const struct {
    std::vector<std::string> args;
    const char* out;  // "*" for anything
    const char* err;  // the start of standard error; "*" for anything but nothing
    int code;
    bool update_file_kept;
  } cases[] = {
      {{"merge"}, "", "*", 2, true},
      {{"merge", "-C", "{D}"}, "", "*", 2, true},
      {{"merge", "-C", "{D}", "sub/0105to0112.db"}, "", "*", 2, true},
      {{"merge", "-C", "{D}", "{D}/0105to0112.db"}, "", "*", 2, true},
      {{"merge", "-C", "{D}", std::string(32, 'u')}, "", "*", 2, true},
      {{"merge", "-C", "{D}", "0105to0112.db", "0112to0119.db"}, "", "*", 2, true},
      {{"make-update"}, "", "*", 2, true},
      {{"make-update", "{S0}", "{S1}"}, "", "*", 2, true},
      {{"make-update", "{S0}", "{S1}", "{D}/out.db", "extra"}, "", "*", 2, true},
      {{"make-update", "{D}/missing.db", "{S1}", "{D}/out.db"}, "",
       "calldb make-update: ", 1, true},
      {{"make-update", "{S0}", "{D}/0105to0112.db", "{D}/out.db"}, "",
       "calldb make-update: ", 1, true},
      {{"update", "--server", "127.0.0.1:1", "--now", "2018-02-30T12:00"}, "", "*", 2, true},
      {{"update", "--server", "127.0.0.1:1", "--now", "2018-01-26 12:00"}, "", "*", 2, true},
      {{"update", "--server", "127.0.0.1:1", "--now", ""}, "", "*", 2, true},
      {{"update", "--server", "host:65536", "--now", kNow}, "", "*", 2, true},
      {{"update", "--server", ":80", "--now", kNow}, "", "*", 2, true},
      {{"update", "--server", "", "--now", kNow}, "", "*", 2, true},
      // The merge in the current folder: a file shorter than a header is deleted.
      {{"merge", "0105to0112.db"},
       "0105to0112.db <<----CORRUPT update file deleted: shorter than its 12-byte header\n",
       "Update file is CORRUPT, deleting: 0105to0112.db: shorter than its 12-byte header\n", 1,
       false},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args;
    std::string shown;
    for (std::string a : c.args) {
      for (const auto& [from, to] : {std::pair<std::string, std::string>{"{D}", data_},
                                     {"{S0}", snapshot(0)}, {"{S1}", snapshot(1)}}) {
        if (a.starts_with(from)) a = to + a.substr(from.size());
      }
      args.push_back(a);
      shown += "[" + a + "]";
    }
    SCOPED_TRACE(shown);
    write_bytes(data("0105to0112.db"), "12345");
    const Outcome r = calldb(args, data_);
    if (std::string(c.out) != "*") {
      EXPECT_EQ(r.out, c.out);
    }
    if (std::string(c.err) == "*") {
      EXPECT_NE(r.err, "");
    } else {
      EXPECT_TRUE(r.err.starts_with(c.err)) << r.err;
    }
    EXPECT_EQ(r.code, c.code);
    const std::vector<std::string> kept = {"0105to0112.db", "call.db"};
    EXPECT_EQ(names_in(data_), c.update_file_kept ? kept : std::vector<std::string>{"call.db"});
    EXPECT_TRUE(read_bytes(data("call.db")) == read_bytes(snapshot(0)));
  }
  fs::remove(data("call.db"));
  const Outcome r = calldb({"update", "-C", data_, "--server", "127.0.0.1:1", "--now", kNow});
  EXPECT_EQ(r.out, "UM_UPDATE_DONE 0 -1\n");
  EXPECT_TRUE(r.err.starts_with("call.db: UNABLE TO OPEN database file for modification\n"))
      << r.err;
  EXPECT_EQ(r.code, 1);
}

// --- calldb update killed at any instant ------------------------------------------------------

// The files of a folder only change at the system calls of the program writing them, so killing
// it right after its n-th system call stands for every instant between that call and the next.
bool changes_names(std::uint64_t nr) {
  switch (nr) {
#ifdef SYS_rename
    case SYS_rename:
    case SYS_link:
    case SYS_unlink:
#endif
    case SYS_renameat:
    case SYS_renameat2:
    case SYS_linkat:
    case SYS_unlinkat:
      return true;
    default:
      return false;
  }
}

struct Calls {
  int all = 0;    // system calls returned
  int names = 0;  // of them, renames, links and unlinks
};

// Runs calldb with `args` under ptrace, its standard streams on /dev/null, and kills it with
// SIGKILL once `kill_after` of its system calls have returned (counting only those that change
// names when `names_only`), or never when `kill_after` is 0. Returns what it counted. With
// `kill_after` -1 it is not traced, and may take as long as it takes.
Calls run_traced(const std::vector<std::string>& args, bool names_only, int kill_after) {
  std::vector<char*> argv = {const_cast<char*>(CALLDB_PATH)};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    for (int fd : {0, 1, 2}) ::dup2(null, fd);
    if (kill_after >= 0) ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    ::execv(CALLDB_PATH, argv.data());
    ::_exit(127);
  }
  Calls calls;
  int status = 0;
  ::waitpid(pid, &status, 0);  // stopped at its exec, or ended when not traced
  if (kill_after < 0) return calls;
  ::ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
  int signal = 0;
  std::uint64_t nr = 0;
  for (;;) {
    ::ptrace(PTRACE_SYSCALL, pid, nullptr, signal);
    if (::waitpid(pid, &status, 0) != pid || WIFEXITED(status) || WIFSIGNALED(status)) break;
    signal = 0;
    if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
      signal = WSTOPSIG(status);  // passed on
      continue;
    }
    __ptrace_syscall_info info{};
    ::ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof info, &info);
    if (info.op == PTRACE_SYSCALL_INFO_ENTRY) {
      nr = info.entry.nr;
      continue;
    }
    ++calls.all;
    if (changes_names(nr)) ++calls.names;
    if (kill_after > 0 && (names_only ? calls.names : calls.all) == kill_after) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
  }
  return calls;
}

#if defined(__SANITIZE_ADDRESS__)
#define KILL_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KILL_TEST_SANITIZED 1
#endif
#endif

// A full-size run (the demo's data, its weekly files at hand) killed after every rename, link
// and unlink of its first week and at random instants after, each time followed by a run to the
// end: call.db always opens and is one week's database, and the folder ends byte for byte as
// after a run never interrupted.
TEST(CalldbUpdateKilled, RerunEndsAsTheUninterruptedRun) {
#ifdef KILL_TEST_SANITIZED
  const std::string licences = "60000";
#else
  const std::string licences = "780000";
#endif
  const int random_kills = 4;
  testutil::TempDir tmp;
  const std::string demo = tmp.file("demo");
  run_traced({"demo", demo, "--today", "20250115", "--us", licences, "--canadian", "10",
              "--previous", "10"},
             false, -1);
  const std::string pristine = tmp.file("pristine");
  fs::create_directories(pristine);
  ASSERT_TRUE(fs::exists(demo + "/calldb/call.db")) << "calldb demo failed";
  fs::copy_file(demo + "/calldb/call.db", pristine + "/call.db");
  fs::copy(demo + "/server/db-files", pristine);
  fs::remove_all(demo);
  // A run only reads the files it finds and writes new ones: second names will do.
  const std::string work = tmp.file("work");
  const auto restore = [&] {
    fs::remove_all(work);
    fs::create_directories(work);
    for (const std::string& name : names_in(pristine)) {
      fs::create_hard_link(pristine + "/" + name, work + "/" + name);
    }
  };
  const std::vector<std::string> args = {"update", "-C", work, "--server", "127.0.0.1:9",
                                         "--now", "2025-01-15T12:00"};
  const auto print = [](const std::string& file) {
    const int fd = ::open(file.c_str(), O_RDONLY);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_size == 0) return ::close(fd), std::size_t{0};
    const std::size_t size = static_cast<std::size_t>(st.st_size);
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) return std::size_t{0};
    const std::size_t p = std::hash<std::string_view>{}({static_cast<const char*>(map), size});
    ::munmap(map, size);
    return p;
  };
  const auto folder = [&] {
    std::map<std::string, std::size_t> files;
    for (const std::string& name : names_in(work)) files[name] = print(work + "/" + name);
    return files;
  };

  restore();
  const Calls whole = run_traced(args, false, 0);
  ASSERT_EQ(read_bytes(work + "/call.db").substr(0, 8), "20250110");
  const std::map<std::string, std::size_t> expected = folder();
  std::set<std::size_t> weeks;  // call.db as each week leaves it
  for (const auto& [name, p] : expected) {
    if (name.starts_with("call")) weeks.insert(p);
  }
  ASSERT_EQ(weeks.size(), 5u);

  std::vector<std::pair<bool, int>> kills;  // names only, after how many calls
  for (int n = 1; n <= whole.names / 4; ++n) kills.emplace_back(true, n);
  std::mt19937 rng(20250115);
  for (int k = 0; k < random_kills; ++k) kills.emplace_back(false, 1 + rng() % whole.all);
  for (const auto& [names_only, after] : kills) {
    SCOPED_TRACE(std::string("killed after ") + std::to_string(after) +
                 (names_only ? " renames, links and unlinks" : " system calls"));
    restore();
    run_traced(args, names_only, after);
    dbfiles::UsDatabase db;
    EXPECT_EQ(dbfiles::open_call_db(work + "/call.db", &db), 0);
    db.file.close();
    EXPECT_EQ(weeks.count(print(work + "/call.db")), 1u) << "call.db is one week's database";
    calldb(args);
    EXPECT_EQ(folder(), expected);
  }
}

}  // namespace
