// A real nginx for end-to-end tests: a child of the test serving a folder on 127.0.0.1 at a free
// port, ended by stop() and the destructor (SIGTERM, then SIGKILL after a bounded wait).
#pragma once

#include <unistd.h>

#include "tests/support/child_process.h"
#include "tests/test_util.h"

namespace testutil {

class NginxServer {
 public:
  ~NginxServer() { stop(); }
  static std::string find_binary() {  // "" when nginx is not installed
    return ::access("/usr/sbin/nginx", X_OK) == 0 ? "/usr/sbin/nginx" : "";
  }
  // Serves `root` (readable by others: nginx may drop root's rights), over HTTPS given the PEM
  // files `cert` (the chain) and `key`, once it accepts connections (at most 10 s). Returns ""
  // or what went wrong.
  std::string start(const std::string& root, const std::string& cert = "",
                    const std::string& key = "");
  void stop() {
    stop_child(pid_);
    pid_ = -1;
  }
  int port() const { return port_; }
  // Waits at most 2 s for `line` in the access log: nginx logs a request once done with it.
  bool wait_for_access(const std::string& line) const;

 private:
  TempDir prefix_;  // configuration, logs and temporary files
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace testutil
