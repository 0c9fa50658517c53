// Building the databases from published lists, in records per second: the Canadian list
// amateur.txt converted into cancall.db, and a real day of the FCC's licence data imported into
// call.db and callprev.db.
//
//   build/convert_bench [--benchmark_...]
// takes amateur.txt out of server/datafiles/amateur.zip of the demo $CALLDB_BENCH_DATA names
// (once, with the updater's own unzip), or writes a synthetic list of kCanadianLicences when the
// variable is unset. The FCC day is l_am_tue_2025-09-30_extracted/ of the shared real data, or
// the folder $CALLDB_BENCH_FCC_DAY names. items_per_second counts the licences converted and the
// records read.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "bench/bench_support.h"
#include "dbfiles/candb.h"
#include "platform/platform.h"
#include "updater/convert_canada.h"
#include "updater/unzip.h"
#include "updater/updater_state.h"
#include "updater/zlib_api.h"
#include "updater/zlib_loader.h"
#if ORBISK_HAVE_ULS_IMPORT
#include "tools/uls_import.h"
#endif

namespace {

constexpr int kCanadianLicences = 92000;

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

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "convert_bench: %s\n", what.c_str());
  std::exit(1);
}

// ---------------------------------------------------------------------------------------------
// The Canadian list

// `text` placed at column `at` of `line`, cut to `width`.
void put(std::string* line, std::size_t at, std::size_t width, const std::string& text) {
  if (line->size() < at + width) line->resize(at + width, ' ');
  line->replace(at, std::min(width, text.size()), text, 0, std::min(width, text.size()));
}

std::string letters(std::mt19937& rng, int min, int max) {
  std::string w(static_cast<std::size_t>(min + static_cast<int>(rng() % (max - min + 1))), 'a');
  for (char& c : w) c = static_cast<char>('a' + rng() % 26);
  w[0] = static_cast<char>(w[0] - 'a' + 'A');
  return w;
}

// amateur.txt as published: the dated heading, then one licence a line in fixed columns, one in
// thirty a club.
void write_synthetic_list(const std::string& path) {
  static const char* const kProvinces[] = {"ON", "QC", "BC", "AB", "NS", "MB", "SK", "NB", "NL"};
  static const char kArea[] = "EAY";
  std::mt19937 rng(92000);
  std::string text = "2026-04-17  Canadian Amateur Call Sign List / List d'indicatif d'appel "
                     "canadien\r\n \r\nThere are 92000 call signs in this report.\r\n \r\n";
  for (int i = 0; i < kCanadianLicences; ++i) {
    std::string call = "V";
    call += kArea[i % 3];
    call += static_cast<char>('1' + (i / 3) % 9);
    const int n = i / 27;
    call += static_cast<char>('A' + n % 26);
    call += static_cast<char>('A' + n / 26 % 26);
    call += static_cast<char>('A' + n / 676 % 26);
    std::string line;
    put(&line, 0, 6, call);
    const bool club = i % 30 == 0;
    const std::string street = std::to_string(1 + rng() % 9999) + " " + letters(rng, 4, 10) + " Street";
    const std::string city = letters(rng, 5, 12);
    const std::string postal = "K1A 0B1";
    const char* province = kProvinces[rng() % std::size(kProvinces)];
    if (club) {
      put(&line, 210, 70, letters(rng, 5, 10) + " Amateur Radio Club");
      put(&line, 352, 70, street);
      put(&line, 423, 35, city);
      put(&line, 459, 2, province);
      put(&line, 462, 7, postal);
    } else {
      put(&line, 7, 35, letters(rng, 3, 9));
      put(&line, 43, 35, letters(rng, 4, 11));
      put(&line, 79, 70, street);
      put(&line, 150, 35, city);
      put(&line, 186, 2, province);
      put(&line, 189, 10, postal);
      put(&line, 200, 10, "A   C D   ");
    }
    text += line;
    text += "\r\n";
  }
  platform::File file;
  if (file.open(path, platform::Access::write, platform::Share::read,
                platform::Disposition::create_always) != 0 ||
      !file.write(text.data(), text.size()).ok()) {
    fail("cannot write " + path);
  }
}

// Takes amateur.txt out of the demo's amateur.zip into `folder`, as the updater does.
void extract_demo_list(const std::string& demo, const std::string& folder) {
  const std::string zip = demo + "/server/datafiles/" + updater::kCanadaZipName;
  if (platform::copy_file(zip, platform::join_path(folder, updater::kCanadaZipName)) != 0) {
    fail("cannot copy " + zip);
  }
  NullLink link;
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
  NullLink link;
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
