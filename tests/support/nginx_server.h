// A real nginx for end-to-end tests: started as a child of the test with a configuration of its
// own, serving a given folder on 127.0.0.1 at a free port. It runs as one process in the
// foreground; stop() (and the destructor) ends it with SIGTERM, and SIGKILL when it has not
// gone after a bounded wait.
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

  // Starts nginx with `root` as its document root and waits (at most 10 s) until it accepts
  // connections. Returns "" or what went wrong. Every folder on the way to `root` and every
  // file served must be readable by others: nginx may drop root's rights.
  std::string start(const std::string& root);
  // As start(), but nginx speaks HTTPS with the certificate chain `cert` and its key `key` (PEM
  // files, read by nginx as the test's own user).
  std::string start_tls(const std::string& root, const std::string& cert, const std::string& key);
  void stop();

  int port() const { return port_; }
  // What nginx has logged so far: one line per request.
  std::string access_log() const;
  // Waits, at most two seconds, until the access log holds `line`: nginx writes a request's
  // line once it has finished with it, which may be just after the client read the reply.
  bool wait_for_access(const std::string& line) const;

 private:
  std::string try_start(const std::string& nginx, const std::string& root);

  TempDir prefix_;  // configuration, logs, pid and temporary files
  std::string tls_;  // the TLS directives of the server block, or "" for plain HTTP
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace testutil
