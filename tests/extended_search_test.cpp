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

// Writes call.db from records in key order and opens it with its index copy.
class SearchTest : public testing::Test {
 protected:
  void open(const std::vector<UsRecord>& records) {
    ASSERT_EQ(dbfiles::write_call_db(dir_.file("call.db"), "20180105", records), 0);
    reopen();
  }
  void reopen() {
    ASSERT_EQ(dbfiles::open_call_db(dir_.file("call.db"), &db_), 0);
    index_ = IndexCopy();
    ASSERT_EQ(make_index_copy(db_, &index_, view_), 0);
  }
  SearchOutcome search(const SearchCriteria& c, std::size_t limit = kOutputLimit) {
    view_ = RecordingView();
    return extended_search(db_, index_, c, limit, view_);
  }

  testutil::TempDir dir_;
  dbfiles::UsDatabase db_;
  IndexCopy index_;
  RecordingView view_;
};

// What the search adds to the filter below: the criteria as typed, the result lines, the status
// line and the message boxes.
TEST_F(SearchTest, CriteriaLinesAndMessages) {
  open({{encode_call("AA1A"), "DOE, JOHN", "2 OAK", "BURLINGTON", 56, 501},
        {encode_call("K1ABC"), "SMITH, JANE", "1 ELM ST", "SPRINGFIELD", 56, 5156, true},
        {encode_call("W1AW"), "SMITH, JOHN A", "225 MAIN ST", "NEWINGTON", 9, 6111}});
  const char* const kAsks = "not run, Search: No search criteria were specified";
  const struct { const char *name, *zip, *result; } rows[] = {
      {"", "0", kAsks}, {"", "abc", kAsks}, {"NOBODY", "", ""},
      {"SMITH,J", "",  // as "SMITH, J"
       "K1ABC  - SMITH, JANE - PO BOX 1 ELM ST - SPRINGFIELD VT 05156\r\n"
       "W1AW   - SMITH, JOHN A - 225 MAIN ST - NEWINGTON CA 06111\r\n"},
      {"", " 00501xyz", "AA1A   - DOE, JOHN - 2 OAK - BURLINGTON VT 00501\r\n"}};
  for (const auto& row : rows) {
    const SearchOutcome out = search(SearchCriteria{row.name, "", 0, row.zip});
    EXPECT_EQ((out.ran ? "" : "not run, " + view_.boxes.at(0)) + out.text, row.result);
    EXPECT_EQ(out.found, static_cast<int>(std::count(out.text.begin(), out.text.end(), '\n')));
    EXPECT_EQ(view_.boxes.size(), out.ran ? 0u : 1u);
    if (*row.name == 'N') {  // a name that matches nothing skips the fixed data
      EXPECT_EQ(view_.statuses, (std::vector<std::string>{"", "Searching names/cities...",
                                                           "Searching fixed data...",
                                                           "Done - found 0"}));
    }
  }
  ASSERT_EQ(truncate(dir_.file("call.db").c_str(), db_.index_offset + 20), 0);
  IndexCopy copy;
  EXPECT_EQ(make_index_copy(db_, &copy, view_), -1);
  EXPECT_EQ(make_index_copy(db_, &copy, view_, true), -1);
  EXPECT_FALSE(copy.made);
  EXPECT_EQ(view_.boxes, (std::vector<std::string>{"call.db: ERROR 5 Reading database file (error)",
                                                   "ERROR Reading database file: call.db (error)"}));
}

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
TEST_F(SearchTest, ShuffledTextsGiveWhatAPlainFilterGives) {
  std::mt19937 rng(12);
  std::map<dbfiles::CallKey, UsRecord> by_key;  // a third of them SMITHs, texts over many fills
  while (by_key.size() < 25000) {
    const std::uint32_t i = static_cast<std::uint32_t>(by_key.size());
    const dbfiles::CallKey key = encode_call(testutil::random_us_call(rng).c_str());
    by_key[key] = {key, (i % 3 == 0 ? "SMITH, " : "BROWN, ") + testutil::random_text(rng, 40),
                   testutil::random_text(rng, 50), i % 5 == 0 ? "SPRINGFIELD" : "SHELBYVILLE",
                   1 + i % 60, static_cast<std::uint32_t>(rng() % 100000)};
  }
  std::vector<UsRecord> records;
  for (const auto& [key, r] : by_key) records.push_back(r);
  open(records);
  shuffle_texts(dir_.file("call.db"), rng);
  reopen();
  const std::string bytes = testutil::read_bytes(dir_.file("call.db"));

  const struct { std::string name, city; int state; std::uint32_t zip; } queries[] = {
      {"SMITH, ", "SPRINGFIELD", 0, 0}, {"", "FIELD", 0, 0}, {"BROWN", "", 7, 0},
      {"", "VILLE", 0, records[6].zip}, {"SMITH, A", "", 0, 0}, {"", "", 5, 0}, {"SMITH", "", 0, 0}};
  for (const auto& q : queries) {
    std::vector<std::uint32_t> offsets;  // of the texts that pass, in file order
    for (std::size_t pos = 12; pos < db_.index_offset; pos = bytes.find('\0', pos) + 1) {
      const std::string text = bytes.substr(pos, bytes.find('\0', pos) - pos);
      if (text.rfind(q.name, 0) == 0 && text.size() >= q.city.size() &&
          text.compare(text.size() - q.city.size(), q.city.size(), q.city) == 0) {
        offsets.push_back(static_cast<std::uint32_t>(pos));
      }
    }
    const bool cut = (!q.name.empty() || !q.city.empty()) && offsets.size() > kMaxNameMatches;
    if (cut) offsets.resize(kMaxNameMatches);
    std::string expected, calls;
    for (std::size_t i = 0; i < index_.entries(); ++i) {
      const dbfiles::IndexEntry e = dbfiles::IndexEntry::decode(&index_.raw[12 * i]);
      if ((q.state == 0 || e.state() == static_cast<std::uint32_t>(q.state)) &&
          (q.zip == 0 || e.zip() == q.zip) &&
          std::binary_search(offsets.begin(), offsets.end(), e.text_offset())) {
        expected += std::string(dbfiles::decode_call(e.key)) + "\n";
      }
    }
    const std::string zip = q.zip == 0 ? "" : std::to_string(q.zip);
    const SearchOutcome out = search(SearchCriteria{q.name, q.city, q.state, zip}, 0);
    for (std::size_t pos = 0; pos < out.text.size(); pos = out.text.find('\n', pos) + 1) {
      calls += out.text.substr(pos, out.text.find(' ', pos) - pos) + "\n";
    }
    EXPECT_TRUE(calls == expected) << q.name << "|" << q.city << ": " << out.found << " lines";
    EXPECT_EQ(view_.boxes.size(), cut ? 1u : 0u) << q.name;
    EXPECT_EQ(view_.statuses.back(), "Done - found " + std::to_string(out.found));
  }
  EXPECT_EQ(view_.boxes, (std::vector<std::string>{"WARNING: Too many name matches: Some may not "
                                                   "be displayed. Use a longer name criteria."}));

  // With the result box's limit the search stops one line past it.
  const std::size_t size = search(SearchCriteria{"", "", 5, ""}).text.size();
  EXPECT_TRUE(size > kOutputLimit && size < kOutputLimit + 4 * 128 + 16) << size;
  EXPECT_EQ(view_.boxes, (std::vector<std::string>{
                             "SORRY: Too much output: Some results will not be shown (warning)"}));
}

}  // namespace
}  // namespace lookup
