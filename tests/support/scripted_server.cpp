#include "tests/support/scripted_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>

namespace testutil {
namespace {

constexpr int kPollMs = 50;
constexpr int kRequestWaitMs = 5000;
constexpr int kSendTimeoutSeconds = 5;
constexpr std::size_t kMaxRequest = 64 * 1024;

void set_timeout(int fd, int option, int seconds) {
  timeval tv{};
  tv.tv_sec = seconds;
  ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

// Sends all of `bytes`. False when the peer is gone or stopped reading for the send timeout.
bool send_all(int fd, const std::string& bytes) {
  for (std::size_t sent = 0; sent < bytes.size();) {
    const ssize_t put = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (put <= 0) return false;
    sent += static_cast<std::size_t>(put);
  }
  return true;
}

}  // namespace

ScriptedServer::ScriptedServer(std::vector<Script> scripts)
    : ScriptedServer(std::move(scripts), "", "") {}

ScriptedServer::ScriptedServer(std::vector<Script> scripts, const std::string& cert,
                               const std::string& key)
    : scripts_(std::move(scripts)) {
  if (scripts_.empty()) scripts_.push_back({});
  if (!cert.empty()) {
    tls_ = SSL_CTX_new(TLS_server_method());
    if (tls_ == nullptr || SSL_CTX_use_certificate_chain_file(tls_, cert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(tls_, key.c_str(), SSL_FILETYPE_PEM) != 1) {
      std::abort();
    }
  }
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) std::abort();
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener_, 16) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    std::abort();
  }
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] { accept_loop(); });
}

ScriptedServer::~ScriptedServer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  acceptor_.join();
  for (std::thread& t : workers_) t.join();
  ::close(listener_);
  SSL_CTX_free(tls_);
}

std::vector<std::string> ScriptedServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool ScriptedServer::wait_finished(std::size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return finished_ >= n; });
}

bool ScriptedServer::sleep_or_stop(int ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stopping_; });
}

void ScriptedServer::accept_loop() {
  for (std::size_t index = 0;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
    }
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, kPollMs) <= 0) continue;
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.emplace_back();
    }
    workers_.emplace_back([this, fd, index] { serve(fd, index); });
    ++index;
  }
}

void ScriptedServer::serve(int fd, std::size_t index) {
  set_timeout(fd, SO_SNDTIMEO, kSendTimeoutSeconds);
  const Script& script = scripts_[index < scripts_.size() ? index : scripts_.size() - 1];
  const bool mute = !script.empty() && script[0].kind == Step::Kind::mute;
  SSL* ssl = nullptr;
  if (tls_ != nullptr && !mute) {
    // OpenSSL writes with plain write(): a client that has gone must not end the program.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    set_timeout(fd, SO_RCVTIMEO, kRequestWaitMs / 1000);
    ssl = SSL_new(tls_);
    SSL_set_fd(ssl, fd);
  }
  const bool answered = !mute && (ssl == nullptr || SSL_accept(ssl) == 1);

  // The request head, bounded in time and size.
  std::string request;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestWaitMs);
  while (answered && request.find("\r\n\r\n") == std::string::npos &&
         request.size() < kMaxRequest && std::chrono::steady_clock::now() < deadline &&
         !sleep_or_stop(0)) {
    pollfd p{fd, POLLIN, 0};
    if (ssl == nullptr && ::poll(&p, 1, kPollMs) <= 0) continue;
    char buffer[1024];
    const ssize_t got = ssl != nullptr ? SSL_read(ssl, buffer, sizeof buffer)
                                       : ::recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    request.append(buffer, static_cast<std::size_t>(got));
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_[index] = request;
  }

  Step::Kind end = Step::Kind::close;
  for (const Step& step : answered ? script : Script{}) {
    end = step.kind;
    if (step.kind == Step::Kind::send) {
      const bool sent = ssl != nullptr ? SSL_write(ssl, step.bytes.data(),
                                                   static_cast<int>(step.bytes.size())) > 0
                                       : send_all(fd, step.bytes);
      if (!sent) break;
    } else if (step.kind == Step::Kind::pause) {
      if (sleep_or_stop(step.ms)) break;
    } else {
      break;
    }
  }
  if (mute || end == Step::Kind::stall) {
    while (!sleep_or_stop(kPollMs)) {
    }
  }
  if (ssl != nullptr && answered && end != Step::Kind::drop) SSL_shutdown(ssl);

  // A graceful close: the peer reads everything sent before it sees the end.
  ::shutdown(fd, SHUT_WR);
  if (!sleep_or_stop(0)) {
    set_timeout(fd, SO_RCVTIMEO, 1);
    char sink[1024];
    while (::recv(fd, sink, sizeof sink, 0) > 0) {
    }
  }
  SSL_free(ssl);
  ERR_clear_error();
  ::close(fd);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++finished_;
  }
  changed_.notify_all();
}

}  // namespace testutil
