// The HTTPS download client against local TLS servers on 127.0.0.1: a scripted server of our
// own for odd answers, `openssl s_server -WWW` for the certificate checks, and nginx for replies
// with a Content-Length. The certificates are made afresh for each run.
#include "updater/https_client.h"
#include "updater/reply_head.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/nginx_server.h"
#include "tests/support/test_certificates.h"
#include "tests/support/recording_link.h"
#include "tests/support/run_process.h"
#include "tests/support/child_process.h"
#include "tests/test_util.h"

namespace {

using testutil::RecordingLink;
using updater::RowCell;

constexpr char kName[] = "amateur.zip";
constexpr char kOldList[] = "the list of the last good download";
constexpr int kRow = 2;
constexpr char kRetrieved[] = "Retrieved the server's certificate\r\n";
constexpr auto kStartLimit = std::chrono::seconds(10);

// Bytes 0-255 over and over: CRs, LFs and zeros included.
std::string body_of(std::size_t n) {
  std::string body(n, '\0');
  for (std::size_t i = 0; i < n; ++i) body[i] = static_cast<char>((i * 7 + 13) & 0xff);
  return body;
}

std::string ok_head(const std::string& fields) {
  return "HTTP/1.1 200 OK\r\nServer: scripted\r\n" + fields + "\r\n";
}
std::string ok_head(std::size_t length) {
  return ok_head("Content-Length: " + std::to_string(length) + "\r\n");
}
// The head as the log shows it: without its final CR LF.
std::string logged(const std::string& head) { return head.substr(0, head.size() - 2); }

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

bool accepts_connections(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

// A port on 127.0.0.1 that is free now. `holder` (when given) keeps it bound but not
// listening, so connects are refused and nobody else takes it.
int free_port(int* holder = nullptr) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  if (holder != nullptr) {
    *holder = fd;
  } else {
    ::close(fd);
  }
  return port;
}

// ---- Certificates ----

// A test CA and the certificates the servers present.
using Certificates = testutil::TestCertificates;

Certificates* certificates = nullptr;

// ---- A scripted TLS server of our own ----

// Listens on 127.0.0.1 and serves one connection after another on its own thread with the
// "good" certificate: completes the handshake, reads the request head (bounded), then plays
// the script. Each send is one TLS write, so the client reads it on its own.
class TlsScriptServer {
 public:
  struct Step {
    enum class Kind { send, pause, close, drop, stall, mute } kind;
    std::string bytes;
    int ms = 0;
  };
  using Script = std::vector<Step>;
  static constexpr int kStallMs = 15000;

  static Step send(std::string bytes) { return {Step::Kind::send, std::move(bytes), 0}; }
  static Step pause(int ms) { return {Step::Kind::pause, {}, ms}; }
  // Ends with the TLS close, then the TCP close; also what happens when a script runs out.
  static Step close() { return {Step::Kind::close, {}, 0}; }
  // Ends the TCP stream without the TLS close, as a cut connection looks.
  static Step drop() { return {Step::Kind::drop, {}, 0}; }
  // Holds the connection open, silent, until the server is destroyed (or, so that a client
  // that never gives up cannot hang the test, for kStallMs).
  static Step stall() { return {Step::Kind::stall, {}, 0}; }
  // As the first step: accepts the connection but never answers the handshake.
  static Step mute() { return {Step::Kind::mute, {}, 0}; }

