#include "tests/support/scripted_server.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>

namespace testutil {
namespace {

void set_timeout(int fd, int option, int seconds) {
  const timeval tv{seconds, 0};
  ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

bool put(SSL* ssl, int fd, const std::string& bytes) {
  if (ssl != nullptr) return SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size())) > 0;
  return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// Sends pattern(size) in pieces.
bool put_stream(SSL* ssl, int fd, std::size_t size) {
  const std::string piece = ScriptedServer::pattern(256 * 256);  // whole periods
  for (std::size_t at = 0; at < size; at += piece.size()) {
    if (!put(ssl, fd, piece.substr(0, std::min(piece.size(), size - at)))) return false;
  }
  return true;
}

}  // namespace

std::string ScriptedServer::pattern(std::size_t n) {
  std::string bytes(n, '\0');
  for (std::size_t i = 0; i < n; ++i) bytes[i] = pattern_byte(i);
  return bytes;
}

ScriptedServer::ScriptedServer(std::vector<Script> scripts, const std::string& cert,
                               const std::string& key)
    : scripts_(std::move(scripts)) {
  if (scripts_.empty()) scripts_.push_back({});
  if (!cert.empty()) {
    tls_ = SSL_CTX_new(TLS_server_method());
    if (SSL_CTX_use_certificate_chain_file(tls_, cert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(tls_, key.c_str(), SSL_FILETYPE_PEM) != 1) {
      std::abort();
    }
  }
  sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof addr;
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(listener_, 16) ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    std::abort();
  }
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] {
    // OpenSSL writes with plain write(): a client that has gone must not end the program. The
    // connections' threads inherit the blocked SIGPIPE.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    for (;;) {  // until the destructor shuts the listener down
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      const std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_ && fd >= 0) ::close(fd);
      if (stopping_) return;
      if (fd < 0) continue;
      requests_.emplace_back();
      workers_.emplace_back([this, fd, index = requests_.size() - 1] { serve(fd, index); });
    }
  });
}

ScriptedServer::~ScriptedServer() {
  mutex_.lock();
  stopping_ = true;
  mutex_.unlock();
  stop_.notify_all();
  ::shutdown(listener_, SHUT_RDWR);
  acceptor_.join();
  for (std::thread& t : workers_) t.join();
  ::close(listener_);
  SSL_CTX_free(tls_);
}

std::vector<std::string> ScriptedServer::requests() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool ScriptedServer::sleep_or_stop(int ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return stop_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stopping_; });
}

void ScriptedServer::serve(int fd, std::size_t index) {
  set_timeout(fd, SO_SNDTIMEO, 5);
  set_timeout(fd, SO_RCVTIMEO, 5);
  const Script& script = scripts_[std::min(index, scripts_.size() - 1)];
  const Step::Kind first = script.empty() ? Step::Kind::close : script[0].kind;
  const bool mute = first == Step::Kind::mute;
  SSL* ssl = tls_ != nullptr && !mute ? SSL_new(tls_) : nullptr;
  if (ssl != nullptr) SSL_set_fd(ssl, fd);
  const bool answered = !mute && (ssl == nullptr || SSL_accept(ssl) == 1);
  std::string request;
  char buffer[4096];
  const bool reads = answered && first != Step::Kind::reset;
  while (reads && request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
    const int got = ssl != nullptr ? SSL_read(ssl, buffer, sizeof buffer)
                                   : static_cast<int>(::recv(fd, buffer, sizeof buffer, 0));
    if (got <= 0) break;
    request.append(buffer, static_cast<std::size_t>(got));
  }
  mutex_.lock();
  requests_[index] = request;
  mutex_.unlock();
  Step::Kind end = mute ? Step::Kind::stall : Step::Kind::close;
  for (const Step& step : answered ? script : Script{}) {
    end = step.kind;
    const bool go = step.kind == Step::Kind::send     ? put(ssl, fd, step.bytes)
                    : step.kind == Step::Kind::stream ? put_stream(ssl, fd, step.size)
                    : step.kind == Step::Kind::pause  ? !sleep_or_stop(step.ms)
                                                      : false;
    if (!go) break;
  }
  while (end == Step::Kind::stall && !sleep_or_stop(60000)) continue;
  if (end == Step::Kind::reset) {  // a close with no time to linger sends RST
    const linger abort{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  } else {
    if (ssl != nullptr && answered && end != Step::Kind::drop) SSL_shutdown(ssl);
    // A graceful close: the client reads everything sent before it sees the end.
    ::shutdown(fd, SHUT_WR);
    set_timeout(fd, SO_RCVTIMEO, 1);
    while (!sleep_or_stop(0) && ::recv(fd, buffer, sizeof buffer, 0) > 0) continue;
  }
  SSL_free(ssl);
  ERR_clear_error();
  ::close(fd);
}

}  // namespace testutil
