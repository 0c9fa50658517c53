#include "fcc/zip_archive.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <climits>
#include <vector>

#include "updater/worker_link.h"

namespace calldb {

namespace {

constexpr std::uint32_t kLocalSignature = 0x04034B50;      // "PK\3\4"
constexpr std::uint32_t kDirectorySignature = 0x02014B50;  // "PK\1\2"
constexpr std::uint32_t kEndSignature = 0x06054B50;        // "PK\5\6"
constexpr std::uint32_t kEnd64Signature = 0x06064B50;      // "PK\6\6"
constexpr std::uint32_t kLocatorSignature = 0x07064B50;    // "PK\6\7"
constexpr std::size_t kLocalHeaderSize = 30;
constexpr std::size_t kDirectoryEntrySize = 46;
constexpr std::size_t kEndSize = 22;
constexpr std::size_t kLocatorSize = 20;
constexpr std::size_t kEnd64Size = 56;
constexpr std::size_t kMaxComment = 65535;
constexpr std::uint32_t kMarker32 = 0xFFFFFFFF;  // "the value is in the zip64 extra field"
constexpr std::uint16_t kZip64Tag = 0x0001;
constexpr int kFlagDataDescriptor = 0x0008;
constexpr std::size_t kInputChunk = 1 << 18;

std::uint32_t le16(const unsigned char* p) { return p[0] | (p[1] << 8); }
std::uint32_t le32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint64_t le64(const unsigned char* p) {
  return le32(p) | (static_cast<std::uint64_t>(le32(p + 4)) << 32);
}

// Every message may name a member as the archive gives it: shown with its control bytes escaped.
int fail(std::string* error, std::string_view message) {
  *error = updater::escape_controls(message);
  return -1;
}

// Replaces the values marked kMarker32 among `fields` (in the order the zip64 extra field
// carries them) from the zip64 extra field in `extra`. When `all` is set the field carries
// both sizes whatever is marked, as a local header's must. Returns false when a marked value
// is missing.
bool apply_zip64(const unsigned char* extra, std::size_t length, std::uint64_t* const* fields,
                 std::size_t count, bool all) {
  bool marked = false;
  for (std::size_t i = 0; i < count; ++i) marked = marked || *fields[i] == kMarker32;
  for (std::size_t pos = 0; pos + 4 <= length;) {
    const std::uint32_t tag = le16(extra + pos);
    const std::size_t size = le16(extra + pos + 2);
    const unsigned char* data = extra + pos + 4;
    pos += 4 + size;
    if (tag != kZip64Tag || pos > length) continue;
    std::size_t used = 0;
    for (std::size_t i = 0; i < count; ++i) {
      if (!all && *fields[i] != kMarker32) continue;
      if (used + 8 > size) return !marked;
      *fields[i] = le64(data + used);
      used += 8;
    }
    return true;
  }
  return !marked;
}

}  // namespace

bool ZipInflate::load(const std::string& library_name, std::string* error) {
  if (loaded()) return true;
  const int code = library_.open(library_name);
  if (code != 0) {
    *error = "it cannot be loaded (error " + std::to_string(code) + ")";
    return false;
  }
  inflate_init2_ = reinterpret_cast<decltype(inflate_init2_)>(library_.symbol("inflateInit2_"));
  inflate_end_ = reinterpret_cast<decltype(inflate_end_)>(library_.symbol("inflateEnd"));
  crc32_ = reinterpret_cast<decltype(crc32_)>(library_.symbol("crc32"));
  inflate_ = reinterpret_cast<decltype(inflate_)>(library_.symbol("inflate"));
  if (inflate_init2_ == nullptr || inflate_end_ == nullptr || crc32_ == nullptr ||
      inflate_ == nullptr) {
    inflate_ = nullptr;
    library_.close();
    *error = "it lacks inflateInit2_, inflate, inflateEnd or crc32";
    return false;
  }
  return true;
}

// The content of one member, inflated or read in place, checked against its size and CRC.
class ZipMemberReader {
 public:
  ZipMemberReader(const platform::File& file, const ZipEntry& entry)
      : file_(file), entry_(entry), offset_(entry.data_offset), left_(entry.compressed_size) {}
  ~ZipMemberReader() {
    if (started_) zlib_->inflate_end_(&stream_);
  }

