// Merging a week's update into a full-size call.db, side by side with copying the same file
// and flushing the copy to disk: the floor any merge that writes a new database has to stand on.
//
//   build/merge_bench [--benchmark_...]
// merges the first weekly file of the demo $CALLDB_BENCH_DATA names (server/db-files/, the one
// starting at calldb/call.db's date) into a copy of its call.db, or, when the variable is
// unset, a synthetic update of kUpdateEntries entries into a synthetic call.db of kEntries.
// Prints Google Benchmark's table and then the ratio of the merge to cp.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "dbfiles/dbwriter.h"
#include "dbfiles/usdb.h"
#include "updater/make_update.h"
#include "updater/merge.h"

extern char** environ;

namespace {

constexpr int kEntries = 780000;
constexpr int kUpdateEntries = 10000;

// What the run merges: the update file's name in the work folder, and the entry counts.
std::string g_update_name = "0105to0112.db";
std::uint32_t g_entries = kEntries;
std::uint32_t g_update_entries = kUpdateEntries;

class NullLink : public updater::WorkerLink {
 public:
  void log_text(std::string_view) override {}
  void set_value_cell(updater::ValueCell, std::string_view) override {}
  void set_row_cell(int, updater::RowCell, std::string_view) override {}
  updater::Answer message_box(std::string_view text, std::string_view caption, updater::Buttons,
                              updater::Icon) override {
    std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(caption.size()), caption.data(),
                 static_cast<int>(text.size()), text.data());
    return updater::Answer::ok;
  }
  void finished(int, std::int32_t, std::int32_t) override {}
};

std::string random_word(std::mt19937& rng, int min, int max) {
  std::string w(static_cast<std::size_t>(min + static_cast<int>(rng() % (max - min + 1))), 'A');
  for (char& c : w) c = static_cast<char>('A' + rng() % 26);
  return w;
}

dbfiles::UsRecord record(std::mt19937& rng, std::uint32_t key) {
  dbfiles::UsRecord r;
  r.key = key;
  r.name = random_word(rng, 4, 12) + ", " + random_word(rng, 3, 9) + " " + random_word(rng, 1, 1);
  r.street = std::to_string(rng() % 9999) + " " + random_word(rng, 4, 10) + " ST";
  r.city = random_word(rng, 4, 12);
  r.state = 1 + rng() % 60;
  r.zip = rng() % 99999;
  return r;
}

std::uint32_t entries_of(const std::string& path) {
  dbfiles::UsDatabase db;
  if (dbfiles::open_call_db(path, &db) != 0) {
    std::fprintf(stderr, "%s: cannot be read\n", path.c_str());
    std::exit(1);
  }
  return db.count;
}

// A copy of the demo's call.db and of its weekly file that starts at call.db's date (MMDDto...,
// else the first one by name).
std::string copy_demo(const std::string& demo) {
  const std::string dir = bench::work_folder("orbisk-merge-bench-demo");
  const std::string call_db = demo + "/calldb/call.db";
  const std::string updates = demo + "/server/db-files";
  dbfiles::UsDatabase db;
  std::vector<std::string> names;
  if (dbfiles::open_call_db(call_db, &db) != 0 || platform::list_files(updates, "*.db", &names) != 0 ||
      names.empty()) {
    std::fprintf(stderr, "%s: no call.db or no weekly files in server/db-files\n", demo.c_str());
    std::exit(1);
  }
  const std::string start = std::string(db.date + 4, 4) + "to";
  g_update_name = names.front();
  for (const std::string& name : names) {
    if (name.compare(0, start.size(), start) == 0) {
      g_update_name = name;
      break;
    }
  }
  if (platform::copy_file(call_db, dir + "/call.db") != 0 ||
      platform::copy_file(updates + "/" + g_update_name, dir + "/" + g_update_name) != 0) {
    std::fprintf(stderr, "cannot copy the demo files to %s\n", dir.c_str());
    std::exit(1);
  }
  g_entries = entries_of(dir + "/call.db");
  g_update_entries = entries_of(dir + "/" + g_update_name);
  benchmark::AddCustomContext("data", "demo");
  return dir;
}