  explicit TlsScriptServer(Script script) : script_(std::move(script)) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    if (ctx_ == nullptr ||
        SSL_CTX_use_certificate_chain_file(ctx_, certificates->cert("good").c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx_, certificates->key("good").c_str(), SSL_FILETYPE_PEM) !=
            1) {
      std::abort();
    }
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      std::abort();
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { accept_loop(); });
  }

  ~TlsScriptServer() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
    ::close(listener_);
    SSL_CTX_free(ctx_);
  }
  TlsScriptServer(const TlsScriptServer&) = delete;
  TlsScriptServer& operator=(const TlsScriptServer&) = delete;

  int port() const { return port_; }
  std::vector<std::string> requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  // Waits `ms`, or until the server stops. True when it stopped.
  bool wait_or_stop(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stopping_; });
  }

  void accept_loop() {
    // A client that has gone makes writes fail; they must not end the test program.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    while (!wait_or_stop(0)) {
      pollfd p{listener_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) serve(fd);
    }
  }

  void serve(int fd) {
    timeval five{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &five, sizeof five);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &five, sizeof five);
    SSL* ssl = SSL_new(ctx_);
    SSL_set_fd(ssl, fd);
    bool tls_close = true;
    if (!script_.empty() && script_[0].kind == Step::Kind::mute) {
      wait_or_stop(kStallMs);
    } else if (SSL_accept(ssl) == 1) {
      std::string request;
      char buffer[1024];
      while (!contains(request, "\r\n\r\n")) {
        const int got = SSL_read(ssl, buffer, sizeof buffer);
        if (got <= 0) break;
        request.append(buffer, static_cast<std::size_t>(got));
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
      }
      for (const Step& step : script_) {
        if (step.kind == Step::Kind::send) {
          if (SSL_write(ssl, step.bytes.data(), static_cast<int>(step.bytes.size())) <= 0) break;
        } else if (step.kind == Step::Kind::pause) {
          if (wait_or_stop(step.ms)) break;
        } else if (step.kind == Step::Kind::stall) {
          wait_or_stop(kStallMs);
          break;
        } else {
          tls_close = step.kind != Step::Kind::drop;
          break;
        }
      }
      if (tls_close) SSL_shutdown(ssl);
    }
    // A graceful TCP close: the client reads everything sent before it sees the end.
    ::shutdown(fd, SHUT_WR);
    if (!wait_or_stop(0)) {
      timeval one{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &one, sizeof one);
      char sink[1024];
      while (::recv(fd, sink, sizeof sink, 0) > 0) {
      }
    }
    SSL_free(ssl);
    ::close(fd);
    ERR_clear_error();
  }

  Script script_;
  SSL_CTX* ctx_ = nullptr;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  std::vector<std::string> requests_;
};

using S = TlsScriptServer;

// ---- openssl s_server as a child process ----

// `openssl s_server -WWW` serving the files under `root` with one of the certificates. Ends
// with SIGTERM, and SIGKILL after a bounded wait.
class SServer {
 public:
  ~SServer() { stop(); }

  std::string start(const std::string& root, const std::string& kind) {
    std::string error;
    for (int attempt = 0; attempt < 3; ++attempt) {  // a free port may be taken meanwhile
      error = try_start(root, kind);
      if (error.empty()) return "";
    }
    return error;
  }

  void stop() {
    testutil::stop_child(pid_);
    pid_ = -1;
  }

  int port() const { return port_; }

 private:
  std::string try_start(const std::string& root, const std::string& kind) {
    port_ = free_port();
    const std::string out = root + "/../s_server.out";
    std::vector<std::string> args = {"/usr/bin/openssl", "s_server", "-WWW", "-quiet",
                                      "-accept", "127.0.0.1:" + std::to_string(port_),
                                      "-cert", certificates->cert(kind),
                                      "-key", certificates->key(kind)};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      const int in = ::open("/dev/null", O_RDONLY);
      const int log = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (in < 0 || log < 0 || ::chdir(root.c_str()) != 0) ::_exit(126);
      ::dup2(in, 0);
      ::dup2(log, 1);
      ::dup2(log, 2);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    if (pid_ < 0) return "fork failed";
    const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    while (!accepts_connections(port_)) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return "s_server exited: " + testutil::read_bytes(out);
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        stop();
        return "s_server does not accept connections";
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return "";
  }

  pid_t pid_ = -1;
  int port_ = 0;
};

// ---- The fixture ----

