// The pieces the benchmarks rely on to compare like with like: call.db read back into the
// records it was written from (SQLite is loaded from them), the mapped lookup answering exactly
// as the lookup on read calls, the map's fate when its file is cut short, and the times the
// printed ratios are made of.
#include "bench/bench_support.h"
#include "bench/ratio_reporter.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "dbfiles/dbwriter.h"
#include "tests/test_util.h"

namespace bench {
namespace {

using testutil::TempDir;

std::vector<dbfiles::UsRecord> random_records(std::mt19937& rng, int count,
                                              std::map<std::string, dbfiles::UsRecord>* by_call) {
  while (static_cast<int>(by_call->size()) < count) {
    const std::string call = testutil::random_us_call(rng);
    dbfiles::UsRecord r;
    r.key = dbfiles::encode_call(call.c_str());
    r.name = testutil::random_text(rng, 60);
    r.street = testutil::random_text(rng, 40);
    r.city = testutil::random_text(rng, 30);
    r.state = static_cast<std::uint32_t>(rng() % 61);
    r.zip = static_cast<std::uint32_t>(rng() % 100000);
    r.po_box = rng() % 5 == 0;
    (*by_call)[call] = r;
  }
  std::vector<dbfiles::UsRecord> sorted;
  for (const auto& [call, r] : *by_call) sorted.push_back(r);
  std::sort(sorted.begin(), sorted.end(),
            [](const auto& a, const auto& b) { return a.key < b.key; });
  return sorted;
}

void write_db(const std::string& path, const std::vector<dbfiles::UsRecord>& records) {
  std::string error;
  ASSERT_EQ(dbfiles::write_call_db(path, "20250930", records, &error), 0) << error;
}

// ---------------------------------------------------------------------------------------------
// Reading back

TEST(ReadCallDb, GivesBackEveryRecordAsWrittenInKeyOrder) {
  std::mt19937 rng(11);
  TempDir dir;
  std::map<std::string, dbfiles::UsRecord> by_call;
  const auto records = random_records(rng, 2000, &by_call);
  write_db(dir.file("call.db"), records);

  std::vector<StoredLicence> back;
  std::string error;
  ASSERT_EQ(read_call_db(dir.file("call.db"), &back, &error), 0) << error;
  ASSERT_EQ(back.size(), records.size());
  for (std::size_t i = 0; i < back.size(); ++i) {
    const dbfiles::UsRecord& want = records[i];
    const dbfiles::UsRecord& got = back[i].record;
    ASSERT_EQ(dbfiles::encode_call(back[i].call.c_str()), want.key) << i;
    EXPECT_EQ(got.key, want.key);
    EXPECT_EQ(got.name, want.name);
    EXPECT_EQ(got.street, want.street);
    EXPECT_EQ(got.city, want.city);
    EXPECT_EQ(got.state, want.state);
    EXPECT_EQ(got.zip, want.zip);
    EXPECT_EQ(got.po_box, want.po_box);
  }
}

TEST(ReadCallDb, RefusesAnEntryWhoseTextLiesOutsideTheTextArea) {
  std::mt19937 rng(12);
  TempDir dir;
  std::map<std::string, dbfiles::UsRecord> by_call;
  write_db(dir.file("call.db"), random_records(rng, 10, &by_call));
  std::string bytes = testutil::read_bytes(dir.file("call.db"));
  const std::uint32_t index = testutil::word_at(bytes, 8);
  // The last entry's text_ref now points into the index.
  const std::size_t last = bytes.size() - dbfiles::IndexEntry::kSize;
  testutil::put_word(&bytes, last + 4, index + 4);
  testutil::write_bytes(dir.file("call.db"), bytes);

  std::vector<StoredLicence> back;
  std::string error;
  EXPECT_EQ(read_call_db(dir.file("call.db"), &back, &error), -1);
  EXPECT_NE(error.find("entry 9"), std::string::npos) << error;
  EXPECT_EQ(read_call_db(dir.file("missing.db"), &back, &error), -1);
}

TEST(ReadPrevDb, GivesBackEveryEntry) {
  TempDir dir;
  const std::vector<dbfiles::PrevEntry> entries = {{dbfiles::encode_call("K1ABC"), 7},
                                                   {dbfiles::encode_call("W2XY"), 9}};
  ASSERT_EQ(dbfiles::write_prev_db(dir.file("callprev.db"), "20250930", entries), 0);
  std::vector<dbfiles::PrevEntry> back;
  std::string error;
  ASSERT_EQ(read_prev_db(dir.file("callprev.db"), &back, &error), 0) << error;
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[1].old_key, entries[1].old_key);
  EXPECT_EQ(back[1].new_key, 9u);
}

// ---------------------------------------------------------------------------------------------
// The mapped lookup

void expect_same(const dbfiles::UsDatabase& db, const MappedCallDb& mapped, const char* call) {
  dbfiles::LookupResult want;
  dbfiles::LookupResult got;
  const dbfiles::LookupStatus a = dbfiles::lookup_us_call(db, call, &want);
  const dbfiles::LookupStatus b = mapped.lookup(call, &got);
  ASSERT_EQ(a.found, b.found) << call;
  EXPECT_EQ(a.damaged, b.damaged) << call;
  if (!a.found) return;
  EXPECT_STREQ(got.callsign, want.callsign);
  EXPECT_STREQ(got.name_line, want.name_line);
  EXPECT_STREQ(got.street_line, want.street_line);
  EXPECT_STREQ(got.place_line, want.place_line);
}

TEST(MappedCallDb, AnswersAsTheLookupOnReadCalls) {
  std::mt19937 rng(13);
  TempDir dir;
  std::map<std::string, dbfiles::UsRecord> by_call;
  write_db(dir.file("call.db"), random_records(rng, 3000, &by_call));
  dbfiles::UsDatabase db;
  ASSERT_EQ(dbfiles::open_call_db(dir.file("call.db"), &db), 0);
  MappedCallDb mapped;
  std::string error;
  ASSERT_EQ(mapped.open(dir.file("call.db"), &error), 0) << error;
  EXPECT_EQ(mapped.count(), 3000u);

  for (const auto& [call, r] : by_call) expect_same(db, mapped, call.c_str());
  for (int i = 0; i < 2000; ++i) {
    expect_same(db, mapped, testutil::random_us_call(rng).c_str());
  }
  expect_same(db, mapped, "VE3ABC");  // not a US callsign: no search at all
  expect_same(db, mapped, "");
}

TEST(MappedCallDb, FlagsATextOffsetOutsideTheTextAreaAsDamaged) {
  TempDir dir;
  dbfiles::UsRecord r;
  r.key = dbfiles::encode_call("W1AW");
  r.name = "ARRL";
  r.city = "NEWINGTON";
  write_db(dir.file("call.db"), {r});
  std::string bytes = testutil::read_bytes(dir.file("call.db"));
  testutil::put_word(&bytes, bytes.size() - 8, 4);  // text_offset inside the header
  testutil::write_bytes(dir.file("call.db"), bytes);

  dbfiles::UsDatabase db;
  ASSERT_EQ(dbfiles::open_call_db(dir.file("call.db"), &db), 0);
  MappedCallDb mapped;
  std::string error;
  ASSERT_EQ(mapped.open(dir.file("call.db"), &error), 0) << error;
  expect_same(db, mapped, "W1AW");
  dbfiles::LookupResult result;
  EXPECT_TRUE(mapped.lookup("W1AW", &result).damaged);
}

TEST(MappedCallDb, RefusesFilesWithoutAUsableHeader) {
  TempDir dir;
  MappedCallDb mapped;
  std::string error;
  EXPECT_EQ(mapped.open(dir.file("missing.db"), &error), -1);
  testutil::write_bytes(dir.file("short.db"), "20250930");
  EXPECT_EQ(mapped.open(dir.file("short.db"), &error), -1);
  std::string bad = "20250930";
  bad += std::string(4, '\0');
  testutil::put_word(&bad, 8, 4096);  // index beyond the end
  testutil::write_bytes(dir.file("bad.db"), bad);
  EXPECT_EQ(mapped.open(dir.file("bad.db"), &error), -1);
  dbfiles::LookupResult result;
  EXPECT_FALSE(mapped.lookup("W1AW", &result).found);
}

// A page of the map past the new end of the file is gone: touching it ends the process.
TEST(MappedCallDb, TouchingPastAFileCutShortUnderTheMapRaisesSigbus) {
  std::mt19937 rng(14);
  TempDir dir;
  std::map<std::string, dbfiles::UsRecord> by_call;
  write_db(dir.file("call.db"), random_records(rng, 1000, &by_call));
  const TruncateOutcome out = touch_after_truncate(dir.file("call.db"), dir.path());
  ASSERT_TRUE(out.ran) << out.detail;
  EXPECT_TRUE(out.signalled) << "exit code " << out.exit_code;
  EXPECT_EQ(out.signal, SIGBUS);
  EXPECT_FALSE(platform::file_exists(dir.file("truncated-under-map.db")));
}

// ---------------------------------------------------------------------------------------------
// The times behind the printed ratios

benchmark::BenchmarkReporter::Run timed(const char* name, double seconds, std::int64_t iterations,
                                        benchmark::TimeUnit unit = benchmark::kMillisecond) {
  benchmark::BenchmarkReporter::Run run;
  run.run_name.function_name = name;
  run.run_type = benchmark::BenchmarkReporter::Run::RT_Iteration;
  run.iterations = iterations;
  run.time_unit = unit;
  run.real_accumulated_time = seconds * static_cast<double>(iterations);
  run.cpu_accumulated_time = run.real_accumulated_time;
  return run;
}

benchmark::BenchmarkReporter::Run aggregate(const char* name, const char* statistic,
                                            double seconds) {
  benchmark::BenchmarkReporter::Run run = timed(name, seconds, 1);
  run.run_type = benchmark::BenchmarkReporter::Run::RT_Aggregate;
  run.aggregate_name = statistic;
  return run;
}

TEST(RatioReporter, KeepsSecondsPerIterationPreferringTheMedianOfRepetitions) {
  std::ostringstream table;
  RatioReporter reporter;
  reporter.SetOutputStream(&table);
  reporter.SetErrorStream(&table);
  EXPECT_TRUE(reporter.empty());

  // One run, in microseconds: 4 iterations of 0.25 ms each.
  reporter.ReportRuns({timed("BM_Lookup", 0.00025, 4, benchmark::kMicrosecond)});
  EXPECT_NEAR(reporter.seconds("BM_Lookup"), 0.00025, 1e-12);

  // Repetitions: the median stands, whichever repetition came last.
  reporter.ReportRuns({timed("BM_Merge", 0.1, 3), timed("BM_Merge", 0.3, 3),
                       timed("BM_Merge", 0.2, 3), aggregate("BM_Merge", "mean", 0.2),
                       aggregate("BM_Merge", "median", 0.15),
                       aggregate("BM_Merge", "stddev", 0.1)});
  EXPECT_NEAR(reporter.seconds("BM_Merge"), 0.15, 1e-12);
  reporter.ReportRuns({timed("BM_Merge", 0.9, 3)});
  EXPECT_NEAR(reporter.seconds("BM_Merge"), 0.15, 1e-12);

  // A failed run is no time at all; nor is a benchmark that never ran.
  benchmark::BenchmarkReporter::Run failed = timed("BM_CopyWithCp", 0.05, 2);
  failed.error_occurred = true;
  failed.error_message = "cp failed";
  reporter.ReportRuns({failed});
  EXPECT_EQ(reporter.seconds("BM_CopyWithCp"), 0);
  EXPECT_EQ(reporter.seconds("BM_Unknown"), 0);
  EXPECT_FALSE(reporter.empty());
  EXPECT_NE(table.str().find("BM_Merge"), std::string::npos);  // the table itself is printed
}

}  // namespace
}  // namespace bench
