#include "tools/zip_archive.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "dbfiles/coding.h"

namespace calldb {

namespace {

constexpr std::uint32_t kDirectorySignature = 0x02014B50;  // "PK\1\2"
constexpr std::uint32_t kEndSignature = 0x06054B50;        // "PK\5\6"
constexpr std::uint32_t kEnd64Signature = 0x06064B50;      // "PK\6\6"
constexpr std::uint32_t kDescriptorSignature = 0x08074B50;  // "PK\7\8"
constexpr std::size_t kDirectoryEntrySize = 46;
constexpr std::size_t kEndSize = 22;
constexpr std::size_t kMaxComment = 65535;
constexpr std::uint32_t kZip64Marker = 0xFFFFFFFF;

std::uint32_t le16(const unsigned char* p) { return p[0] | (p[1] << 8); }
std::uint32_t le32(const unsigned char* p) { return dbfiles::decode_fixed32(p); }

int fail(std::string* error, std::string message) {
  *error = std::move(message);
  return -1;
}

// Puts the two sizes into *member when the member layout can carry them.
int set_sizes(std::uint32_t compressed, std::uint32_t regular, updater::ZipMember* member,
              std::string* error) {
  if (compressed == kZip64Marker || regular == kZip64Marker) {
    return fail(error, member->name + " needs ZIP64, which is not read here");
  }
  constexpr auto kMax = static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max());
  if (compressed > kMax || regular > kMax) return fail(error, member->name + " is too large");
  member->compressed_size = static_cast<std::int32_t>(compressed);
  member->uncompressed_size = static_cast<std::int32_t>(regular);
  return 0;
}

}  // namespace

int ZipArchive::open(const std::string& path) {
  next_header_ = 0;
  descriptor_ = false;
  const int error = file_.open(path, platform::Access::read, platform::Share::read,
                               platform::Disposition::open_existing);
  if (error != 0) return error;
  const platform::IoResult size = file_.size();
  if (!size.ok()) return size.error;
  size_ = size.count;
  return 0;
}

int ZipArchive::next(updater::ZipMember* member, std::string* error) {
  const std::uint64_t at = next_header_;
  unsigned char header[updater::kZipLocalHeaderSize];
  const platform::IoResult got = file_.read_at(at, header, sizeof header);
  if (!got.ok()) return fail(error, "read error " + std::to_string(got.error));
  if (got.count >= 4) {
    const std::uint32_t signature = le32(header);
    if (signature == kDirectorySignature || signature == kEndSignature ||
        signature == kEnd64Signature) {
      return 0;
    }
    if (signature != updater::kZipLocalSignature) {
      return fail(error, "no member header at offset " + std::to_string(at));
    }
  }
  if (got.count < sizeof header) {
    return fail(error, "the archive ends inside a member header at offset " + std::to_string(at));
  }
  *member = updater::ZipMember{};
  const std::size_t name_length =
      updater::decode_zip_local_header(header, at, member).name_length;
  member->name.resize(name_length);
  const platform::IoResult name =
      file_.read_at(at + updater::kZipLocalHeaderSize, member->name.data(), name_length);
  if (!name.ok() || name.count < name_length || member->data_offset > size_) {
    return fail(error, "the archive ends inside a member header at offset " + std::to_string(at));
  }
  descriptor_ = (member->flags & updater::kZipFlagDataDescriptor) != 0;
  const int sized =
      descriptor_ ? sizes_from_directory(at, member, error)
                  : set_sizes(static_cast<std::uint32_t>(member->compressed_size),
                              static_cast<std::uint32_t>(member->uncompressed_size), member, error);
  if (sized != 0) return -1;
  if (member->data_offset + static_cast<std::uint32_t>(member->compressed_size) > size_) {
    return fail(error, member->name + " is cut short: the archive ends inside it");
  }
  next_header_ = member->data_offset + static_cast<std::uint32_t>(member->compressed_size);
  const int seek = file_.seek(member->data_offset);
  if (seek != 0) return fail(error, "seek error " + std::to_string(seek));
  return 1;
}

int ZipArchive::skip(std::string* error) {
  if (descriptor_) {
    // CRC and the two sizes, with or without the descriptor's own signature in front.
    unsigned char word[4] = {};
    const platform::IoResult got = file_.read_at(next_header_, word, sizeof word);
    if (!got.ok()) return fail(error, "read error " + std::to_string(got.error));
    next_header_ += got.count == sizeof word && le32(word) == kDescriptorSignature ? 16 : 12;
    descriptor_ = false;
  }
  const int seek = file_.seek(next_header_);
  if (seek != 0) return fail(error, "seek error " + std::to_string(seek));
  return 0;
}

int ZipArchive::sizes_from_directory(std::uint64_t header_offset, updater::ZipMember* member,
                                     std::string* error) {
  // The end record sits in the last 22 bytes plus at most a 64 KiB comment.
  const std::uint64_t tail = std::min<std::uint64_t>(size_, kEndSize + kMaxComment);
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
  if (found == tail) {
    return fail(error, member->name + " has its sizes after its data and the archive has no "
                                      "central directory");
  }
  const std::uint32_t directory_size = le32(&end[found + 12]);
  const std::uint32_t directory_offset = le32(&end[found + 16]);
  if (directory_offset == kZip64Marker ||
      static_cast<std::uint64_t>(directory_offset) + directory_size > size_) {
    return fail(error, "the central directory lies outside the archive");
  }
  std::vector<unsigned char> directory(directory_size);
  const platform::IoResult read = file_.read_at(directory_offset, directory.data(), directory_size);
  if (!read.ok() || read.count < directory_size) {
    return fail(error, "cannot read the central directory");
  }
  std::size_t pos = 0;
  while (pos + kDirectoryEntrySize <= directory.size() &&
         le32(&directory[pos]) == kDirectorySignature) {
    const unsigned char* entry = &directory[pos];
    if (le32(entry + 42) == header_offset) {
      return set_sizes(le32(entry + 20), le32(entry + 24), member, error);
    }
    pos += kDirectoryEntrySize + le16(entry + 28) + le16(entry + 30) + le16(entry + 32);
  }
  return fail(error, member->name + " is missing from the central directory");
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
  return le32(word) == updater::kZipLocalSignature || le32(word) == kEndSignature;
}

}  // namespace calldb
