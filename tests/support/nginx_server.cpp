#include "tests/support/nginx_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"

extern char** environ;

namespace testutil {

namespace {

constexpr auto kStartLimit = std::chrono::seconds(10);
constexpr int kStartAttempts = 3;  // a free port may be taken before nginx binds it

sockaddr_in loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  return addr;
}

int free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in addr = loopback(0);
  socklen_t len = sizeof addr;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  ::close(fd);
  return port;
}

bool accepts_connections(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const sockaddr_in addr = loopback(port);
  const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

std::string NginxServer::find_binary() {
  for (const char* path : {"/usr/sbin/nginx", "/usr/local/sbin/nginx", "/usr/bin/nginx"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  return "";
}

std::string NginxServer::start(const std::string& root) {
  const std::string nginx = find_binary();
  if (nginx.empty()) return "nginx is not installed";
  ::chmod(prefix_.path().c_str(), 0755);
  std::filesystem::create_directories(prefix_.file("tmp"));
  std::string error;
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    error = try_start(nginx, root);
    if (error.empty()) return "";
  }
  return error;
}

std::string NginxServer::start_tls(const std::string& root, const std::string& cert,
                                   const std::string& key) {
  tls_ = " ssl; ssl_certificate " + cert + "; ssl_certificate_key " + key;
  return start(root);
}

std::string NginxServer::try_start(const std::string& nginx, const std::string& root) {
  port_ = free_port();
  if (port_ == 0) return "no free port on 127.0.0.1";
  const std::string& prefix = prefix_.path();
  const std::string conf = prefix_.file("nginx.conf");
  const std::string error_log = prefix_.file("error.log");
  const std::string out_path = prefix_.file("nginx.out");
  write_bytes(conf,
              "daemon off;\n"
              "master_process off;\n"
              "pid " + prefix + "/nginx.pid;\n"
              "error_log " + error_log + ";\n"
              "events { worker_connections 16; }\n"
              "http {\n"
              "  access_log " + prefix + "/access.log;\n"
              "  client_body_temp_path " + prefix + "/tmp/body;\n"
              "  proxy_temp_path " + prefix + "/tmp/proxy;\n"
              "  fastcgi_temp_path " + prefix + "/tmp/fastcgi;\n"
              "  uwsgi_temp_path " + prefix + "/tmp/uwsgi;\n"
              "  scgi_temp_path " + prefix + "/tmp/scgi;\n"
              "  default_type application/octet-stream;\n"
              "  server { listen 127.0.0.1:" + std::to_string(port_) + tls_ + "; root " + root +
                  "; }\n"
              "}\n");

  std::vector<std::string> args = {nginx, "-e", error_log, "-c", conf, "-p", prefix + "/"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  const int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    pid_ = -1;
    return "cannot start " + nginx;
  }

  const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
  while (!accepts_connections(port_)) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return "nginx exited: " + read_bytes(out_path) + read_bytes(error_log);
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      stop();
      return "nginx does not accept connections on port " + std::to_string(port_);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return "";
}

void NginxServer::stop() {
  stop_child(pid_);
  pid_ = -1;
}

std::string NginxServer::access_log() const { return read_bytes(prefix_.file("access.log")); }

bool NginxServer::wait_for_access(const std::string& line) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (access_log().find(line) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace testutil