// One https_get and what it left behind.
struct Fetch {
  int result = 0;
  std::shared_ptr<RecordingLink> link = std::make_shared<RecordingLink>();
  updater::UpdaterState state;
  std::string out;   // standard output
  std::string file;  // amateur.zip afterwards, or "<none>"
  bool part_left = false;  // anything beside amateur.zip left in the folder
  double seconds = 0;

  std::string log() const { return link->log(); }
};

class HttpsGetTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(platform::start_sockets(), 0);
    if (certificates == nullptr) certificates = new Certificates;
  }
  static void TearDownTestSuite() {
    delete certificates;
    certificates = nullptr;
    platform::stop_sockets();
  }

  void SetUp() override {
    if (::access("/usr/bin/openssl", X_OK) != 0) {
      GTEST_SKIP() << "the openssl command is not installed (scripts/setup installs it)";
    }
    ASSERT_EQ(certificates->error(), "");
    ::chmod(dir_.path().c_str(), 0755);
    std::filesystem::create_directories(www_.path() + "/www/datafiles");
    for (const std::string& folder : {www_.path(), root(), root() + "/datafiles"}) {
      ::chmod(folder.c_str(), 0755);
    }
  }
  void TearDown() override {
    updater::set_tls_receive_timeout_for_tests(0);
    updater::set_download_rate_for_tests(0, 0);
  }

  std::string root() const { return www_.path() + "/www"; }
  void publish(const std::string& bytes) {
    const std::string path = root() + "/datafiles/" + kName;
    testutil::write_bytes(path, bytes);
    ::chmod(path.c_str(), 0644);
  }

  // Fetches amateur.zip into a folder that holds an earlier list.
  std::unique_ptr<Fetch> fetch(const std::string& host, int port, bool trust_test_ca = true,
                               std::shared_ptr<RecordingLink> link = nullptr) {
    auto f = std::make_unique<Fetch>();
    if (link) f->link = link;
    const std::string path = dir_.file(kName);
    if (!std::filesystem::is_symlink(path)) testutil::write_bytes(path, kOldList);
    std::snprintf(f->state.update_rows[kRow].name, sizeof f->state.update_rows[kRow].name, "%s",
                  kName);
    updater::WorkerEnv env;
    env.link = f->link.get();
    env.state = &f->state;
    env.folder = dir_.path();
    env.canada_server = {host, port};
    if (trust_test_ca) env.ca_file = certificates->ca();
    env.cancel = &cancel_;

    testing::internal::CaptureStdout();
    const auto start = std::chrono::steady_clock::now();
    f->result = updater::https_get(env, kRow);
    f->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    f->out = testing::internal::GetCapturedStdout();
    f->file = platform::file_exists(path) ? testutil::read_bytes(path) : "<none>";
    f->part_left = std::distance(std::filesystem::directory_iterator(dir_.path()),
                                 std::filesystem::directory_iterator()) > 1;
    return f;
  }

  std::unique_ptr<Fetch> fetch(const S::Script& script,
                               std::shared_ptr<RecordingLink> link = nullptr) {
    TlsScriptServer server(script);
    port_ = server.port();
    auto f = fetch("localhost", port_, true, link);
    requests_ = server.requests();
    return f;
  }

  // A failed download: the earlier list untouched and no part file left.
  static void expect_failed(const Fetch& f) {
    EXPECT_EQ(f.result, -1);
    EXPECT_EQ(f.file, kOldList);
    EXPECT_FALSE(f.part_left);
    EXPECT_FALSE(contains(f.log(), "saved ")) << f.log();
  }

  testutil::TempDir dir_;  // the data folder
  testutil::TempDir www_;  // what the servers serve, under www/
  std::atomic<bool> cancel_{false};
  int port_ = 0;  // the scripted server's
  std::vector<std::string> requests_;
};

// ---- Against the scripted server ----

