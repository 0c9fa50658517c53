// POSIX implementation of the operating-system layer. Share modes are emulated with flock(),
// whose locks belong to the open file description, so two opens in one process conflict just
// as two processes do.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // renameat2
#endif

#include "platform/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <utility>

namespace platform {
namespace {

constexpr std::uint64_t kMaxOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

// True when [offset, offset + n) is addressable as off_t.
bool offset_fits(std::uint64_t offset, std::size_t n) {
  return offset <= kMaxOffset && n <= kMaxOffset - offset;
}

// Writes all n bytes to fd at its position. Returns 0 or errno.
int write_all(int fd, const char* data, std::size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, data, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (w == 0) return EIO;
    data += w;
    n -= static_cast<std::size_t>(w);
  }
  return 0;
}

// Closes fd and hands back `error`, which close() must not overwrite.
int close_with(int fd, int error) {
  ::close(fd);
  return error;
}

}  // namespace

int sharing_violation_error() { return EWOULDBLOCK; }

File::~File() { close(); }

File::File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

int File::open(const std::string& path, Access access, Share share, Disposition disposition) {
  close();

  int flags = O_CLOEXEC | O_NONBLOCK;  // O_NONBLOCK: a FIFO must not hang the open
  switch (access) {
    case Access::read: flags |= O_RDONLY; break;
    case Access::write: flags |= O_WRONLY; break;
    case Access::read_write: flags |= O_RDWR; break;
  }
  if (disposition == Disposition::create_always) flags |= O_CREAT;

  int fd = ::open(path.c_str(), flags, 0666);
  if (fd < 0) return errno;

  struct stat st;
  if (::fstat(fd, &st) != 0) return close_with(fd, errno);
  if (S_ISDIR(st.st_mode)) return close_with(fd, EISDIR);
  if (!S_ISREG(st.st_mode)) return close_with(fd, EINVAL);
  if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) return close_with(fd, errno);

  const int lock = (share == Share::none ? LOCK_EX : LOCK_SH) | LOCK_NB;
  while (::flock(fd, lock) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) return close_with(fd, sharing_violation_error());
    return close_with(fd, errno);
  }

  // Emptied only now that the share check has passed.
  if (disposition == Disposition::create_always && st.st_size > 0) {
    while (::ftruncate(fd, 0) != 0) {
      if (errno != EINTR) return close_with(fd, errno);
    }
  }

  fd_ = fd;
  return 0;
}

IoResult File::read(void* buffer, std::size_t n) {
  IoResult r;
  if (fd_ < 0) { r.error = EBADF; return r; }
  char* p = static_cast<char*>(buffer);
  while (r.count < n) {
    ssize_t got = ::read(fd_, p + r.count, n - r.count);
    if (got < 0) {
      if (errno == EINTR) continue;
      r.error = errno;
      break;
    }
    if (got == 0) break;  // end of file
    r.count += static_cast<std::uint64_t>(got);
  }
  return r;
}

IoResult File::read_at(std::uint64_t offset, void* buffer, std::size_t n) const {
  IoResult r;
  if (fd_ < 0) { r.error = EBADF; return r; }
  if (!offset_fits(offset, n)) { r.error = EINVAL; return r; }
  char* p = static_cast<char*>(buffer);
  while (r.count < n) {
    ssize_t got = ::pread(fd_, p + r.count, n - r.count, static_cast<off_t>(offset + r.count));
    if (got < 0) {
      if (errno == EINTR) continue;
      r.error = errno;
      break;
    }
    if (got == 0) break;
    r.count += static_cast<std::uint64_t>(got);
  }
  return r;
}

IoResult File::write(const void* buffer, std::size_t n) {
  IoResult r;
  if (fd_ < 0) { r.error = EBADF; return r; }
  const char* p = static_cast<const char*>(buffer);
  while (r.count < n) {
    ssize_t put = ::write(fd_, p + r.count, n - r.count);
    if (put < 0) {
      if (errno == EINTR) continue;
      r.error = errno;
      break;
    }
    if (put == 0) { r.error = EIO; break; }
    r.count += static_cast<std::uint64_t>(put);
  }
  return r;
}

