#include "fcc/fcc_state.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "fcc/zip_archive.h"

namespace calldb {

namespace {

constexpr char kMagic[8] = {'C', 'A', 'L', 'L', 'F', 'C', 'C', '\x1A'};
constexpr std::uint32_t kVersion = 2;
constexpr std::size_t kHeaderSize = 76;
constexpr std::size_t kMaxText = 16384;
constexpr std::size_t kChunk = 1 << 20;
constexpr std::size_t kLeastLicence = 1 + 1 + 4 + 3 * 1;
constexpr std::size_t kMaxNumber = 10;  // bytes of a number of 64 bits, 7 bits a byte

void put(std::string* out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}
// A number in as few bytes as it needs: 7 bits a byte, the lowest first, the top bit set on
// every byte but the last.
void put_number(std::string* out, std::uint64_t value) {
  for (; value >= 0x80; value >>= 7) out->push_back(static_cast<char>((value & 0x7F) | 0x80));
  out->push_back(static_cast<char>(value));
}
std::uint64_t get(const char* in, int bytes) {
  std::uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(in[i]);
  return value;
}

bool is_day(std::string_view text) {
  if (text.size() != 8) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Reads a file front to back in large pieces.
class ChunkReader {
 public:
  int open(const std::string& path, std::string* why) {
    const int code = file_.open(path, platform::Access::read, platform::Share::read,
                                platform::Disposition::open_existing);
    const platform::IoResult size = code == 0 ? file_.size() : platform::IoResult{};
    if (code != 0 || !size.ok()) {
      *why = "cannot be read (error " + std::to_string(code != 0 ? code : size.error) + ")";
      return -1;
    }
    size_ = size.count;
    buffer_ = std::make_unique_for_overwrite<char[]>(kChunk + kMaxText + 64);
    return 0;
  }
  std::uint64_t size() const { return size_; }
  // Makes the next `n` bytes (n <= kChunk) readable at data(); false at the file's end.
  bool need(std::size_t n, std::string* why) {
    if (!fill(n, why)) return false;
    if (end_ - pos_ < n) *why = "it is cut short";
    return end_ - pos_ >= n;
  }
  // Makes as many of the next `n` bytes readable at data() as the file holds; false when a read
  // fails.
  bool fill(std::size_t n, std::string* why) {
    if (end_ - pos_ >= n) return true;
    std::memmove(buffer_.get(), buffer_.get() + pos_, end_ - pos_);
    end_ -= pos_;
    pos_ = 0;
    const std::size_t want = static_cast<std::size_t>(
        std::min<std::uint64_t>(kChunk + kMaxText + 64 - end_, size_ - offset_));
    const platform::IoResult got = file_.read_at(offset_, buffer_.get() + end_, want);
    if (!got.ok() || got.count != want) {
      *why = "a read failed (error " + std::to_string(got.error) + ")";
      return false;
    }
    offset_ += want;
    end_ += want;
    return true;
  }
  std::size_t available() const { return end_ - pos_; }
  // The number at data() + *at, passed over. False, with *why set, when it is cut short or
  // longer than 64 bits.
  bool number(std::size_t* at, std::uint64_t* value, std::string* why) {
    if (!fill(*at + kMaxNumber, why)) return false;
    *value = 0;
    for (std::size_t i = 0; i < kMaxNumber; ++i) {
      if (*at + i >= available()) {
        *why = "it is cut short";
        return false;
      }
      const auto byte = static_cast<unsigned char>(buffer_[pos_ + *at + i]);
      if (i == kMaxNumber - 1 && byte > 1) break;
      *value |= static_cast<std::uint64_t>(byte & 0x7F) << (7 * i);
      if (byte < 0x80) {
        *at += i + 1;
        return true;
      }
    }
    *why = "a number is damaged";
    return false;
  }
  const char* data() const { return buffer_.get() + pos_; }
  // Passes `n` bytes, adding them to the running CRC.
  void take(std::size_t n) {
    crc_ = crc32(std::string_view(buffer_.get() + pos_, n), crc_);
    pos_ += n;
    consumed_ += n;
  }
  std::uint32_t crc() const { return crc_; }
  std::uint64_t consumed() const { return consumed_; }

 private:
  platform::File file_;
  std::unique_ptr<char[]> buffer_;
  std::uint64_t size_ = 0;
  std::uint64_t offset_ = 0;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  std::uint64_t consumed_ = 0;
  std::uint32_t crc_ = 0;
};

int parse_header(const char* p, std::uint64_t file_size, FccStateHeader* header,
                 std::string* why) {
  if (std::memcmp(p, kMagic, sizeof kMagic) != 0) {
    *why = "it is not a state file";
    return -1;
  }
  if (get(p + 8, 4) != kVersion) {
    *why = "it is of another version (" + std::to_string(get(p + 8, 4)) + ")";
    return -1;
  }
  header->date.assign(p + 12, 8);
  header->archive.day.assign(p + 20, 8);
  header->archive.utc_seconds = static_cast<std::int64_t>(get(p + 28, 8));
  header->next_order = get(p + 36, 8);
  header->call_db = {get(p + 44, 8), static_cast<std::uint32_t>(get(p + 52, 4))};
  header->callprev_db = {get(p + 56, 8), static_cast<std::uint32_t>(get(p + 64, 4))};
  header->licences = get(p + 68, 8);
  if (!is_day(header->date) || !is_day(header->archive.day) ||
      header->licences > (file_size - kHeaderSize) / kLeastLicence) {
    *why = "its header is damaged";
    return -1;
  }
  return 0;
}

}  // namespace

int stamp_file(const std::string& path, FileStamp* stamp, std::string* error) {
  ChunkReader reader;
  if (reader.open(path, error) != 0) return -1;
  for (std::uint64_t left = reader.size(); left > 0;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, kChunk));
    if (!reader.need(n, error)) return -1;
    reader.take(n);
    left -= n;
  }
  *stamp = {reader.size(), reader.crc()};
  return 0;
}