TEST_F(HttpsGetTest, CompleteReplyReplacesTheListWithExactRequestAndLog) {
  const std::string body = body_of(20000);
  const std::string head = ok_head(body.size());
  const auto f = fetch({S::send(head + body.substr(0, 100)), S::send(body.substr(100)),
                        S::close()});

  EXPECT_EQ(f->result, 0) << f->log();
  EXPECT_EQ(f->file, body);
  EXPECT_FALSE(f->part_left);
  EXPECT_EQ(f->state.partial_download(), "");
  EXPECT_EQ(f->out, "");
  ASSERT_EQ(requests_.size(), 1u);
  EXPECT_EQ(requests_[0], "GET /datafiles/amateur.zip HTTP/1.1\r\nHost: localhost:" +
                              std::to_string(port_) + "\r\nConnection: Close\r\n\r\n");
  EXPECT_EQ(f->log(), kRetrieved + logged(head) + "100 data bytes in head\r\n" +
                          "saved amateur.zip 20000 bytes\n");
  EXPECT_EQ(f->link->row(kRow, RowCell::total), "20000");
  EXPECT_EQ(f->link->row(kRow, RowCell::bytes), "20000");
}

TEST_F(HttpsGetTest, HeadSplitAcrossReadsIsJoined) {
  const std::string body = body_of(300);
  const std::string head = ok_head(body.size());
  S::Script drip;
  for (char c : head) drip.push_back(S::send(std::string(1, c)));
  drip.push_back(S::send(body));
  // The final run of line ends cut in its middle, body bytes right after it.
  const S::Script halves = {S::send(head.substr(0, head.size() - 1)), S::pause(30),
                            S::send("\n" + body)};
  for (const S::Script& script : {drip, halves}) {
    const auto f = fetch(script);
    EXPECT_EQ(f->result, 0) << f->log();
    EXPECT_EQ(f->file, body);
    EXPECT_TRUE(contains(f->log(), kRetrieved + logged(head))) << f->log();
  }
}

TEST_F(HttpsGetTest, HeadMayFillTheBufferButNotExceedIt) {
  const std::string body = body_of(10);
  auto head_of_size = [](std::size_t size) {
    std::string head = ok_head(10);
    const std::string pad = "X-Pad: \r\n";
    head.insert(head.size() - 2, "X-Pad: " + std::string(size - head.size() - pad.size(), 'p') +
                                     "\r\n");
    return head;
  };
  const std::string full = head_of_size(updater::kTlsBufferSize);
  ASSERT_EQ(full.size(), updater::kTlsBufferSize);
  const auto fits = fetch({S::send(full.substr(0, 5000)), S::send(full.substr(5000) + body)});
  EXPECT_EQ(fits->result, 0) << fits->log();
  EXPECT_EQ(fits->file, body);

  const std::string over = head_of_size(updater::kTlsBufferSize + 1);
  const auto too_long = fetch({S::send(over.substr(0, 5000)), S::send(over.substr(5000) + body)});
  expect_failed(*too_long);
  EXPECT_EQ(too_long->log(),
            std::string(kRetrieved) + "ERROR the reply head is longer than 8192 bytes\r\n");
}

TEST_F(HttpsGetTest, RefusedRepliesLeaveTheListAlone) {
  const std::string body = body_of(1000);
  std::vector<std::pair<S::Script, std::string>> cases = {
      {{S::send(ok_head(body.size())), S::send(body.substr(0, 999)), S::close()},
       "FILE IS WRONG SIZE\r\n"},
      {{S::send(ok_head("Transfer-Encoding: chunked\r\n")),
        S::send("3e8\r\n" + body + "\r\n0\r\n\r\n"), S::close()},
       updater::kTransferEncodingRefused},
      {{S::send(ok_head(updater::kMaxListArchiveSize + 1)), S::send(body), S::close()},
       "ERROR amateur.zip is longer than 67108864 bytes\r\n"},
  };
  for (const char* value : {"abc", "12x", "-5", "2147483648"}) {
    cases.push_back({{S::send(ok_head(std::string("Content-Length: ") + value + "\r\n")),
                      S::send(body)},
                     "BAD CONTENT LENGTH\r\n"});
  }
  for (const auto& [script, line] : cases) {
    SCOPED_TRACE(line);
    const auto f = fetch(script);
    expect_failed(*f);
    EXPECT_TRUE(f->log().ends_with(line)) << f->log();
  }
}

