#include "dbfiles/candb.h"

#include <cstdio>
#include <cstring>

#include "dbfiles/coding.h"

namespace dbfiles {

using platform::Access;
using platform::Disposition;
using platform::Share;

int load_canadian_table(const std::string& path, CanadianTable* table) {
  table->path = path;
  table->file.close();
  table->has_header = false;
  table->index_offset = 0;
  table->entries.clear();

  platform::File& file = table->file;
  if (file.open(path, Access::read, Share::read_write, Disposition::open_existing) != 0) return -1;
  const platform::IoResult r = file.read_at(0, table->header, kHeaderSize);
  if (r.error != 0 || r.count != kHeaderSize) {
    file.close();
    return -1;
  }
  table->has_header = true;

  const std::uint32_t offset = decode_fixed32(reinterpret_cast<unsigned char*>(table->header) + 8);
  const platform::IoResult size = file.size();
  if (size.error != 0 || offset < kHeaderSize || offset >= size.count) return 0;
  table->index_offset = offset;

  std::uint64_t n = (size.count - offset) / CanEntry::kSize;
  if (n > kMaxCanadianEntries) n = kMaxCanadianEntries;
  std::vector<unsigned char> raw(static_cast<std::size_t>(n * CanEntry::kSize));
  const platform::IoResult got = file.read_at(offset, raw.data(), raw.size());
  const std::size_t entries = static_cast<std::size_t>(got.count / CanEntry::kSize);
  table->entries.resize(entries);
  for (std::size_t i = 0; i < entries; ++i) {
    table->entries[i] = CanEntry::decode(raw.data() + i * CanEntry::kSize);
  }
  return 0;
}

std::string canadian_line(const CanadianTable& table) {
  if (!table.has_header) return std::string();
  char line[96];
  std::snprintf(line, sizeof line, "Canadian data %.2s/%.2s/2%.3s, %7d entries\r\n",
                table.header + 4, table.header + 6, table.header + 1,
                static_cast<int>(table.entries.size()));
  return line;
}

LookupStatus lookup_canadian_call(const CanadianTable& table, const char* text,
                                  LookupResult* result, const char** why) {
  LookupStatus status;
  CanKey key;
  if (encode_can_call(text, &key) != 0) return status;

  const CanEntry* match = nullptr;
  for (const CanEntry& e : table.entries) {
    if (e.key() == key) {
      match = &e;
      break;
    }
  }
  if (match == nullptr) return status;

  status.found = true;
  *result = LookupResult{};
  std::snprintf(result->callsign, sizeof result->callsign, "%s", decode_can_call(match->key()));
  std::snprintf(result->place_line, sizeof result->place_line, "%s",
                province_code(match->province()));

  const char* wrong = nullptr;
  const std::uint32_t offset = match->text_offset();
  char record[kRecordReadSize + 1];
  std::size_t n = 0;
  if (offset < kHeaderSize || offset >= table.index_offset) {
    wrong = kTextOutsideArea;
  } else {
    const platform::IoResult r = table.file.read_at(offset, record, kRecordReadSize);
    n = static_cast<std::size_t>(r.count);
    const std::size_t area = table.index_offset - offset;
    if (n > area) n = area;
    if (r.error != 0 || n == 0) wrong = kShortRead;
  }
  if (wrong == nullptr) {
    record[n] = '\0';
    // A whole record holds five terminated strings.
    std::size_t zeros = 0;
    for (std::size_t i = 0; i < n && zeros < 5; ++i) zeros += record[i] == '\0';
    if (zeros < 5) wrong = kShortRead;
    build_can_lines(record, n, match->province(), result);
  }
  if (wrong != nullptr) {
    status.damaged = true;
    if (why != nullptr) *why = wrong;
  }
  return status;
}

}  // namespace dbfiles
