// Writers of the database layouts, for tools and tests. Each writes the header first with a
// placeholder where the index offset goes, then the record texts, zero bytes up to a multiple
// of 4, the whole index, and last the index offset over the placeholder, so that a file cut
// short anywhere never carries a valid offset. Each writes under a temporary name of its own and
// puts the file in place whole when it finishes; a writer that fails or is destroyed before
// finishing leaves the path as it was.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dbfiles/callkey.h"
#include "platform/platform.h"

namespace dbfiles {

// Writes call.db or an update file, entry by entry in ascending key order.
class CallDbWriter {
 public:
  // Creates `path`, replacing it, and writes the 8-character date (YYYYMMDD) and a placeholder.
  int open(const std::string& path, std::string_view date);
  // Appends a record. Fails when the key is not above the last one, when a part is too long
  // for its field (name 255, street 63, whole text 255 plus the terminator) or when the text
  // area would pass 64 MiB.
  int add(CallKey key, std::string_view name, std::string_view street, std::string_view city,
          std::uint32_t state, std::uint32_t zip, bool po_box);
  // Appends a record whose text (name, street and city, without the terminator) and entry
  // words are given whole; street_len and place are stored as given.
  int add_raw(CallKey key, std::uint32_t street_len, std::uint32_t place, std::string_view text);
  // Appends an entry without a text (text_ref zero): a deletion in an update file. `place` is
  // written as given.
  int add_without_text(CallKey key, std::uint32_t place = 0);
  // Pads, writes the index and the index offset, and closes. Returns 0 or -1.
  int finish();

  // What went wrong, after a -1.
  const std::string& error() const { return error_; }
  std::size_t entries() const { return index_.size(); }

 private:
  int fail(std::string message);
  int check_key(CallKey key);
  int flush_texts();

  platform::NewFile file_;
  std::vector<IndexEntry> index_;
  std::string pending_;        // texts not yet written
  std::uint64_t offset_ = 0;   // where the next text begins
  std::string error_;
};

// One US licence for write_call_db().
struct UsRecord {
  CallKey key = 0;
  std::string name;
  std::string street;
  std::string city;
  std::uint32_t state = 0;
  std::uint32_t zip = 0;
  bool po_box = false;
};

// Writes a whole call.db from records sorted by key. Returns 0 or -1 with *error set.
int write_call_db(const std::string& path, std::string_view date,
                  const std::vector<UsRecord>& records, std::string* error = nullptr);

// Writes callprev.db: the 8-character date and the entries, sorted by old_key.
int write_prev_db(const std::string& path, std::string_view date,
                  const std::vector<PrevEntry>& entries, std::string* error = nullptr);

// Writes cancall.db, entry by entry in list order.
class CanDbWriter {
 public:
  // Creates `path` and writes "C%.3s%.2s%.2s----" from an 8-character date (YYYYMMDD).
  int open(const std::string& path, std::string_view date);
  // Appends a licence: word 0 of its entry (key and province) and its five record strings.
  int add(std::uint32_t word0, std::string_view surname, std::string_view given,
          std::string_view street, std::string_view city, std::string_view postal);
  // Pads, writes the index and the index offset, flushes the file to disk and closes it.
  int finish();

  const std::string& error() const { return error_; }
  // Where the next record text would begin: the header and the texts so far.
  std::size_t text_end() const { return texts_.size(); }
  std::size_t entries() const { return index_.size(); }

 private:
  int fail(std::string message);

  platform::NewFile file_;
  std::vector<CanEntry> index_;
  std::string texts_;
  std::string error_;
};

}  // namespace dbfiles
