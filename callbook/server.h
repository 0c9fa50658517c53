// The callbook server: worker threads that each wait on their own connections with a Poller,
// all taking new connections from one Listener, and a watcher that loads the data folder's
// databases again whenever an update run has replaced one of them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "callbook/directory.h"
#include "callbook/service.h"
#include "platform/platform.h"

namespace callbook {

inline constexpr int kDefaultPort = 7373;

struct ServerOptions {
  std::string folder;
  std::string host = "127.0.0.1";  // an IPv4 address
  int port = kDefaultPort;    // 0: any free port
  int threads = 2;
  int max_connections = 512;
  int idle_ms = 60000;     // a kept-alive connection may wait this long for its next request
  int request_ms = 10000;  // a request's head must have come whole this long after its first byte
  int send_ms = 10000;     // a reply must have gone out this long after the last progress
  int watch_ms = 250;      // how often the data folder is looked at
  bool verbose = false;    // a log line per request
  Sessions sessions;
  std::function<void(const std::string& line)> log;  // lines without their end
};

class Server {
 public:
  explicit Server(ServerOptions options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Loads the databases, binds and starts the threads. Returns 0, or the error code of the bind
  // with *error saying what failed.
  int start(std::string* error);
  int port() const { return listener_.port(); }
  // Stops the threads and closes every connection; also done by the destructor.
  void stop();

  // The Directory in use now.
  std::shared_ptr<const Directory> directory() const;

 private:
  struct Worker;
  void run_worker(Worker* worker);
  void watch();
  void install(std::shared_ptr<const Directory> directory);
  void log(const std::string& line);

  ServerOptions options_;
  platform::Listener listener_;
  std::vector<std::unique_ptr<Worker>> workers_;
  std::thread watcher_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  std::atomic<bool> full_told_{false};  // the refusals of a full server were told

  mutable std::mutex directory_mutex_;
  std::shared_ptr<const Directory> directory_;
  std::atomic<std::uint64_t> generation_{0};
  std::mutex log_mutex_;
  std::mutex stop_mutex_;
  std::condition_variable stop_signal_;
};

}  // namespace callbook
