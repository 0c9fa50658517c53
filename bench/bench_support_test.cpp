// What the benchmarks rely on to compare like with like: call.db read back into the records it
// was written from (SQLite is loaded from them), the mapped lookup answering as the lookup.
#include "bench/bench_support.h"

#include <gtest/gtest.h>

#include <map>

#include "tests/test_util.h"

namespace bench {
namespace {

TEST(BenchSupport, DataReadsBackAsWrittenAndTheMapAnswersAsTheLookup) {
  std::mt19937 rng(11);
  std::map<std::uint32_t, dbfiles::UsRecord> by_key;
  for (int i = 0; i < 3000; ++i) {
    const std::uint32_t key = dbfiles::encode_call(testutil::random_us_call(rng).c_str());
    by_key[key] = {key, testutil::random_text(rng, 60), testutil::random_text(rng, 40),
                   testutil::random_text(rng, 30), static_cast<std::uint32_t>(rng() % 61),
                   static_cast<std::uint32_t>(rng() % 100000), rng() % 5 == 0};
  }
  testutil::TempDir dir;
  std::vector<dbfiles::UsRecord> records;
  for (const auto& [key, r] : by_key) records.push_back(r);
  ASSERT_EQ(dbfiles::write_call_db(dir.file("call.db"), "20250930", records), 0);
  std::vector<StoredLicence> back;
  std::string error;
  dbfiles::UsDatabase db;
  MappedCallDb mapped;
  ASSERT_EQ(read_call_db(dir.file("call.db"), &back, &error), 0) << error;
  ASSERT_EQ(dbfiles::open_call_db(dir.file("call.db"), &db), 0);
  ASSERT_EQ(mapped.open(dir.file("call.db"), &error), 0) << error;
  ASSERT_EQ(back.size(), records.size());
  for (std::size_t i = 0; i < back.size() * 2; ++i) {  // then callsigns mostly not there
    const std::string call = i < back.size() ? back[i].call : testutil::random_us_call(rng);
    if (i < back.size()) {
      const dbfiles::UsRecord &w = records[i], &g = back[i].record;
      ASSERT_EQ(std::tie(g.key, g.name, g.street, g.city, g.state, g.zip, g.po_box),
                std::tie(w.key, w.name, w.street, w.city, w.state, w.zip, w.po_box));
      ASSERT_EQ(dbfiles::encode_call(call.c_str()), w.key);
    }
    dbfiles::LookupResult want, got;
    const dbfiles::LookupStatus a = dbfiles::lookup_us_call(db, call.c_str(), &want);
    const dbfiles::LookupStatus b = mapped.lookup(call.c_str(), &got);
    ASSERT_EQ(std::tie(a.found, a.damaged), std::tie(b.found, b.damaged)) << call;
    ASSERT_EQ(std::string(got.name_line) + "|" + got.street_line + "|" + got.place_line,
              std::string(want.name_line) + "|" + want.street_line + "|" + want.place_line);
  }
}

}  // namespace
}  // namespace bench
