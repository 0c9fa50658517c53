// Merging a week's update into a full-size call.db, side by side with copying the same file
// and flushing the copy to disk: the floor any merge that writes a new database has to stand on.
//
//   build/merge_bench [--benchmark_...]
// merges the first weekly file of the demo $CALLDB_BENCH_DATA names (server/db-files/, the one
// starting at calldb/call.db's date) into a copy of its call.db, or, when the variable is
// unset, a synthetic update of kUpdateEntries entries into a call.db of kEntries licences, both
// drawn with the demo's own generator.
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
#include <set>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "bench/ratio_reporter.h"
#include "dbfiles/dbwriter.h"
#include "dbfiles/usdb.h"
#include "updater/make_update.h"
#include "demo/demo_data.h"
#include "updater/merge.h"

extern char** environ;

namespace {

constexpr int kEntries = 780000;
constexpr int kUpdateEntries = 10000;

// What the run merges: the update file's name in the work folder, and the entry counts.
std::string g_update_name = "0105to0112.db";
std::uint32_t g_entries = kEntries;
std::uint32_t g_update_entries = kUpdateEntries;

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

// The synthetic week: `licences` (sorted by key) with kUpdateEntries of them touched once
// each, drawn as `calldb demo` draws its licences: a quarter expired, a quarter with a new
// name or address, half new callsigns. Sorted by key.
std::vector<dbfiles::UsRecord> week_later(calldb::demo::Random& rng,
                                          const std::vector<dbfiles::UsRecord>& licences) {
  std::map<dbfiles::CallKey, dbfiles::UsRecord> db;
  for (const dbfiles::UsRecord& r : licences) db.emplace(r.key, r);
  std::set<dbfiles::CallKey> touched;
  const auto size = static_cast<std::uint32_t>(licences.size());
  for (int i = 0; i < kUpdateEntries;) {
    if (i % 4 < 2) {
      const dbfiles::CallKey key = licences[rng.below(size)].key;
      if (!touched.insert(key).second) continue;
      if (i % 4 == 0) {
        db.erase(key);
      } else {
        db[key] = calldb::demo::random_us_licence(rng, key);
      }
    } else {
      const dbfiles::CallKey key =
          dbfiles::encode_call(calldb::demo::random_us_call(rng).c_str());
      if (db.count(key) != 0 || !touched.insert(key).second) continue;
      db.emplace(key, calldb::demo::random_us_licence(rng, key));
    }
    ++i;
  }
  std::vector<dbfiles::UsRecord> list;
  list.reserve(db.size());
  for (const auto& [key, r] : db) list.push_back(r);
  return list;
}

// A folder with call.db of kEntries licences and the update file 0105to0112.db that changes,
// adds and deletes kUpdateEntries of them; or the demo's. Made once per run.
const std::string& data_folder() {
  static const std::string folder = [] {
    if (!bench::demo_folder().empty()) return copy_demo(bench::demo_folder());
    benchmark::AddCustomContext("data", "synthetic");
    const std::string dir = bench::work_folder("orbisk-merge-bench");
    calldb::demo::Random rng(1);
    const std::vector<dbfiles::UsRecord> old_list = calldb::demo::make_us_licences(rng, kEntries);
    std::string error;
    if (dbfiles::write_call_db(dir + "/old.db", "20180105", old_list, &error) != 0 ||
        dbfiles::write_call_db(dir + "/new.db", "20180112", week_later(rng, old_list), &error) !=
            0 ||
        updater::make_update(dir + "/old.db", dir + "/new.db", dir + "/0105to0112.db", &error) !=
            0) {
      std::fprintf(stderr, "merge_bench: %s\n", error.c_str());
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
  bench::NullLink link;
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

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  data_folder();
  bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double merge = reporter.seconds("BM_Merge");
  const double cp = reporter.seconds("BM_CopyWithCp");
  if (merge > 0 && cp > 0) {
    std::printf("merge of %u update entries into %u entries: %.2f times cp of the file (target: "
                "at most 2)\n",
                g_update_entries, g_entries, merge / cp);
  }
  benchmark::Shutdown();
  return 0;
}
