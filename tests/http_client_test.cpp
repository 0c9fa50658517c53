// The download client against a scripted server of our own and against a real nginx.
#include "updater/http_client.h"
#include "updater/reply_head.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/nginx_server.h"
#include "tests/support/recording_link.h"
#include "tests/support/scripted_server.h"
#include "tests/test_util.h"

namespace {

using testutil::RecordingLink;
using testutil::ScriptedServer;
using updater::RowCell;

constexpr char kName[] = "l_am_0601.zip";
constexpr int kRow = 3;

// Bytes 0-255 over and over: CRs, LFs and zeros included.
std::string body_of(std::size_t n) {
  std::string body(n, '\0');
  for (std::size_t i = 0; i < n; ++i) body[i] = static_cast<char>((i * 7 + 13) & 0xff);
  return body;
}

std::string ok_head(const std::string& length_field) {
  return "HTTP/1.1 200 OK\r\nServer: scripted\r\n" + length_field + "\r\n\r\n";
}

std::string ok_head(std::size_t length) {
  return ok_head("Content-Length: " + std::to_string(length));
}

std::string request_for(int port) {
  return std::string("GET /db-files/") + kName + " HTTP/1.1\r\nHost: 127.0.0.1:" +
         std::to_string(port) + "\r\nConnection: close\r\n";
}

// One http_get with a fresh link and state, and what it left behind.
struct Outcome {
  int result = 0;
  std::shared_ptr<RecordingLink> link = std::make_shared<RecordingLink>();
  std::shared_ptr<updater::UpdaterState> state = std::make_shared<updater::UpdaterState>();
  bool file_exists = false;
  std::string file;
  std::vector<std::string> requests;
  int port = 0;
  double seconds = 0;

  std::string log() const { return link->log(); }
};

class HttpGetTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(platform::start_sockets(), 0); }
  static void TearDownTestSuite() { platform::stop_sockets(); }
  void TearDown() override {
    updater::set_receive_timeout_for_tests(0);
    updater::set_download_rate_for_tests(0, 0);
  }

  updater::WorkerEnv env_for(Outcome& out, int port) {
    updater::WorkerEnv env;
    env.link = out.link.get();
    env.state = out.state.get();
    env.folder = dir_.path();
    env.server = {"127.0.0.1", port};
    env.cancel = &cancel_;
    return env;
  }

  void finish(Outcome& out) {
    const std::string path = dir_.file(kName);
    out.file_exists = platform::file_exists(path);
    if (out.file_exists) out.file = testutil::read_bytes(path);
    // The next fetch starts as the update run would: with no such file at hand.
    platform::delete_file(path);
  }

  Outcome fetch_from(int port, std::shared_ptr<RecordingLink> link = nullptr) {
    Outcome out;
    if (link) out.link = link;
    out.port = port;
    updater::WorkerEnv env = env_for(out, port);
    const auto start = std::chrono::steady_clock::now();
    out.result = updater::http_get(env, kName, kRow);
    out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    finish(out);
    return out;
  }

  Outcome fetch(ScriptedServer::Script script, std::shared_ptr<RecordingLink> link = nullptr) {
    ScriptedServer server({std::move(script)});
    Outcome out = fetch_from(server.port(), link);
    out.requests = server.requests();
    return out;
  }

  // A download that must fail and leave nothing behind.
  void expect_failed(const Outcome& out) {
    EXPECT_EQ(out.result, -1);
    EXPECT_FALSE(out.file_exists);
    EXPECT_EQ(out.state->partial_download(), "");
    EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
  }

  testutil::TempDir dir_;
  std::atomic<bool> cancel_{false};
};

using S = ScriptedServer;

TEST_F(HttpGetTest, CompleteResponseLandsOnDiskWithExactRequestAndLog) {
  const std::string body = body_of(1234);
  const Outcome out = fetch({S::send(ok_head(1234) + body), S::close()});

  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.file, body);
  EXPECT_EQ(out.state->partial_download(), "");
  ASSERT_EQ(out.requests.size(), 1u);
  EXPECT_EQ(out.requests[0], request_for(out.port) + "\r\n");
  EXPECT_EQ(out.log(), "\r\n" + request_for(out.port) +
                           "HTTP/1.1 200 OK\r\nServer: scripted\r\nContent-Length: 1234\r\n");
  EXPECT_EQ(out.link->row(kRow, RowCell::total), "1234");
  EXPECT_EQ(out.link->row(kRow, RowCell::bytes), "1234");
}