TEST_F(HttpsGetTest, ReadingStopsAtContentLength) {
  updater::set_tls_receive_timeout_for_tests(30);
  const std::string body = body_of(1000);
  for (const S::Script& script : {S::Script{S::send(ok_head(1000) + body + "junk"), S::close()},
                                  S::Script{S::send(ok_head(1000) + body), S::stall()}}) {
    const auto f = fetch(script);
    EXPECT_EQ(f->result, 0) << f->log();
    EXPECT_EQ(f->file, body);
    EXPECT_LT(f->seconds, 15.0) << "waited for the server to close";
  }
}

// A symlink planted where the client could write is never written through: the new list
// takes the place of the one at the list's own name.
TEST_F(HttpsGetTest, WritesNoFileButItsOwnTemporary) {
  const std::string victim = www_.file("victim");
  testutil::write_bytes(victim, "victim");
  std::filesystem::create_symlink(victim, dir_.file(kName));
  std::filesystem::create_symlink(victim, dir_.file(std::string(kName) + ".part"));
  const std::string body = body_of(100);
  const auto f = fetch({S::send(ok_head(body.size()) + body), S::close()});
  EXPECT_EQ(f->result, 0) << f->log();
  EXPECT_EQ(testutil::read_bytes(victim), "victim");
  EXPECT_FALSE(std::filesystem::is_symlink(dir_.file(kName)));
  EXPECT_EQ(f->file, body);
}

TEST_F(HttpsGetTest, StreamEndWithoutTlsCloseCountsOnlyWhenTheLengthProvesTheBodyWhole) {
  const std::string body = body_of(1000);
  {
    const auto cut = fetch({S::send(ok_head(body.size())), S::send(body.substr(0, 600)),
                            S::drop()});
    expect_failed(*cut);
    EXPECT_TRUE(cut->log().ends_with("ERROR downloading amateur.zip\r\n")) << cut->log();
  }
  {
    const auto cut = fetch({S::send(ok_head("")), S::send(body), S::drop()});
    expect_failed(*cut);
    EXPECT_TRUE(cut->log().ends_with("ERROR downloading amateur.zip\r\n")) << cut->log();
  }
  {
    const auto whole = fetch({S::send(ok_head(body.size())), S::send(body), S::drop()});
    EXPECT_EQ(whole->result, 0) << whole->log();
    EXPECT_EQ(whole->file, body);
  }
  {
    // With no length the TLS close alone ends the body.
    const auto closed = fetch({S::send(ok_head("")), S::send(body), S::close()});
    EXPECT_EQ(closed->result, 0) << closed->log();
    EXPECT_EQ(closed->file, body);
    EXPECT_EQ(closed->link->row(kRow, RowCell::total), "");
    EXPECT_EQ(closed->link->row(kRow, RowCell::bytes), "1000");
  }
}

TEST_F(HttpsGetTest, ReplyOtherThan200OrNoHeadFailsWithItsReason) {
  const std::string unavailable = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 4\r\n\r\n";
  const auto refused = fetch({S::send(unavailable + "busy"), S::close()});
  expect_failed(*refused);
  EXPECT_EQ(refused->log(), kRetrieved + logged(unavailable) +
                                "ERROR the server answered 503 for amateur.zip\r\n");
  EXPECT_EQ(refused->link->row(kRow, RowCell::total), "");

  const auto garbage = fetch({S::send("garbage\r\n\r\n"), S::close()});
  expect_failed(*garbage);
  EXPECT_TRUE(garbage->log().ends_with("ERROR the server answered 0 for amateur.zip\r\n"));

  const auto headless = fetch({S::send("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n"), S::close()});
  expect_failed(*headless);
  EXPECT_EQ(headless->log(),
            std::string(kRetrieved) + "ERROR no complete reply head from localhost\r\n");
}

