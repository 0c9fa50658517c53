// Taking the Canadian licence list amateur.txt out of the authority's amateur.zip.
//
// The archive is read front to back through its members' local headers alone; the central
// directory at its end is never consulted. Every member is listed in the log; the one named
// exactly "amateur.txt" is extracted when it is stored or deflated. It is written under a
// temporary name of its own (platform::NewFile) and put in place of amateur.txt only once whole,
// so a failed extraction never leaves a partial amateur.txt (an older, whole one stays as it
// was). A list larger than kMaxListSize is refused before anything is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "updater/updater_state.h"

namespace updater {

inline constexpr char kCanadaZipName[] = "amateur.zip";
inline constexpr char kCanadaListMember[] = "amateur.txt";
// The published list is about 20 MB; a member that claims more than this is not taken.
inline constexpr std::int32_t kMaxListSize = 256 << 20;

// unzip's results besides 0. doinflate also hands back zlib's own negative codes
// (Z_DATA_ERROR, Z_BUF_ERROR for a cut deflate stream...), which unzip passes on.
inline constexpr int kUnzipFileError = -1;      // a file could not be opened, created, read,
                                                // written or renamed
inline constexpr int kUnzipNoList = -2;         // the archive ended without amateur.txt
                                                // coming out of it
inline constexpr int kUnzipSizesUnusable = -3;  // amateur.txt's local header gives no usable
                                                // sizes (they follow the data, or pass
                                                // kMaxListSize)
inline constexpr int kUnzipCutShort = -4;       // the archive ends inside stored amateur.txt
inline constexpr int kUnzipSizeMismatch = -7;   // amateur.txt came out at another size than
                                                // its header gives
inline constexpr int kUnzipCancelled = -8;
inline constexpr int kUnzipNoZlib = -9;         // amateur.txt is deflated and zlib is missing

// A member as its local header describes it.
struct ZipMember {
  std::string name;  // cut at 511 bytes
  int method = 0;
  int flags = 0;
  std::int32_t compressed_size = 0;
  std::int32_t uncompressed_size = 0;
  std::uint64_t data_offset = 0;  // where the member's data starts in the archive
};

// A member's local header: its fixed 30 bytes, with the name and extra field that follow them.
inline constexpr std::uint32_t kZipLocalSignature = 0x04034B50;  // "PK\3\4"
inline constexpr std::size_t kZipLocalHeaderSize = 30;
inline constexpr int kZipFlagDataDescriptor = 0x0008;  // sizes and CRC follow the data instead

struct ZipLocalHeader {
  std::size_t name_length = 0;
  std::size_t extra_length = 0;
};

// Reads the fixed part of a local header that starts at archive offset `at` into *member
// (flags, method, the two sizes as the header gives them, and where the data starts); the name
// is left for the caller to read.
ZipLocalHeader decode_zip_local_header(const unsigned char (&bytes)[kZipLocalHeaderSize],
                                       std::uint64_t at, ZipMember* member);

// Lists the members of `archive` (a file in env.folder) and extracts amateur.txt into
// env.folder. Returns 0 when amateur.txt was written whole, otherwise one of the codes above or
// zlib's. Everything it does and every failure is told in the log.
int unzip(WorkerEnv& env, const char* archive);

// Inflates `member`, whose data starts at the archive's current position, into `output_name`
// in env.folder, with env.zlib. Returns 0 when the output is whole and of the size the header
// gives; otherwise leaves `output_name` as it was and returns one of the codes above or zlib's.
// The output never grows much past the size the header gives. Leaves the archive positioned
// after the member's data.
int doinflate(WorkerEnv& env, platform::File& archive, const ZipMember& member,
              const std::string& output_name);

}  // namespace updater
