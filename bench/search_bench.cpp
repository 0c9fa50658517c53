// The Extended Search and the callsign lookup on a full-size call.db, side by side with SQLite
// answering the same questions from the same records: the lookup as the window makes it and
// call.db's alone; searches by name (the dialog's first search, which builds its table of
// names, and its later ones), city, state, ZIP (the first search, which builds its table of
// entries by ZIP code, and its later ones) and name with state. Beside them the floor of
// any search that streams the text area (reading it in 65,536-byte fills and finding its zero
// bytes), and the lookup reading the index through a memory map instead of read calls.
//
//   build/search_bench [--benchmark_...]
// takes the data folder `calldb demo` made from $CALLDB_BENCH_DATA (its calldb/call.db and
// callprev.db), or, when the variable is unset, makes licences of the same size with the
// demo's own generator, and loads the same licences into SQLite. Prints Google Benchmark's
// table, then the ratios. Before the benchmarks it checks once that both sides find the same
// licensees for each search and give the same answer for each probed callsign, and that a
// search with the dialog's cache writes the same lines as one without.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "bench/bench_support.h"
#include "bench/ratio_reporter.h"
#include "dbfiles/dbwriter.h"
#include "dbfiles/lookup.h"
#include "dbfiles/usdb.h"
#include "lookup/extended_search.h"
#include "demo/demo_data.h"

namespace {

constexpr int kEntries = 780000;
// The callsigns probed: licensed ones, callsigns nobody holds, and former callsigns that
// callprev.db maps onto current ones, mixed in random order.
constexpr int kExistingProbes = 1000;
constexpr int kMissingProbes = 800;
constexpr int kPreviousProbes = 200;
constexpr int kPreviousCalls = 20000;  // in the synthetic callprev.db
constexpr char kName[] = "SMITH, J";
constexpr char kCity[] = "SPRINGFIELD";
constexpr char kState[] = "CA";  // also with the name, for the combined search
constexpr char kZip[] = "62704";  // a ZIP of Springfield, Illinois

int state_index(const char* code) {
  for (int i = 1; i < dbfiles::kStateCount; ++i) {
    if (std::strcmp(dbfiles::StateCodes[i], code) == 0) return i;
  }
  std::fprintf(stderr, "unknown state %s\n", code);
  std::exit(1);
}

// One licensee as both sides hold it.
using Licence = bench::StoredLicence;

// ---------------------------------------------------------------------------------------------
// The data, made once per run: call.db and calls.sqlite with the same licensees, and the
// callsigns the lookup benchmarks look up.

void check_sqlite(sqlite3* db, int rc, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
    std::exit(1);
  }
}

void exec(sqlite3* db, const char* sql) {
  check_sqlite(db, sqlite3_exec(db, sql, nullptr, nullptr, nullptr), sql);
}

struct Data {
  std::string source;  // "demo" or "synthetic"
  std::string folder;  // working files: calls.sqlite, and the synthetic data folder
  std::string data_folder;  // call.db and callprev.db
  std::string call_db;
  dbfiles::UsDatabase us;
  dbfiles::LookupFiles files;  // as the lookup window opens them
  bench::MappedCallDb mapped;
  sqlite3* sql = nullptr;
  std::vector<std::string> probes;  // in random order
  int probes_found = 0;             // of them in call.db
  int probes_previous = 0;          // not in call.db, in callprev.db
};

