// Walking the members of a ZIP archive front to back through their local headers, for readers
// that want some members of an archive whatever else it holds.
//
// A member whose local header leaves its sizes to a data descriptor after the data (flag bit 3,
// as streaming zip tools write) gets them from the central directory at the archive's end; the
// descriptor itself is passed over. Deflated members are inflated with updater::doinflate and
// zlib loaded at run time; stored members are read in place. ZIP64 archives (sizes past 4 GiB)
// are refused.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "updater/unzip.h"

namespace calldb {

class ZipArchive {
 public:
  // Opens `path` for reading. Returns 0 or the system's error code.
  int open(const std::string& path);

  // Reads the next member's local header and leaves the archive at its data. Returns 1 with
  // *member filled, 0 at the central directory (no more members), or -1 with *error set when
  // the archive is cut short, damaged or uses what is not read here.
  int next(updater::ZipMember* member, std::string* error);

  // Moves past the data of the member last returned by next() (and its data descriptor).
  // Returns 0, or -1 with *error set.
  int skip(std::string* error);

  platform::File& file() { return file_; }

 private:
  // Fills the sizes of the member whose local header is at `header_offset` from the central
  // directory. Returns 0, or -1 with *error set.
  int sizes_from_directory(std::uint64_t header_offset, updater::ZipMember* member,
                           std::string* error);

  platform::File file_;
  std::uint64_t size_ = 0;
  std::uint64_t next_header_ = 0;  // where the next member's local header starts
  bool descriptor_ = false;        // the member last returned has a data descriptor
};

// True when the file at `path` begins like a ZIP archive (a member's header, or the end record
// of an empty archive).
bool looks_like_zip(const std::string& path);

}  // namespace calldb
