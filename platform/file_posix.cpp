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
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <map>
#include <mutex>
#include <utility>

namespace platform {
namespace {

constexpr std::uint64_t kMaxOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

// True when [offset, offset + n) is addressable as off_t.
bool offset_fits(std::uint64_t offset, std::size_t n) {
  return offset <= kMaxOffset && n <= kMaxOffset - offset;
}

std::atomic<std::int64_t> write_budget{-1};
std::atomic<int> write_budget_error{ENOSPC};

// The injected write failure of the tests: takes n bytes from the budget, or fails.
int take_write_budget(std::size_t n) {
  std::int64_t left = write_budget.load();
  while (left >= 0) {
    if (static_cast<std::uint64_t>(left) < n) {
      write_budget.store(0);
      return write_budget_error.load();
    }
    if (write_budget.compare_exchange_weak(left, left - static_cast<std::int64_t>(n))) break;
  }
  return 0;
}

std::mutex rename_hook_mutex;
std::function<void(const std::string&)> rename_hook;

// The tests' hook before a rename or a link to `to`.
void call_rename_hook(const std::string& to) {
  std::function<void(const std::string&)> hook;
  {
    const std::lock_guard<std::mutex> guard(rename_hook_mutex);
    hook = rename_hook;
  }
  if (hook) hook(to);
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
  // Nothing we create or empty is reached through a symlink.
  if (disposition == Disposition::create_always) flags |= O_CREAT | O_NOFOLLOW;
  if (disposition == Disposition::create_new) flags |= O_CREAT | O_EXCL | O_NOFOLLOW;

  int fd = ::open(path.c_str(), flags, 0666);
  if (fd < 0) return errno;
  // A file this open created is removed again when the open fails after all.
  const auto fail = [&](int error) {
    if (disposition == Disposition::create_new) ::unlink(path.c_str());
    return close_with(fd, error);
  };

  struct stat st;
  if (::fstat(fd, &st) != 0) return fail(errno);
  if (S_ISDIR(st.st_mode)) return fail(EISDIR);
  if (!S_ISREG(st.st_mode)) return fail(EINVAL);
  if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) return fail(errno);

  const int lock = (share == Share::none ? LOCK_EX : LOCK_SH) | LOCK_NB;
  while (::flock(fd, lock) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) return fail(sharing_violation_error());
    return fail(errno);
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
  if ((r.error = take_write_budget(n)) != 0) return r;
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
  if ((r.error = take_write_budget(n)) != 0) return r;
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
  call_rename_hook(to);
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
  call_rename_hook(to);
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int delete_file(const std::string& path) { return ::unlink(path.c_str()) == 0 ? 0 : errno; }

int copy_file(const std::string& from, const std::string& to, NewFile::Replace replace) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  if (in < 0) return errno == ELOOP ? EINVAL : errno;  // a symlink is not copied
  struct stat in_st;
  if (::fstat(in, &in_st) != 0) return close_with(in, errno);
  if (S_ISDIR(in_st.st_mode)) return close_with(in, EISDIR);
  if (!S_ISREG(in_st.st_mode)) return close_with(in, EINVAL);
  // A writer that holds the source with Share::none is not read half done.
  while (::flock(in, LOCK_SH | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    return close_with(in, errno == EWOULDBLOCK ? sharing_violation_error() : errno);
  }
  // What has the target's name now: a symlink there is replaced, never followed.
  struct stat out_st;
  if (::lstat(to.c_str(), &out_st) == 0) {
    if (replace == NewFile::Replace::no) return close_with(in, EEXIST);
    if (out_st.st_dev == in_st.st_dev && out_st.st_ino == in_st.st_ino) {
      return close_with(in, EINVAL);  // copying a file onto itself
    }
    // A target another holds with Share::none is refused, as its open would be.
    const int held = S_ISREG(out_st.st_mode)
                         ? ::open(to.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW)
                         : -1;
    if (held >= 0) {
      int locked;
      while ((locked = ::flock(held, LOCK_SH | LOCK_NB)) != 0 && errno == EINTR) {
      }
      const bool refused = locked != 0 && errno == EWOULDBLOCK;
      ::close(held);
      if (refused) return close_with(in, sharing_violation_error());
    }
  }

  NewFile out;
  int error = out.create(to);
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
      error = out.file().write(buffer.data(), static_cast<std::size_t>(got)).error;
    }
  }
  ::close(in);
  if (error == 0) return out.commit(replace);
  out.discard();
  return error;
}

NewFile::~NewFile() { discard(); }

int NewFile::create(const std::string& final_path) {
  discard();
  static std::atomic<unsigned> counter{0};
  for (int tries = 0; tries < 100; ++tries) {
    const std::string temp = final_path + ".new-" + std::to_string(::getpid()) + "-" +
                             std::to_string(counter.fetch_add(1));
    const int error = file_.open(temp, Access::write, Share::read, Disposition::create_new);
    if (error == 0) {
      final_ = final_path;
      temp_ = temp;
      return 0;
    }
    if (error != EEXIST) return error;
  }
  return EEXIST;
}

int NewFile::commit(Replace replace) {
  if (temp_.empty()) return EBADF;
  int error = file_.sync();
  const int closed = file_.close();
  if (error == 0) error = closed;
  if (error == 0) {
    error = replace == Replace::yes ? replace_file(temp_, final_) : move_file(temp_, final_);
  }
  if (error != 0) {
    discard();
    return error;
  }
  temp_.clear();
  return sync_folder(folder_of(final_));
}

void NewFile::discard() {
  file_.close();
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
}