void load_sqlite(const std::string& path, const std::vector<Licence>& licences,
                 const std::vector<dbfiles::PrevEntry>& previous) {
  std::filesystem::remove(path);
  sqlite3* db = nullptr;
  check_sqlite(db, sqlite3_open(path.c_str(), &db), "open");
  exec(db, "PRAGMA journal_mode=OFF");
  exec(db, "PRAGMA synchronous=OFF");
  exec(db,
       "CREATE TABLE calls(call TEXT PRIMARY KEY, name TEXT, street TEXT, city TEXT, state TEXT, "
       "zip INTEGER, text TEXT)");
  exec(db, "BEGIN");
  sqlite3_stmt* insert = nullptr;
  check_sqlite(db,
               sqlite3_prepare_v2(db, "INSERT INTO calls VALUES(?,?,?,?,?,?,?)", -1, &insert,
                                  nullptr),
               "prepare insert");
  for (const Licence& l : licences) {
    const dbfiles::UsRecord& r = l.record;
    const std::string text = r.name + r.street + r.city;
    sqlite3_bind_text(insert, 1, l.call.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(insert, 2, r.name.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(insert, 3, r.street.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(insert, 4, r.city.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(insert, 5, dbfiles::StateCodes[r.state], -1, SQLITE_STATIC);
    sqlite3_bind_int(insert, 6, static_cast<int>(r.zip));
    sqlite3_bind_text(insert, 7, text.c_str(), -1, SQLITE_TRANSIENT);
    check_sqlite(db, sqlite3_step(insert), "insert");
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  exec(db, "CREATE TABLE prev(old TEXT PRIMARY KEY, new TEXT)");
  check_sqlite(db, sqlite3_prepare_v2(db, "INSERT INTO prev VALUES(?,?)", -1, &insert, nullptr),
               "prepare insert");
  for (const dbfiles::PrevEntry& e : previous) {
    const std::string old_call = dbfiles::decode_call(e.old_key);
    sqlite3_bind_text(insert, 1, old_call.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 2, dbfiles::decode_call(e.new_key), -1, SQLITE_TRANSIENT);
    check_sqlite(db, sqlite3_step(insert), "insert");
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  exec(db, "COMMIT");
  exec(db, "CREATE INDEX calls_name ON calls(name)");
  exec(db, "CREATE INDEX calls_city ON calls(city)");
  exec(db, "CREATE INDEX calls_state ON calls(state)");
  exec(db, "CREATE INDEX calls_zip ON calls(zip)");
  exec(db, "ANALYZE");
  sqlite3_close(db);
}

void fail(const std::string& what) {
  std::fprintf(stderr, "search_bench: %s\n", what.c_str());
  std::exit(1);
}

// Synthetic data, drawn as `calldb demo` draws its own: call.db of kEntries licences and
// callprev.db of kPreviousCalls former callsigns, each mapped onto a licensed one.
void make_synthetic(const std::string& folder, std::vector<Licence>* licences,
                    std::vector<dbfiles::PrevEntry>* previous) {
  std::fprintf(stderr, "making %d licences in %s...\n", kEntries, folder.c_str());
  calldb::demo::Random rng(20240601);
  const std::vector<dbfiles::UsRecord> records = calldb::demo::make_us_licences(rng, kEntries);
  std::string error;
  if (dbfiles::write_call_db(folder + "/call.db", "20240601", records, &error) != 0) fail(error);
  calldb::demo::Random prev_rng(20240602);
  *previous = calldb::demo::make_previous_calls(prev_rng, records, kPreviousCalls);
  if (dbfiles::write_prev_db(folder + "/callprev.db", "20240601", *previous, &error) != 0) {
    fail(error);
  }
  licences->clear();
  licences->reserve(records.size());
  for (const dbfiles::UsRecord& r : records) licences->push_back({dbfiles::decode_call(r.key), r});
}

// The probed callsigns, shuffled: existing ones, ones in neither file, and former ones.
void pick_probes(Data* d, const std::vector<Licence>& licences,
                 const std::vector<dbfiles::PrevEntry>& previous) {
  std::mt19937 rng(7);
  calldb::demo::Random calls(7);
  std::set<dbfiles::CallKey> keys;
  for (const Licence& l : licences) keys.insert(l.record.key);
  std::set<dbfiles::CallKey> old_keys;
  for (const dbfiles::PrevEntry& e : previous) old_keys.insert(e.old_key);
  for (int i = 0; i < kExistingProbes; ++i) {
    d->probes.push_back(licences[rng() % licences.size()].call);
  }
  d->probes_found = kExistingProbes;
  for (int i = 0; i < kMissingProbes;) {
    const std::string call = calldb::demo::random_us_call(calls);
    const dbfiles::CallKey key = dbfiles::encode_call(call.c_str());
    if (keys.count(key) != 0 || old_keys.count(key) != 0) continue;
    d->probes.push_back(call);
    ++i;
  }
  for (int i = 0; i < kPreviousProbes && !previous.empty(); ++i) {
    const dbfiles::PrevEntry& e = previous[rng() % previous.size()];
    if (keys.count(e.old_key) != 0) continue;  // a licensed callsign is found first
    d->probes.push_back(dbfiles::decode_call(e.old_key));
    ++d->probes_previous;
  }
  std::shuffle(d->probes.begin(), d->probes.end(), rng);
}

Data& data() {
  static Data d = [] {
    Data d;
    std::vector<Licence> licences;
    std::vector<dbfiles::PrevEntry> previous;
    std::string error;
    const std::string demo = bench::demo_folder();
    if (!demo.empty()) {
      d.source = "demo";
      d.folder = bench::work_folder("orbisk-search-bench-demo");
      d.data_folder = demo + "/calldb";
      std::fprintf(stderr, "reading %s...\n", d.data_folder.c_str());
      if (bench::read_call_db(d.data_folder + "/call.db", &licences, &error) != 0) fail(error);
      if (bench::read_prev_db(d.data_folder + "/callprev.db", &previous, &error) != 0) {
        fail(error);
      }
    } else {
      d.source = "synthetic";
      d.folder = bench::work_folder("orbisk-search-bench");
      d.data_folder = d.folder;
      make_synthetic(d.folder, &licences, &previous);
    }
    d.call_db = d.data_folder + "/call.db";
    load_sqlite(d.folder + "/calls.sqlite", licences, previous);
    pick_probes(&d, licences, previous);

    int err = 0;
    if (dbfiles::open_call_db(d.call_db, &d.us, &err) != 0) {
      fail("open_call_db: error " + std::to_string(err));
    }
    dbfiles::open_lookup_files(d.data_folder, dbfiles::Edition::full, &d.files);
    if (!d.files.us_ready || !d.files.prev_ready) fail("cannot open the lookup files");
    if (d.mapped.open(d.call_db, &error) != 0) fail(error);
    check_sqlite(d.sql, sqlite3_open_v2((d.folder + "/calls.sqlite").c_str(), &d.sql,
                                        SQLITE_OPEN_READONLY, nullptr),
                 "open");
    exec(d.sql, "PRAGMA case_sensitive_like=ON");
    std::fprintf(stderr, "%s data: %zu licences, %zu former callsigns; call.db %.1f MB, "
                 "calls.sqlite %.1f MB\n",
                 d.source.c_str(), licences.size(), previous.size(),
                 static_cast<double>(std::filesystem::file_size(d.call_db)) / 1e6,
                 static_cast<double>(std::filesystem::file_size(d.folder + "/calls.sqlite")) / 1e6);
    benchmark::AddCustomContext("data", d.source);
    benchmark::AddCustomContext("licences", std::to_string(licences.size()));
    benchmark::AddCustomContext("sqlite_version", sqlite3_libversion());
    benchmark::AddCustomContext("name", kName);
    benchmark::AddCustomContext("city", kCity);
    benchmark::AddCustomContext("state", kState);
    benchmark::AddCustomContext("zip", kZip);
    return d;
  }();
  return d;
}

// ---------------------------------------------------------------------------------------------
// The two sides of each search.

class QuietView : public lookup::SearchView {
 public:
  void set_status(std::string_view) override {}
  void message_box(std::string_view text, std::string_view caption, lookup::SearchIcon) override {
    std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(caption.size()), caption.data(),
                 static_cast<int>(text.size()), text.data());
  }
};

// Notes when the name/city phase starts and ends, by the status lines the search shows.
class PhaseClock : public QuietView {
 public:
  using Clock = std::chrono::steady_clock;
  void set_status(std::string_view text) override {
    if (text == "Searching names/cities...") {
      start = Clock::now();
    } else if (text == "Searching fixed data...") {
      end = Clock::now();
    }
  }
  Clock::time_point start;
  Clock::time_point end;
};

enum class Query { name, city, state, zip, name_state };
constexpr Query kQueries[] = {Query::name, Query::city, Query::state, Query::zip,
                              Query::name_state};

const char* label(Query q) {
  switch (q) {
    case Query::name: return "name";
    case Query::city: return "city";
    case Query::state: return "state";
    case Query::zip: return "ZIP";
    case Query::name_state: return "name and state";
  }
  return "";
}

lookup::SearchCriteria criteria(Query q) {
  lookup::SearchCriteria c;
  if (q == Query::name || q == Query::name_state) c.name = kName;
  if (q == Query::city) c.city = kCity;
  if (q == Query::state || q == Query::name_state) c.state = state_index(kState);
  if (q == Query::zip) c.zip = kZip;
  return c;
}

// The name is a prefix of the record text, the city its suffix; both sides list by callsign.
const char* sql_of(Query q) {
  switch (q) {
    case Query::name:
      return "SELECT call,name,street,city,state,zip FROM calls WHERE name LIKE 'SMITH, J%' "
             "ORDER BY call";
    case Query::city:
      return "SELECT call,name,street,city,state,zip FROM calls WHERE text LIKE '%SPRINGFIELD' "
             "ORDER BY call";
    case Query::state:
      return "SELECT call,name,street,city,state,zip FROM calls WHERE state = ? ORDER BY call";
    case Query::zip:
      return "SELECT call,name,street,city,state,zip FROM calls WHERE zip = ? ORDER BY call";
    case Query::name_state:
      return "SELECT call,name,street,city,state,zip FROM calls WHERE name LIKE 'SMITH, J%' "
             "AND state = ? ORDER BY call";
  }
  return "";
}

void bind(sqlite3_stmt* stmt, Query q) {
  if (q == Query::state || q == Query::name_state) {
    sqlite3_bind_text(stmt, 1, kState, -1, SQLITE_STATIC);
  } else if (q == Query::zip) {
    sqlite3_bind_int(stmt, 1, std::atoi(kZip));
  }
}

const lookup::IndexCopy& index_copy() {
  static const lookup::IndexCopy copy = [] {
    lookup::IndexCopy c;
    QuietView view;
    if (lookup::make_index_copy(data().us, &c, view) != 0) std::exit(1);
    return c;
  }();
  return copy;
}

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    check_sqlite(db, sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr), sql);
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(Statement&& other) noexcept : stmt_(other.stmt_) { other.stmt_ = nullptr; }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

Statement prepare(Query q) {
  Statement s(data().sql, sql_of(q));
  bind(s.get(), q);
  return s;
}

// Steps every row and reads every column, as a result list would. Returns the rows; the
// callsigns go in *calls when asked for.
int run_sql(sqlite3_stmt* stmt, std::size_t* bytes, std::vector<std::string>* calls = nullptr) {
  int rows = 0;
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    ++rows;
    for (int c = 0; c < 5; ++c) {
      const unsigned char* text = sqlite3_column_text(stmt, c);
      *bytes += static_cast<std::size_t>(sqlite3_column_bytes(stmt, c));
      if (c == 0 && calls != nullptr) calls->emplace_back(reinterpret_cast<const char*>(text));
    }
    *bytes += static_cast<std::size_t>(sqlite3_column_int(stmt, 5));
  }
  sqlite3_reset(stmt);
  return rows;
}

std::vector<std::string> calls_in(const std::string& lines) {
  std::vector<std::string> calls;
  for (std::size_t pos = 0; pos < lines.size();) {
    calls.push_back(lines.substr(pos, lines.find(' ', pos) - pos));
    const std::size_t eol = lines.find('\n', pos);
    pos = eol == std::string::npos ? lines.size() : eol + 1;
  }
  return calls;
}

std::map<Query, int> g_expected_rows;  // what both sides found in the check

// Runs each search once on both sides and compares what they found. Both lists come sorted by
// callsign: the index's key order is the callsigns' character order. Our side runs three times:
// without a cache as calldb does, and as the dialog does, first with a fresh cache and then
// again with the cache that search left; all three must write the same lines.
void check_same_results() {
  int cached_differ = 0;
  for (Query q : kQueries) {
    QuietView view;
    const lookup::SearchCriteria c = criteria(q);
    const lookup::SearchOutcome ours =
        lookup::extended_search(data().us, index_copy(), c, 0, view);
    lookup::SearchCache cache;
    for (const char* which : {"first", "later"}) {
      const lookup::SearchOutcome cached =
          lookup::extended_search(data().us, index_copy(), c, 0, view, &cache);
      if (cached.text != ours.text) {
        ++cached_differ;
        std::printf("WARNING: %s search: the %s search with the dialog's cache writes other "
                    "lines than without (%d found, not %d)\n",
                    label(q), which, cached.found, ours.found);
      }
    }
    Statement s = prepare(q);
    std::vector<std::string> theirs;
    std::size_t bytes = 0;
    const int rows = run_sql(s.get(), &bytes, &theirs);
    const std::vector<std::string> mine = calls_in(ours.text);
    if (ours.found != rows) {
      std::printf("WARNING: %s search: ours found %d, SQLite %d\n", label(q), ours.found, rows);
    } else if (mine != theirs) {
      std::printf("WARNING: %s search: both found %d, but not the same callsigns\n", label(q),
                  rows);
    } else if (rows == 0) {
      std::printf("WARNING: %s search: neither side found anything\n", label(q));
    } else {
      std::printf("check: %s search finds the same %d licensees on both sides\n", label(q),
                  rows);
    }
    g_expected_rows[q] = rows;
    Statement plan(data().sql, (std::string("EXPLAIN QUERY PLAN ") + sql_of(q)).c_str());
    bind(plan.get(), q);
    while (sqlite3_step(plan.get()) == SQLITE_ROW) {
      std::printf("       SQLite plan: %s\n", sqlite3_column_text(plan.get(), 3));
    }
  }
  if (cached_differ == 0) {
    std::printf("check: every search writes the same lines with the dialog's cache (first and "
                "later search) as without\n");
  }
  std::fflush(stdout);
}

// Shows the rows found, with a warning when they are not what both sides found in the check.
void note_rows(benchmark::State& state, const char* side, Query q, int rows) {
  state.counters["rows"] = rows;
  const auto it = g_expected_rows.find(q);
  if (it != g_expected_rows.end() && it->second != rows) {
    std::printf("WARNING: %s found %d rows, the check found %d\n", side, rows, it->second);
  }
}

// ---------------------------------------------------------------------------------------------
// Benchmarks

// Reads the text area as the name/city phase does, in 65,536-byte fills into one buffer, and
// counts its zero bytes with memchr: no design that streams the file can go faster.
void BM_ScanFloor(benchmark::State& state) {
  Data& d = data();
  const int fd = ::open(d.call_db.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    state.SkipWithError("open failed");
    return;
  }
  std::unique_ptr<char[]> buffer(new char[lookup::kScanBuffer]);
  const std::uint64_t end = d.us.index_offset;
  std::size_t zeros = 0;
  for (auto _ : state) {
    zeros = 0;
    for (std::uint64_t at = dbfiles::kHeaderSize; at < end;) {
      const std::size_t want =
          static_cast<std::size_t>(std::min<std::uint64_t>(lookup::kScanBuffer, end - at));
      const ssize_t got = ::pread(fd, buffer.get(), want, static_cast<off_t>(at));
      if (got <= 0) {
        state.SkipWithError("read failed");
        break;
      }
      const char* p = buffer.get();
      const char* stop = p + got;
      while ((p = static_cast<const char*>(
                  std::memchr(p, '\0', static_cast<std::size_t>(stop - p)))) != nullptr) {
        ++zeros;
        ++p;
      }
      at += static_cast<std::uint64_t>(got);
    }
    benchmark::DoNotOptimize(zeros);
  }
  ::close(fd);
  state.counters["zeros"] = static_cast<double>(zeros);
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(end - dbfiles::kHeaderSize));
}
BENCHMARK(BM_ScanFloor)->Unit(benchmark::kMillisecond)->UseRealTime();

// How our side runs a search: as the dialog's first search (a fresh cache each time, whatever
// it builds built within the time), or as its later ones (the cache of one earlier search of
// the same criteria, made before the timing, kept throughout).
enum class Cache { fresh, kept };

void ours(benchmark::State& state, Query q, Cache mode) {
  Data& d = data();
  const lookup::IndexCopy& index = index_copy();
  const lookup::SearchCriteria c = criteria(q);
  QuietView view;
  lookup::SearchCache kept;
  if (mode == Cache::kept) lookup::extended_search(d.us, index, c, 0, view, &kept);
  int found = 0;
  for (auto _ : state) {
    lookup::SearchCache fresh;
    lookup::SearchCache* cache = mode == Cache::kept ? &kept : &fresh;
    const lookup::SearchOutcome out = lookup::extended_search(d.us, index, c, 0, view, cache);
    found = out.found;
    benchmark::DoNotOptimize(out.text.data());
  }
  note_rows(state, "ours", q, found);
}

void sqlite(benchmark::State& state, Query q) {
  Statement s = prepare(q);
  int rows = 0;
  std::size_t bytes = 0;
  for (auto _ : state) {
    rows = run_sql(s.get(), &bytes);
    benchmark::DoNotOptimize(bytes);
  }
  note_rows(state, "SQLite", q, rows);
}

// Only the name/city phase of a search without a cache (the plain scan of calldb's single
// search), timed by the status lines that open and close it.
void ours_phase(benchmark::State& state, Query q) {
  Data& d = data();
  const lookup::IndexCopy& index = index_copy();
  const lookup::SearchCriteria c = criteria(q);
  PhaseClock view;
  for (auto _ : state) {
    const lookup::SearchOutcome out = lookup::extended_search(d.us, index, c, 0, view);
    benchmark::DoNotOptimize(out.text.data());
    state.SetIterationTime(std::chrono::duration<double>(view.end - view.start).count());
  }
}

void BM_OursNamePhase(benchmark::State& state) { ours_phase(state, Query::name); }
void BM_OursCityPhase(benchmark::State& state) { ours_phase(state, Query::city); }
void BM_OursNameFirst(benchmark::State& state) { ours(state, Query::name, Cache::fresh); }
void BM_OursName(benchmark::State& state) { ours(state, Query::name, Cache::kept); }
void BM_SqliteName(benchmark::State& state) { sqlite(state, Query::name); }
void BM_OursCity(benchmark::State& state) { ours(state, Query::city, Cache::fresh); }
void BM_SqliteCity(benchmark::State& state) { sqlite(state, Query::city); }
void BM_OursState(benchmark::State& state) { ours(state, Query::state, Cache::fresh); }
void BM_SqliteState(benchmark::State& state) { sqlite(state, Query::state); }
void BM_OursZipFirst(benchmark::State& state) { ours(state, Query::zip, Cache::fresh); }
void BM_OursZip(benchmark::State& state) { ours(state, Query::zip, Cache::kept); }
void BM_SqliteZip(benchmark::State& state) { sqlite(state, Query::zip); }
// A name search's table is what the dialog keeps, so the combined search runs after one.
void BM_OursNameState(benchmark::State& state) { ours(state, Query::name_state, Cache::kept); }
void BM_SqliteNameState(benchmark::State& state) { sqlite(state, Query::name_state); }
BENCHMARK(BM_OursNamePhase)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_OursCityPhase)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_OursNameFirst)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OursName)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SqliteName)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OursCity)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SqliteCity)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OursState)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SqliteState)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OursZipFirst)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OursZip)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SqliteZip)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OursNameState)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SqliteNameState)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---------------------------------------------------------------------------------------------
// Callsign lookups: every probe once per iteration; the time shown is per iteration, the
// counter per_lookup the time of one probe.

