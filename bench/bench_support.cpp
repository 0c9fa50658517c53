#include "bench/bench_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

#include "dbfiles/coding.h"
#include "platform/platform.h"

namespace bench {

std::string demo_folder() {
  const char* dir = std::getenv("CALLDB_BENCH_DATA");
  return dir == nullptr ? std::string() : std::string(dir);
}

std::string work_folder(const std::string& name) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / name;
  std::filesystem::create_directories(dir);
  return dir.string();
}

updater::Answer NullLink::message_box(std::string_view text, std::string_view caption,
                                      updater::Buttons, updater::Icon) {
  std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(caption.size()), caption.data(),
               static_cast<int>(text.size()), text.data());
  return updater::Answer::ok;
}

namespace {

// The whole file in memory. Returns 0, or -1 with *error set.
int read_whole(const std::string& path, std::string* bytes, std::string* error) {
  platform::File file;
  int err = file.open(path, platform::Access::read, platform::Share::read_write,
                      platform::Disposition::open_existing);
  if (err != 0) {
    *error = path + ": cannot open (error " + std::to_string(err) + ")";
    return -1;
  }
  const platform::IoResult size = file.size();
  if (!size.ok()) {
    *error = path + ": cannot read its size (error " + std::to_string(size.error) + ")";
    return -1;
  }
  bytes->resize(static_cast<std::size_t>(size.count));
  const platform::IoResult r = file.read_at(0, bytes->data(), bytes->size());
  if (!r.ok() || r.count != size.count) {
    *error = path + ": short read";
    return -1;
  }
  return 0;
}

}  // namespace

int read_call_db(const std::string& path, std::vector<StoredLicence>* licences,
                 std::string* error) {
  std::string bytes;
  if (read_whole(path, &bytes, error) != 0) return -1;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  if (bytes.size() < dbfiles::kHeaderSize) {
    *error = path + ": shorter than its header";
    return -1;
  }
  const std::uint32_t index_offset = dbfiles::decode_fixed32(p + dbfiles::kDateSize);
  if (index_offset < dbfiles::kHeaderSize || index_offset > bytes.size()) {
    *error = path + ": index offset outside the file";
    return -1;
  }
  const std::size_t count = (bytes.size() - index_offset) / dbfiles::IndexEntry::kSize;
  licences->clear();
  licences->reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const dbfiles::IndexEntry e =
        dbfiles::IndexEntry::decode(p + index_offset + i * dbfiles::IndexEntry::kSize);
    const std::uint32_t at = e.text_offset();
    const char* area_end = bytes.data() + index_offset;
    const char* text = bytes.data() + at;
    const void* zero = at >= dbfiles::kHeaderSize && at < index_offset
                           ? std::memchr(text, '\0', static_cast<std::size_t>(area_end - text))
                           : nullptr;
    const std::size_t len = zero == nullptr ? 0 : static_cast<std::size_t>(
                                                      static_cast<const char*>(zero) - text);
    if (zero == nullptr || e.name_len() + e.street_len() > len) {
      *error = path + ": entry " + std::to_string(i) + " has no whole text";
      return -1;
    }
    StoredLicence l;
    l.call = dbfiles::decode_call(e.key);
    l.record.key = e.key;
    l.record.name.assign(text, e.name_len());
    l.record.street.assign(text + e.name_len(), e.street_len());
    l.record.city.assign(text + e.name_len() + e.street_len(),
                         len - e.name_len() - e.street_len());
    l.record.state = e.state();
    l.record.zip = e.zip();
    l.record.po_box = e.po_box() != 0;
    licences->push_back(std::move(l));
  }
  return 0;
}