namespace {

// The writer's process id in a temporary name "FINAL.new-PID-N", or -1.
long temporary_owner(const std::string& name) {
  const std::size_t at = name.rfind(".new-");
  if (at == std::string::npos) return -1;
  const std::size_t dash = name.find('-', at + 5);
  if (dash == std::string::npos || dash == at + 5 || dash + 1 == name.size()) return -1;
  long pid = 0;
  for (std::size_t i = at + 5; i < dash; ++i) {
    if (name[i] < '0' || name[i] > '9' || pid > 100000000) return -1;
    pid = pid * 10 + (name[i] - '0');
  }
  for (std::size_t i = dash + 1; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return -1;
  }
  return pid;
}

}  // namespace

bool is_temporary_name(const std::string& name) { return temporary_owner(name) > 0; }

int remove_stale_temporaries(const std::string& folder,
                             const std::function<bool(std::string_view final_name)>& ours) {
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return 0;
  std::vector<std::string> stale;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    const long pid = temporary_owner(name);
    if (pid <= 0 || pid == ::getpid()) continue;
    if (!ours(std::string_view(name).substr(0, name.rfind(".new-")))) continue;
    struct stat st;
    if (::fstatat(::dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(st.st_mode) || process_alive_since(pid, st.st_mtim.tv_sec)) continue;
    stale.push_back(name);
  }
  ::closedir(dir);
  int removed = 0;
  for (const std::string& name : stale) {
    if (::unlink(join_path(folder, name).c_str()) == 0) ++removed;
  }
  if (removed > 0) sync_folder(folder);
  return removed;
}

// ---- Folder locks ----

namespace {

// This program's folder locks: the folder, the locked file and its holders.
struct HeldLock {
  FileId file;
  int folder_fd = -1;
  int fd = -1;
  int holders = 0;
};
std::mutex held_locks_mutex;
std::map<long, HeldLock> held_locks;
long next_lock_key = 0;

FileId id_of(const struct stat& st) {
  return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

}  // namespace

FolderLock::~FolderLock() { unlock(); }

FolderLock::FolderLock(FolderLock&& other) noexcept : key_(std::exchange(other.key_, -1)) {}

FolderLock& FolderLock::operator=(FolderLock&& other) noexcept {
  if (this != &other) {
    unlock();
    key_ = std::exchange(other.key_, -1);
  }
  return *this;
}

// The holder that lets the lock go last removes the file while it still holds it. So that a
// program that opened the file just before cannot lock a name that is gone, a lock counts only
// when the name still stands for the file locked; else the file is opened anew.
int FolderLock::lock(const std::string& folder) {
  unlock();
  const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return errno;
  const std::lock_guard<std::mutex> guard(held_locks_mutex);
  for (int tries = 0; tries < 100; ++tries) {
    const int fd = ::openat(dir, kFolderLockName,
                            O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
    if (fd < 0) return close_with(dir, errno);
    struct stat st;
    if (::fstat(fd, &st) != 0) return close_with(dir, close_with(fd, errno));
    if (!S_ISREG(st.st_mode)) return close_with(dir, close_with(fd, EINVAL));
    for (auto& [key, held] : held_locks) {
      if (held.file == id_of(st)) {  // another job of this program holds it: shared
        ++held.holders;
        key_ = key;
        return close_with(dir, close_with(fd, 0));
      }
    }
    int locked;
    while ((locked = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (locked != 0) {
      const int error = errno == EWOULDBLOCK ? sharing_violation_error() : errno;
      return close_with(dir, close_with(fd, error));
    }
    struct stat named;
    if (::fstatat(dir, kFolderLockName, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        id_of(named) == id_of(st)) {
      key_ = next_lock_key++;
      held_locks[key_] = HeldLock{id_of(st), dir, fd, 1};
      return 0;
    }
    ::close(fd);  // its last holder removed it meanwhile
  }
  return close_with(dir, EAGAIN);
}

void FolderLock::unlock() {
  if (key_ < 0) return;
  const std::lock_guard<std::mutex> guard(held_locks_mutex);
  const auto it = held_locks.find(std::exchange(key_, -1));
  if (it == held_locks.end() || --it->second.holders > 0) return;
  ::unlinkat(it->second.folder_fd, kFolderLockName, 0);
  ::close(it->second.fd);  // lets the lock go
  ::close(it->second.folder_fd);
  held_locks.erase(it);
}

int File::id(FileId* id) const {
  if (fd_ < 0) return EBADF;
  struct stat st;
  if (::fstat(fd_, &st) != 0) return errno;
  *id = id_of(st);
  return 0;
}

int file_id(const std::string& path, FileId* id) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return errno;
  *id = id_of(st);
  return 0;
}

int sync_folder(const std::string& folder) {
  const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int error = 0;
  while (::fsync(fd) != 0) {
    if (errno == EINTR) continue;
    // Some filesystems cannot flush a folder; their renames are as safe as they get.
    if (errno != EINVAL && errno != ENOTSUP) error = errno;
    break;
  }
  ::close(fd);
  return error;
}

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : path.substr(0, slash);
}

int link_file(const std::string& from, const std::string& to) {
  call_rename_hook(to);
  return ::link(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

namespace testing {
void fail_writes_after(std::int64_t bytes, int error) {
  write_budget_error.store(error);
  write_budget.store(bytes < 0 ? -1 : bytes);
}

void before_rename(std::function<void(const std::string& to)> hook) {
  const std::lock_guard<std::mutex> guard(rename_hook_mutex);
  rename_hook = std::move(hook);
}
}  // namespace testing

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