void count_probes(benchmark::State& state, int found, int expected) {
  if (found != expected) {
    state.SkipWithError(("found " + std::to_string(found) + " of the probes, not " +
                         std::to_string(expected)).c_str());
  }
  const double probes = static_cast<double>(data().probes.size());
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(probes));
  state.counters["probes"] = probes;
  state.counters["per_lookup"] = benchmark::Counter(
      probes, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Every probe once per iteration through `lookup`, call.db's lookup on read calls or on the map.
template <typename Lookup>
void lookup_probes(benchmark::State& state, Lookup lookup) {
  Data& d = data();
  int found = 0;
  for (auto _ : state) {
    found = 0;
    for (const std::string& call : d.probes) {
      dbfiles::LookupResult result;
      found += lookup(call.c_str(), &result).found ? 1 : 0;
      benchmark::DoNotOptimize(result.place_line);
    }
  }
  count_probes(state, found, d.probes_found);
}

// call.db alone, through the lookup the window makes (lookup_us_call) on the open file.
void BM_OursLookup(benchmark::State& state) {
  const dbfiles::UsDatabase& us = data().us;
  lookup_probes(state, [&us](const char* call, dbfiles::LookupResult* result) {
    return dbfiles::lookup_us_call(us, call, result);
  });
}
BENCHMARK(BM_OursLookup)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The same through the read-only map of call.db.
void BM_MmapLookup(benchmark::State& state) {
  const bench::MappedCallDb& mapped = data().mapped;
  lookup_probes(state, [&mapped](const char* call, dbfiles::LookupResult* result) {
    return mapped.lookup(call, result);
  });
}
BENCHMARK(BM_MmapLookup)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_SqliteLookup(benchmark::State& state) {
  Data& d = data();
  Statement s(d.sql, "SELECT call,name,street,city,state,zip FROM calls WHERE call = ?");
  int found = 0;
  std::size_t bytes = 0;
  for (auto _ : state) {
    found = 0;
    for (const std::string& call : d.probes) {
      sqlite3_bind_text(s.get(), 1, call.c_str(), static_cast<int>(call.size()), SQLITE_STATIC);
      found += run_sql(s.get(), &bytes);
    }
    benchmark::DoNotOptimize(bytes);
  }
  count_probes(state, found, d.probes_found);
}
BENCHMARK(BM_SqliteLookup)->Unit(benchmark::kMicrosecond)->UseRealTime();

// What the lookup window does for a typed callsign: call.db, then callprev.db on a miss, and
// the text of the output built.
void BM_OursCallsign(benchmark::State& state) {
  Data& d = data();
  int answered = 0;
  for (auto _ : state) {
    answered = 0;
    for (const std::string& call : d.probes) {
      dbfiles::LookupResult slot;
      const dbfiles::SearchOutput out = dbfiles::search_callsign(d.files, call.c_str(), &slot);
      answered += out.found || out.text.find(" NOW ") != std::string::npos ? 1 : 0;
      benchmark::DoNotOptimize(out.text.data());
    }
  }
  count_probes(state, answered, d.probes_found + d.probes_previous);
}
BENCHMARK(BM_OursCallsign)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The same answers from SQLite: the licence, else the former callsign's successor.
class SqliteCallsign {
 public:
  explicit SqliteCallsign(sqlite3* db)
      : calls_(db, "SELECT call,name,street,city,state,zip FROM calls WHERE call = ?"),
        prev_(db, "SELECT new FROM prev WHERE old = ?") {}
  // 1 with the licence's columns read, 2 with the successor read, 0 for neither.
  int find(const std::string& call, std::size_t* bytes, std::string* successor = nullptr) {
    sqlite3_bind_text(calls_.get(), 1, call.c_str(), static_cast<int>(call.size()),
                      SQLITE_STATIC);
    if (run_sql(calls_.get(), bytes) > 0) return 1;
    sqlite3_bind_text(prev_.get(), 1, call.c_str(), static_cast<int>(call.size()), SQLITE_STATIC);
    int answer = 0;
    if (sqlite3_step(prev_.get()) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(prev_.get(), 0);
      *bytes += static_cast<std::size_t>(sqlite3_column_bytes(prev_.get(), 0));
      if (successor != nullptr) *successor = reinterpret_cast<const char*>(text);
      answer = 2;
    }
    sqlite3_reset(prev_.get());
    return answer;
  }

 private:
  Statement calls_;
  Statement prev_;
};

void BM_SqliteCallsign(benchmark::State& state) {
  Data& d = data();
  SqliteCallsign sql(d.sql);
  int answered = 0;
  std::size_t bytes = 0;
  for (auto _ : state) {
    answered = 0;
    for (const std::string& call : d.probes) answered += sql.find(call, &bytes) != 0 ? 1 : 0;
    benchmark::DoNotOptimize(bytes);
  }
  count_probes(state, answered, d.probes_found + d.probes_previous);
}
BENCHMARK(BM_SqliteCallsign)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Every probe once on every side: the same licences found, the same successors named.
void check_same_answers() {
  Data& d = data();
  SqliteCallsign sql(d.sql);
  int differ = 0;
  int found = 0;
  int previous = 0;
  for (const std::string& call : d.probes) {
    dbfiles::LookupResult slot;
    const dbfiles::SearchOutput ours = dbfiles::search_callsign(d.files, call.c_str(), &slot);
    dbfiles::LookupResult mapped;
    const bool mapped_found = d.mapped.lookup(call.c_str(), &mapped).found;
    std::size_t bytes = 0;
    std::string successor;
    const int theirs = sql.find(call, &bytes, &successor);
    const std::string now = " NOW " + successor + "\r\n";
    const bool same = ours.found ? theirs == 1 && mapped_found &&
                                       std::strcmp(mapped.name_line, slot.name_line) == 0
                      : theirs == 2 ? !mapped_found && ours.text.find(now) != std::string::npos
                                    : theirs == 0 && !mapped_found &&
                                          ours.text.find(" NOT FOUND") != std::string::npos;
    if (!same && differ++ < 5) std::printf("WARNING: lookup of %s differs\n", call.c_str());
    found += ours.found ? 1 : 0;
    previous += theirs == 2 ? 1 : 0;
  }
  if (differ == 0) {
    std::printf("check: %zu callsigns probed (%d licensed, %d former), same answers on every "
                "side\n",
                d.probes.size(), found, previous);
  } else {
    std::printf("WARNING: %d of %zu probed callsigns got different answers\n", differ,
                d.probes.size());
  }
  std::fflush(stdout);
}

void print_ratios(const bench::RatioReporter& r) {
  if (r.empty()) return;
  const double floor = r.seconds("BM_ScanFloor");
  std::printf("\n%-28s %12s %12s %8s  %s\n", "", "ours", "against", "ratio", "target");
  auto row = [](const char* what, double a, double b, double scale, const char* unit,
                const char* target) {
    if (a <= 0 || b <= 0) return;
    std::printf("%-28s %9.2f %-2s %9.2f %-2s %8.2f  %s\n", what, a * scale, unit, b * scale, unit,
                a / b, target);
  };
  row("name phase / scan floor", r.seconds("BM_OursNamePhase"), floor, 1e3, "ms", "at most 2");
  row("city phase / scan floor", r.seconds("BM_OursCityPhase"), floor, 1e3, "ms", "at most 2");
  const struct {
    const char* what;
    const char* ours;
    const char* sqlite;
    const char* target;
  } searches[] = {
      {"name, first / SQLite", "BM_OursNameFirst", "BM_SqliteName", "as measured"},
      {"name, later / SQLite", "BM_OursName", "BM_SqliteName", "at most 1"},
      {"city search / SQLite", "BM_OursCity", "BM_SqliteCity", "at most 0.5"},
      {"state search / SQLite", "BM_OursState", "BM_SqliteState", "at most 0.5"},
      {"ZIP, first / SQLite", "BM_OursZipFirst", "BM_SqliteZip", "as measured"},
      {"ZIP, later / SQLite", "BM_OursZip", "BM_SqliteZip", "at most 0.5"},
      {"name and state / SQLite", "BM_OursNameState", "BM_SqliteNameState", "at most 0.5"},
  };
  for (const auto& s : searches) {
    row(s.what, r.seconds(s.ours), r.seconds(s.sqlite), 1e3, "ms", s.target);
  }
  const double probes = static_cast<double>(data().probes.size());
  row("callsign / SQLite (each)", r.seconds("BM_OursCallsign") / probes,
      r.seconds("BM_SqliteCallsign") / probes, 1e6, "us", "at most 0.5");
  row("call.db lookup / SQLite", r.seconds("BM_OursLookup") / probes,
      r.seconds("BM_SqliteLookup") / probes, 1e6, "us", "at most 0.5");
  row("mapped / our lookup", r.seconds("BM_MmapLookup") / probes,
      r.seconds("BM_OursLookup") / probes, 1e6, "us", "as measured");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  data();
  check_same_results();
  check_same_answers();
  bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  print_ratios(reporter);
  sqlite3_close(data().sql);
  dbfiles::close_lookup_files(&data().files);
  benchmark::Shutdown();
  return 0;
}
