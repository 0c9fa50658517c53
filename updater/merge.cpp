#include "updater/merge.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <openssl/evp.h>

#include "dbfiles/callkey.h"
#include "dbfiles/coding.h"
#include "dbfiles/usdb.h"
#include "updater/doupdate.h"
#include "updater/folder_job.h"
#include "updater/http_client.h"

namespace updater {

using dbfiles::IndexEntry;
using platform::Access;
using platform::Disposition;
using platform::Share;

namespace {

// Reads and writes go in blocks of 256 KiB: large enough that the calls cost little, small
// enough that the buffers, fresh for every merge, are quickly mapped in.
constexpr std::size_t kWindowSize = 1 << 18;  // read-ahead over the texts
constexpr std::size_t kWriteBuffer = 1 << 18;

constexpr char kOpenFailed[] =
    "UNABLE TO OPEN database file for modification\rMake sure the orbisk pgm is not running.\r"
    "And make sure the fernwick.exe is in the same folder as the database file.";

// The box when call.db cannot be opened for the update: the text above while someone else holds
// it (the lookup program), but a missing file is named with the folder it was looked for in.
std::string open_failed_text(int error, const std::string& folder) {
  if (error != ENOENT) return kOpenFailed;
  return "UNABLE TO OPEN database file for modification\rcall.db not found in " +
         dbfiles::shown_folder(folder) + ".";
}

std::string show_date(const char* date) {
  char text[16];
  std::snprintf(text, sizeof text, "%.2s/%.2s/%.4s", date + 4, date + 6, date);
  return text;
}

std::string printf_text(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string printf_text(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

// Record texts of one file, found by offset. The old texts lie in index order, so they are read
// through a large window that slides forward; a text outside the window is read afresh from
// its own offset.
class TextSource {
 public:
  enum Status { kOk, kOutside, kUnterminated, kReadError };

  // Texts lie between the header and `text_end`, the file's index offset.
  TextSource(const platform::File& file, std::uint64_t text_end)
      : file_(file), text_end_(text_end) {}

  // On kOk, [*text, *text + *len) is the text with its terminator, valid until the next call.
  Status get(std::uint32_t offset, const char** text, std::size_t* len, int* error) {
    if (offset < dbfiles::kHeaderSize || offset >= text_end_) return kOutside;
    std::size_t limit = kTextReadSize;
    if (text_end_ - offset < limit) limit = static_cast<std::size_t>(text_end_ - offset);
    if (offset < start_ || offset + limit > start_ + len_) {
      if (!buffer_) buffer_.reset(new char[kWindowSize]);
      std::size_t want = kWindowSize;
      if (text_end_ - offset < want) want = static_cast<std::size_t>(text_end_ - offset);
      const platform::IoResult r = file_.read_at(offset, buffer_.get(), want);
      if (r.error != 0 || r.count < limit) {
        *error = r.error;
        len_ = 0;
        return kReadError;
      }
      start_ = offset;
      len_ = static_cast<std::size_t>(r.count);
    }
    const char* p = buffer_.get() + (offset - start_);
    const void* zero = std::memchr(p, '\0', limit);
    if (zero == nullptr) return kUnterminated;
    *text = p;
    *len = static_cast<std::size_t>(static_cast<const char*>(zero) - p) + 1;
    return kOk;
  }

 private:
  const platform::File& file_;
  std::uint64_t text_end_;
  std::unique_ptr<char[]> buffer_;
  std::uint64_t start_ = 0;
  std::size_t len_ = 0;
};

// call.db.new, written front to back through a buffer; every write is checked.
class Output {
 public:
  explicit Output(platform::File* file) : file_(file), buffer_(new char[kWriteBuffer]) {}

  // n is at most kWriteBuffer.
  int append(const void* data, std::size_t n) {
    if (n > kWriteBuffer - used_ && flush() != 0) return -1;
    std::memcpy(buffer_.get() + used_, data, n);
    used_ += n;
    return 0;
  }
  int flush() {
    const platform::IoResult r = file_->write(buffer_.get(), used_);
    used_ = 0;
    return r.ok() ? 0 : -1;
  }

 private:
  platform::File* file_;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
};

// Why the check refused a file: the reason, or an empty text when it passed.
std::string check_header(const char* date, const char* due_date) {
  Date d;
  if (!parse_date(date, &d)) return "its date is not a valid date";
  if (std::memcmp(date, due_date, 8) != 0) {
    return "dated " + show_date(date) + " instead of " + show_date(due_date);
  }
  return "";
}

}  // namespace

UpdateCheck check_update_file(const platform::File& file, const char* due_date,
                              UpdateFile* update, std::string* reason, int* error) {
  *error = 0;
  const platform::IoResult size = file.size();
  if (size.error != 0) {
    *error = size.error;
    return UpdateCheck::unreadable;
  }
  update->size = size.count;
  if (size.count < dbfiles::kHeaderSize) {
    *reason = "shorter than its 12-byte header";
    return UpdateCheck::corrupt;
  }
  unsigned char header[dbfiles::kHeaderSize];
  platform::IoResult r = file.read_at(0, header, sizeof header);
  if (r.error != 0 || r.count != sizeof header) {
    *error = r.error != 0 ? r.error : EIO;
    return UpdateCheck::unreadable;
  }
  std::memcpy(update->date, header, 8);
  *reason = check_header(update->date, due_date);
  if (!reason->empty()) return UpdateCheck::corrupt;

  const std::uint32_t offset = dbfiles::decode_fixed32(header + 8);
  if (offset < dbfiles::kHeaderSize || offset > size.count) {
    *reason = printf_text("its index offset %u lies outside the file of %llu bytes", offset,
                          static_cast<unsigned long long>(size.count));
    return UpdateCheck::corrupt;
  }
  const std::uint64_t index_bytes = size.count - offset;
  if (index_bytes % IndexEntry::kSize != 0) {
    *reason = printf_text("its index ends inside an entry (%llu bytes past the last whole one)",
                          static_cast<unsigned long long>(index_bytes % IndexEntry::kSize));
    return UpdateCheck::corrupt;
  }
  if (index_bytes > kUpdateIndexBytes) {
    *reason = printf_text("%llu index entries, more than %zu",
                          static_cast<unsigned long long>(index_bytes / IndexEntry::kSize),
                          kMaxUpdateEntries);
    return UpdateCheck::corrupt;
  }
  update->index_offset = offset;
  update->index.resize(static_cast<std::size_t>(index_bytes));
  r = file.read_at(offset, update->index.data(), update->index.size());
  if (r.error != 0 || r.count != index_bytes) {
    *error = r.error != 0 ? r.error : EIO;
    return UpdateCheck::unreadable;
  }

  const std::size_t count = update->index.size() / IndexEntry::kSize;
  TextSource texts(file, offset);
  for (std::size_t i = 0; i < count; ++i) {
    const IndexEntry e = IndexEntry::decode(update->index.data() + i * IndexEntry::kSize);
    if (i > 0) {
      const std::uint32_t before = dbfiles::decode_fixed32(update->index.data() +
                                                           (i - 1) * IndexEntry::kSize);
      if (e.key <= before) {
        const std::string previous = dbfiles::decode_call(before);
        *reason = printf_text("index entry %zu (%s) does not sort after the one before (%s)",
                              i + 1, dbfiles::decode_call(e.key), previous.c_str());
        return UpdateCheck::corrupt;
      }
    }
    if (e.text_ref == 0) continue;  // a deletion has no text
    const char* text = nullptr;
    std::size_t len = 0;
    switch (texts.get(e.text_offset(), &text, &len, error)) {
      case TextSource::kOk:
        break;
      case TextSource::kOutside:
        *reason = printf_text("the record text of %s at offset %u lies outside the text area",
                              dbfiles::decode_call(e.key), e.text_offset());
        return UpdateCheck::corrupt;
      case TextSource::kUnterminated:
        *reason = printf_text("the record text of %s at offset %u has no end within 256 bytes "
                              "of the text area",
                              dbfiles::decode_call(e.key), e.text_offset());
        return UpdateCheck::corrupt;
      case TextSource::kReadError:
        if (*error == 0) *error = EIO;
        return UpdateCheck::unreadable;
    }
  }
  return UpdateCheck::sound;
}

int file_sha256(const std::string& path, std::string* hex) {
  platform::File file;
  int error = file.open(path, Access::read, Share::read_write, Disposition::open_existing);
  if (error != 0) return error;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return ENOMEM;
  std::unique_ptr<char[]> block(new char[kWindowSize]);
  for (;;) {
    const platform::IoResult r = file.read(block.get(), kWindowSize);
    if (r.error != 0) return r.error;
    if (EVP_DigestUpdate(context.get(), block.get(), static_cast<std::size_t>(r.count)) != 1) {
      return EIO;
    }
    if (r.count < kWindowSize) break;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(context.get(), digest, &size) != 1) return EIO;
  static const char kHex[] = "0123456789abcdef";
  hex->clear();
  for (unsigned int i = 0; i < size; ++i) {
    hex->push_back(kHex[digest[i] >> 4]);
    hex->push_back(kHex[digest[i] & 15]);
  }
  return 0;
}

std::string digest_line(const std::string& hex, const std::string& name) {
  return hex + "  " + name + "\n";
}

DigestCheck check_update_digest(const std::string& path, std::string_view digest_text,
                                int* error) {
  constexpr std::size_t kDigits = 64;
  const auto hex_digit = [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  };
  if (digest_text.size() < kDigits ||
      !std::all_of(digest_text.begin(), digest_text.begin() + kDigits, hex_digit) ||
      (digest_text.size() > kDigits &&
       std::string_view(" \t\r\n").find(digest_text[kDigits]) == std::string_view::npos)) {
    return DigestCheck::not_a_digest;
  }
  std::string hex;
  *error = file_sha256(path, &hex);
  if (*error != 0) return DigestCheck::unreadable;
  for (std::size_t i = 0; i < kDigits; ++i) {
    const char c = digest_text[i];
    if (hex[i] != (c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c)) return DigestCheck::differs;
  }
  return DigestCheck::matches;
}

int check_fetched_update(WorkerEnv& env, int row) {
  constexpr std::size_t kDigestFileMax = 1024;  // read of a digest file; its line is far shorter
  WorkerLink& link = *env.link;
  const std::string name = env.state->update_rows[row].name;
  const std::string digest_name = name + kDigestSuffix;
  std::string text;
  const int fetched = http_get_text(env, digest_name.c_str(), kDigestFileMax, &text);
  if (fetched == 0) return 0;  // the server keeps no digests
  const std::string path = env.path(name);
  int error = 0;
  const DigestCheck check =
      fetched > 0 ? check_update_digest(path, text, &error) : DigestCheck::unreadable;
  if (check == DigestCheck::matches) return 0;
  if (check == DigestCheck::not_a_digest) {
    link.log_text(digest_name + " holds no SHA-256; " + name + " is taken unchecked\r\n");
    return 0;
  }
  platform::delete_file(path);
  if (check == DigestCheck::unreadable) {
    link.log_text(name + " <<----deleted unchecked: " +
                  (fetched > 0 ? "it cannot be read (error " + std::to_string(error) + ")"
                               : digest_name + " could not be fetched") +
                  "\r\n");
    return -1;
  }
  const std::string reason = "its SHA-256 is not the one in " + digest_name;
  link.log_text(name + " <<----CORRUPT update file deleted: " + reason + "\r\n");
  link.message_box(name + ": " + reason, "Update file is CORRUPT, deleting", Buttons::ok,
                   Icon::none);
  return -1;
}

namespace {

class Merge {
 public:
  Merge(WorkerEnv& env, int row, const char* due_date)
      : env_(env), link_(*env.link), row_(row), scheduled_(due_date != nullptr) {
    name_ = env.state->update_rows[row].name;
    if (scheduled_) std::memcpy(due_date_, due_date, 8);
  }

  int run();
  const platform::FileId& database_id() const { return db_id_; }

 private:
  int open_database();
  int open_update();
  int write_output();
  // Copies the text of `entry` (12 bytes, from call.db's index or the update's) from `source` to
  // the output and adds the entry to the merged index.
  int emit(const unsigned char* entry, TextSource& source, bool from_update);
  void show_counts();
  int fail_output();
  int damaged_text(TextSource::Status status, const IndexEntry& entry, bool from_update,
                   int error);

  WorkerEnv& env_;
  WorkerLink& link_;
  int row_;
  bool scheduled_;
  char due_date_[8] = {};
  std::string name_;

  platform::File db_;
  platform::FileId db_id_;
  char db_date_[8] = {};
  std::uint32_t db_index_offset_ = 0;
  // call.db's index, kUpdateIndexBytes into the buffer. The merged index is written from the
  // buffer's start over the old one as the walk goes: the update inserts at most
  // kMaxUpdateEntries entries, so a merged entry lands at the latest on the old entry it copies,
  // never on one still to be read.
  std::unique_ptr<unsigned char[]> index_;
  const unsigned char* old_index_ = nullptr;
  std::size_t old_count_ = 0;
  std::size_t merged_ = 0;  // entries of the merged index written

  platform::File update_file_;
  UpdateFile update_;
  std::size_t update_count_ = 0;

  platform::NewFile out_;
  std::unique_ptr<Output> output_;
  std::uint64_t next_offset_ = dbfiles::kHeaderSize;
  std::int32_t new_ = 0, deleted_ = 0, changed_ = 0, percent_ = 0;
};

int Merge::open_database() {
  const int open_error =
      db_.open(env_.path("call.db"), Access::read, Share::none, Disposition::open_existing);
  if (open_error != 0) {
    link_.message_box(open_failed_text(open_error, env_.folder), "call.db", Buttons::ok,
                      Icon::none);
    if (open_error == platform::sharing_violation_error()) link_.log_text(kHeldByLookup);
    return -1;
  }
  unsigned char header[dbfiles::kHeaderSize];
  platform::IoResult r = db_.read_at(0, header, sizeof header);
  const platform::IoResult size = db_.size();
  int error = r.error != 0 ? r.error : size.error;
  if (error == 0) error = db_.id(&db_id_);
  if (error == 0 && r.count != sizeof header) error = EIO;
  const std::uint32_t offset = dbfiles::decode_fixed32(header + 8);
  // An index offset inside the header or past the end would read texts as entries.
  if (error == 0 && (offset < dbfiles::kHeaderSize || offset > size.count)) error = EINVAL;
  if (error != 0) {
    char text[64];
    std::snprintf(text, sizeof text, "ERR %d reading original db", error);
    link_.message_box(text, "call.db", Buttons::ok, Icon::none);
    return -1;
  }
  std::memcpy(db_date_, header, 8);
  db_index_offset_ = offset;
  const std::uint64_t index_bytes = size.count - offset;
  index_.reset(new (std::nothrow) unsigned char[kUpdateIndexBytes + index_bytes]);
  if (!index_) {
    char text[64];
    std::snprintf(text, sizeof text, "ERR %d getting space for db", ENOMEM);
    link_.message_box(text, "call.db", Buttons::ok, Icon::none);
    return -1;
  }
  old_index_ = index_.get() + kUpdateIndexBytes;
  r = db_.read_at(offset, index_.get() + kUpdateIndexBytes, static_cast<std::size_t>(index_bytes));
  if (r.error != 0 || r.count != index_bytes) {
    char text[64];
    std::snprintf(text, sizeof text, "ERR %d reading original db", r.error != 0 ? r.error : EIO);
    link_.message_box(text, "call.db", Buttons::ok, Icon::none);
    return -1;
  }
  old_count_ = static_cast<std::size_t>(r.count / IndexEntry::kSize);
  link_.set_value_cell(ValueCell::db_date, show_date(db_date_));
  return 0;
}

int Merge::open_update() {
  // Without a schedule the update is the one for the week that starts at call.db's date.
  if (!scheduled_) {
    Date d;
    if (!parse_date(db_date_, &d)) {
      link_.message_box("ERR 22 reading original db", "call.db", Buttons::ok, Icon::none);
      return -1;
    }
    const Date end = date_from_days(days_since_epoch(d) + 7);
    char text[16];
    std::snprintf(text, sizeof text, "%04d%02d%02d", end.year, end.month, end.day);
    std::memcpy(due_date_, text, 8);
  }
  const std::string path = env_.path(name_);
  if (update_file_.open(path, Access::read, Share::read_write, Disposition::open_existing) != 0) {
    link_.log_text(name_ + " <<----ERROR OPENING change file\r\n");
    return -1;
  }
  const platform::IoResult size = update_file_.size();
  show_number(link_, row_, RowCell::total, static_cast<std::int32_t>(size.count));
  std::string reason;
  int error = 0;
  const UpdateCheck check = check_update_file(update_file_, due_date_, &update_, &reason, &error);
  if (check == UpdateCheck::unreadable) {
    link_.message_box(name_, "ERROR reading update file", Buttons::ok, Icon::none);
    return -1;
  }
  if (check == UpdateCheck::corrupt) {
    // Deleted, so that the next run fetches it afresh instead of finding it at hand again.
    update_file_.close();
    platform::delete_file(path);
    link_.log_text(name_ + " <<----CORRUPT update file deleted: " + reason + "\r\n");
    link_.message_box(name_ + ": " + reason, "Update file is CORRUPT, deleting", Buttons::ok,
                      Icon::none);
    return -1;
  }
  update_count_ = update_.index.size() / IndexEntry::kSize;
  link_.log_text(show_date(update_.date) + "\r\n");
  link_.set_value_cell(ValueCell::updating_to, show_date(update_.date));
  show_number(link_, ValueCell::records, static_cast<std::int32_t>(update_count_));
  return 0;
}

void Merge::show_counts() {
  show_number(link_, ValueCell::new_calls, new_);
  show_number(link_, ValueCell::deleted_calls, deleted_);
  show_number(link_, ValueCell::changed_calls, changed_);
}

int Merge::fail_output() {
  link_.message_box("call.db.new", "ERROR Writing file", Buttons::ok, Icon::error);
  return -1;
}

// A text that would make call.db.new corrupt stops the merge.
int Merge::damaged_text(TextSource::Status status, const IndexEntry& entry, bool from_update,
                        int error) {
  const char* what = status == TextSource::kOutside        ? "lies outside the file's texts"
                     : status == TextSource::kUnterminated ? "has no end within 256 bytes"
                                                           : "cannot be read";
  char text[200];
  std::snprintf(text, sizeof text, "%s: the record text of %s at offset %u %s (error %d)",
                from_update ? name_.c_str() : "call.db", dbfiles::decode_call(entry.key),
                entry.text_offset(), what, error);
  link_.message_box(text, from_update ? "ERROR reading update file" : "call.db", Buttons::ok,
                    Icon::error);
  return -1;
}

int Merge::emit(const unsigned char* entry, TextSource& source, bool from_update) {
  const std::uint32_t text_ref = dbfiles::decode_fixed32(entry + 4);
  const std::uint32_t text_offset = text_ref & IndexEntry::kMaxTextOffset;
  const char* text = nullptr;
  std::size_t len = 0;
  int error = 0;
  const TextSource::Status status = source.get(text_offset, &text, &len, &error);
  if (status != TextSource::kOk) {
    return damaged_text(status, IndexEntry::decode(entry), from_update, error);
  }
  if (next_offset_ > IndexEntry::kMaxTextOffset) {
    link_.message_box("call.db.new would pass 64 MiB of record texts", "ERROR Writing file",
                      Buttons::ok, Icon::error);
    return -1;
  }
  // Copied out first: the merged entry may land on the old entry itself (see index_).
  unsigned char merged[IndexEntry::kSize];
  std::memcpy(merged, entry, IndexEntry::kSize);
  dbfiles::encode_fixed32(merged + 4, (text_ref & ~IndexEntry::kMaxTextOffset) |
                                          static_cast<std::uint32_t>(next_offset_));
  std::memcpy(index_.get() + merged_ * IndexEntry::kSize, merged, IndexEntry::kSize);
  ++merged_;
  next_offset_ += len;
  return output_->append(text, len) == 0 ? 0 : fail_output();
}

int Merge::write_output() {
  unsigned char header[dbfiles::kHeaderSize] = {};
  std::memcpy(header, update_.date, 8);
  if (output_->append(header, sizeof header) != 0) return fail_output();

  TextSource old_texts(db_, db_index_offset_);
  TextSource update_texts(update_file_, update_.index_offset);
  const unsigned char* const updates = update_.index.data();
  const auto key = [](const unsigned char* entry) { return dbfiles::decode_fixed32(entry); };
  const auto deletion = [](const unsigned char* entry) {
    return dbfiles::decode_fixed32(entry + 4) == 0;
  };

  const std::size_t step = old_count_ / 100;
  std::size_t mark = step;
  std::size_t p = 0;
  std::size_t r = 0;
  while (r < update_count_) {
    if (env_.cancelled()) return -1;
    const unsigned char* u = updates + r * IndexEntry::kSize;
    if (p == old_count_) {
      // Past every old key: the rest are new calls. A deletion of a key that is not there has
      // nothing to delete and no text; it is skipped.
      for (; r < update_count_; ++r) {
        u = updates + r * IndexEntry::kSize;
        if (deletion(u)) continue;
        if (emit(u, update_texts, true) != 0) return -1;
        ++new_;
        show_number(link_, ValueCell::new_calls, new_);
      }
      break;
    }
    const unsigned char* o = old_index_ + p * IndexEntry::kSize;
    if (key(u) > key(o)) {
      if (emit(o, old_texts, false) != 0) return -1;
      ++p;
    } else if (key(u) < key(o)) {
      if (!deletion(u)) {
        if (emit(u, update_texts, true) != 0) return -1;
        ++new_;
      }
      ++r;
    } else if (deletion(u)) {
      ++p;
      ++r;
      ++deleted_;
    } else {
      if (emit(u, update_texts, true) != 0) return -1;
      ++p;
      ++r;
      ++changed_;
    }
    // Insertions take the merged index past the old one's length: the count stops at 99 until
    // the end shows 100, so that it never goes back.
    if (merged_ >= mark) {
      show_counts();
      if (percent_ < 99) ++percent_;
      show_number(link_, ValueCell::percent_done, percent_);
      mark += step;
    }
  }
  for (; p < old_count_; ++p) {
    if ((p & 0xFFFF) == 0 && env_.cancelled()) return -1;
    if (emit(old_index_ + p * IndexEntry::kSize, old_texts, false) != 0) return -1;
  }
  show_counts();
  percent_ = 100;
  show_number(link_, ValueCell::percent_done, percent_);

  static const unsigned char kZeros[4] = {};
  const std::size_t pad = static_cast<std::size_t>((4 - next_offset_ % 4) % 4);
  next_offset_ += pad;
  if (output_->append(kZeros, pad) != 0 || output_->flush() != 0) return fail_output();
  platform::File& out_file = out_.file();
  const platform::IoResult w = out_file.write(index_.get(), merged_ * IndexEntry::kSize);
  unsigned char offset[4];
  dbfiles::encode_fixed32(offset, static_cast<std::uint32_t>(next_offset_));
  if (!w.ok() || next_offset_ > 0xFFFFFFFFu || !out_file.write_at(8, offset, 4).ok()) {
    return fail_output();
  }
  // On disk under its own name before the run puts it in place of call.db.
  if (out_.commit() != 0) return fail_output();
  return 0;
}

int Merge::run() {
  set_row_state(env_, row_, kUpdating);
  link_.set_value_cell(ValueCell::update_file, name_);
  if (open_database() != 0 || open_update() != 0) return -1;

  // A temporary file no other writer shares; a failed merge leaves nothing of it.
  if (out_.create(env_.path(kNewDbName)) != 0) {
    link_.log_text(std::string(kNewDbName) + " <<----ERROR OPENING output file\r\n");
    return -1;
  }
  output_ = std::make_unique<Output>(&out_.file());
  if (write_output() != 0) {
    out_.discard();
    return -1;
  }
  return 0;
}

}  // namespace

int merge_update(WorkerEnv& env, int row, const char* due_date, platform::FileId* merged_from) {
  platform::FolderLock lock;
  if (begin_folder_job(env, &lock) != 0) return -1;
  Merge merge(env, row, due_date);
  const int rc = merge.run();
  if (merged_from != nullptr) *merged_from = merge.database_id();
  return rc;
}

}  // namespace updater