  long long read(const ZipInflate* zlib, char* out, std::size_t capacity, std::string* error) {
    capacity = std::min<std::size_t>(capacity, UINT_MAX);
    if (failed_) return fail(error, entry_.name + " cannot be read further");
    long long produced = 0;
    if (entry_.method == 0) {
      produced = read_stored(out, capacity, error);
    } else if (entry_.method == 8) {
      produced = read_deflated(zlib, out, capacity, error);
    } else {
      produced = fail(error, entry_.name + ": compression method " +
                                 std::to_string(entry_.method) + " is not read here");
    }
    if (produced < 0) {
      failed_ = true;
      return -1;
    }
    if (produced > 0) {
      total_ += static_cast<std::uint64_t>(produced);
      if (total_ > entry_.uncompressed_size) {
        failed_ = true;
        return fail(error, entry_.name + " comes out longer than its size");
      }
      crc_ = crc(zlib, crc_, out, static_cast<std::size_t>(produced));
    } else if (total_ != entry_.uncompressed_size || crc_ != entry_.crc) {
      failed_ = true;
      return fail(error, entry_.name + " is damaged: " +
                             (total_ != entry_.uncompressed_size ? "its size" : "its CRC") +
                             " does not match");
    }
    return produced;
  }

 private:
  static std::uint32_t crc(const ZipInflate* zlib, std::uint32_t crc, const char* data,
                           std::size_t size) {
    if (zlib != nullptr && zlib->loaded()) {
      return static_cast<std::uint32_t>(
          zlib->crc32_(crc, reinterpret_cast<const unsigned char*>(data),
                       static_cast<unsigned>(size)));
    }
    return calldb::crc32(std::string_view(data, size), crc);  // stored members without zlib
  }

  long long fill(char* into, std::size_t capacity, std::string* error) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left_, capacity));
    if (want == 0) return 0;
    const platform::IoResult got = file_.read_at(offset_, into, want);
    if (!got.ok()) return fail(error, "read error " + std::to_string(got.error));
    if (got.count == 0) return fail(error, entry_.name + " is cut short: the archive ends inside it");
    offset_ += got.count;
    left_ -= got.count;
    return static_cast<long long>(got.count);
  }

  long long read_stored(char* out, std::size_t capacity, std::string* error) {
    return fill(out, capacity, error);
  }

  long long read_deflated(const ZipInflate* zlib, char* out, std::size_t capacity,
                          std::string* error) {
    if (ended_) return 0;
    if (!started_) {
      if (zlib == nullptr || !zlib->loaded()) {
        return fail(error, entry_.name + " is deflated and zlib is not loaded");
      }
      zlib_ = zlib;
      stream_ = z_stream{};
      if (zlib->inflate_init2_(&stream_, -MAX_WBITS, ZLIB_VERSION,
                               static_cast<int>(sizeof(z_stream))) != Z_OK) {
        return fail(error, entry_.name + ": inflateInit2 failed");
      }
      started_ = true;
      input_ = std::make_unique_for_overwrite<char[]>(kInputChunk);
    }
    stream_.next_out = reinterpret_cast<Bytef*>(out);
    stream_.avail_out = static_cast<uInt>(capacity);
    while (stream_.avail_out == capacity) {
      if (stream_.avail_in == 0 && left_ > 0) {
        const long long got = fill(input_.get(), kInputChunk, error);
        if (got < 0) return -1;
        stream_.next_in = reinterpret_cast<Bytef*>(input_.get());
        stream_.avail_in = static_cast<uInt>(got);
      }
      const int code = zlib->inflate_(&stream_, Z_NO_FLUSH);
      if (code == Z_STREAM_END) {
        ended_ = true;
        break;
      }
      if (code == Z_BUF_ERROR && stream_.avail_in == 0 && left_ == 0) {
        return fail(error, entry_.name + " is damaged: its deflated data ends early");
      }
      if (code != Z_OK && code != Z_BUF_ERROR) {
        return fail(error, entry_.name + " is damaged: inflate error " + std::to_string(code));
      }
    }
    return static_cast<long long>(capacity - stream_.avail_out);
  }

  const platform::File& file_;
  const ZipEntry entry_;
  std::uint64_t offset_;
  std::uint64_t left_;  // compressed bytes not yet read
  std::uint64_t total_ = 0;
  std::uint32_t crc_ = 0;
  bool failed_ = false;
  bool started_ = false;
  bool ended_ = false;
  const ZipInflate* zlib_ = nullptr;
  z_stream stream_{};
  std::unique_ptr<char[]> input_;
};