int read_prev_db(const std::string& path, std::vector<dbfiles::PrevEntry>* entries,
                 std::string* error) {
  std::string bytes;
  if (read_whole(path, &bytes, error) != 0) return -1;
  entries->clear();
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  for (std::size_t at = dbfiles::PrevEntry::kSize; at + dbfiles::PrevEntry::kSize <= bytes.size();
       at += dbfiles::PrevEntry::kSize) {
    entries->push_back(dbfiles::PrevEntry::decode(p + at));
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------

MappedCallDb::~MappedCallDb() { close(); }

MappedCallDb::MappedCallDb(MappedCallDb&& other) noexcept { *this = std::move(other); }

MappedCallDb& MappedCallDb::operator=(MappedCallDb&& other) noexcept {
  if (this != &other) {
    close();
    map_ = std::exchange(other.map_, nullptr);
    size_ = std::exchange(other.size_, 0);
    index_offset_ = std::exchange(other.index_offset_, 0);
    count_ = std::exchange(other.count_, 0);
  }
  return *this;
}

void MappedCallDb::close() {
  if (map_ != nullptr) ::munmap(const_cast<unsigned char*>(map_), size_);
  map_ = nullptr;
  size_ = 0;
  index_offset_ = 0;
  count_ = 0;
}

int MappedCallDb::open(const std::string& path, std::string* error) {
  close();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = path + ": cannot open (error " + std::to_string(errno) + ")";
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(dbfiles::kHeaderSize)) {
    *error = path + ": shorter than its header";
    ::close(fd);
    return -1;
  }
  void* map = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
  const int map_error = errno;
  ::close(fd);  // the map keeps the file
  if (map == MAP_FAILED) {
    *error = path + ": cannot map (error " + std::to_string(map_error) + ")";
    return -1;
  }
  map_ = static_cast<const unsigned char*>(map);
  size_ = static_cast<std::size_t>(st.st_size);
  const std::uint32_t offset = dbfiles::decode_fixed32(map_ + dbfiles::kDateSize);
  if (offset < dbfiles::kHeaderSize || offset > size_) {
    close();
    *error = path + ": index offset outside the file";
    return -1;
  }
  index_offset_ = offset;
  count_ = static_cast<std::uint32_t>((size_ - offset) / dbfiles::IndexEntry::kSize);
  return 0;
}

dbfiles::LookupStatus MappedCallDb::lookup(const char* text, dbfiles::LookupResult* result) const {
  dbfiles::LookupStatus status;
  if (map_ == nullptr || !dbfiles::is_us_callsign(text)) return status;
  const dbfiles::CallKey key = dbfiles::encode_call(text);
  const unsigned char* index = map_ + index_offset_;
  std::int64_t low = 0;
  std::int64_t high = static_cast<std::int64_t>(count_) - 1;
  while (low <= high) {
    const std::int64_t mid = (low + high) / 2;
    const dbfiles::IndexEntry probe =
        dbfiles::IndexEntry::decode(index + mid * static_cast<std::int64_t>(dbfiles::IndexEntry::kSize));
    if (key < probe.key) {
      high = mid - 1;
    } else if (key > probe.key) {
      low = mid + 1;
    } else {
      status.found = true;
      dbfiles::unpack_entry(probe, result);
      break;
    }
  }
  if (!status.found) return status;
  const std::uint32_t offset = result->text_offset;
  const char* record = "";
  std::size_t n = 0;
  if (offset >= dbfiles::kHeaderSize && offset < index_offset_) {
    record = reinterpret_cast<const char*>(map_ + offset);
    n = std::min<std::size_t>(dbfiles::kRecordReadSize, index_offset_ - offset);
  }
  if (std::memchr(record, '\0', n) == nullptr) status.damaged = true;
  dbfiles::build_us_lines(record, n, result);
  return status;
}

// ---------------------------------------------------------------------------------------------

namespace {

// Runs in the child: maps `path`, says so on `ready`, waits for the parent's word on `go`, then
// reads the last byte of the mapped length. Never returns.
[[noreturn]] void child_touch(const std::string& path, std::size_t length, int ready, int go) {
  // The default action, so that the signal ends the process as it would end the program (a
  // sanitizer's handler would turn it into an abort).
  ::signal(SIGBUS, SIG_DFL);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) ::_exit(10);
  void* map = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) ::_exit(11);
  const char byte = 'm';
  if (::write(ready, &byte, 1) != 1) ::_exit(12);
  char word = 0;
  if (::read(go, &word, 1) != 1) ::_exit(13);
  const volatile unsigned char* p = static_cast<const unsigned char*>(map);
  const unsigned char last = p[length - 1];  // past the new end of the file
  ::_exit(last == 0xFF ? 1 : 0);
}

}  // namespace

TruncateOutcome touch_after_truncate(const std::string& source, const std::string& folder) {
  TruncateOutcome out;
  const std::string scratch = platform::join_path(folder, "truncated-under-map.db");
  if (platform::copy_file(source, scratch) != 0) {
    out.detail = "cannot copy " + source;
    return out;
  }
  const long page = ::sysconf(_SC_PAGESIZE);
  std::error_code ec;
  const std::uintmax_t length = std::filesystem::file_size(scratch, ec);
  if (ec || page <= 0 || length < 2 * static_cast<std::uintmax_t>(page)) {
    out.detail = "the file is shorter than two pages";
    platform::delete_file(scratch);
    return out;
  }
  int ready[2];
  int go[2];
  if (::pipe(ready) != 0) {
    out.detail = "pipe failed";
    platform::delete_file(scratch);
    return out;
  }
  if (::pipe(go) != 0) {
    ::close(ready[0]);
    ::close(ready[1]);
    out.detail = "pipe failed";
    platform::delete_file(scratch);
    return out;
  }
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(ready[0]);
    ::close(go[1]);
    child_touch(scratch, static_cast<std::size_t>(length), ready[1], go[0]);
  }
  ::close(ready[1]);
  ::close(go[0]);
  if (pid < 0) {
    out.detail = "fork failed";
  } else {
    char byte = 0;
    if (::read(ready[0], &byte, 1) == 1) {
      // Another process cuts the file to one page while the child still maps all of it.
      const int fd = ::open(scratch.c_str(), O_WRONLY | O_CLOEXEC);
      if (fd < 0 || ::ftruncate(fd, page) != 0) out.detail = "ftruncate failed";
      if (fd >= 0) ::close(fd);
      // The child waits for this word in any case (written only to a child that is waiting,
      // so never to a closed pipe).
      const char word = 'g';
      if (::write(go[1], &word, 1) != 1) out.detail = "the child did not wait";
    } else {
      out.detail = "the child did not map the file";
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) == pid && out.detail.empty()) {
      out.ran = true;
      out.signalled = WIFSIGNALED(status);
      if (out.signalled) out.signal = WTERMSIG(status);
      if (WIFEXITED(status)) out.exit_code = WEXITSTATUS(status);
    }
  }
  ::close(ready[0]);
  ::close(go[1]);
  platform::delete_file(scratch);
  return out;
}

}  // namespace bench
