// A TCP or TLS server for network tests: listens on 127.0.0.1 on an ephemeral port and plays a
// script to each connection after reading its request head. Every wait is bounded; the
// destructor ends all connections and joins every thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ssl_ctx_st;

namespace testutil {

class ScriptedServer {
 public:
  struct Step {
    enum class Kind { send, pause, close, stall, drop, mute };
    Kind kind;
    std::string bytes;  // send
    int ms = 0;         // pause
  };
  using Script = std::vector<Step>;

  static Step send(std::string bytes) { return {Step::Kind::send, std::move(bytes), 0}; }
  static Step pause(int ms) { return {Step::Kind::pause, {}, ms}; }
  // Closes the connection gracefully; also what happens when a script runs out.
  static Step close() { return {Step::Kind::close, {}, 0}; }
  // Holds the connection open, silent, until the server is destroyed.
  static Step stall() { return {Step::Kind::stall, {}, 0}; }
  // Closes without the TLS close, as a cut connection looks (plain: like close()).
  static Step drop() { return {Step::Kind::drop, {}, 0}; }
  // As the first step: answers nothing, the TLS handshake included, until destroyed.
  static Step mute() { return {Step::Kind::mute, {}, 0}; }

  // Connection k plays scripts[k], or the last script once they run out. Before its script
  // each connection reads the request head (up to a blank line, a close, or 5 s).
  explicit ScriptedServer(std::vector<Script> scripts);
  // A TLS server presenting the chain in the PEM file `cert` with its `key`: each send is one
  // TLS write, and close() sends the TLS close first.
  ScriptedServer(std::vector<Script> scripts, const std::string& cert, const std::string& key);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  int port() const { return port_; }
  // The request bytes each connection sent, in order of connection.
  std::vector<std::string> requests() const;
  // Waits up to `timeout` for `n` connections to have finished their scripts.
  bool wait_finished(std::size_t n, std::chrono::milliseconds timeout);

 private:
  void accept_loop();
  void serve(int fd, std::size_t index);
  // Sleeps for `ms`, or until the server stops. True when it stopped.
  bool sleep_or_stop(int ms);

  std::vector<Script> scripts_;
  ssl_ctx_st* tls_ = nullptr;
  int listener_ = -1;
  int port_ = 0;
  std::thread acceptor_;
  std::vector<std::thread> workers_;  // touched by the acceptor thread, then the destructor

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  std::vector<std::string> requests_;
  std::size_t finished_ = 0;
};

// A body of `n` bytes of every value, the same for the same size.
inline std::string body_of(std::size_t n) {
  std::string body(n, '\0');
  for (std::size_t i = 0; i < n; ++i) body[i] = static_cast<char>((i * 7 + 13) & 0xff);
  return body;
}

// A 200 reply's head with `fields` (each line ending "\r\n") after its Server line.
inline std::string ok_head(const std::string& fields) {
  return "HTTP/1.1 200 OK\r\nServer: scripted\r\n" + fields + "\r\n";
}
inline std::string ok_head(std::size_t length) {
  return ok_head("Content-Length: " + std::to_string(length) + "\r\n");
}

}  // namespace testutil
