// POSIX sockets for the operating-system layer.
#include "platform/platform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace platform {

int start_sockets() { return 0; }

void stop_sockets() {}

int resolve_ipv4(const std::string& host, std::uint32_t* address) {
  in_addr dotted{};
  if (::inet_pton(AF_INET, host.c_str(), &dotted) == 1) {
    *address = dotted.s_addr;
    return 0;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0) {
    const int error = rc == EAI_SYSTEM && errno != 0 ? errno : rc;
    return error != 0 ? error : EAI_FAIL;
  }
  int result = EAI_NONAME;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET && a->ai_addr != nullptr) {
      *address = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
      result = 0;
      break;
    }
  }
  ::freeaddrinfo(found);
  return result;
}

Socket::~Socket() { close(); }

Socket::Socket(Socket&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

int Socket::open_stream() {
  close();
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  handle_ = fd;
  return 0;
}

int Socket::connect(std::uint32_t address, int port) {
  if (handle_ < 0) return EBADF;
  if (port < 1 || port > 65535) return EINVAL;
  const int fd = static_cast<int>(handle_);
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<std::uint16_t>(port));
  peer.sin_addr.s_addr = address;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) return 0;
  if (errno != EINTR) return errno;
  // An interrupted connect goes on in the background: wait for it and take its outcome.
  pollfd p{fd, POLLOUT, 0};
  while (::poll(&p, 1, -1) < 0) {
    if (errno != EINTR) return errno;
  }
  int error = 0;
  socklen_t len = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return errno;
  return error;
}

int Socket::set_receive_timeout(int seconds) {
  if (handle_ < 0) return EBADF;
  if (seconds < 0) return EINVAL;
  timeval tv{};
  tv.tv_sec = seconds;
  return ::setsockopt(static_cast<int>(handle_), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0
             ? 0
             : errno;
}

IoResult Socket::send(const void* buffer, std::size_t n) {
  IoResult r;
  if (handle_ < 0) { r.error = EBADF; return r; }
  const char* p = static_cast<const char*>(buffer);
  while (r.count < n) {
    const ssize_t put = ::send(static_cast<int>(handle_), p + r.count, n - r.count, MSG_NOSIGNAL);
    if (put < 0) {
      if (errno == EINTR) continue;
      r.error = errno;
      break;
    }
    r.count += static_cast<std::uint64_t>(put);
  }
  return r;
}

IoResult Socket::receive(void* buffer, std::size_t n) {
  IoResult r;
  if (handle_ < 0) { r.error = EBADF; return r; }
  for (;;) {
    const ssize_t got = ::recv(static_cast<int>(handle_), buffer, n, 0);
    if (got >= 0) {
      r.count = static_cast<std::uint64_t>(got);
      return r;
    }
    if (errno != EINTR) {
      r.error = errno;
      return r;
    }
  }
}

int Socket::wait(bool for_writing, int ms, bool* ready) {
  *ready = false;
  if (handle_ < 0) return EBADF;
  pollfd p{static_cast<int>(handle_), static_cast<short>(for_writing ? POLLOUT : POLLIN), 0};
  const int n = ::poll(&p, 1, ms < 0 ? 0 : ms);
  if (n < 0) return errno == EINTR ? 0 : errno;
  // An end or an error is for the next call to report.
  *ready = n > 0;
  return 0;
}

int Socket::set_nonblocking(bool on) {
  if (handle_ < 0) return EBADF;
  const int fd = static_cast<int>(handle_);
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return errno;
  const int wanted = on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK;
  return wanted == flags || ::fcntl(fd, F_SETFL, wanted) == 0 ? 0 : errno;
}

int Socket::connect_result() {
  if (handle_ < 0) return EBADF;
  int error = 0;
  socklen_t len = sizeof error;
  if (::getsockopt(static_cast<int>(handle_), SOL_SOCKET, SO_ERROR, &error, &len) != 0) {
    return errno;
  }
  return error;
}

IoResult Socket::send_some(const void* buffer, std::size_t n) {
  IoResult r;
  if (handle_ < 0) { r.error = EBADF; return r; }
  for (;;) {
    const ssize_t put = ::send(static_cast<int>(handle_), buffer, n, MSG_NOSIGNAL);
    if (put >= 0) {
      r.count = static_cast<std::uint64_t>(put);
      return r;
    }
    if (errno != EINTR) {
      r.error = errno;
      return r;
    }
  }
}

void Socket::adopt(std::intptr_t handle) {
  close();
  handle_ = handle;
}

void Socket::close() {
  if (handle_ >= 0) ::close(static_cast<int>(std::exchange(handle_, -1)));
}

}  // namespace platform