// The central directory, as much as reading members needs: by local header offset.
struct ZipArchive::Directory {
  struct Member {
    std::uint64_t header_offset;
    std::uint64_t compressed_size;
    std::uint64_t uncompressed_size;
    std::uint32_t crc;
  };
  std::vector<Member> members;  // sorted by header_offset
  std::uint64_t offset = 0;     // where the directory starts
};

ZipArchive::ZipArchive() = default;
ZipArchive::~ZipArchive() = default;

int ZipArchive::open(const std::string& path) {
  next_header_ = 0;
  directory_.reset();
  reader_.reset();
  path_ = path;
  const int error = file_.open(path, platform::Access::read, platform::Share::read,
                               platform::Disposition::open_existing);
  if (error != 0) return error;
  const platform::IoResult size = file_.size();
  if (!size.ok()) return size.error;
  size_ = size.count;
  return 0;
}

int ZipArchive::next(ZipEntry* entry, std::string* error) {
  reader_.reset();
  const std::uint64_t at = next_header_;
  unsigned char header[kLocalHeaderSize];
  const platform::IoResult got = file_.read_at(at, header, sizeof header);
  if (!got.ok()) return fail(error, "read error " + std::to_string(got.error));
  if (got.count >= 4) {
    const std::uint32_t signature = le32(header);
    if (signature == kDirectorySignature || signature == kEndSignature ||
        signature == kEnd64Signature) {
      return 0;
    }
    if (signature != kLocalSignature) {
      return fail(error, "no member header at offset " + std::to_string(at));
    }
  }
  const std::string cut = "the archive ends inside a member header at offset " + std::to_string(at);
  if (got.count < sizeof header) return fail(error, cut);
  *entry = ZipEntry{};
  entry->flags = static_cast<int>(le16(header + 6));
  entry->method = static_cast<int>(le16(header + 8));
  entry->crc = le32(header + 14);
  entry->compressed_size = le32(header + 18);
  entry->uncompressed_size = le32(header + 22);
  const std::size_t name_length = le16(header + 26);
  const std::size_t extra_length = le16(header + 28);
  std::string name_and_extra(name_length + extra_length, '\0');
  const platform::IoResult rest =
      file_.read_at(at + kLocalHeaderSize, name_and_extra.data(), name_and_extra.size());
  if (!rest.ok() || rest.count < name_and_extra.size()) return fail(error, cut);
  entry->name = name_and_extra.substr(0, name_length);
  entry->data_offset = at + kLocalHeaderSize + name_and_extra.size();

  if ((entry->flags & kFlagDataDescriptor) != 0) {
    if (from_directory(at, entry, error) != 0) return -1;
  } else {
    std::uint64_t* sizes[] = {&entry->uncompressed_size, &entry->compressed_size};
    const auto* extra = reinterpret_cast<const unsigned char*>(name_and_extra.data()) + name_length;
    if (!apply_zip64(extra, extra_length, sizes, 2, true)) {
      return fail(error, entry->name + " lacks the zip64 sizes its header announces");
    }
    next_header_ = entry->data_offset + entry->compressed_size;
  }
  if (entry->data_offset > size_ || entry->compressed_size > size_ - entry->data_offset) {
    return fail(error, entry->name + " is cut short: the archive ends inside it");
  }
  if (next_header_ < entry->data_offset + entry->compressed_size) {
    return fail(error, entry->name + " overlaps the next member");
  }
  reader_ = std::make_unique<ZipMemberReader>(file_, *entry);
  return 1;
}

long long ZipArchive::read(const ZipInflate* zlib, char* out, std::size_t capacity,
                           std::string* error) {
  if (!reader_) return fail(error, "no member to read");
  return reader_->read(zlib, out, capacity, error);
}

