// The HTTPS download client against a scripted TLS server of our own on 127.0.0.1, with
// certificates made afresh for each run. The head rules are the reply head reader's (see
// http_client_test.cpp); the run against nginx is the Canadian run's.
#include "updater/https_client.h"
#include "updater/reply_head.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/recording_link.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_certificates.h"
#include "tests/test_util.h"

namespace {

using updater::RowCell;

constexpr char kName[] = "amateur.zip";
constexpr char kOldList[] = "the list of the last good download";
constexpr int kRow = 2;
constexpr char kRetrieved[] = "Retrieved the server's certificate\r\n";

testutil::TestCertificates* certificates = nullptr;

using testutil::body_of;
using testutil::ok_head;

using S = testutil::ScriptedServer;

// A scripted TLS server presenting the certificate `kind`.
S tls_server(S::Script script, const std::string& kind = "good") {
  return S({std::move(script)}, certificates->cert(kind), certificates->key(kind));
}

// One https_get and what it left behind.
struct Fetch {
  int result = 0;
  testutil::RecordingLink link;
  updater::UpdaterState state;
  std::string out;         // standard output
  std::string file;        // amateur.zip afterwards, or "<none>"
  bool part_left = false;  // anything beside amateur.zip left in the folder
};

class HttpsGetTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(platform::start_sockets(), 0);
    if (certificates == nullptr) certificates = new testutil::TestCertificates;
  }
  static void TearDownTestSuite() {
    delete certificates;
    certificates = nullptr;
    platform::stop_sockets();
  }
  void SetUp() override {
    if (testutil::TestCertificates::openssl().empty()) {
      GTEST_SKIP() << "the openssl command is not installed (scripts/setup installs it)";
    }
    ASSERT_EQ(certificates->error(), "");
  }
  void TearDown() override {
    updater::set_tls_receive_timeout_for_tests(0);
    updater::set_download_rate_for_tests(0, 0);
  }

  updater::WorkerEnv env_for(Fetch& f, const std::string& host, int port, bool trust) {
    std::snprintf(f.state.update_rows[kRow].name, sizeof f.state.update_rows[kRow].name, "%s",
                  kName);
    updater::WorkerEnv env;
    env.link = &f.link;
    env.state = &f.state;
    env.folder = dir_.path();
    env.canada_server = {host, port};
    if (trust) env.ca_file = certificates->ca();
    env.cancel = &cancel_;
    return env;
  }

  // Fetches amateur.zip into a folder that holds an earlier list.
  std::unique_ptr<Fetch> fetch(const std::string& host, int port, bool trust = true) {
    auto f = std::make_unique<Fetch>();
    const std::string path = dir_.file(kName);
    if (!std::filesystem::is_symlink(path)) testutil::write_bytes(path, kOldList);
    updater::WorkerEnv env = env_for(*f, host, port, trust);
    testing::internal::CaptureStdout();
    f->result = updater::https_get(env, kRow);
    f->out = testing::internal::GetCapturedStdout();
    f->file = platform::file_exists(path) ? testutil::read_bytes(path) : "<none>";
    f->part_left = std::distance(std::filesystem::directory_iterator(dir_.path()),
                                 std::filesystem::directory_iterator()) > 1;
    return f;
  }
  std::unique_ptr<Fetch> fetch(const S::Script& script, const std::string& kind = "good",
                               const std::string& host = "localhost", bool trust = true) {
    const S server = tls_server(script, kind);
    return fetch(host, server.port(), trust);
  }

  // A failed download: the earlier list untouched and no part file left.
  static void expect_failed(const Fetch& f) {
    EXPECT_EQ(f.result, -1);
    EXPECT_EQ(f.file, kOldList);
    EXPECT_FALSE(f.part_left);
    EXPECT_EQ(f.state.partial_download(), "");
  }

  testutil::TempDir dir_;  // the data folder
  std::atomic<bool> cancel_{false};
};