TEST_F(HttpsGetTest, StalledOrDrippingServerEndsTheDownload) {
  updater::set_tls_receive_timeout_for_tests(1);
  updater::set_download_rate_for_tests(3, 1000);
  const auto mid_body = fetch({S::send(ok_head(100) + body_of(50)), S::stall()});
  expect_failed(*mid_body);
  EXPECT_TRUE(mid_body->log().ends_with("ERROR downloading amateur.zip\r\n"));
  EXPECT_GE(mid_body->seconds, 0.9);
  EXPECT_LT(mid_body->seconds, 10.0);

  const auto handshake = fetch({S::mute()});
  expect_failed(*handshake);
  EXPECT_EQ(handshake->log(), "ERROR 'SSL_connect'\r\n");
  EXPECT_GE(handshake->seconds, 0.9);
  EXPECT_LT(handshake->seconds, 10.0);

  S::Script drip = {S::send(ok_head(1000))};
  for (int i = 0; i < 100; ++i) {
    drip.push_back(S::pause(100));
    drip.push_back(S::send("d"));
  }
  const auto dripping = fetch(drip);
  expect_failed(*dripping);
  EXPECT_TRUE(dripping->log().ends_with(" in 3 s, at least 1000 needed\r\n")) << dripping->log();
  EXPECT_LT(dripping->seconds, 10.0);
}

TEST_F(HttpsGetTest, CancelEndsAStalledRead) {
  updater::set_tls_receive_timeout_for_tests(10);
  std::thread closer([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    cancel_ = true;
  });
  const auto f = fetch({S::send(ok_head(2000) + body_of(1000)), S::stall()});
  closer.join();
  expect_failed(*f);
  EXPECT_LT(f->seconds, 3.0);
  EXPECT_TRUE(f->log().ends_with("Download of amateur.zip cancelled\r\n")) << f->log();
}

// ---- Certificates, against openssl s_server ----

TEST_F(HttpsGetTest, TrustedCertificateServesTheFileByNameAndByAddress) {
  const std::string list = body_of(100000);
  publish(list);
  SServer server;
  ASSERT_EQ(server.start(root(), "good"), "");
  for (const char* host : {"localhost", "127.0.0.1"}) {
    SCOPED_TRACE(host);
    const auto f = fetch(host, server.port());
    EXPECT_EQ(f->result, 0) << f->log();
    EXPECT_EQ(f->file, list);
    EXPECT_FALSE(f->part_left);
    // -WWW answers HTTP/1.0 without a length: the TLS close ends the body.
    EXPECT_TRUE(f->log().starts_with(std::string(kRetrieved) +
                                     "HTTP/1.0 200 ok\r\nContent-type: text/plain\r\n"))
        << f->log();
    EXPECT_TRUE(f->log().ends_with("saved amateur.zip 100000 bytes\n")) << f->log();
    EXPECT_EQ(f->link->row(kRow, RowCell::bytes), "100000");
  }
}

TEST_F(HttpsGetTest, CertificateForAnotherNameIsRefused) {
  publish(body_of(100));
  SServer server;
  ASSERT_EQ(server.start(root(), "other"), "");
  const auto by_name = fetch("localhost", server.port());
  expect_failed(*by_name);
  EXPECT_EQ(by_name->log(), "Certificate of localhost not trusted: hostname mismatch\r\n");
  const auto by_address = fetch("127.0.0.1", server.port());
  expect_failed(*by_address);
  EXPECT_EQ(by_address->log(), "Certificate of 127.0.0.1 not trusted: IP address mismatch\r\n");
}

