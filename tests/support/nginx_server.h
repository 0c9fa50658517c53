// A real nginx for end-to-end tests, a child of the test serving a folder on 127.0.0.1 at a free
// port; stop() and the destructor end it (SIGTERM, then SIGKILL after a bounded wait).
#pragma once

#include <sys/types.h>

#include <string>

#include "tests/test_util.h"

namespace testutil {

class NginxServer {
 public:
  NginxServer() = default;
  ~NginxServer() { stop(); }
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  // The nginx program, or "" when it is not installed.
  static std::string find_binary();
  // Serves `root` (readable by others: nginx may drop root's rights), over HTTPS when given the
  // PEM files `cert` (the chain) and `key`. Waits at most 10 s until nginx accepts connections;
  // returns "" or what went wrong.
  std::string start(const std::string& root, const std::string& cert = "",
                    const std::string& key = "");
  std::string start_tls(const std::string& root, const std::string& cert,
                        const std::string& key) {
    return start(root, cert, key);
  }
  void stop();
  int port() const { return port_; }
  // Waits at most 2 s until the access log holds `line`: nginx logs a request once it has
  // finished with it, which may be just after the client read the reply.
  bool wait_for_access(const std::string& line) const;

 private:
  TempDir prefix_;  // configuration, logs and temporary files
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace testutil
