#include "lookup/extended_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "dbfiles/dbwriter.h"
#include "tests/test_util.h"

namespace lookup {
namespace {

using dbfiles::encode_call;
using dbfiles::UsRecord;

class RecordingView : public SearchView {
 public:
  void set_status(std::string_view text) override { statuses.emplace_back(text); }
  void message_box(std::string_view text, std::string_view caption, SearchIcon icon) override {
    const char* const kIcons[] = {"", " (warning)", " (error)"};
    boxes.push_back(std::string(caption) + ": " + std::string(text) + kIcons[int(icon)]);
  }
  std::vector<std::string> statuses, boxes;
};

// Rewrites call.db with its record texts in a random order; the entries keep their keys.
void shuffle_texts(const std::string& path, std::mt19937& rng) {
  const std::string bytes = testutil::read_bytes(path);
  const std::uint32_t index_offset = testutil::word_at(bytes, 8);
  std::vector<std::size_t> order((bytes.size() - index_offset) / 12);
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = index_offset + 12 * k + 4;
  std::shuffle(order.begin(), order.end(), rng);
  std::string area, out = bytes;
  for (const std::size_t at : order) {
    const std::uint32_t start = testutil::word_at(bytes, at) & 0x3FFFFFFu;
    testutil::put_word(&out, at, (testutil::word_at(bytes, at) & 0xFC000000u) |
                                     static_cast<std::uint32_t>(12 + area.size()));
    area += bytes.substr(start, bytes.find('\0', start) - start + 1);
  }
  testutil::write_bytes(path, out.replace(12, area.size(), area));
}

// Whatever the order of the texts, a search finds what a plain filter over the file finds: the
// first 8,192 texts in file order that pass the name and city, then the index in key order.
// Around it: the criteria as typed, the result line, the status line and the message boxes.
// Through a dialog's name table, and with the result box's limit, the same lines and boxes.
class SearchTest : public testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(KeyOrderAndShuffled, SearchTest, testing::Bool());
TEST_P(SearchTest, TextsInAnyOrderGiveWhatAPlainFilterGives) {
  std::mt19937 rng(12);
  std::map<dbfiles::CallKey, UsRecord> by_key;  // a third of them SMITHs, texts over many fills
  by_key[encode_call("AA1A")] = {encode_call("AA1A"), "DOE, JOHN", "2 OAK", "BURLINGTON", 56, 501,
                                 true};
  while (by_key.size() < 25000) {
    const std::uint32_t i = static_cast<std::uint32_t>(by_key.size());
    const dbfiles::CallKey key = encode_call(testutil::random_us_call(rng).c_str());
    const std::string name = (i % 3 ? "BROWN, " : i % 2 ? "SMITH, " : "SM") +
                             testutil::random_text(rng, 40);
    by_key.emplace(key, UsRecord{key, name, testutil::random_text(rng, 50),
                                 i % 5 ? "SHELBYVILLE" : "SPRINGFIELD", 1 + i % 60,
                                 i % 7 == 3    ? 62704u  // texts close together, and far apart
                                 : i % 499 == 0 ? 10001u
                                                : static_cast<std::uint32_t>(rng() % 100000)});
  }
  std::vector<UsRecord> records;
  for (const auto& [key, r] : by_key) records.push_back(r);
  testutil::TempDir dir;
  ASSERT_EQ(dbfiles::write_call_db(dir.file("call.db"), "20180105", records), 0);
  if (GetParam()) shuffle_texts(dir.file("call.db"), rng);
  dbfiles::UsDatabase db;
  IndexCopy index;
  RecordingView view;
  ASSERT_EQ(dbfiles::open_call_db(dir.file("call.db"), &db), 0);
  ASSERT_TRUE(make_index_copy(db, &index, view) == 0 && index.entry(0) == db.entry(0));
  const std::string bytes = testutil::read_bytes(dir.file("call.db"));
  SearchCache cache;  // kept for every search on this file, as a dialog keeps it
  const auto search = [&](const SearchCriteria& c, std::size_t limit, SearchCache* with = nullptr) {
    view = RecordingView();
    return extended_search(db, index, c, limit, view, with);
  };

  const struct { std::string typed, name, city; int state; std::uint32_t zip; } queries[] = {
      {"SMITH, ", "SMITH, ", "SPRINGFIELD", 0, 0}, {"", "", "FIELD", 0, 0},
      {"BROWN", "BROWN", "", 7, 0}, {"", "", "VILLE", 0, records[6].zip}, {"", "", "", 5, 0},
      {"SMITH,A", "SMITH, A", "", 0, 0}, {"DOE,J", "DOE, J", "", 0, 0},  // a blank after a comma
      {"NOBODY", "NOBODY", "", 0, 0}, {"SMITH,AB", "SMITH, AB", "", 0, 0},
      {"BROWN,", "BROWN, ", "VILLE", 0, 0}, {"DOE,JOHN2 OAK", "DOE, JOHN2 OAK", "TON", 0, 0},
      {"", "", "", 0, 62704}, {"", "", "", 7, 62704}, {"", "", "", 0, 10001},
      {"", "", "FIELD", 0, 10001}, {"SMITH", "SMITH", "", 0, 10001},
      {"SM1", "SM1", "", 0, 0}, {"SM", "SM", "", 0, 0}};  // the last one's boxes are checked
  for (const auto& q : queries) {
    std::vector<std::uint32_t> offsets;  // of the texts that pass, in file order
    for (std::size_t pos = 12; pos < db.index_offset; pos = bytes.find('\0', pos) + 1) {
      const std::string text = bytes.substr(pos, bytes.find('\0', pos) - pos);
      if (text.rfind(q.name, 0) == 0 && text.size() >= q.city.size() &&
          text.compare(text.size() - q.city.size(), q.city.size(), q.city) == 0) {
        offsets.push_back(static_cast<std::uint32_t>(pos));
      }
    }
    const bool cut = (!q.name.empty() || !q.city.empty()) && offsets.size() > kMaxNameMatches;
    if (cut) offsets.resize(kMaxNameMatches);
    std::string expected, calls;
    for (std::size_t i = 0; i < index.entries(); ++i) {
      const dbfiles::IndexEntry e = dbfiles::IndexEntry::decode(index.entry(i));
      if ((q.state == 0 || e.state() == static_cast<std::uint32_t>(q.state)) &&
          (q.zip == 0 || e.zip() == q.zip) &&
          std::binary_search(offsets.begin(), offsets.end(), e.text_offset())) {
        expected += std::string(dbfiles::decode_call(e.key)) + "\n";
      }
    }
    // As strtol reads it, and whole: longer than the box, never cut.
    const std::string zip = q.zip == 0 ? "" : " 0000000000000" + std::to_string(q.zip) + "-";
    const SearchCriteria criteria{q.typed, q.city, q.state, zip};
    const SearchOutcome out = search(criteria, 0);
    for (std::size_t pos = 0; pos < out.text.size(); pos = out.text.find('\n', pos) + 1) {
      calls += out.text.substr(pos, out.text.find(' ', pos) - pos) + "\n";
    }
    EXPECT_TRUE(calls == expected) << q.typed << "|" << q.city << ": " << out.found << " lines";
    EXPECT_EQ(std::count(calls.begin(), calls.end(), '\n'), out.found) << q.typed;
    EXPECT_EQ(view.boxes.size(), cut ? 1u : 0u) << q.typed;
    EXPECT_EQ(view.statuses.back(), "Done - found " + std::to_string(out.found));
    if (q.typed == "DOE,J") {
      EXPECT_EQ(out.text, "AA1A   - DOE, JOHN - PO BOX 2 OAK - BURLINGTON VT 00501\r\n");
    } else if (q.typed == "NOBODY") {  // a name that matches nothing skips the fixed data
      EXPECT_EQ(view.statuses, (std::vector<std::string>{"", "Searching names/cities...",
                                                          "Searching fixed data...",
                                                          "Done - found 0"}));
    }
    // With the result box's limit the search stops one line past it.
    const bool over = out.text.size() > kOutputLimit;
    const std::string shown = over ? out.text.substr(0, out.text.find('\n', kOutputLimit) + 1)
                                   : out.text;
    for (SearchCache* with : {&cache, static_cast<SearchCache*>(nullptr), &cache}) {
      for (const std::size_t limit : {std::size_t{0}, kOutputLimit}) {
        const std::string text = limit == 0 ? out.text : shown;
        EXPECT_EQ(search(criteria, limit, with).text, text) << q.typed << limit << bool(with);
        EXPECT_EQ(view.boxes.size(), (cut ? 1u : 0u) + (limit != 0 && over)) << q.typed;
        const auto lines = std::count(text.begin(), text.end(), '\n');
        EXPECT_EQ(view.statuses.back(), "Done - found " + std::to_string(lines)) << q.typed;
      }
    }
  }
  EXPECT_TRUE(cache.tables);  // made by the first name search, used by the later ones
  EXPECT_EQ(view.boxes, (std::vector<std::string>{
                            "WARNING: Too many name matches: Some may not be displayed. Use a "
                            "longer name criteria.",
                            "SORRY: Too much output: Some results will not be shown (warning)"}));
  // The same file reopened after its texts moved: the cache made from the first opening is not
  // used for the second.
  shuffle_texts(dir.file("call.db"), rng);
  ASSERT_EQ(dbfiles::open_call_db(dir.file("call.db"), &db), 0);
  for (const SearchCriteria& c : {SearchCriteria{"SMITH, A", "", 0, ""},
                                  SearchCriteria{"", "", 0, "10001"}}) {
    const std::string fresh = search(c, 0).text;
    EXPECT_EQ(search(c, 0, &cache).text, fresh) << c.name << c.zip;
  }

  // Without criteria (a ZIP box without digits is none) the search only asks for them.
  EXPECT_FALSE(search(SearchCriteria{"", "", 0, "abc"}, 0).ran);
  EXPECT_EQ(view.boxes, (std::vector<std::string>{"Search: No search criteria were specified"}));

  // Without an open database there is no index: the dialog ends.
  db.close();
  EXPECT_EQ(make_index_copy(db, &index, view), -1);
  EXPECT_EQ(make_index_copy(db, &index, view, true), -1);
  EXPECT_EQ(view.boxes, (std::vector<std::string>{"Search: No search criteria were specified",
                                                  "call.db: ERROR 9 Reading database file (error)",
                                                  "ERROR Reading database file: call.db (error)"}));
}

// A dialog's kept pages, filled past their limit (a few pages here, as a test-sized file has
// few): every search writes what a search without a cache writes, and a new page takes the
// place of the one kept longest, so that memory stays bounded and the latest searches still
// read nothing from the file.
TEST(SearchCacheTest, KeptPagesPastTheLimitReplaceTheOldest) {
  constexpr std::size_t kSlots = 4;
  std::mt19937 rng(5);
  std::map<dbfiles::CallKey, UsRecord> by_key;
  while (by_key.size() < 600) {
    const dbfiles::CallKey key = encode_call(testutil::random_us_call(rng).c_str());
    const auto number = [&](std::uint32_t n) { return static_cast<std::uint32_t>(1 + rng() % n); };
    by_key.emplace(key, UsRecord{key, "N" + testutil::random_text(rng, 150),
                                 testutil::random_text(rng, 40), "TOWN", number(60), number(300)});
  }
  std::vector<UsRecord> records;
  for (const auto& [key, r] : by_key) records.push_back(r);
  testutil::TempDir dir;
  ASSERT_EQ(dbfiles::write_call_db(dir.file("call.db"), "20180105", records), 0);
  dbfiles::UsDatabase db;
  IndexCopy index;
  RecordingView view;
  ASSERT_EQ(dbfiles::open_call_db(dir.file("call.db"), &db), 0);
  ASSERT_EQ(make_index_copy(db, &index, view), 0);
  const auto search = [&](const SearchCriteria& c, SearchCache* cache) {
    return extended_search(db, index, c, 0, view, cache).text;
  };
  const auto by_zip = [](std::uint32_t zip) {
    return SearchCriteria{"", "", 0, std::to_string(zip)};
  };

  // ZIP codes of one to a few licences (one small read each), states, names.
  SearchCache cache(kSlots);
  for (int i = 0; i < 300; ++i) {
    const UsRecord& r = records[rng() % records.size()];
    const SearchCriteria c = i % 5 == 0   ? SearchCriteria{"", "", static_cast<int>(r.state), ""}
                             : i % 5 == 1 ? SearchCriteria{r.name.substr(0, 3), "", 0, ""}
                                          : by_zip(r.zip);
    ASSERT_EQ(search(c, &cache), search(c, nullptr)) << i;
  }

  // One more licence than there are pages, each alone in its ZIP code and its read on a page
  // of its own, looked up in turn; then the file changes under the cache. The first licence's
  // page was given up for the last one's: it alone is read anew.
  std::map<std::uint32_t, int> licences_at;
  for (const UsRecord& r : records) ++licences_at[r.zip];
  std::vector<std::uint32_t> zips;
  std::uint64_t last_page = ~std::uint64_t{0};
  for (std::size_t i = 0; i < index.entries() && zips.size() <= kSlots; ++i) {
    const dbfiles::IndexEntry e = dbfiles::IndexEntry::decode(index.entry(i));
    const std::uint64_t page = e.text_offset() / kKeptPageSize;
    if (licences_at[e.zip()] == 1 && page != last_page &&
        e.text_offset() % kKeptPageSize + kRecordRead <= kKeptPageSize) {
      zips.push_back(e.zip());
      last_page = page;
    }
  }
  ASSERT_EQ(zips.size(), kSlots + 1);
  SearchCache fresh(kSlots);
  std::vector<std::string> before;
  for (const std::uint32_t zip : zips) {
    before.push_back(search(by_zip(zip), nullptr));
    EXPECT_EQ(search(by_zip(zip), &fresh), before.back());
  }
  std::string bytes = testutil::read_bytes(dir.file("call.db"));
  for (std::size_t at = 12; at < db.index_offset; ++at) {
    if (bytes[at] >= 'A' && bytes[at] <= 'Z') bytes[at] = static_cast<char>('A' + 'Z' - bytes[at]);
  }
  testutil::write_bytes(dir.file("call.db"), bytes);  // the same file, open
  for (std::size_t k = kSlots; k > 0; --k) EXPECT_EQ(search(by_zip(zips[k]), &fresh), before[k]);
  const std::string now = search(by_zip(zips[0]), nullptr);
  EXPECT_NE(now, before[0]);
  EXPECT_EQ(search(by_zip(zips[0]), &fresh), now);
}

}  // namespace
}  // namespace lookup