IoResult File::write_at(std::uint64_t offset, const void* buffer, std::size_t n) {
  IoResult r;
  if (fd_ < 0) { r.error = EBADF; return r; }
  if (!offset_fits(offset, n)) { r.error = EINVAL; return r; }
  const char* p = static_cast<const char*>(buffer);
  while (r.count < n) {
    ssize_t put = ::pwrite(fd_, p + r.count, n - r.count, static_cast<off_t>(offset + r.count));
    if (put < 0) {
      if (errno == EINTR) continue;
      r.error = errno;
      break;
    }
    if (put == 0) { r.error = EIO; break; }
    r.count += static_cast<std::uint64_t>(put);
  }
  return r;
}

int File::seek(std::uint64_t offset) {
  if (fd_ < 0) return EBADF;
  if (offset > kMaxOffset) return EINVAL;
  return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0 ? errno : 0;
}

IoResult File::size() const {
  IoResult r;
  if (fd_ < 0) { r.error = EBADF; return r; }
  struct stat st;
  if (::fstat(fd_, &st) != 0) {
    r.error = errno;
  } else {
    r.count = static_cast<std::uint64_t>(st.st_size);
  }
  return r;
}

int File::sync() {
  if (fd_ < 0) return EBADF;
  while (::fsync(fd_) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

int File::close() {
  if (fd_ < 0) return 0;
  // The descriptor is gone even when close() reports an error, so it is never retried.
  const int rc = ::close(std::exchange(fd_, -1));
  return rc == 0 || errno == EINTR ? 0 : errno;
}

int move_file(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // The filesystem cannot rename without replacing: link() refuses an existing target.
  if (::link(from.c_str(), to.c_str()) != 0) return errno;
  if (::unlink(from.c_str()) != 0) {
    const int error = errno;
    ::unlink(to.c_str());
    return error;
  }
  return 0;
}

int replace_file(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int delete_file(const std::string& path) { return ::unlink(path.c_str()) == 0 ? 0 : errno; }

int copy_file(const std::string& from, const std::string& to) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (in < 0) return errno;
  struct stat in_st;
  if (::fstat(in, &in_st) != 0) return close_with(in, errno);
  if (S_ISDIR(in_st.st_mode)) return close_with(in, EISDIR);
  if (!S_ISREG(in_st.st_mode)) return close_with(in, EINVAL);

  // Opened without O_TRUNC so that a destination naming the source is caught before it is
  // emptied; O_EXCL tells whether we created it and so may remove it on failure.
  bool created = true;
  int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (out < 0 && errno == EEXIST) {
    created = false;
    out = ::open(to.c_str(), O_WRONLY | O_CLOEXEC);
  }
  if (out < 0) return close_with(in, errno);

  int error = 0;
  struct stat out_st;
  if (::fstat(out, &out_st) != 0) {
    error = errno;
  } else if (out_st.st_dev == in_st.st_dev && out_st.st_ino == in_st.st_ino) {
    error = EINVAL;
  } else if (!created && ::ftruncate(out, 0) != 0) {
    error = errno;
  }

  static constexpr std::size_t kChunk = 64 * 1024;
  std::vector<char> buffer(error == 0 ? kChunk : 0);
  while (error == 0) {
    ssize_t got = ::read(in, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      error = errno;
    } else if (got == 0) {
      break;
    } else {
      error = write_all(out, buffer.data(), static_cast<std::size_t>(got));
    }
  }

  ::close(in);
  if (::close(out) != 0 && error == 0 && errno != EINTR) error = errno;
  if (error != 0 && created) ::unlink(to.c_str());
  return error;
}

bool file_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

int list_files(const std::string& folder, const std::string& pattern,
               std::vector<std::string>* names) {
  if (names == nullptr) return EINVAL;
  names->clear();
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return errno;

  int error = 0;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      error = errno;
      break;
    }
    const std::string name = entry->d_name;
    bool regular = entry->d_type == DT_REG;
    if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
      struct stat st;
      regular = ::stat(join_path(folder, name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
    }
    if (regular && ::fnmatch(pattern.c_str(), name.c_str(), FNM_CASEFOLD) == 0) names->push_back(name);
  }
  ::closedir(dir);

  if (error != 0) {
    names->clear();
    return error;
  }
  std::sort(names->begin(), names->end());
  return 0;
}

int set_current_directory(const std::string& folder) {
  return ::chdir(folder.c_str()) == 0 ? 0 : errno;
}

std::string join_path(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (folder.back() == '/') return folder + name;
  return folder + '/' + name;
}

}  // namespace platform
