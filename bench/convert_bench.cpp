// Building the databases from published lists, in records per second: the Canadian list
// amateur.txt converted into cancall.db, and a real day of the FCC's licence data imported into
// call.db and callprev.db.
//
//   build/convert_bench [--benchmark_...]
// takes amateur.txt out of server/datafiles/amateur.zip of the demo $CALLDB_BENCH_DATA names
// (once, with the updater's own unzip), or, when the variable is unset, writes a list of
// kCanadianLicences with the demo's own generator. The FCC day is l_am_tue_2025-09-30_extracted/
// of the shared real data, or the folder $CALLDB_BENCH_FCC_DAY names. items_per_second counts
// the licences converted and the records read.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/bench_support.h"
#include "dbfiles/candb.h"
#include "platform/platform.h"
#include "demo/demo_data.h"
#include "updater/convert_canada.h"
#include "updater/unzip.h"
#include "updater/updater_state.h"
#include "updater/zlib_api.h"
#include "updater/zlib_loader.h"
#if ORBISK_HAVE_ULS_IMPORT
#include "fcc/uls_import.h"
#endif

namespace {

constexpr int kCanadianLicences = 92000;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "convert_bench: %s\n", what.c_str());
  std::exit(1);
}

// ---------------------------------------------------------------------------------------------
// The Canadian list

// amateur.txt as published, drawn as `calldb demo` draws its list.
void write_synthetic_list(const std::string& path) {
  calldb::demo::Random rng(92000);
  const std::string text = calldb::demo::fixed_column_list(
      calldb::demo::make_canadian_licences(rng, kCanadianLicences), "2026-04-17");
  platform::File file;
  if (file.open(path, platform::Access::write, platform::Share::read,
                platform::Disposition::create_always) != 0 ||
      !file.write(text.data(), text.size()).ok() || file.close() != 0) {
    fail("cannot write " + path);
  }
}

// Takes amateur.txt out of the demo's amateur.zip into `folder`, as the updater does.
void extract_demo_list(const std::string& demo, const std::string& folder) {
  const std::string zip = demo + "/server/datafiles/" + updater::kCanadaZipName;
  if (platform::copy_file(zip, platform::join_path(folder, updater::kCanadaZipName)) != 0) {
    fail("cannot copy " + zip);
  }
  bench::NullLink link;
  updater::UpdaterState state;
  platform::Library library;
  updater::ZlibApi api;
  state.zlib_ready = updater::load_zlib(link, platform::zlib_library_name(), &library, &api);
  updater::WorkerEnv env;
  env.link = &link;
  env.state = &state;
  env.folder = folder;
  env.zlib = &api;
  const int rc = updater::unzip(env, updater::kCanadaZipName);
  if (rc != 0) fail("unzip of " + zip + " failed: " + std::to_string(rc));
}

// The folder holding amateur.txt, made once per run.
const std::string& list_folder() {
  static const std::string folder = [] {
    const std::string demo = bench::demo_folder();
    if (!demo.empty()) {
      const std::string dir = bench::work_folder("orbisk-convert-bench-demo");
      extract_demo_list(demo, dir);
      benchmark::AddCustomContext("data", "demo");
      return dir;
    }
    const std::string dir = bench::work_folder("orbisk-convert-bench");
    write_synthetic_list(platform::join_path(dir, updater::kListName));
    benchmark::AddCustomContext("data", "synthetic");
    return dir;
  }();
  return folder;
}

void BM_ConvertCanadianList(benchmark::State& state) {
  bench::NullLink link;
  updater::UpdaterState shared;
  updater::WorkerEnv env;
  env.link = &link;
  env.state = &shared;
  env.folder = list_folder();
  for (auto _ : state) {
    if (updater::convert_canadian_list(env) != 0) {
      state.SkipWithError("conversion failed");
      return;
    }
  }
  dbfiles::CanadianTable table;
  if (dbfiles::load_canadian_table(env.path(updater::kCanadaDbName), &table) != 0) {
    state.SkipWithError("cancall.db cannot be read");
    return;
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(table.entries.size()));
  state.counters["licences"] = static_cast<double>(table.entries.size());
}
BENCHMARK(BM_ConvertCanadianList)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---------------------------------------------------------------------------------------------
// The FCC's data

#if ORBISK_HAVE_ULS_IMPORT
std::string fcc_day() {
  const char* day = std::getenv("CALLDB_BENCH_FCC_DAY");
  if (day != nullptr && *day != '\0') return day;
  return ORBISK_SHARED_DATA "/fcc/l_am_tue_2025-09-30_extracted";
}

void BM_ImportUlsDay(benchmark::State& state) {
  calldb::ImportOptions options;
  options.folder = bench::work_folder("orbisk-import-bench");
  options.date = "20250930";
  options.sources = {fcc_day()};
  options.zlib_library = platform::zlib_library_name();
  options.note = [](const std::string&) {};
  calldb::ImportReport report;
  for (auto _ : state) {
    report = calldb::ImportReport{};
    std::string error;
    if (calldb::import_uls(options, &report, &error) != 0) {
      state.SkipWithError(("import failed: " + error).c_str());
      return;
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(report.records_read));
  state.counters["records"] = static_cast<double>(report.records_read);
  state.counters["licences"] = static_cast<double>(report.licences);
  state.counters["previous"] = static_cast<double>(report.previous);
}
BENCHMARK(BM_ImportUlsDay)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  list_folder();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