int ZipArchive::load_directory(std::string* error) {
  // The end record sits in the last 22 bytes plus at most a 64 KiB comment; a zip64 archive
  // has the zip64 end record's locator just in front of it.
  const std::uint64_t tail = std::min<std::uint64_t>(size_, kEndSize + kMaxComment + kLocatorSize);
  std::vector<unsigned char> end(tail);
  const platform::IoResult got = file_.read_at(size_ - tail, end.data(), end.size());
  if (!got.ok() || got.count < tail) return fail(error, "cannot read the central directory");
  std::size_t found = tail;
  for (std::size_t i = tail >= kEndSize ? tail - kEndSize + 1 : 0; i-- > 0;) {
    if (le32(&end[i]) == kEndSignature) {
      found = i;
      break;
    }
  }
  if (found == tail) return fail(error, "the archive has no central directory");
  auto directory = std::make_unique<Directory>();
  std::uint64_t directory_size = le32(&end[found + 12]);
  directory->offset = le32(&end[found + 16]);
  if (found >= kLocatorSize && le32(&end[found - kLocatorSize]) == kLocatorSignature) {
    const std::uint64_t end64_offset = le64(&end[found - kLocatorSize + 8]);
    unsigned char end64[kEnd64Size];
    const platform::IoResult read64 = file_.read_at(end64_offset, end64, sizeof end64);
    if (!read64.ok() || read64.count < sizeof end64 || le32(end64) != kEnd64Signature) {
      return fail(error, "the zip64 end record is missing");
    }
    directory_size = le64(end64 + 40);
    directory->offset = le64(end64 + 48);
  }
  if (directory->offset > size_ || directory_size > size_ - directory->offset) {
    return fail(error, "the central directory lies outside the archive");
  }
  std::vector<unsigned char> bytes(directory_size);
  const platform::IoResult read = file_.read_at(directory->offset, bytes.data(), bytes.size());
  if (!read.ok() || read.count < bytes.size()) {
    return fail(error, "cannot read the central directory");
  }
  for (std::size_t pos = 0;
       pos + kDirectoryEntrySize <= bytes.size() && le32(&bytes[pos]) == kDirectorySignature;) {
    const unsigned char* entry = &bytes[pos];
    const std::size_t name_length = le16(entry + 28);
    const std::size_t extra_length = le16(entry + 30);
    Directory::Member member{le32(entry + 42), le32(entry + 20), le32(entry + 24),
                             le32(entry + 16)};
    const std::size_t extra = pos + kDirectoryEntrySize + name_length;
    pos = extra + extra_length + le16(entry + 32);
    if (pos > bytes.size()) break;
    std::uint64_t* fields[] = {&member.uncompressed_size, &member.compressed_size,
                               &member.header_offset};
    if (!apply_zip64(&bytes[extra], extra_length, fields, 3, false)) {
      return fail(error, "a central directory entry lacks its zip64 values");
    }
    directory->members.push_back(member);
  }
  std::sort(directory->members.begin(), directory->members.end(),
            [](const auto& a, const auto& b) { return a.header_offset < b.header_offset; });
  directory_ = std::move(directory);
  return 0;
}

int ZipArchive::from_directory(std::uint64_t header_offset, ZipEntry* entry,
                               std::string* error) {
  if (!directory_ && load_directory(error) != 0) {
    return fail(error, entry->name + " has its sizes after its data, and " + *error);
  }
  const auto& members = directory_->members;
  const auto found = std::lower_bound(
      members.begin(), members.end(), header_offset,
      [](const Directory::Member& m, std::uint64_t offset) { return m.header_offset < offset; });
  if (found == members.end() || found->header_offset != header_offset) {
    return fail(error, entry->name + " is missing from the central directory");
  }
  entry->compressed_size = found->compressed_size;
  entry->uncompressed_size = found->uncompressed_size;
  entry->crc = found->crc;
  next_header_ = found + 1 == members.end() ? directory_->offset : (found + 1)->header_offset;
  return 0;
}

std::uint32_t crc32(std::string_view data, std::uint32_t crc) {
  // Eight tables, so that eight bytes are taken a step (slicing by eight).
  static const auto tables = [] {
    std::array<std::array<std::uint32_t, 256>, 8> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[0][i] = c;
    }
    for (std::size_t k = 1; k < 8; ++k) {
      for (std::uint32_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    }
    return t;
  }();
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  std::size_t n = data.size();
  crc = ~crc;
  for (; n >= 8; n -= 8, p += 8) {
    const std::uint32_t low = crc ^ (p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t{p[3]} << 24);
    crc = tables[7][low & 0xFF] ^ tables[6][(low >> 8) & 0xFF] ^ tables[5][(low >> 16) & 0xFF] ^
          tables[4][low >> 24] ^ tables[3][p[4]] ^ tables[2][p[5]] ^ tables[1][p[6]] ^
          tables[0][p[7]];
  }
  for (; n > 0; --n, ++p) crc = tables[0][(crc ^ *p) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

bool looks_like_zip(const std::string& path) {
  platform::File file;
  if (file.open(path, platform::Access::read, platform::Share::read,
                platform::Disposition::open_existing) != 0) {
    return false;
  }
  unsigned char word[4] = {};
  const platform::IoResult got = file.read(word, sizeof word);
  if (!got.ok() || got.count < sizeof word) return false;
  return le32(word) == kLocalSignature || le32(word) == kEndSignature;
}

}  // namespace calldb
