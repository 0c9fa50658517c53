#include "dbfiles/usdb.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <new>
#include <system_error>

#include "dbfiles/coding.h"

namespace dbfiles {

using platform::Access;
using platform::Disposition;
using platform::Share;

namespace {

// Reads `bytes` at `offset` of `file` into a block of its own. Returns 0, a system error code
// (ENOMEM when there is no room), or -1 when the read came back short.
int read_block(const platform::File& file, std::uint64_t offset, std::uint64_t bytes,
               std::unique_ptr<unsigned char[]>* block) {
  if (bytes == 0) return 0;
  if (bytes > std::numeric_limits<std::size_t>::max()) return ENOMEM;
  const auto size = static_cast<std::size_t>(bytes);
  block->reset(new (std::nothrow) unsigned char[size]);
  if (!*block) return ENOMEM;
  const platform::IoResult r = file.read_at(offset, block->get(), size);
  if (r.error == 0 && r.count == size) return 0;
  block->reset();
  return r.error != 0 ? r.error : -1;
}

}  // namespace

void UsDatabase::close() {
  file.close();
  index.reset();
  count = 0;
  opening = 0;
}

int open_call_db(const std::string& path, UsDatabase* db, int* error, const char** why) {
  const char* wrong = nullptr;
  db->close();  // the index of an earlier opening goes before the new one is read
  static std::atomic<std::uint64_t> openings{0};
  db->opening = ++openings;
  int err = db->file.open(path, Access::read, Share::read_write, Disposition::open_existing);
  if (err == 0) {
    unsigned char header[kHeaderSize];
    const platform::IoResult r = db->file.read_at(0, header, sizeof header);
    const platform::IoResult size = db->file.size();
    err = r.error != 0 ? r.error : size.error;
    if (err == 0 && r.count != sizeof header) wrong = kShortHeader;
    if (err == 0 && wrong == nullptr) {
      const std::uint32_t offset = decode_fixed32(header + kDateSize);
      const std::uint64_t entries = offset >= kHeaderSize && offset <= size.count
                                        ? (size.count - offset) / IndexEntry::kSize
                                        : std::numeric_limits<std::uint64_t>::max();
      if (entries > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
        wrong = kIndexOutsideFile;
      } else {
        err = read_block(db->file, offset, entries * IndexEntry::kSize, &db->index);
        if (err == -1) {
          err = 0;
          wrong = kShortRead;  // the file shrank between its size and the read
        }
      }
      if (err == 0 && wrong == nullptr) {
        std::memcpy(db->date, header, kDateSize);
        db->date[kDateSize] = '\0';
        db->index_offset = offset;
        db->count = static_cast<std::uint32_t>(entries);
        if (error != nullptr) *error = 0;
        return 0;
      }
    }
  }
  db->close();
  if (error != nullptr) *error = err;
  if (why != nullptr) *why = wrong;
  return -1;
}

std::string shown_folder(const std::string& folder) {
  std::error_code error;
  std::filesystem::path full =
      std::filesystem::absolute(folder.empty() ? "." : folder, error).lexically_normal();
  if (error) return folder;
  if (!full.has_filename() && full.has_relative_path()) full = full.parent_path();
  return full.string();
}

std::string database_line(const UsDatabase& db) {
  char line[96];
  std::snprintf(line, sizeof line, "Database date %.2s/%.2s/%.4s, %d entries", db.date + 4,
                db.date + 6, db.date, static_cast<int>(db.count));
  return line;
}

LookupStatus find_index_entry(const unsigned char* index, std::uint32_t count, CallKey key,
                              IndexEntry* entry) {
  LookupStatus status;
  std::int64_t low = 0;
  std::int64_t high = static_cast<std::int64_t>(count) - 1;
  while (low <= high) {
    const std::int64_t mid = (low + high) / 2;
    const unsigned char* at = index + static_cast<std::size_t>(mid) * IndexEntry::kSize;
    const CallKey probe = decode_fixed32(at);
    if (key < probe) {
      high = mid - 1;
    } else if (key > probe) {
      low = mid + 1;
    } else {
      *entry = IndexEntry::decode(at);
      status.found = true;
      return status;
    }
  }
  return status;
}

LookupStatus find_entry(const UsDatabase& db, CallKey key, IndexEntry* entry) {
  return find_index_entry(db.index.get(), db.count, key, entry);
}

LookupStatus lookup_us_call(const UsDatabase& db, const char* text, LookupResult* result,
                            const char** why) {
  if (!is_us_callsign(text)) return LookupStatus{};
  IndexEntry entry;
  LookupStatus status = find_entry(db, encode_call(text), &entry);
  if (!status.found) return status;

  unpack_entry(entry, result);
  // Only the text area holds record texts; a text_offset outside it reads as nothing.
  char text_buf[kRecordReadSize];
  std::size_t n = 0;
  const char* wrong = kTextOutsideArea;
  const std::uint32_t offset = result->text_offset;
  if (offset >= kHeaderSize && offset < db.index_offset) {
    const platform::IoResult r = db.file.read_at(offset, text_buf, sizeof text_buf);
    n = static_cast<std::size_t>(r.count);
    const std::size_t area = db.index_offset - offset;
    if (n > area) n = area;
    wrong = kShortRead;  // no terminator before the text area or the read ended
  }
  if (std::memchr(text_buf, '\0', n) == nullptr) {
    status.damaged = true;
    if (why != nullptr) *why = wrong;
  }
  build_us_lines(text_buf, n, result);
  return status;
}

void PrevDatabase::close() {
  file.close();
  entries.reset();
  count = 0;
}

int open_prev_db(const std::string& path, PrevDatabase* db) {
  db->close();
  if (db->file.open(path, Access::read, Share::read_write, Disposition::open_existing) == 0) {
    const platform::IoResult r = db->file.read_at(0, db->date, kDateSize);
    const platform::IoResult size = db->file.size();
    if (r.error == 0 && r.count == kDateSize && size.error == 0 && size.count >= kDateSize) {
      db->date[kDateSize] = '\0';
      std::uint64_t n = size.count / PrevEntry::kSize - 1;
      if (n > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
        n = static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
      }
      if (read_block(db->file, PrevEntry::kSize, n * PrevEntry::kSize, &db->entries) == 0) {
        db->count = static_cast<std::int32_t>(n);
        return 0;
      }
    }
  }
  db->close();
  return -1;
}

std::string prev_line(const PrevDatabase& db, const char* file_name) {
  char line[128];
  std::snprintf(line, sizeof line, "%d previous calls in %s, dated %.2s/%.2s/%.4s", db.count,
                file_name, db.date + 4, db.date + 6, db.date);
  return line;
}

int find_prev_entry(const unsigned char* entries, std::int32_t count, CallKey key,
                    CallKey* new_key) {
  std::int64_t low = 1;
  std::int64_t high = count;
  while (low <= high) {
    const std::int64_t mid = (low + high) / 2;
    const PrevEntry probe =
        PrevEntry::decode(entries + static_cast<std::size_t>(mid - 1) * PrevEntry::kSize);
    if (key == probe.old_key) {
      *new_key = probe.new_key;
      return static_cast<int>(mid);
    }
    if (key < probe.old_key) {
      high = mid - 1;
    } else {
      low = mid + 1;
    }
  }
  return -1;
}

int find_prev_call(const PrevDatabase& db, const char* text, char (&replacement)[7]) {
  if (!is_us_callsign(text)) return -1;
  CallKey new_key = 0;
  const int found = find_prev_entry(db.entries.get(), db.count, encode_call(text), &new_key);
  if (found >= 0) std::memcpy(replacement, decode_call(new_key), sizeof replacement);
  return found;
}

}  // namespace dbfiles
