#include "dbfiles/dbwriter.h"

#include <cstring>

#include "dbfiles/coding.h"
#include "dbfiles/usdb.h"

namespace dbfiles {

using platform::Access;
using platform::Disposition;
using platform::Share;

namespace {

constexpr std::size_t kFlushSize = 1 << 20;
constexpr std::uint32_t kMaxStreetLen = 63;
constexpr std::uint32_t kMaxNameLen = 255;

int create(platform::NewFile* file, const std::string& path, std::string* error) {
  const int err = file->create(path);
  if (err != 0) {
    *error = path + ": cannot create (error " + std::to_string(err) + ")";
    return -1;
  }
  return 0;
}

int write_all(platform::NewFile* file, const void* data, std::size_t n, std::string* error) {
  const platform::IoResult r = file->file().write(data, n);
  if (!r.ok()) {
    *error = "write failed (error " + std::to_string(r.error) + ")";
    return -1;
  }
  return 0;
}

int write_index_offset(platform::NewFile* file, std::uint64_t offset, std::string* error) {
  unsigned char word[4];
  encode_fixed32(word, static_cast<std::uint32_t>(offset));
  const platform::IoResult r = file->file().write_at(8, word, sizeof word);
  if (!r.ok()) {
    *error = "write failed (error " + std::to_string(r.error) + ")";
    return -1;
  }
  return 0;
}

std::uint64_t padding(std::uint64_t offset) { return (4 - offset % 4) % 4; }

}  // namespace

// ---------------------------------------------------------------------------------------------

int CallDbWriter::fail(std::string message) {
  error_ = std::move(message);
  file_.discard();
  return -1;
}

int CallDbWriter::open(const std::string& path, std::string_view date) {
  index_.clear();
  pending_.clear();
  error_.clear();
  if (date.size() != kDateSize) return fail("date must have 8 characters");
  if (create(&file_, path, &error_) != 0) return -1;
  unsigned char header[kHeaderSize] = {};
  std::memcpy(header, date.data(), kDateSize);
  if (write_all(&file_, header, sizeof header, &error_) != 0) return fail(error_);
  offset_ = kHeaderSize;
  return 0;
}

int CallDbWriter::check_key(CallKey key) {
  if (!file_.is_open()) return fail(error_.empty() ? "writer is not open" : error_);
  if (!index_.empty() && key <= index_.back().key) {
    return fail(std::string("key of ") + decode_call(key) + " is not above the one before");
  }
  return 0;
}

int CallDbWriter::flush_texts() {
  if (write_all(&file_, pending_.data(), pending_.size(), &error_) != 0) return fail(error_);
  pending_.clear();
  return 0;
}

int CallDbWriter::add(CallKey key, std::string_view name, std::string_view street,
                      std::string_view city, std::uint32_t state, std::uint32_t zip,
                      bool po_box) {
  if (check_key(key) != 0) return -1;
  const std::size_t text_len = name.size() + street.size() + city.size();
  if (name.size() > kMaxNameLen || street.size() > kMaxStreetLen ||
      text_len + 1 > kMaxRecordText) {
    return fail(std::string("record of ") + decode_call(key) + " is too long");
  }
  if (offset_ > IndexEntry::kMaxTextOffset) return fail("text area passes 64 MiB");
  IndexEntry entry;
  entry.key = key;
  entry.text_ref = IndexEntry::make_text_ref(static_cast<std::uint32_t>(offset_),
                                             static_cast<std::uint32_t>(street.size()));
  entry.place = IndexEntry::make_place(zip, state, po_box ? 1 : 0,
                                       static_cast<std::uint32_t>(name.size()));
  index_.push_back(entry);
  pending_.append(name).append(street).append(city).push_back('\0');
  offset_ += text_len + 1;
  if (pending_.size() >= kFlushSize) return flush_texts();
  return 0;
}

int CallDbWriter::add_raw(CallKey key, std::uint32_t street_len, std::uint32_t place,
                          std::string_view text) {
  if (check_key(key) != 0) return -1;
  if (text.size() + 1 > kMaxRecordText || text.find('\0') != std::string_view::npos) {
    return fail(std::string("record of ") + decode_call(key) + " is too long or holds a zero byte");
  }
  if (offset_ > IndexEntry::kMaxTextOffset) return fail("text area passes 64 MiB");
  IndexEntry entry;
  entry.key = key;
  entry.text_ref = IndexEntry::make_text_ref(static_cast<std::uint32_t>(offset_), street_len);
  entry.place = place;
  index_.push_back(entry);
  pending_.append(text).push_back('\0');
  offset_ += text.size() + 1;
  if (pending_.size() >= kFlushSize) return flush_texts();
  return 0;
}

int CallDbWriter::add_without_text(CallKey key, std::uint32_t place) {
  if (check_key(key) != 0) return -1;
  IndexEntry entry;
  entry.key = key;
  entry.place = place;
  index_.push_back(entry);
  return 0;
}

int CallDbWriter::finish() {
  if (!file_.is_open()) return fail(error_.empty() ? "writer is not open" : error_);
  pending_.append(padding(offset_), '\0');
  const std::uint64_t index_offset = offset_ + padding(offset_);
  if (flush_texts() != 0) return -1;
  std::vector<unsigned char> raw(index_.size() * IndexEntry::kSize);
  for (std::size_t i = 0; i < index_.size(); ++i) index_[i].encode(&raw[i * IndexEntry::kSize]);
  if (write_all(&file_, raw.data(), raw.size(), &error_) != 0) return fail(error_);
  if (write_index_offset(&file_, index_offset, &error_) != 0) return fail(error_);
  const int committed = file_.commit();
  if (committed != 0) return fail("cannot put in place (error " + std::to_string(committed) + ")");
  return 0;
}

int write_call_db(const std::string& path, std::string_view date,
                  const std::vector<UsRecord>& records, std::string* error) {
  CallDbWriter writer;
  int rc = writer.open(path, date);
  for (std::size_t i = 0; rc == 0 && i < records.size(); ++i) {
    const UsRecord& r = records[i];
    rc = writer.add(r.key, r.name, r.street, r.city, r.state, r.zip, r.po_box);
  }
  if (rc == 0) rc = writer.finish();
  if (rc != 0 && error != nullptr) *error = writer.error();
  return rc;
}

int write_prev_db(const std::string& path, std::string_view date,
                  const std::vector<PrevEntry>& entries, std::string* error) {
  std::string message;
  if (date.size() != kDateSize) message = "date must have 8 characters";
  for (std::size_t i = 1; message.empty() && i < entries.size(); ++i) {
    if (entries[i].old_key <= entries[i - 1].old_key) {
      message = std::string("old key of ") + decode_call(entries[i].old_key) +
                " is not above the one before";
    }
  }
  platform::NewFile file;
  if (message.empty() && create(&file, path, &message) == 0) {
    std::vector<unsigned char> raw(PrevEntry::kSize * (entries.size() + 1));
    std::memcpy(raw.data(), date.data(), kDateSize);
    for (std::size_t i = 0; i < entries.size(); ++i) {
      entries[i].encode(&raw[(i + 1) * PrevEntry::kSize]);
    }
    if (write_all(&file, raw.data(), raw.size(), &message) == 0) {
      const int committed = file.commit();
      if (committed == 0) return 0;
      message = "cannot put in place (error " + std::to_string(committed) + ")";
    }
  }
  if (error != nullptr) *error = message;
  return -1;
}

// ---------------------------------------------------------------------------------------------

int CanDbWriter::fail(std::string message) {
  error_ = std::move(message);
  file_.discard();
  return -1;
}

int CanDbWriter::open(const std::string& path, std::string_view date) {
  index_.clear();
  texts_.clear();
  error_.clear();
  if (date.size() != kDateSize) return fail("date must have 8 characters");
  if (create(&file_, path, &error_) != 0) return -1;
  texts_.reserve(kFlushSize);
  texts_.push_back('C');
  texts_.append(date.substr(1, 3)).append(date.substr(4, 2)).append(date.substr(6, 2));
  texts_.append("----");
  return 0;
}

int CanDbWriter::add(std::uint32_t word0, std::string_view surname, std::string_view given,
                     std::string_view street, std::string_view city, std::string_view postal) {
  if (!file_.is_open()) return fail(error_.empty() ? "writer is not open" : error_);
  const std::size_t offset = texts_.size();
  if (offset > CanEntry::kMaxTextOffset) return fail("text area passes 16 MiB");
  const std::size_t head = surname.size() + given.size() + street.size() + 3;
  texts_.append(surname).push_back('\0');
  texts_.append(given).push_back('\0');
  texts_.append(street).push_back('\0');
  texts_.append(city).push_back('\0');
  texts_.append(postal).push_back('\0');
  CanEntry entry;
  entry.word0 = word0;
  entry.word1 = CanEntry::make_word1(static_cast<std::uint32_t>(offset),
                                     static_cast<std::uint32_t>(head % 256));
  index_.push_back(entry);
  return 0;
}

int CanDbWriter::finish() {
  if (!file_.is_open()) return fail(error_.empty() ? "writer is not open" : error_);
  texts_.append(padding(texts_.size()), '\0');
  const std::uint64_t index_offset = texts_.size();
  const std::size_t start = texts_.size();
  texts_.resize(start + index_.size() * CanEntry::kSize);
  for (std::size_t i = 0; i < index_.size(); ++i) {
    index_[i].encode(reinterpret_cast<unsigned char*>(&texts_[start + i * CanEntry::kSize]));
  }
  if (write_all(&file_, texts_.data(), texts_.size(), &error_) != 0) return fail(error_);
  if (write_index_offset(&file_, index_offset, &error_) != 0) return fail(error_);
  const int committed = file_.commit();
  if (committed != 0) return fail("cannot put in place (error " + std::to_string(committed) + ")");
  return 0;
}

}  // namespace dbfiles
