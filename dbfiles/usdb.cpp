#include "dbfiles/usdb.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <system_error>

#include "dbfiles/coding.h"

namespace dbfiles {

using platform::Access;
using platform::Disposition;
using platform::Share;

int open_call_db(const std::string& path, UsDatabase* db, int* error, const char** why) {
  const char* wrong = nullptr;
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
      if (entries <= static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
        std::memcpy(db->date, header, kDateSize);
        db->date[kDateSize] = '\0';
        db->index_offset = offset;
        db->count = static_cast<std::uint32_t>(entries);
        if (error != nullptr) *error = 0;
        return 0;
      }
      wrong = kIndexOutsideFile;
    }
  }
  db->file.close();
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

LookupStatus find_entry(const UsDatabase& db, CallKey key, IndexEntry* entry) {
  LookupStatus status;
  std::int64_t low = 0;
  std::int64_t high = static_cast<std::int64_t>(db.count) - 1;
  // The search reads one entry a probe until the entries left fit a small window; that window
  // is read with one call and the same search ends in it. Nothing outlives the call.
  constexpr std::int64_t kWindow = 128;
  unsigned char window[kWindow * IndexEntry::kSize];
  std::int64_t window_low = -1;  // the first entry held in `window`, or -1
  while (low <= high) {
    const std::int64_t mid = (low + high) / 2;
    if (window_low < 0 && high - low < kWindow) {
      const std::size_t bytes = static_cast<std::size_t>(high - low + 1) * IndexEntry::kSize;
      const platform::IoResult r = db.file.read_at(
          db.index_offset + static_cast<std::uint64_t>(low) * IndexEntry::kSize, window, bytes);
      if (r.error != 0 || static_cast<std::size_t>(r.count) != bytes) {
        status.damaged = true;  // the file shrank under us or cannot be read
        return status;
      }
      window_low = low;
    }
    unsigned char raw[IndexEntry::kSize];
    const unsigned char* at = raw;
    if (window_low >= 0) {
      at = window + (mid - window_low) * IndexEntry::kSize;
    } else {
      const platform::IoResult r = db.file.read_at(
          db.index_offset + static_cast<std::uint64_t>(mid) * IndexEntry::kSize, raw,
          sizeof raw);
      if (r.error != 0 || r.count != sizeof raw) {
        // The file shrank under us or cannot be read: nothing to compare with.
        status.damaged = true;
        return status;
      }
    }
    const IndexEntry probe = IndexEntry::decode(at);
    if (key < probe.key) {
      high = mid - 1;
    } else if (key > probe.key) {
      low = mid + 1;
    } else {
      *entry = probe;
      status.found = true;
      return status;
    }
  }
  return status;
}

LookupStatus lookup_us_call(const UsDatabase& db, const char* text, LookupResult* result,
                            const char** why) {
  if (!is_us_callsign(text)) return LookupStatus{};
  IndexEntry entry;
  LookupStatus status = find_entry(db, encode_call(text), &entry);
  if (status.damaged && why != nullptr) *why = kShortRead;
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

int open_prev_db(const std::string& path, PrevDatabase* db) {
  if (db->file.open(path, Access::read, Share::read_write, Disposition::open_existing) == 0) {
    const platform::IoResult r = db->file.read_at(0, db->date, kDateSize);
    const platform::IoResult size = db->file.size();
    if (r.error == 0 && r.count == kDateSize && size.error == 0) {
      db->date[kDateSize] = '\0';
      std::uint64_t n = size.count / PrevEntry::kSize - 1;
      if (n > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
        n = static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
      }
      db->count = static_cast<std::int32_t>(n);
      return 0;
    }
  }
  db->file.close();
  return -1;
}

std::string prev_line(const PrevDatabase& db, const char* file_name) {
  char line[128];
  std::snprintf(line, sizeof line, "%d previous calls in %s, dated %.2s/%.2s/%.4s", db.count,
                file_name, db.date + 4, db.date + 6, db.date);
  return line;
}

int find_prev_call(const PrevDatabase& db, const char* text, char (&replacement)[7],
                   bool* damaged) {
  if (!is_us_callsign(text)) return -1;
  const CallKey key = encode_call(text);
  std::int64_t low = 1;
  std::int64_t high = db.count;
  while (low <= high) {
    const std::int64_t mid = (low + high) / 2;
    unsigned char raw[PrevEntry::kSize];
    const platform::IoResult r = db.file.read_at(
        static_cast<std::uint64_t>(mid) * PrevEntry::kSize, raw, sizeof raw);
    if (r.error != 0 || r.count != sizeof raw) {
      if (damaged != nullptr) *damaged = true;
      return -1;
    }
    const PrevEntry probe = PrevEntry::decode(raw);
    if (key == probe.old_key) {
      std::memcpy(replacement, decode_call(probe.new_key), sizeof replacement);
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

}  // namespace dbfiles
