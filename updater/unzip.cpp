#include "updater/unzip.h"

#include <zlib.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

#include "updater/zlib_api.h"

namespace updater {

namespace {

constexpr std::size_t kNameBufferSize = 512;  // names are cut at 511 bytes
constexpr int kMethodStored = 0;
constexpr int kMethodDeflated = 8;
constexpr std::size_t kInflateBufferSize = 131072;
constexpr std::size_t kCopyChunk = 4092;
// Raw deflate data read through a zlib-format stream: a zlib header is put in front of it.
constexpr unsigned char kZlibHeader[2] = {0x78, 0x9C};

#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void log_format(WorkerLink& link, const char* format, ...) {
  char text[kNameBufferSize + 128];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  link.log_text(text);
}

std::uint16_t u16_at(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t u32_at(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Sizes are signed in the log and the messages; as an amount of data to pass over they are
// taken unsigned, so that a skip never goes backwards.
std::uint64_t data_end(const ZipMember& member) {
  return member.data_offset + static_cast<std::uint32_t>(member.compressed_size);
}

bool is_wanted(const ZipMember& member) { return member.name == kCanadaListMember; }

// The output of one extraction, written under a temporary name of its own and put in place
// only once whole; otherwise the file of that name stays as it was.
class Output {
 public:
  Output(WorkerEnv& env, const std::string& name) : env_(env), path_(env.path(name)) {}
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // Creates the temporary file; on failure logs it under the member's name.
  bool create(const ZipMember& member) {
    if (file_.create(path_) == 0) return true;
    env_.link->log_text(member.name + " <<-- ERROR creating output file\r\n");
    return false;
  }

  bool write(const ZipMember& member, const void* data, std::size_t n) {
    const platform::IoResult put = file_.file().write(data, n);
    written_ += put.count;
    if (put.ok()) return true;
    return log_error(member, put.error);
  }

  // Puts the file in place once its size is the one the header gives. Returns 0 or the
  // failure, logged.
  int finish(const ZipMember& member) {
    if (member.uncompressed_size < 0 ||
        written_ != static_cast<std::uint64_t>(member.uncompressed_size)) {
      log_format(*env_.link, "%s came out at %llu bytes, not %d: NOT extracted\r\n",
                 member.name.c_str(), static_cast<unsigned long long>(written_),
                 member.uncompressed_size);
      return kUnzipSizeMismatch;
    }
    const int error = file_.commit();
    if (error == 0) return 0;
    log_error(member, error);
    return kUnzipFileError;
  }

  std::uint64_t written() const { return written_; }

 private:
  bool log_error(const ZipMember& member, int error) {
    log_format(*env_.link, "ERROR writing %s, error %d\r\n", member.name.c_str(), error);
    return false;
  }

  WorkerEnv& env_;
  const std::string path_;
  platform::NewFile file_;
  std::uint64_t written_ = 0;
};

int log_cancelled(WorkerEnv& env) {
  env.link->log_text("Unzip cancelled\r\n");
  return kUnzipCancelled;
}

int log_read_error(WorkerEnv& env, const std::string& archive, int error) {
  log_format(*env.link, "ERROR reading %s, error %d\r\n", archive.c_str(), error);
  return kUnzipFileError;
}

// A stored member: its data is the file. Returns 0, kUnzipNoList when the output cannot be
// created (the member is then passed over and the listing goes on), or another failure.
int copy_stored(WorkerEnv& env, platform::File& archive, const std::string& archive_name,
                const ZipMember& member, const std::string& output_name) {
  Output output(env, output_name);
  if (!output.create(member)) return kUnzipNoList;
  unsigned char buffer[kCopyChunk];
  std::uint32_t remaining = static_cast<std::uint32_t>(member.compressed_size);
  while (remaining > 0) {
    if (env.cancelled()) return log_cancelled(env);
    const std::size_t want = std::min<std::size_t>(remaining, sizeof buffer);
    const platform::IoResult got = archive.read(buffer, want);
    if (!got.ok()) return log_read_error(env, archive_name, got.error);
    if (!output.write(member, buffer, got.count)) return kUnzipFileError;
    remaining -= static_cast<std::uint32_t>(got.count);
    if (got.count < want) {
      log_format(*env.link, "%s is cut short: the archive ends %u bytes early\r\n",
                 member.name.c_str(), static_cast<unsigned>(remaining));
      return kUnzipCutShort;
    }
  }
  return output.finish(member);
}

}  // namespace

int doinflate(WorkerEnv& env, platform::File& archive, const ZipMember& member,
              const std::string& output_name) {
  WorkerLink& link = *env.link;
  // The caller moves on from the member's end, whatever happens here.
  struct SkipData {
    platform::File& archive;
    std::uint64_t end;
    ~SkipData() { archive.seek(end); }
  } skip{archive, data_end(member)};

  if (env.zlib == nullptr || !env.zlib->ready()) {
    link.log_text("zlib is not loaded: " + member.name + " cannot be inflated\r\n");
    return kUnzipNoZlib;
  }
  const ZlibApi& api = *env.zlib;

  Output output(env, output_name);
  if (!output.create(member)) return kUnzipFileError;

  z_stream stream = {};
  stream.zalloc = Z_NULL;
  stream.zfree = Z_NULL;
  stream.opaque = Z_NULL;
  stream.next_in = Z_NULL;
  stream.avail_in = 0;
  const int init = api.inflateInit_(&stream, "1.2.3", static_cast<int>(sizeof(z_stream)));
  if (init != Z_OK) {
    link.log_text("inflateInit error\r\n");
    return init;
  }
  struct EndStream {
    const ZlibApi& api;
    z_stream& stream;
    ~EndStream() { api.inflateEnd(&stream); }
  } end_stream{api, stream};

  auto input = std::make_unique_for_overwrite<unsigned char[]>(kInflateBufferSize);
  auto buffer = std::make_unique_for_overwrite<unsigned char[]>(kInflateBufferSize);
  std::memcpy(input.get(), kZlibHeader, sizeof kZlibHeader);
  std::size_t header = sizeof kZlibHeader;  // only in front of the first block read

  std::uint32_t remaining = static_cast<std::uint32_t>(member.compressed_size);
  // Inflating stops soon after this: past it the size check refuses the output anyway.
  const std::uint64_t expected =
      static_cast<std::uint64_t>(std::clamp(member.uncompressed_size, 0, kMaxListSize));
  for (;;) {
    if (env.cancelled()) return log_cancelled(env);
    const std::size_t want = std::min<std::size_t>(remaining, kInflateBufferSize - header);
    const platform::IoResult got = archive.read(input.get() + header, want);
    if (!got.ok()) {
      log_format(link, "ERROR reading %s from the archive, error %d\r\n", member.name.c_str(),
                 got.error);
      return kUnzipFileError;
    }
    remaining -= static_cast<std::uint32_t>(got.count);
    // A read that comes back short while data is still due (the archive is cut short) goes to
    // inflate all the same; once the archive gives nothing more, inflate's Z_BUF_ERROR ends it.
    const bool archive_ended = got.count < want;
    stream.next_in = input.get();
    stream.avail_in = static_cast<uInt>(header + got.count);
    header = 0;

    // Inflates what was read, one output buffer at a time. inflate() fills the buffer only as
    // far as the input goes, so a buffer that came back full may have more to follow; when
    // nothing does, inflate() says so with Z_BUF_ERROR. That is no error while the archive
    // gave every byte asked of it: the next read brings more, or all the data has been used.
    int code = Z_OK;
    for (;;) {
      stream.next_out = buffer.get();
      stream.avail_out = static_cast<uInt>(kInflateBufferSize);
      code = api.inflate(&stream, Z_NO_FLUSH);
      if (code == Z_BUF_ERROR && stream.avail_in == 0 && !archive_ended) {
        code = Z_OK;
        break;
      }
      if (code < 0) {
        log_format(link, "INFLATE ERROR %d\r\n", code);
        return code;
      }
      const std::size_t produced = kInflateBufferSize - stream.avail_out;
      if (!output.write(member, buffer.get(), produced)) return kUnzipFileError;
      if (code > 0) {
        log_format(link, "wrote %d bytes, %d left\r\n", static_cast<int>(output.written()),
                   static_cast<int>(static_cast<std::int64_t>(expected) -
                                    static_cast<std::int64_t>(output.written())));
        break;
      }
      if (stream.avail_out != 0 || output.written() > expected) break;
    }
    // The stream's end, all the data used, or more output than the header gives (the size
    // check below refuses that).
    if (code != Z_OK || remaining == 0 || output.written() > expected) break;
  }
  return output.finish(member);
}

ZipLocalHeader decode_zip_local_header(const unsigned char (&bytes)[kZipLocalHeaderSize],
                                       std::uint64_t at, ZipMember* member) {
  ZipLocalHeader header;
  member->flags = u16_at(bytes + 6);
  member->method = u16_at(bytes + 8);
  member->compressed_size = static_cast<std::int32_t>(u32_at(bytes + 18));
  member->uncompressed_size = static_cast<std::int32_t>(u32_at(bytes + 22));
  header.name_length = u16_at(bytes + 26);
  header.extra_length = u16_at(bytes + 28);
  member->data_offset = at + kZipLocalHeaderSize + header.name_length + header.extra_length;
  return header;
}

int unzip(WorkerEnv& env, const char* archive) {
  WorkerLink& link = *env.link;
  const std::string archive_name = archive;
  platform::File zip;
  if (zip.open(env.path(archive_name), platform::Access::read, platform::Share::read_write,
               platform::Disposition::open_existing) != 0) {
    link.log_text(archive_name + " <<-- ERROR opening file\r\n");
    return kUnzipFileError;
  }

  link.log_text("\r\nFiles in Canadian amateur.zip\r\n");
  link.log_text(" Compressed   Regular  Filename\r\n");

  bool seen = false;       // a member named amateur.txt was listed
  bool extracted = false;  // and written out whole
  std::uint64_t position = 0;
  for (;;) {
    if (env.cancelled()) return log_cancelled(env);
    unsigned char header[kZipLocalHeaderSize];
    const platform::IoResult got = zip.read(header, sizeof header);
    if (!got.ok()) return log_read_error(env, archive_name, got.error);
    if (got.count < sizeof header || u32_at(header) != kZipLocalSignature) break;

    ZipMember member;
    const std::size_t name_length =
        decode_zip_local_header(header, position, &member).name_length;

    char name[kNameBufferSize];
    const std::size_t kept = std::min(name_length, sizeof name - 1);
    const platform::IoResult name_got = zip.read(name, kept);
    if (!name_got.ok()) return log_read_error(env, archive_name, name_got.error);
    if (name_got.count < kept) break;  // the archive ends inside the header
    member.name.assign(name, kept);
    name[kept] = '\0';
    log_format(link, "%02x %8d %9d  %s\r\n", member.method, member.compressed_size,
               member.uncompressed_size, name);

    int error = zip.seek(member.data_offset);  // past the rest of the name and the extra field
    if (error != 0) return log_read_error(env, archive_name, error);

    if (name_length == kept && is_wanted(member)) {
      seen = true;
      if ((member.flags & kZipFlagDataDescriptor) != 0) {
        link.log_text(member.name + " has its sizes after its data: NOT extracted\r\n");
        return kUnzipSizesUnusable;
      }
      if (member.compressed_size < 0 || member.uncompressed_size < 0 ||
          member.compressed_size > kMaxListSize || member.uncompressed_size > kMaxListSize) {
        link.log_text(member.name + " is too large: NOT extracted\r\n");
        return kUnzipSizesUnusable;
      }
      int result = kUnzipNoList;
      if (member.method == kMethodDeflated) {
        result = doinflate(env, zip, member, member.name);
        if (result != 0) {
          log_format(link, "doinflate() returned %d\r\n", result);
          return result;
        }
      } else if (member.method == kMethodStored) {
        result = copy_stored(env, zip, archive_name, member, member.name);
        if (result != 0 && result != kUnzipNoList) return result;
      } else {
        link.log_text("Compression not implemented\r\n");
      }
      if (result == 0) extracted = true;
    }

    position = data_end(member);
    error = zip.seek(position);
    if (error != 0) return log_read_error(env, archive_name, error);
  }

  if (extracted) return 0;
  if (seen) {
    log_format(link, "%s NOT extracted from %s\r\n", kCanadaListMember, archive_name.c_str());
  } else {
    log_format(link, "%s not found in %s\r\n", kCanadaListMember, archive_name.c_str());
  }
  return kUnzipNoList;
}

}  // namespace updater