TEST_F(HttpGetTest, ContentLengthIsFoundOnlyInItsTwoExactSpellings) {
  const std::string body = body_of(1234);
  {
    const Outcome out = fetch({S::send(ok_head("Content-length: 1234") + body)});
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.file, body);
  }
  {
    const Outcome out = fetch({S::send(ok_head("Content-Length:    1234") + body)});
    EXPECT_EQ(out.result, 0) << "leading blanks are skipped";
  }
  for (const char* field : {"content-length: 1234", "Content-Length:1234", "X-Length: 1234"}) {
    SCOPED_TRACE(field);
    const Outcome out = fetch({S::send(ok_head(field) + body)});
    expect_failed(out);
    EXPECT_EQ(out.link->row(kRow, RowCell::total), "");
    EXPECT_TRUE(out.log().ends_with("FILE IS WRONG SIZE\r\n"));
  }
}

TEST_F(HttpGetTest, RefusedHeadsFailBeforeTheBody) {
  const std::string too_large = "CONTENT LENGTH TOO LARGE\r\n";
  std::vector<std::pair<std::string, std::string>> cases = {
      {"Content-Length: 2147483647 ", too_large},
      {"Content-Length: " + std::to_string(updater::kMaxUpdateFileSize + 1), too_large},
      {"Transfer-Encoding: chunked\r\nContent-Length: 2", updater::kTransferEncodingRefused},
      {"Content-Length: 2\r\ntransfer-ENCODING:identity", updater::kTransferEncodingRefused},
  };
  for (const char* value : {"", "abc", "12x", "-5", "+5", "0x10", "2147483648",
                            "99999999999999999999"}) {
    cases.push_back({std::string("Content-Length: ") + value, "BAD CONTENT LENGTH\r\n"});
  }
  for (const auto& [fields, line] : cases) {
    SCOPED_TRACE(fields);
    const Outcome out = fetch({S::send(ok_head(fields) + "12")});
    expect_failed(out);
    EXPECT_TRUE(out.log().ends_with(line)) << out.log();
    EXPECT_EQ(out.link->row(kRow, RowCell::total), "");
  }
}

TEST_F(HttpGetTest, OtherStatusesOrNoHeadDeleteTheFileWithoutSizeComplaint) {
  const std::string not_found = "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found";
  const Outcome out = fetch({S::send(not_found)});
  expect_failed(out);
  EXPECT_TRUE(out.log().ends_with("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n"));
  EXPECT_EQ(out.log().find("FILE IS WRONG SIZE"), std::string::npos);

  for (const std::string& response : {std::string("garbage\r\n\r\n"), std::string(""),
                                     std::string("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n")}) {
    SCOPED_TRACE(response);
    const Outcome bad = fetch({S::send(response)});
    expect_failed(bad);
    EXPECT_EQ(bad.log().find("FILE IS WRONG SIZE"), std::string::npos);
  }
}

TEST_F(HttpGetTest, HeadEndsAtTheFourthLineEndInARow) {
  // Line feeds alone count; the head text keeps the run's first two bytes.
  const Outcome lf = fetch({S::send("HTTP/1.1 200 OK\nContent-Length: 5\n\n\n\nABCDE")});
  EXPECT_EQ(lf.result, 0);
  EXPECT_EQ(lf.file, "ABCDE");
  EXPECT_TRUE(lf.log().ends_with("HTTP/1.1 200 OK\nContent-Length: 5\n\n"));

  // Line ends that open the body belong to the body.
  const std::string body = "\r\n\r\nXY\r\n";
  const Outcome crlf = fetch({S::send(ok_head(body.size()) + body)});
  EXPECT_EQ(crlf.result, 0);
  EXPECT_EQ(crlf.file, body);

  // A plain LF LF blank line is not a head end: the head never ends.
  const Outcome two = fetch({S::send("HTTP/1.1 200 OK\nContent-Length: 4\n\nABCD")});
  expect_failed(two);
  EXPECT_EQ(two.log(), "\r\n" + request_for(two.port));
}