TEST_F(HttpsGetTest, CompleteReplyReplacesTheListWithExactRequestAndLog) {
  const std::string body = body_of(20000);
  const std::string head = ok_head(body.size());
  S server = tls_server({S::send(head + body.substr(0, 100)), S::send(body.substr(100))});
  const auto f = fetch("localhost", server.port());
  EXPECT_EQ(f->result, 0) << f->link.log();
  EXPECT_EQ(f->file, body);
  EXPECT_FALSE(f->part_left);
  EXPECT_EQ(f->state.partial_download(), "");
  EXPECT_EQ(f->out, "");
  EXPECT_EQ(server.requests(), std::vector<std::string>{"GET /datafiles/amateur.zip HTTP/1.1\r\nHost: localhost:" +
                                  std::to_string(server.port()) +
                                  "\r\nConnection: Close\r\n\r\n"});
  EXPECT_EQ(f->link.log(), kRetrieved + head.substr(0, head.size() - 2) +
                               "100 data bytes in head\r\nsaved amateur.zip 20000 bytes\n");
  EXPECT_EQ(f->link.row(kRow, RowCell::total), "20000");
  EXPECT_EQ(f->link.row(kRow, RowCell::bytes), "20000");
}

// What the client makes of each odd answer: the list it keeps, or the last log line. Without
// a length only the TLS close ends the body; with one, reading stops there.
TEST_F(HttpsGetTest, OddAnswers) {
  updater::set_tls_receive_timeout_for_tests(1);
  updater::set_download_rate_for_tests(3, 1000);
  const std::string body = body_of(1000);
  const std::string head = ok_head(1000);
  S::Script drip = {S::send(head)};
  for (int i = 0; i < 100; ++i) drip.insert(drip.end(), {S::pause(100), S::send("d")});
  const std::string saved = "saved amateur.zip 1000 bytes\n";
  const std::string cut = "ERROR downloading amateur.zip\r\n";
  struct Case {
    S::Script script;
    int result;
    std::string log_end;
    std::string total;
  };
  const Case cases[] = {
      {{S::send(head.substr(0, head.size() - 1)), S::pause(30), S::send("\n" + body)}, 0, saved,
       "1000"},
      {{S::send(head + body + "junk")}, 0, saved, "1000"},
      {{S::send(head), S::send(body), S::stall()}, 0, saved, "1000"},
      {{S::send(head), S::send(body), S::drop()}, 0, saved, "1000"},
      {{S::send(ok_head("")), S::send(body)}, 0, saved, ""},
      {{S::send(ok_head("")), S::send(body), S::drop()}, -1, cut, ""},
      {{S::send(head), S::send(body.substr(0, 600)), S::drop()}, -1, cut, "1000"},
      {{S::send(head), S::send(body.substr(0, 999))}, -1, "FILE IS WRONG SIZE\r\n", "1000"},
      {{S::send(ok_head(100) + body_of(50)), S::stall()}, -1,
       "ERROR nothing from the server for 1 s\r\n" + cut, "100"},
      {{S::mute()}, -1, "ERROR 'SSL_connect'\r\n", ""},
      {drip, -1, " in 3 s, at least 1000 needed\r\n", "1000"},
      {{S::send("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n")}, -1,
       std::string(kRetrieved) + "ERROR no complete reply head from localhost\r\n", ""},
      {{S::send(std::string(updater::kTlsBufferSize + 1, 'h'))}, -1,
       std::string(kRetrieved) + "ERROR the reply head is longer than 8192 bytes\r\n", ""},
      {{S::send("HTTP/1.1 503 Service Unavailable\r\nContent-Length: 4\r\n\r\nbusy")}, -1,
       "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 4\r\n"
       "ERROR the server answered 503 for amateur.zip\r\n",
       ""},
      {{S::send(ok_head("Transfer-Encoding: chunked\r\n") + "3e8\r\n" + body)}, -1,
       updater::kTransferEncodingRefused, ""},
      {{S::send(ok_head("Content-Length: 12x\r\n") + body)}, -1, "BAD CONTENT LENGTH\r\n", ""},
      {{S::send(ok_head(updater::kMaxListArchiveSize + 1) + body)}, -1,
       "ERROR amateur.zip is longer than 67108864 bytes\r\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.log_end);
    const auto f = fetch(c.script);
    if (c.result != 0) {
      expect_failed(*f);
    } else {
      EXPECT_EQ(f->result, 0);
      EXPECT_EQ(f->file, body);
    }
    EXPECT_TRUE(f->link.log().ends_with(c.log_end)) << f->link.log();
    EXPECT_EQ(f->link.row(kRow, RowCell::total), c.total);
  }
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
  EXPECT_TRUE(f->link.log().ends_with("Download of amateur.zip cancelled\r\n")) << f->link.log();
}

TEST_F(HttpsGetTest, CertificateMustNameTheHostAndHaveATrustedIssuer) {
  const std::string body = body_of(100);
  const std::string refused = "Certificate of localhost not trusted: ";
  struct Case {
    const char* kind;
    const char* host;
    bool trust;
    std::string log_end;
  };
  const Case cases[] = {
      {"good", "localhost", true, "saved amateur.zip 100 bytes\n"},
      {"good", "127.0.0.1", true, "saved amateur.zip 100 bytes\n"},
      {"other", "localhost", true, refused + "hostname mismatch\r\n"},
      {"other", "127.0.0.1", true, "Certificate of 127.0.0.1 not trusted: IP address mismatch\r\n"},
      {"self", "localhost", true, refused + "self-signed certificate\r\n"},
      // The test CA is trusted only through env.ca_file.
      {"good", "localhost", false, refused + "unable to get local issuer certificate\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.log_end);
    const auto f = fetch({S::send(ok_head(100) + body)}, c.kind, c.host, c.trust);
    const bool ok = c.log_end.starts_with("saved");
    EXPECT_EQ(f->result, ok ? 0 : -1);
    EXPECT_EQ(f->file, ok ? body : kOldList);
    EXPECT_TRUE(ok ? f->link.log().ends_with(c.log_end) : f->link.log() == c.log_end)
        << f->link.log();
  }
}

TEST_F(HttpsGetTest, FailuresBeforeTheDownloadSayWhy) {
  // Bound but not listening: connects are refused, and nobody else can take the port.
  const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  const int port = ntohs(addr.sin_port);
  for (const char* host : {"127.0.0.1", "localhost"}) {
    const auto f = fetch(host, port);
    expect_failed(*f);
    EXPECT_EQ(f->link.log(), "Cannot connect to host " + std::string(host) +
                                 " [127.0.0.1] on port " + std::to_string(port) + "\r\n");
    EXPECT_EQ(f->out, "");
  }
  ::close(holder);

  const auto unknown = fetch("no-such-host.invalid", 443);
  expect_failed(*unknown);
  EXPECT_EQ(unknown->out, "ERROR looking up host 'no-such-host.invalid'\n");
  EXPECT_EQ(unknown->link.log(), "");

  const S server = tls_server({S::send(ok_head(3) + "abc")});
  Fetch f;
  updater::WorkerEnv env = env_for(f, "localhost", server.port(), true);
  env.folder = dir_.file("no-such-folder");
  EXPECT_EQ(updater::https_get(env, kRow), -1);
  EXPECT_EQ(f.link.log(), std::string(kRetrieved) + "ERROR opening amateur.zip\r\n");
  env.ca_file = dir_.file("no-such-ca.pem");
  f.link.clear();
  EXPECT_EQ(updater::https_get(env, kRow), -1);
  EXPECT_EQ(f.link.log(), "ERROR loading trusted certificates from " + env.ca_file + "\r\n");
}

// A symlink planted where the client could write is never written through: the new list
// takes the place of the one at the list's own name.
TEST_F(HttpsGetTest, WritesNoFileButItsOwnTemporary) {
  const testutil::TempDir elsewhere;
  const std::string victim = elsewhere.file("victim");
  testutil::write_bytes(victim, "victim");
  std::filesystem::create_symlink(victim, dir_.file(kName));
  std::filesystem::create_symlink(victim, dir_.file(std::string(kName) + ".part"));
  const std::string body = body_of(100);
  const auto f = fetch({S::send(ok_head(body.size()) + body)});
  EXPECT_EQ(f->result, 0) << f->link.log();
  EXPECT_EQ(testutil::read_bytes(victim), "victim");
  EXPECT_FALSE(std::filesystem::is_symlink(dir_.file(kName)));
  EXPECT_EQ(f->file, body);
}

}  // namespace
