// A TCP or TLS server for network tests: listens on 127.0.0.1 on an ephemeral port and plays a
// script to each connection after reading its request head. Every wait is bounded; the
// destructor ends all connections and joins every thread.
#pragma once

#include <condition_variable>
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
    std::string bytes = {};  // send
    int ms = 0;         // pause
  };
  using Script = std::vector<Step>;

  static Step send(std::string bytes) { return {Step::Kind::send, std::move(bytes)}; }
  static Step pause(int ms) { return {Step::Kind::pause, {}, ms}; }
  // Closes gracefully, as when a script runs out.
  static Step close() { return {Step::Kind::close}; }
  // Holds the connection open, silent, until the server is destroyed.
  static Step stall() { return {Step::Kind::stall}; }
  // Closes without the TLS close, as a cut connection looks (plain: like close()).
  static Step drop() { return {Step::Kind::drop}; }
  // As the first step: answers nothing, the TLS handshake included, until destroyed.
  static Step mute() { return {Step::Kind::mute}; }

  // Connection k plays scripts[k], or the last script once they run out, after reading the
  // request head (up to a blank line, a close, or 5 s). Given the PEM files `cert` (the chain)
  // and `key`, it speaks TLS: each send is one TLS write, and close() sends the TLS close.
  explicit ScriptedServer(std::vector<Script> scripts, const std::string& cert = "",
                          const std::string& key = "");
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  int port() const { return port_; }
  // The request bytes each connection sent, in order of connection.
  std::vector<std::string> requests() const;

 private:
  void serve(int fd, std::size_t index);
  bool sleep_or_stop(int ms);  // true when the server stops

  std::vector<Script> scripts_;
  ssl_ctx_st* tls_ = nullptr;
  int listener_ = -1;
  int port_ = 0;
  std::thread acceptor_;
  std::vector<std::thread> workers_;
  mutable std::mutex mutex_;
  std::condition_variable stop_;
  bool stopping_ = false;
  std::vector<std::string> requests_;
};

}  // namespace testutil