TEST_F(HttpGetTest, HeadSplitOverReceivesIsJoined) {
  const std::string head = ok_head(40);
  const std::string body = body_of(40);
  ScriptedServer::Script drip;
  for (char c : head) {
    drip.push_back(S::send(std::string(1, c)));
    drip.push_back(S::pause(2));
  }
  drip.push_back(S::send(body));
  // The final run split in its middle, with body bytes after it in the same block.
  const ScriptedServer::Script halves = {S::send(head.substr(0, head.size() - 1)), S::pause(50),
                                         S::send("\n" + body)};

  for (const auto& script : {drip, halves}) {
    const Outcome out = fetch(script);
    EXPECT_EQ(out.result, 0);
    EXPECT_EQ(out.file, body);
    EXPECT_TRUE(out.log().ends_with(head.substr(0, head.size() - 2)));
  }
}

TEST_F(HttpGetTest, HeadMayFillTheReceiveBufferButNotExceedIt) {
  const std::string body = body_of(10);
  auto head_of_size = [](std::size_t size) {
    std::string head = ok_head(10);
    head.insert(head.size() - 2, "X-Pad: ");
    head.insert(head.size() - 2, size - head.size() - 2, 'p');
    head.insert(head.size() - 2, "\r\n");
    return head;
  };
  const std::string full = head_of_size(updater::kReceiveBufferSize);
  ASSERT_EQ(full.size(), updater::kReceiveBufferSize);
  const Outcome fits = fetch({S::send(full.substr(0, 3000)), S::pause(30),
                              S::send(full.substr(3000) + body)});
  EXPECT_EQ(fits.result, 0);
  EXPECT_EQ(fits.file, body);

  const std::string over = head_of_size(updater::kReceiveBufferSize + 1);
  const Outcome too_long = fetch({S::send(over.substr(0, 3000)), S::pause(30),
                                  S::send(over.substr(3000) + body)});
  expect_failed(too_long);
  EXPECT_TRUE(too_long.log().ends_with("HEAD TOO LONG\r\n"));
}

TEST_F(HttpGetTest, BodyOfTheWrongLengthFailsTheSizeCheck) {
  const std::string body = body_of(1000);
  const std::vector<ScriptedServer::Script> scripts = {
      {S::send(ok_head(1000) + body.substr(0, 999))},
      {S::send(ok_head(1000) + body.substr(0, 500)), S::pause(30), S::close()},
  };
  for (const auto& script : scripts) {
    const Outcome out = fetch(script);
    expect_failed(out);
    EXPECT_TRUE(out.log().ends_with("FILE IS WRONG SIZE\r\n"));
  }
}

TEST_F(HttpGetTest, ReadingStopsAtContentLength) {
  updater::set_receive_timeout_for_tests(30);
  const std::string body = body_of(1000);
  ScriptedServer::Script flood = {S::send(ok_head(1000) + body)};
  for (int i = 0; i < 50; ++i) flood.push_back(S::send(std::string(65536, 'x')));
  flood.push_back(S::stall());
  const std::vector<ScriptedServer::Script> scripts = {
      {S::send(ok_head(1000) + body + "!"), S::close()},
      {S::send(ok_head(1000) + body), S::stall()},  // the connection stays open
      flood,
  };
  for (const auto& script : scripts) {
    const Outcome out = fetch(script);
    EXPECT_EQ(out.result, 0) << out.log();
    EXPECT_EQ(out.file, body);
    EXPECT_LT(out.seconds, 15.0) << "waited for the server to close";
  }
}

