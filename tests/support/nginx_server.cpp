#include "tests/support/nginx_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/support/child_process.h"

extern char** environ;

namespace testutil {
namespace {

// Connects to `port` on 127.0.0.1, or with `port` 0 binds a free one; returns the port or 0.
int probe(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  socklen_t len = sizeof addr;
  auto* a = reinterpret_cast<sockaddr*>(&addr);
  const bool ok = port != 0 ? ::connect(fd, a, sizeof addr) == 0
                            : ::bind(fd, a, sizeof addr) == 0 && ::getsockname(fd, a, &len) == 0;
  ::close(fd);
  return ok ? ntohs(addr.sin_port) : 0;
}

}  // namespace

std::string NginxServer::find_binary() {
  for (const char* path : {"/usr/sbin/nginx", "/usr/local/sbin/nginx", "/usr/bin/nginx"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  return "";
}

std::string NginxServer::start(const std::string& root, const std::string& cert,
                               const std::string& key) {
  const std::string nginx = find_binary();
  if (nginx.empty()) return "nginx is not installed";
  ::chmod(prefix_.path().c_str(), 0755);
  const std::string& prefix = prefix_.path();
  const std::string log = prefix_.file("error.log");
  std::string error;
  for (int attempt = 0; attempt < 3; ++attempt) {  // the free port may be taken meanwhile
    port_ = probe(0);
    std::string conf = "daemon off;\nmaster_process off;\npid " + prefix + "/nginx.pid;\n" +
                       "error_log " + log + ";\nevents { worker_connections 16; }\nhttp {\n" +
                       "  access_log " + prefix + "/access.log;\n";
    for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
      conf += "  " + std::string(temp) + "_temp_path " + prefix + "/" + temp + ";\n";
    }
    conf += "  server { listen 127.0.0.1:" + std::to_string(port_) +
            (cert.empty() ? "" : " ssl; ssl_certificate " + cert + "; ssl_certificate_key " + key) +
            "; root " + root + "; }\n}\n";
    write_bytes(prefix_.file("nginx.conf"), conf);
    std::string args[] = {nginx, "-e", log, "-c", prefix_.file("nginx.conf"), "-p", prefix + "/"};
    char* argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data(),
                    args[4].data(), args[5].data(), args[6].data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return "cannot start " + nginx;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool exited = false;
    while (!exited && probe(port_) == 0 && std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      exited = ::waitpid(pid_, &status, WNOHANG) == pid_;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!exited && probe(port_) != 0) return "";
    if (exited) pid_ = -1;
    stop();
    error = "nginx does not serve on port " + std::to_string(port_) + ": " + read_bytes(log);
  }
  return error;
}

void NginxServer::stop() {
  stop_child(pid_);
  pid_ = -1;
}

bool NginxServer::wait_for_access(const std::string& line) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (read_bytes(prefix_.file("access.log")).find(line) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace testutil
