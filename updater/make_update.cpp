#include "updater/make_update.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "dbfiles/callkey.h"
#include "dbfiles/coding.h"
#include "dbfiles/dbwriter.h"
#include "dbfiles/usdb.h"
#include "updater/merge.h"

namespace updater {

using dbfiles::IndexEntry;

namespace {

// A whole database read into memory.
struct Loaded {
  std::string bytes;
  std::uint32_t index_offset = 0;
  std::size_t count = 0;

  IndexEntry entry(std::size_t i) const {
    return IndexEntry::decode(reinterpret_cast<const unsigned char*>(bytes.data()) +
                              index_offset + i * IndexEntry::kSize);
  }
  // The entry's text without its terminator, or false when it is not a sound text.
  bool text(const IndexEntry& e, std::string_view* out) const {
    const std::uint32_t offset = e.text_offset();
    if (offset < dbfiles::kHeaderSize || offset >= index_offset) return false;
    std::size_t limit = index_offset - offset;
    if (limit > kTextReadSize) limit = kTextReadSize;
    const void* zero = std::memchr(bytes.data() + offset, '\0', limit);
    if (zero == nullptr) return false;
    *out = std::string_view(bytes.data() + offset,
                            static_cast<std::size_t>(static_cast<const char*>(zero) -
                                                     (bytes.data() + offset)));
    return true;
  }
};

int load(const std::string& path, Loaded* db, std::string* error) {
  platform::File file;
  const int err = file.open(path, platform::Access::read, platform::Share::read,
                            platform::Disposition::open_existing);
  const platform::IoResult size = err == 0 ? file.size() : platform::IoResult{0, err};
  if (size.error == 0) {
    db->bytes.resize(static_cast<std::size_t>(size.count));
    const platform::IoResult r = file.read_at(0, db->bytes.data(), db->bytes.size());
    if (r.error == 0 && r.count == size.count && size.count >= dbfiles::kHeaderSize) {
      db->index_offset =
          dbfiles::decode_fixed32(reinterpret_cast<const unsigned char*>(db->bytes.data()) + 8);
      if (db->index_offset >= dbfiles::kHeaderSize && db->index_offset <= size.count) {
        db->count = (size.count - db->index_offset) / IndexEntry::kSize;
        return 0;
      }
    }
  }
  *error = path + ": not a readable database" +
           (size.error != 0 ? " (error " + std::to_string(size.error) + ")" : std::string());
  return -1;
}

}  // namespace

int make_update(const std::string& old_path, const std::string& new_path,
                const std::string& out_path, std::string* error, std::size_t* entries,
                std::string_view date) {
  Loaded old_db;
  Loaded new_db;
  if (load(old_path, &old_db, error) != 0 || load(new_path, &new_db, error) != 0) return -1;

  if (date.size() != dbfiles::kDateSize) {
    date = std::string_view(new_db.bytes.data(), dbfiles::kDateSize);
  }
  dbfiles::CallDbWriter writer;
  if (writer.open(out_path, date) != 0) {
    *error = writer.error();
    return -1;
  }
  const auto fail = [&](const std::string& message) {
    *error = message;
    platform::delete_file(out_path);
    return -1;
  };
  const auto put = [&](const IndexEntry& e) {
    std::string_view text;
    if (!new_db.text(e, &text)) {
      return fail(new_path + ": damaged record text of " + dbfiles::decode_call(e.key));
    }
    if (writer.add_raw(e.key, e.street_len(), e.place, text) != 0) return fail(writer.error());
    return 0;
  };

  std::size_t i = 0;
  std::size_t j = 0;
  while (i < old_db.count || j < new_db.count) {
    if (writer.entries() > kMaxUpdateEntries) break;
    const bool take_old = j == new_db.count ||
                          (i < old_db.count && old_db.entry(i).key < new_db.entry(j).key);
    const bool take_new = i == old_db.count ||
                          (j < new_db.count && new_db.entry(j).key < old_db.entry(i).key);
    if (take_old) {  // gone from NEW
      if (writer.add_without_text(old_db.entry(i).key) != 0) return fail(writer.error());
      ++i;
    } else if (take_new) {  // a new call
      if (put(new_db.entry(j)) != 0) return -1;
      ++j;
    } else {  // in both: written only when something differs
      const IndexEntry o = old_db.entry(i);
      const IndexEntry n = new_db.entry(j);
      std::string_view old_text;
      std::string_view new_text;
      const bool same = old_db.text(o, &old_text) && new_db.text(n, &new_text) &&
                        old_text == new_text && o.street_len() == n.street_len() &&
                        o.place == n.place;
      if (!same && put(n) != 0) return -1;
      ++i;
      ++j;
    }
  }
  if (writer.entries() > kMaxUpdateEntries) {
    return fail("more than " + std::to_string(kMaxUpdateEntries) +
                " calls changed: an update file carries no more");
  }
  if (entries != nullptr) *entries = writer.entries();
  if (writer.finish() != 0) return fail(writer.error());
  return 0;
}

}  // namespace updater
