// The lookup program's three database files as the window opens and searches them. The input
// is call.db, callprev.db and cancall.db in turn: two 32-bit little-endian lengths, then the
// bytes (what the lengths leave over is cancall.db). The texts looked up are a fixed few and
// the input's last bytes cut into callsign-sized pieces; the Extended Search runs a few
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
    lookup::SearchCache cache;
    const std::string tail(reinterpret_cast<const char*>(data + n - std::min<std::size_t>(n, 3)),
                           std::min<std::size_t>(n, 3));
    const lookup::SearchCriteria sets[] = {{"SMITH, J", "", 0, ""}, {"S", "", 0, ""},
                                           {"SMITH,JOHN Q", "TOWN", 0, ""}, {"", "", 5, ""},
                                           {"", "", 0, "45245"}, {"A", "", 9, "1"},
                                           {tail, "", 0, ""}, {"", tail, 0, ""}};
    // Each set twice through the dialog's cache (the second time finds its tables and pages),
    // which must write what a search without one writes; first with the window's limit.
    for (const std::size_t limit : {lookup::kOutputLimit, std::size_t{0}}) {
      for (const lookup::SearchCriteria& c : sets) {
        const std::string plain = lookup::extended_search(files.us, index, c, limit, view).text;
        if (lookup::extended_search(files.us, index, c, limit, view, &cache).text != plain) {
          __builtin_trap();
        }
      }
    }
  }
  dbfiles::close_lookup_files(&files);
  return 0;
}
