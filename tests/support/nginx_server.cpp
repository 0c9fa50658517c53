#include "tests/support/nginx_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <functional>
#include <thread>

namespace testutil {
namespace {

// Connects to `port` on 127.0.0.1, or with `port` 0 binds a free one; returns the port or 0.
int probe(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{AF_INET, htons(static_cast<in_port_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof addr;
  auto* a = reinterpret_cast<sockaddr*>(&addr);
  const bool ok = port != 0 ? ::connect(fd, a, len) == 0
                            : ::bind(fd, a, len) == 0 && ::getsockname(fd, a, &len) == 0;
  ::close(fd);
  return ok ? ntohs(addr.sin_port) : 0;
}

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

}  // namespace

std::string NginxServer::start(const std::string& root, const std::string& cert,
                               const std::string& key) {
  const std::string nginx = find_binary(), prefix = prefix_.path() + "/";
  const std::string log = prefix + "error.log", conf = prefix + "nginx.conf";
  if (nginx.empty()) return "nginx is not installed";
  ::chmod(prefix.c_str(), 0755);
  for (int attempt = 0; attempt < 3; ++attempt) {  // the free port may be taken meanwhile
    port_ = probe(0);
    std::string text = "daemon off;\nmaster_process off;\npid " + prefix +
                       "nginx.pid;\nerror_log " + log +
                       ";\nevents { worker_connections 16; }\nhttp {\n  access_log " + prefix +
                       "access.log;\n";
    for (const std::string temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
      text += "  " + temp + "_temp_path " + prefix + temp + ";\n";
    }
    write_bytes(conf, text + "  server { listen 127.0.0.1:" + std::to_string(port_) +
                          (cert.empty() ? "" : " ssl; ssl_certificate " + cert +
                                                   "; ssl_certificate_key " + key) +
                          "; root " + root + "; }\n}\n");
    pid_ = ::fork();
    if (pid_ == 0) {  // only async-signal-safe calls until exec
      const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      ::dup2(out, 1);
      ::dup2(out, 2);
      ::execl(nginx.c_str(), nginx.c_str(), "-e", log.c_str(), "-c", conf.c_str(), "-p",
              prefix.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    if (pid_ < 0) return "cannot start " + nginx;
    bool exited = false;
    wait_until([&] {
      exited = exited || ::waitpid(pid_, nullptr, WNOHANG) == pid_;
      return exited || probe(port_) != 0;
    }, std::chrono::seconds(10));
    if (!exited && probe(port_) != 0) return "";
    if (exited) pid_ = -1;
    stop();
  }
  return "nginx does not serve on port " + std::to_string(port_) + ": " + read_bytes(log);
}

bool NginxServer::wait_for_access(const std::string& line) const {
  return wait_until(
      [&] { return read_bytes(prefix_.file("access.log")).find(line) != std::string::npos; },
      std::chrono::seconds(2));
}

}  // namespace testutil