// A folder with call.db of kEntries licences and the update file 0105to0112.db that changes,
// adds and deletes kUpdateEntries of them; or the demo's. Made once per run.
const std::string& data_folder() {
  static const std::string folder = [] {
    if (!bench::demo_folder().empty()) return copy_demo(bench::demo_folder());
    benchmark::AddCustomContext("data", "synthetic");
    const std::string dir = bench::work_folder("orbisk-merge-bench");
    std::mt19937 rng(1);
    std::map<std::uint32_t, dbfiles::UsRecord> db;
    static const char kFirst[] = "KNWA";
    static const char kRest[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    while (static_cast<int>(db.size()) < kEntries) {
      std::string call(1, kFirst[rng() % 4]);
      call += static_cast<char>('A' + rng() % 26);
      call += static_cast<char>('0' + rng() % 10);
      for (int n = 2 + static_cast<int>(rng() % 2); n > 0; --n) call += kRest[10 + rng() % 26];
      const std::uint32_t key = dbfiles::encode_call(call.c_str());
      db[key] = record(rng, key);
    }
    std::vector<dbfiles::UsRecord> list;
    for (const auto& [key, r] : db) list.push_back(r);
    dbfiles::write_call_db(dir + "/old.db", "20180105", list);
    for (int i = 0; i < kUpdateEntries; ++i) {
      std::string call = random_word(rng, 2, 3);
      call.insert(call.begin(), {'W', static_cast<char>('0' + i % 10)});
      const std::uint32_t key = dbfiles::encode_call(call.c_str());
      if (i % 4 == 0 && db.count(key) != 0) {
        db.erase(key);
      } else {
        db[key] = record(rng, key);
      }
    }
    list.clear();
    for (const auto& [key, r] : db) list.push_back(r);
    dbfiles::write_call_db(dir + "/new.db", "20180112", list);
    std::string error;
    if (updater::make_update(dir + "/old.db", dir + "/new.db", dir + "/0105to0112.db", &error) != 0) {
      std::fprintf(stderr, "make_update: %s\n", error.c_str());
      std::exit(1);
    }
    std::filesystem::copy_file(dir + "/old.db", dir + "/call.db",
                               std::filesystem::copy_options::overwrite_existing);
    return dir;
  }();
  return folder;
}

void BM_Merge(benchmark::State& state) {
  const std::string& dir = data_folder();
  NullLink link;
  updater::UpdaterState shared;
  std::snprintf(shared.update_rows[0].name, sizeof shared.update_rows[0].name, "%s",
                g_update_name.c_str());
  updater::WorkerEnv env;
  env.link = &link;
  env.state = &shared;
  env.folder = dir;
  for (auto _ : state) {
    if (updater::merge_update(env, 0) != 0) state.SkipWithError("merge failed");
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(std::filesystem::file_size(dir + "/call.db")));
  state.counters["entries"] = g_entries;
  state.counters["update_entries"] = g_update_entries;
}
BENCHMARK(BM_Merge)->Unit(benchmark::kMillisecond)->UseRealTime();

// cp, then the copy flushed to disk as the merge flushes call.db.new.
void BM_CopyWithCp(benchmark::State& state) {
  const std::string& dir = data_folder();
  const std::string from = dir + "/call.db";
  const std::string to = dir + "/copy.db";
  for (auto _ : state) {
    const char* argv[] = {"cp", from.c_str(), to.c_str(), nullptr};
    pid_t pid = 0;
    int status = 0;
    if (posix_spawnp(&pid, "cp", nullptr, nullptr, const_cast<char**>(argv), environ) != 0 ||
        waitpid(pid, &status, 0) != pid || status != 0) {
      state.SkipWithError("cp failed");
      break;
    }
    const int fd = ::open(to.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) state.SkipWithError("fsync of the copy failed");
    if (fd >= 0) ::close(fd);
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(std::filesystem::file_size(from)));
}
BENCHMARK(BM_CopyWithCp)->Unit(benchmark::kMillisecond)->UseRealTime();

// Keeps each benchmark's time per iteration for the ratio printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        seconds_[run.run_name.function_name] = run.GetAdjustedRealTime();
      }
    }
  }
  std::map<std::string, double> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  data_folder();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto merge = reporter.seconds_.find("BM_Merge");
  const auto cp = reporter.seconds_.find("BM_CopyWithCp");
  if (merge != reporter.seconds_.end() && cp != reporter.seconds_.end() && cp->second > 0) {
    std::printf("merge of %u update entries into %u entries: %.2f times cp of the file (target: "
                "at most 3)\n",
                g_update_entries, g_entries, merge->second / cp->second);
  }
  benchmark::Shutdown();
  return 0;
}
