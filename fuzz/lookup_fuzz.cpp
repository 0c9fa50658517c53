// The lookup program's three database files as the window opens and searches them. The input
// is call.db, callprev.db and cancall.db in turn: two 32-bit little-endian lengths, then the
// bytes (what the lengths leave over is cancall.db). The texts looked up are a fixed few and
// the input's last bytes cut into callsign-sized pieces.

#include <algorithm>
#include <cstdint>
#include <string>

#include "dbfiles/lookup.h"
#include "fuzz/fuzz_support.h"

namespace {

std::uint32_t length_at(const std::uint8_t* data, std::size_t n, std::size_t at) {
  if (at + 4 > n) return 0;
  return data[at] | data[at + 1] << 8 | data[at + 2] << 16 | std::uint32_t{data[at + 3]} << 24;
}

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
  dbfiles::close_lookup_files(&files);
  return 0;
}
