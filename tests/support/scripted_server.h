// A TCP or TLS server for network tests on 127.0.0.1: each connection has its request head read
// (up to a blank line, a close, or 5 s), then plays a script. Every wait is bounded; the
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
    // close: a graceful close, as when a script runs out; stall: silence until destroyed;
    // drop: a close without the TLS close; mute (first): no answer at all, no TLS handshake;
    // reset: the connection reset (RST), first right after the handshake, before the request;
    // stream: `size` bytes of pattern().
    enum class Kind { send, pause, close, stall, drop, mute, reset, stream } kind;
    std::string bytes = {};  // send
    int ms = 0;              // pause
    std::size_t size = 0;    // stream
  };
  using Script = std::vector<Step>;
  static Step send(std::string bytes) { return {Step::Kind::send, std::move(bytes)}; }
  static Step pause(int ms) { return {Step::Kind::pause, {}, ms}; }
  static Step stall() { return {Step::Kind::stall}; }
  static Step drop() { return {Step::Kind::drop}; }
  static Step mute() { return {Step::Kind::mute}; }
  static Step reset() { return {Step::Kind::reset}; }
  static Step stream(std::size_t size) { return {Step::Kind::stream, {}, 0, size}; }
  // Bytes 0-255 over and over, CRs, LFs and zeros included, without a run of two line ends.
  static char pattern_byte(std::size_t i) { return static_cast<char>(i * 7 + 13); }
  static std::string pattern(std::size_t n);

  // Connection k plays scripts[k], or the last one once they run out. Given the PEM files
  // `cert` (the chain) and `key` it speaks TLS, each send one TLS write.
  explicit ScriptedServer(std::vector<Script> scripts, const std::string& cert = "",
                          const std::string& key = "");
  ~ScriptedServer();
  int port() const { return port_; }
  std::vector<std::string> requests() const;  // in order of connection

 private:
  void serve(int fd, std::size_t index);
  bool sleep_or_stop(int ms);  // true when the server stops

  std::vector<Script> scripts_;
  ssl_ctx_st* tls_ = nullptr;
  int listener_ = -1, port_ = 0;
  std::thread acceptor_;
  std::vector<std::thread> workers_;
  mutable std::mutex mutex_;
  std::condition_variable stop_;
  bool stopping_ = false;
  std::vector<std::string> requests_;
};

}  // namespace testutil
