// What the benchmarks rely on to compare like with like: call.db read back into the records it
// was written from (SQLite is loaded from them), the mapped lookup answering exactly as the
// lookup on read calls, and the map's fate when its file is cut short.
#include "bench/bench_support.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <map>

#include "tests/test_util.h"

namespace bench {
namespace {

TEST(BenchSupport, DataReadsBackAsWrittenAndTheMapAnswersAsTheLookup) {
  std::mt19937 rng(11);
  std::map<std::uint32_t, dbfiles::UsRecord> by_key;
  while (by_key.size() < 3000) {
    const std::uint32_t key = dbfiles::encode_call(testutil::random_us_call(rng).c_str());
    by_key[key] = {key, testutil::random_text(rng, 60), testutil::random_text(rng, 40),
                   testutil::random_text(rng, 30), static_cast<std::uint32_t>(rng() % 61),
                   static_cast<std::uint32_t>(rng() % 100000), rng() % 5 == 0};
  }
  std::vector<dbfiles::UsRecord> records;
  for (const auto& [key, r] : by_key) records.push_back(r);
  testutil::TempDir dir;
  const std::string path = dir.file("call.db");
  ASSERT_EQ(dbfiles::write_call_db(path, "20250930", records), 0);
  std::vector<StoredLicence> back;
  std::string error;
  ASSERT_EQ(read_call_db(path, &back, &error), 0) << error;
  ASSERT_EQ(back.size(), records.size());
  dbfiles::UsDatabase db;
  ASSERT_EQ(dbfiles::open_call_db(path, &db), 0);
  MappedCallDb mapped;
  ASSERT_EQ(mapped.open(path, &error), 0) << error;
  std::vector<std::string> calls = {"VE3ABC", ""};
  for (int i = 0; i < 2000; ++i) calls.push_back(testutil::random_us_call(rng));
  for (std::size_t i = 0; i < back.size(); ++i) {
    const dbfiles::UsRecord& w = records[i];
    const dbfiles::UsRecord& g = back[i].record;
    ASSERT_EQ(std::tie(g.key, g.name, g.street, g.city, g.state, g.zip, g.po_box),
              std::tie(w.key, w.name, w.street, w.city, w.state, w.zip, w.po_box));
    ASSERT_EQ(dbfiles::encode_call(back[i].call.c_str()), w.key);
    calls.push_back(back[i].call);
  }
  for (const std::string& call : calls) {
    dbfiles::LookupResult want, got;
    const dbfiles::LookupStatus a = dbfiles::lookup_us_call(db, call.c_str(), &want);
    const dbfiles::LookupStatus b = mapped.lookup(call.c_str(), &got);
    ASSERT_EQ(std::tie(a.found, a.damaged), std::tie(b.found, b.damaged)) << call;
    for (const auto& [line, same] :
         {std::pair{got.callsign, want.callsign}, {got.name_line, want.name_line},
          {got.street_line, want.street_line}, {got.place_line, want.place_line}}) {
      ASSERT_STREQ(line, same) << call;
    }
  }
  // A page of the map past the new end of the file is gone: touching it ends the process.
  const TruncateOutcome out = touch_after_truncate(path, dir.path());
  ASSERT_TRUE(out.ran) << out.detail;
  EXPECT_EQ(out.signalled ? out.signal : 0, SIGBUS) << "exit code " << out.exit_code;
}

}  // namespace
}  // namespace bench