TEST_F(HttpGetTest, BodyOverManyReceivesShowsGrowingProgress) {
  const std::string body = body_of(100000);
  ScriptedServer::Script script = {S::send(ok_head(body.size()))};
  for (std::size_t at = 0; at < body.size(); at += 10000) {
    script.push_back(S::pause(5));
    script.push_back(S::send(body.substr(at, 10000)));
  }
  const Outcome out = fetch(script);
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.file, body);

  const std::string prefix = "row:" + std::to_string(kRow) + "." +
                             std::to_string(static_cast<int>(RowCell::bytes)) + "=";
  long last = -1;
  int updates = 0;
  for (const std::string& e : out.link->events()) {
    if (!e.starts_with(prefix)) continue;
    const long shown = std::stol(e.substr(prefix.size()));
    EXPECT_GE(shown, last);
    last = shown;
    ++updates;
  }
  EXPECT_GT(updates, 10);
  EXPECT_EQ(last, 100000);
}

TEST_F(HttpGetTest, RefusedConnectionShowsConnectFailed) {
  // Bound but not listening: connects are refused, and nobody else can take the port.
  const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  const Outcome out = fetch_from(ntohs(addr.sin_port));
  ::close(holder);

  expect_failed(out);
  EXPECT_EQ(out.log(), "ERROR opening socket\r\n");
  ASSERT_EQ(out.link->boxes().size(), 1u);
  EXPECT_EQ(out.link->boxes()[0].caption, "connect() failed");
  EXPECT_EQ(out.link->boxes()[0].text, "127.0.0.1");
  EXPECT_EQ(out.link->boxes()[0].buttons, updater::Buttons::ok);
  EXPECT_EQ(out.link->boxes()[0].icon, updater::Icon::none);
}

TEST_F(HttpGetTest, UnknownHostShowsTheLookupBox) {
  Outcome out;
  updater::WorkerEnv env = env_for(out, 80);
  env.server.host = "no-such-host.invalid";
  EXPECT_EQ(updater::http_get(env, kName, kRow), -1);
  EXPECT_FALSE(platform::file_exists(dir_.file(kName)));
  EXPECT_EQ(out.log(), "ERROR opening socket\r\n");
  ASSERT_EQ(out.link->boxes().size(), 1u);
  EXPECT_EQ(out.link->boxes()[0].caption, "Unable to look up host \"no-such-host.invalid\"");
  EXPECT_EQ(out.link->boxes()[0].text, "Make sure you are connected to the internet");
}

TEST_F(HttpGetTest, StalledOrDrippingServerEndsTheDownload) {
  updater::set_receive_timeout_for_tests(1);
  updater::set_download_rate_for_tests(3, 1000);
  ScriptedServer::Script drip = {S::send(ok_head(1000))};
  for (int i = 0; i < 100; ++i) {
    drip.push_back(S::pause(100));
    drip.push_back(S::send("d"));
  }
  const std::vector<std::pair<ScriptedServer::Script, std::string>> cases = {
      {{S::send(ok_head(100) + body_of(50)), S::stall()}, "FILE IS WRONG SIZE\r\n"},
      {{S::send("HTTP/1.1 200 OK\r\n"), S::stall()}, "ERROR nothing from the server for 1 s\r\n"},
      {drip, " in 3 s, at least 1000 needed\r\n"},
  };
  for (const auto& [script, line] : cases) {
    const Outcome out = fetch(script);
    expect_failed(out);
    EXPECT_TRUE(out.log().ends_with(line)) << out.log();
    EXPECT_LT(out.seconds, 10.0);
  }
}

TEST_F(HttpGetTest, CancelEndsAStalledReceive) {
  updater::set_receive_timeout_for_tests(10);
  std::thread closer([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    cancel_ = true;
  });
  const Outcome out = fetch({S::send(ok_head(2000) + body_of(1000)), S::stall()});
  closer.join();
  expect_failed(out);
  EXPECT_LT(out.seconds, 3.0);
  EXPECT_EQ(out.log().find("FILE IS WRONG SIZE"), std::string::npos);
}

