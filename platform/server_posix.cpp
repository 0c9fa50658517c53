// POSIX side of serving: whole-file reads that take no share lock, a listening socket, and
// epoll.
#include "platform/platform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <utility>

namespace platform {
namespace {

FileStamp stamp_of(const struct stat& st) {
  FileStamp stamp;
  stamp.id.device = static_cast<std::uint64_t>(st.st_dev);
  stamp.id.inode = static_cast<std::uint64_t>(st.st_ino);
  stamp.size = static_cast<std::uint64_t>(st.st_size);
  stamp.changed_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return stamp;
}

unsigned epoll_events(unsigned events) {
  unsigned e = 0;
  if (events & Poller::kReadable) e |= EPOLLIN | EPOLLRDHUP;
  if (events & Poller::kWritable) e |= EPOLLOUT;
  return e;
}

}  // namespace

int file_stamp(const std::string& path, FileStamp* stamp) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return errno;
  *stamp = stamp_of(st);
  return 0;
}

int read_file_unshared(const std::string& path, std::uint64_t limit, FileBytes* bytes,
                       FileStamp* stamp) {
  // No flock(): the emulated share modes are never touched, so no writer is refused.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno;
  struct stat st;
  int error = 0;
  if (::fstat(fd, &st) != 0) {
    error = errno;
  } else if (!S_ISREG(st.st_mode)) {
    error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  } else if (static_cast<std::uint64_t>(st.st_size) > limit) {
    error = EFBIG;
  }
  if (error == 0) {
    *stamp = stamp_of(st);
    const auto size = static_cast<std::size_t>(st.st_size);
    bytes->data.reset(new (std::nothrow) char[size == 0 ? 1 : size]);
    bytes->size = 0;
    if (!bytes->data) error = ENOMEM;
    while (error == 0 && bytes->size < size) {
      const ssize_t got = ::read(fd, bytes->data.get() + bytes->size, size - bytes->size);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        error = errno;
        break;
      }
      if (got == 0) break;  // shrank while read: the stamp taken after tells
      bytes->size += static_cast<std::size_t>(got);
    }
  }
  ::close(fd);
  return error;
}

Listener::~Listener() { close(); }

Listener::Listener(Listener&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}

Listener& Listener::operator=(Listener&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

int Listener::open(std::uint32_t address, int port, int backlog) {
  close();
  if (port < 0 || port > 65535) return EINVAL;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return errno;
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<std::uint16_t>(port));
  local.sin_addr.s_addr = address;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      ::listen(fd, backlog) != 0) {
    const int error = errno;
    ::close(fd);
    return error;
  }
  handle_ = fd;
  return 0;
}

int Listener::port() const {
  if (handle_ < 0) return 0;
  sockaddr_in local{};
  socklen_t len = sizeof local;
  if (::getsockname(static_cast<int>(handle_), reinterpret_cast<sockaddr*>(&local), &len) != 0) {
    return 0;
  }
  return ntohs(local.sin_port);
}

int Listener::accept(Socket* connection) {
  if (handle_ < 0) return EBADF;
  for (;;) {
    const int fd = ::accept4(static_cast<int>(handle_), nullptr, nullptr,
                             SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return errno;
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    connection->adopt(fd);
    return 0;
  }
}

void Listener::close() {
  if (handle_ >= 0) ::close(static_cast<int>(std::exchange(handle_, -1)));
}

Poller::~Poller() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

Poller::Poller(Poller&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}

Poller& Poller::operator=(Poller&& other) noexcept {
  if (this != &other) {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

int Poller::open() {
  if (handle_ >= 0) return 0;
  const int fd = ::epoll_create1(EPOLL_CLOEXEC);
  if (fd < 0) return errno;
  handle_ = fd;
  return 0;
}

int Poller::add(std::intptr_t handle, unsigned events, std::uint64_t tag, bool shared) {
  epoll_event e{};
  // EPOLLEXCLUSIVE takes no EPOLLRDHUP.
  e.events = shared ? (epoll_events(events) & ~static_cast<unsigned>(EPOLLRDHUP)) | EPOLLEXCLUSIVE
                    : epoll_events(events);
  e.data.u64 = tag;
  return ::epoll_ctl(static_cast<int>(handle_), EPOLL_CTL_ADD, static_cast<int>(handle), &e) == 0
             ? 0
             : errno;
}

int Poller::modify(std::intptr_t handle, unsigned events, std::uint64_t tag) {
  epoll_event e{};
  e.events = epoll_events(events);
  e.data.u64 = tag;
  return ::epoll_ctl(static_cast<int>(handle_), EPOLL_CTL_MOD, static_cast<int>(handle), &e) == 0
             ? 0
             : errno;
}

int Poller::remove(std::intptr_t handle) {
  return ::epoll_ctl(static_cast<int>(handle_), EPOLL_CTL_DEL, static_cast<int>(handle),
                     nullptr) == 0
             ? 0
             : errno;
}

int Poller::wait(Event* events, int max, int ms) {
  constexpr int kBatch = 64;
  epoll_event got[kBatch];
  if (max > kBatch) max = kBatch;
  const int n = ::epoll_wait(static_cast<int>(handle_), got, max, ms);
  if (n < 0) return errno == EINTR ? 0 : -errno;
  for (int i = 0; i < n; ++i) {
    events[i].tag = got[i].data.u64;
    unsigned e = 0;
    if (got[i].events & EPOLLIN) e |= kReadable;
    if (got[i].events & EPOLLOUT) e |= kWritable;
    if (got[i].events & (EPOLLHUP | EPOLLERR | EPOLLRDHUP)) e |= kHangup;
    events[i].events = e;
  }
  return n;
}

}  // namespace platform
