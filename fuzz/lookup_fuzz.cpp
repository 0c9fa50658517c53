// The lookup program's three database files as the window opens and searches them. The input
// is call.db, callprev.db and cancall.db in turn: two 32-bit little-endian lengths, then the
// bytes (what the lengths leave over is cancall.db). The texts looked up are a fixed few and
// the input's last bytes cut into callsign-sized pieces; the Extended Search runs two of a few
// criteria sets through one dialog's cache and without one.

#include <algorithm>
#include <cstdint>
#include <string>

#include "dbfiles/lookup.h"
#include "fuzz/fuzz_support.h"
#include "lookup/extended_search.h"

namespace {

std::uint32_t length_at(const std::uint8_t* data, std::size_t n, std::size_t at) {
  if (at + 4 > n) return 0;
  return data[at] | data[at + 1] << 8 | data[at + 2] << 16 | std::uint32_t{data[at + 3]} << 24;
}

class QuietView : public lookup::SearchView {
 public:
  void set_status(std::string_view) override {}
  void message_box(std::string_view, std::string_view, lookup::SearchIcon) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t n) {
  const std::size_t body = std::min<std::size_t>(8, n);
  std::size_t left = n - body;
  const std::size_t us = std::min<std::size_t>(length_at(data, n, 0), left);
  left -= us;
  const std::size_t prev = std::min<std::size_t>(length_at(data, n, 4), left);
  const std::uint8_t* at = data + body;
  fuzzing::put("lookup/call.db", at, us);
  fuzzing::put("lookup/callprev.db", at + us, prev);
  fuzzing::put("lookup/cancall.db", at + us + prev, n - body - us - prev);

  dbfiles::LookupFiles files;
  dbfiles::open_lookup_files(fuzzing::scratch() + "/lookup", dbfiles::Edition::full, &files);
  dbfiles::call_db_trouble(files, fuzzing::scratch());
  dbfiles::canadian_line(files.canada);
  for (const char* typed : {"W1AW", "KC4RTM", "AA2B", "N0PE", "KB1QRS", "VE3XKT", "VA7ZZA",
                            "VE3XKTQ", "X1ABC", "V", ""}) {
    dbfiles::LookupResult slot;
    dbfiles::search_callsign(files, typed, &slot);
  }
  for (std::size_t i = 0; i < 8 && (i + 1) * 6 <= n; ++i) {
    std::string typed(reinterpret_cast<const char*>(data + n - (i + 1) * 6), 6);
    typed.erase(std::find(typed.begin(), typed.end(), '\0'), typed.end());
    dbfiles::LookupResult slot;
    dbfiles::search_callsign(files, typed.c_str(), &slot);
  }
  lookup::IndexCopy index;
  QuietView view;
  if (files.us_ready && lookup::make_index_copy(files.us, &index, view) == 0) {
    lookup::SearchCache cache(2);  // a small file fills two pages: later ones take their place
    const std::string tail(reinterpret_cast<const char*>(data + n - std::min<std::size_t>(n, 3)),
                           std::min<std::size_t>(n, 3));
    const lookup::SearchCriteria sets[] = {{"SMITH, J", "", 0, ""}, {"S", "", 0, ""},
                                           {"SMITH,JOHN Q", "TOWN", 0, ""}, {"", "", 5, ""},
                                           {"", "", 0, "45245"}, {"A", "", 9, "1"},
                                           {tail, "", 0, ""}, {"", tail, 0, ""}};
    // Two sets, picked by the input's fourth byte from the end, each twice through the dialog's
    // cache (the second time finds its tables and pages), first with the window's limit: each
    // writes what a search without a cache writes, up to the line that passes the limit.
    const unsigned pick = n >= 4 ? data[n - 4] : 0;
    const lookup::SearchCriteria* picked[] = {&sets[pick % 8], &sets[pick / 8 % 8]};
    std::string plain[2];
    for (int k = 0; k < 2; ++k) {
      plain[k] = lookup::extended_search(files.us, index, *picked[k], 0, view).text;
    }
    for (const std::size_t limit : {lookup::kOutputLimit, std::size_t{0}}) {
      for (int k = 0; k < 2; ++k) {
        std::string shown = plain[k];
        if (limit != 0 && shown.size() > limit) shown.resize(shown.find('\n', limit) + 1);
        if (lookup::extended_search(files.us, index, *picked[k], limit, view, &cache).text !=
            shown) {
          __builtin_trap();
        }
      }
    }
  }
  dbfiles::close_lookup_files(&files);
  return 0;
}