TEST_F(HttpsGetTest, CertificateWithoutATrustedIssuerIsRefused) {
  publish(body_of(100));
  {
    SServer server;
    ASSERT_EQ(server.start(root(), "self"), "");
    const auto f = fetch("localhost", server.port());
    expect_failed(*f);
    EXPECT_EQ(f->log(), "Certificate of localhost not trusted: self-signed certificate\r\n");
  }
  {
    // The test CA's certificate is trusted only through env.ca_file.
    SServer server;
    ASSERT_EQ(server.start(root(), "good"), "");
    const auto f = fetch("localhost", server.port(), /*trust_test_ca=*/false);
    expect_failed(*f);
    EXPECT_EQ(f->log(),
              "Certificate of localhost not trusted: unable to get local issuer certificate\r\n");
  }
}

// ---- Against nginx ----

TEST_F(HttpsGetTest, NginxReplyWithContentLengthArrivesWholeAndMissingFileIs404) {
  if (testutil::NginxServer::find_binary().empty()) GTEST_SKIP() << "nginx is not installed";
  const std::string list = body_of(300000);
  publish(list);
  testutil::NginxServer nginx;
  ASSERT_EQ(nginx.start_tls(root(), certificates->cert("good"), certificates->key("good")), "");

  const auto f = fetch("localhost", nginx.port());
  EXPECT_EQ(f->result, 0) << f->log();
  EXPECT_EQ(f->file, list);
  EXPECT_TRUE(f->log().starts_with(std::string(kRetrieved) + "HTTP/1.1 200 OK\r\n")) << f->log();
  EXPECT_TRUE(contains(f->log(), "\r\nContent-Length: 300000\r\n"));
  EXPECT_TRUE(f->log().ends_with("saved amateur.zip 300000 bytes\n"));
  EXPECT_EQ(f->link->row(kRow, RowCell::total), "300000");
  EXPECT_TRUE(nginx.wait_for_access("\"GET /datafiles/amateur.zip HTTP/1.1\" 200"));

  std::filesystem::remove(root() + "/datafiles/" + kName);
  const auto missing = fetch("127.0.0.1", nginx.port());
  expect_failed(*missing);
  EXPECT_TRUE(contains(missing->log(), std::string(kRetrieved) + "HTTP/1.1 404 Not Found\r\n"));
  EXPECT_TRUE(missing->log().ends_with("ERROR the server answered 404 for amateur.zip\r\n"));
}

// ---- Failures before the download ----

TEST_F(HttpsGetTest, UnreachableOrUnknownHostFailsWithItsLine) {
  int holder = -1;
  const int port = free_port(&holder);
  for (const char* host : {"127.0.0.1", "localhost"}) {
    const auto f = fetch(host, port);
    expect_failed(*f);
    EXPECT_EQ(f->log(), "Cannot connect to host " + std::string(host) + " [127.0.0.1] on port " +
                            std::to_string(port) + "\r\n");
    EXPECT_EQ(f->out, "");
  }
  ::close(holder);

  const auto unknown = fetch("no-such-host.invalid", 443);
  expect_failed(*unknown);
  EXPECT_EQ(unknown->out, "ERROR looking up host 'no-such-host.invalid'\n");
  EXPECT_EQ(unknown->log(), "");
}

TEST_F(HttpsGetTest, LocalProblemsFailWithTheirLine) {
  TlsScriptServer server({S::send(ok_head(3) + "abc"), S::close()});
  {
    auto f = std::make_unique<Fetch>();
    std::snprintf(f->state.update_rows[kRow].name, sizeof f->state.update_rows[kRow].name, "%s",
                  kName);
    updater::WorkerEnv env;
    env.link = f->link.get();
    env.state = &f->state;
    env.folder = dir_.file("no-such-folder");
    env.canada_server = {"localhost", server.port()};
    env.ca_file = certificates->ca();
    EXPECT_EQ(updater::https_get(env, kRow), -1);
    EXPECT_EQ(f->log(), std::string(kRetrieved) + "ERROR opening amateur.zip\r\n");

    env.ca_file = dir_.file("no-such-ca.pem");
    f->link->clear();
    EXPECT_EQ(updater::https_get(env, kRow), -1);
    EXPECT_EQ(f->log(), "ERROR loading trusted certificates from " + env.ca_file + "\r\n");
  }
}

}  // namespace
