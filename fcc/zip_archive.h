// Walking the members of a ZIP archive front to back through their local headers, and reading
// a member's content whole, for readers that want some members of an archive whatever else it
// holds.
//
// A member whose local header leaves its sizes to a data descriptor after the data (flag bit 3,
// as streaming zip tools write) gets them, with its CRC, from the central directory at the
// archive's end; the next member then starts where the central directory says it does, so that
// descriptors of every form (with or without their signature, 32- or 64-bit sizes) are passed
// over. ZIP64 is read: sizes and offsets from the zip64 extra fields of the local headers and
// of the central directory, and the directory's place from the zip64 end record.
//
// Deflated members are inflated with zlib loaded at run time (ZipInflate); stored members are
// read in place. A member's content is checked against its size and CRC as it is read: a reader
// hears of a damaged member at the latest when it reaches the member's end. Messages show member
// names with their control bytes escaped (updater::escape_controls); ZipEntry::name is as given.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace calldb {

// A member as the archive describes it.
struct ZipEntry {
  std::string name;
  int method = 0;  // 0 stored, 8 deflated
  int flags = 0;
  std::uint32_t crc = 0;
  std::uint64_t compressed_size = 0;
  std::uint64_t uncompressed_size = 0;
  std::uint64_t data_offset = 0;  // where the member's data starts in the archive
};

// The zlib entry points the reading of deflated members needs, from zlib loaded at run time.
class ZipInflate {
 public:
  // Loads `library_name`. Returns true, or false with *error set.
  bool load(const std::string& library_name, std::string* error);
  bool loaded() const { return inflate_ != nullptr; }

 private:
  friend class ZipMemberReader;
  platform::Library library_;
  int (*inflate_init2_)(void* stream, int window_bits, const char* version, int size) = nullptr;
  int (*inflate_)(void* stream, int flush) = nullptr;
  int (*inflate_end_)(void* stream) = nullptr;
  unsigned long (*crc32_)(unsigned long crc, const unsigned char* data, unsigned size) = nullptr;
};

class ZipArchive {
 public:
  ZipArchive();
  ~ZipArchive();

  // Opens `path` for reading. Returns 0 or the system's error code.
  int open(const std::string& path);

  // Reads the next member's local header. Returns 1 with *entry filled, 0 at the central
  // directory (no more members), or -1 with *error set when the archive is cut short, damaged
  // or uses what is not read here.
  int next(ZipEntry* entry, std::string* error);

  // Reads the content of the member last returned by next(), piece by piece: each call puts up
  // to `capacity` bytes into `out` and returns how many (0 at the member's end, when its size
  // and CRC have been checked), or -1 with *error set. `zlib` is needed for deflated members.
  long long read(const ZipInflate* zlib, char* out, std::size_t capacity, std::string* error);

  const std::string& path() const { return path_; }

 private:
  struct Directory;
  // Fills *entry's sizes and CRC from the central directory entry of the member whose local
  // header is at `header_offset`, and sets next_header_ from the directory. Returns 0 or -1.
  int from_directory(std::uint64_t header_offset, ZipEntry* entry, std::string* error);
  int load_directory(std::string* error);

  platform::File file_;
  std::string path_;
  std::uint64_t size_ = 0;
  std::uint64_t next_header_ = 0;  // where the next member's local header starts
  std::unique_ptr<Directory> directory_;
  std::unique_ptr<class ZipMemberReader> reader_;  // the member last returned
};

// The CRC-32 of ZIP archives of `data`, going on from `crc` (0 to start), table-driven; zlib's is
// faster where zlib is loaded.
std::uint32_t crc32(std::string_view data, std::uint32_t crc = 0);

// True when the file at `path` begins like a ZIP archive (a member's header, or the end record
// of an empty archive).
bool looks_like_zip(const std::string& path);

}  // namespace calldb