// A symlink planted where the client could write is never written through; a file that
// took the name meanwhile (the same week's file from the floppy folder) is kept.
TEST_F(HttpGetTest, WritesNoFileButItsOwnTemporary) {
  const std::string body = body_of(100);
  const testutil::TempDir elsewhere;
  const std::string victim = elsewhere.file("victim");
  for (const std::string& at_name : {std::string(), std::string("floppy copy"), victim}) {
    testutil::write_bytes(victim, "victim");
    if (at_name == victim) {
      std::filesystem::create_symlink(victim, dir_.file(kName));
    } else if (!at_name.empty()) {
      testutil::write_bytes(dir_.file(kName), at_name);
    }
    std::filesystem::create_symlink(victim, dir_.file(std::string(kName) + ".part"));
    ScriptedServer server({{S::send(ok_head(100) + body)}});
    Outcome out;
    updater::WorkerEnv env = env_for(out, server.port());
    EXPECT_EQ(updater::http_get(env, kName, kRow), 0);
    EXPECT_EQ(testutil::read_bytes(victim), "victim");
    const std::string kept = at_name == victim ? "victim" : at_name;
    EXPECT_EQ(testutil::read_bytes(dir_.file(kName)), at_name.empty() ? body : kept);
    EXPECT_EQ(std::filesystem::is_symlink(dir_.file(kName)), at_name == victim);
    EXPECT_EQ(out.state->partial_download(), "");
    std::filesystem::remove(dir_.file(kName));
    std::filesystem::remove(dir_.file(std::string(kName) + ".part"));
    EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
  }
}

TEST_F(HttpGetTest, LocalFileFailuresFailTheDownload) {
  {
    // Creation fails: nothing goes on the wire.
    ScriptedServer server({{S::send(ok_head(3) + "abc")}});
    Outcome out;
    updater::WorkerEnv env = env_for(out, server.port());
    env.folder = dir_.file("missing-folder");
    EXPECT_EQ(updater::http_get(env, kName, kRow), -1);
    EXPECT_EQ(out.log(), std::string(kName) + "  <<----- ERROR creating file\r\n");
    EXPECT_FALSE(server.wait_finished(1, std::chrono::milliseconds(200)));
  }
  {
    // A full disk.
    platform::testing::fail_writes_after(100, ENOSPC);
    const Outcome out = fetch({S::send(ok_head(1234) + body_of(1234))});
    platform::testing::fail_writes_after(-1, 0);
    expect_failed(out);
    EXPECT_TRUE(out.log().ends_with("ERROR writing file\r\n"));
  }
}

// ---- Against nginx ----

class NginxTest : public HttpGetTest {
 protected:
  void SetUp() override {
    if (testutil::NginxServer::find_binary().empty()) {
      GTEST_SKIP() << "nginx is not installed (scripts/setup installs it)";
    }
    // nginx's workers drop root for "nobody", who must be able to read the files.
    root_ = server_dir_.path();
    ::chmod(root_.c_str(), 0755);
    std::filesystem::create_directories(root_ + "/db-files");
    ASSERT_EQ(nginx_.start(root_), "");
    port_ = nginx_.port();
  }

  void publish(const std::string& name, const std::string& bytes) {
    const std::string path = root_ + "/db-files/" + name;
    testutil::write_bytes(path, bytes);
    ::chmod(path.c_str(), 0644);
  }

  testutil::TempDir server_dir_;
  testutil::NginxServer nginx_;
  std::string root_;
  int port_ = 0;
};

TEST_F(NginxTest, ExistingFileArrivesByteForByte) {
  const std::string bytes = body_of(300000);
  publish(kName, bytes);
  const Outcome out = fetch_from(port_);
  EXPECT_EQ(out.result, 0) << out.log();
  EXPECT_EQ(out.file, bytes);
  EXPECT_EQ(out.state->partial_download(), "");
  EXPECT_EQ(out.link->row(kRow, RowCell::total), "300000");
  EXPECT_NE(out.log().find("\r\nHTTP/1.1 200 OK\r\n"), std::string::npos);
}

TEST_F(NginxTest, MissingFileIsNotFoundAndLeavesNoFile) {
  publish("other.zip", "x");
  const Outcome out = fetch_from(port_);
  expect_failed(out);
  EXPECT_NE(out.log().find("HTTP/1.1 404 Not Found\r\n"), std::string::npos);
  EXPECT_EQ(out.log().find("FILE IS WRONG SIZE"), std::string::npos);
}

}  // namespace