int read_state_header(const std::string& path, FccStateHeader* header, std::string* why) {
  ChunkReader reader;
  if (reader.open(path, why) != 0) return -1;
  if (reader.size() < kHeaderSize + 4) {
    *why = "it is cut short";
    return -1;
  }
  if (!reader.need(kHeaderSize, why)) return -1;
  return parse_header(reader.data(), reader.size(), header, why);
}

int read_state(const std::string& path, FccStateHeader* header,
               const std::function<void(const StateLicence&)>& each, std::string* why) {
  ChunkReader reader;
  if (reader.open(path, why) != 0) return -1;
  if (reader.size() < kHeaderSize + 4) {
    *why = "it is cut short";
    return -1;
  }
  if (!reader.need(kHeaderSize, why) ||
      parse_header(reader.data(), reader.size(), header, why) != 0) {
    return -1;
  }
  reader.take(kHeaderSize);
  std::uint64_t last_id = 0;
  for (std::uint64_t i = 0; i < header->licences; ++i) {
    // The whole licence is made readable before any of it is passed over.
    StateLicence licence;
    std::size_t at = 0;
    std::uint64_t step = 0;
    if (!reader.number(&at, &step, why) || !reader.number(&at, &licence.order, why) ||
        !reader.need(at + 4, why)) {
      return -1;
    }
    licence.id = last_id + step;
    licence.grant = static_cast<std::uint32_t>(get(reader.data() + at, 4));
    at += 4;
    if ((i > 0 && (step == 0 || licence.id < last_id)) || licence.order > header->next_order) {
      *why = "its licences are out of order";
      return -1;
    }
    last_id = licence.id;
    // The three texts: each length is checked before its bytes are asked for.
    std::size_t starts[3];
    std::size_t lengths[3];
    for (int t = 0; t < 3; ++t) {
      std::uint64_t length = 0;
      if (!reader.number(&at, &length, why)) return -1;
      if (length > kMaxText) {
        *why = "a text is too long";
        return -1;
      }
      lengths[t] = static_cast<std::size_t>(length);
      starts[t] = at;
      if (!reader.need(at + lengths[t], why)) return -1;
      at += lengths[t];
    }
    const char* p = reader.data();
    licence.call = {p + starts[0], lengths[0]};
    licence.en = {p + starts[1], lengths[1]};
    licence.am = {p + starts[2], lengths[2]};
    each(licence);
    reader.take(at);
  }
  if (reader.size() - reader.consumed() != 4) {
    *why = "its size does not match its licences";
    return -1;
  }
  const std::uint32_t crc = reader.crc();
  if (!reader.need(4, why)) return -1;
  if (get(reader.data(), 4) != crc) {
    *why = "its checksum does not match";
    return -1;
  }
  return 0;
}

int check_state(const std::string& folder, FccStateHeader* header, std::string* why) {
  const std::string path = platform::join_path(folder, kFccStateName);
  if (!platform::file_exists(path)) {
    *why = std::string(kFccStateName) + " is missing";
    return -1;
  }
  std::string reason;
  if (read_state_header(path, header, &reason) != 0) {
    *why = std::string(kFccStateName) + ": " + reason;
    return -1;
  }
  for (const auto& [name, recorded] :
       {std::pair{"call.db", header->call_db}, std::pair{"callprev.db", header->callprev_db}}) {
    FileStamp stamp;
    if (stamp_file(platform::join_path(folder, name), &stamp, &reason) != 0 ||
        !(stamp == recorded)) {
      *why = std::string(kFccStateName) + " is out of step: " + name +
             " is not the one it was made with";
      return -1;
    }
  }
  return 0;
}

int StateWriter::begin(const FccStateHeader& header) {
  last_id_ = 0;
  buffer_.assign(kMagic, sizeof kMagic);
  put(&buffer_, kVersion, 4);
  buffer_ += header.date.substr(0, 8);
  buffer_.resize(20, '0');
  buffer_ += header.archive.day.substr(0, 8);
  buffer_.resize(28, '0');
  put(&buffer_, static_cast<std::uint64_t>(header.archive.utc_seconds), 8);
  put(&buffer_, header.next_order, 8);
  put(&buffer_, header.call_db.size, 8);
  put(&buffer_, header.call_db.crc, 4);
  put(&buffer_, header.callprev_db.size, 8);
  put(&buffer_, header.callprev_db.crc, 4);
  put(&buffer_, header.licences, 8);
  return 0;
}

int StateWriter::add(const StateLicence& licence) {
  put_number(&buffer_, licence.id - last_id_);
  last_id_ = licence.id;
  put_number(&buffer_, licence.order);
  put(&buffer_, licence.grant, 4);
  for (const std::string_view text : {licence.call, licence.en, licence.am}) {
    put_number(&buffer_, text.size());
    buffer_ += text;
  }
  return buffer_.size() >= kChunk ? flush() : 0;
}

int StateWriter::flush() {
  crc_ = crc32(buffer_, crc_);
  const platform::IoResult wrote = file_->write(buffer_.data(), buffer_.size());
  buffer_.clear();
  return wrote.error;
}

int StateWriter::finish() {
  if (const int rc = flush(); rc != 0) return rc;
  put(&buffer_, crc_, 4);
  const platform::IoResult wrote = file_->write(buffer_.data(), buffer_.size());
  buffer_.clear();
  return wrote.error;
}

}  // namespace calldb
