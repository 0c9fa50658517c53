// The reply head reader both clients share, and the plain download client against a scripted
// server of our own (the run against nginx is the club pipeline's).
#include "updater/http_client.h"
#include "updater/reply_head.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/recording_link.h"
#include "tests/support/scripted_server.h"
#include "tests/test_util.h"

namespace {

using testutil::ScriptedServer;
using updater::ReplyHead;
using updater::RowCell;
using S = ScriptedServer;

constexpr char kName[] = "l_am_0601.zip";
constexpr int kRow = 3;

// Bytes 0-255 over and over: CRs, LFs and zeros included.
using testutil::body_of;
using testutil::ok_head;

// The head ends with the byte that brings a run of line ends to four, fed whole or in pieces.
TEST(ReplyHead, EndsAtTheFourthLineEndInARowWithinItsCapacity) {
  struct Case {
    std::string bytes;
    std::size_t capacity;
    ReplyHead::Feed fed;
    std::size_t head_size;
    std::string text;
  };
  const Case cases[] = {
      {"HTTP/1.1 200 OK\r\nA: b\r\n\r\nBODY", 64, ReplyHead::kDone, 25,
       "HTTP/1.1 200 OK\r\nA: b\r\n"},
      {"HTTP/1.1 200 OK\n\n\n\nABC", 64, ReplyHead::kDone, 19, "HTTP/1.1 200 OK\n\n"},
      {"H\r\n\r\n\r\nbody", 64, ReplyHead::kDone, 5, "H\r\n"},  // line ends open the body
      {"HTTP/1.1 200 OK\n\nABCD", 64, ReplyHead::kMore, 21, ""},
      {"H\r\n\r\n", 5, ReplyHead::kDone, 5, "H\r\n"},  // fills the buffer
      {"H\r\n\r\n", 4, ReplyHead::kTooLong, 0, ""},
  };
  for (const Case& c : cases) {
    for (std::size_t piece : {std::size_t{1}, std::size_t{2}, c.bytes.size()}) {
      SCOPED_TRACE(c.bytes + " in pieces of " + std::to_string(piece));
      ReplyHead head(c.capacity);
      ReplyHead::Feed fed = ReplyHead::kMore;
      std::size_t at = 0;
      std::size_t used = 0;
      for (; at < c.bytes.size() && fed == ReplyHead::kMore; at += used) {
        used = std::min(piece, c.bytes.size() - at);
        fed = head.feed(c.bytes.data() + at, used, &used);
      }
      EXPECT_EQ(fed, c.fed);
      if (fed == ReplyHead::kTooLong) continue;
      EXPECT_EQ(at, c.head_size);
      if (fed == ReplyHead::kDone) {
        EXPECT_EQ(head.text(), c.text);
      }
    }
  }
}

TEST(ReplyHead, StatusContentLengthAndFields) {
  struct Case {
    std::string head;
    int status;
    int found;
    std::int32_t length;
    bool encoded;
  };
  std::vector<Case> cases = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 1290", 200, 1, 1290, false},
      {"HTTP/1.1 404 Not Found\r\nContent-length: 7\r\nX: y", 404, 1, 7, false},
      {"HTTP/1.1 200 OK\r\nContent-Length: \t 12 \t", 200, 1, 12, false},
      {"HTTP/1.1 200 OK\r\nContent-Length: 0", 200, 1, 0, false},
      {"HTTP/1.1 200 OK\r\nContent-Length: 2147483647", 200, 1, 2147483647, false},
      {"garbage\r\ncontent-length: 5", 0, 0, 0, false},
      {"HTTP/1.1 abc\r\nContent-Length:5", 0, 0, 0, false},
      {"HTTP/1.1 200\r\nTransfer-Encoding: chunked\r\nContent-Length: 2", 200, 1, 2, true},
      {"HTTP/1.1 200\r\ntransfer-ENCODING:identity", 200, 0, 0, true},
      {"HTTP/1.1 200\r\nTransfer-Encoding\t: x", 200, 0, 0, true},
      {"Transfer-Encoding: x\r\nX-Transfer-Encoding: x\r\nTransfer-Encodings: x", 0, 0, 0, false},
  };
  for (const char* value : {"", "abc", "12x", "-5", "+5", "0x10", "2147483648",
                            "99999999999999999999"}) {
    cases.push_back({std::string("HTTP/1.1 200 OK\r\nContent-Length: ") + value, 200, -1, 0,
                     false});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.head);
    ReplyHead head(256);
    std::size_t used = 0;
    const std::string bytes = c.head + "\r\n\r\n";
    ASSERT_EQ(head.feed(bytes.data(), bytes.size(), &used), ReplyHead::kDone);
    EXPECT_EQ(head.status(), c.status);
    std::int32_t length = -7;
    EXPECT_EQ(head.content_length(&length), c.found);
    if (c.found == 1) {
      EXPECT_EQ(length, c.length);
    }
    EXPECT_EQ(head.has_field("Transfer-Encoding"), c.encoded);
  }
  EXPECT_EQ(updater::clamp_to_cell(5), 5);
  EXPECT_EQ(updater::clamp_to_cell(1ull << 31), std::numeric_limits<std::int32_t>::max());
}

// One http_get and what it left behind.
struct Outcome {
  int result = 0;
  testutil::RecordingLink link;
  updater::UpdaterState state;
  std::string file = "<none>";
  std::vector<std::string> requests;
  int port = 0;
};

class HttpGetTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(platform::start_sockets(), 0); }
  static void TearDownTestSuite() { platform::stop_sockets(); }
  void TearDown() override {
    updater::set_receive_timeout_for_tests(0);
    updater::set_download_rate_for_tests(0, 0);
  }

  updater::WorkerEnv env_for(Outcome& out, const std::string& host, int port) {
    updater::WorkerEnv env;
    env.link = &out.link;
    env.state = &out.state;
    env.folder = dir_.path();
    env.server = {host, port};
    env.cancel = &cancel_;
    return env;
  }

  std::unique_ptr<Outcome> fetch_from(int port, const std::string& host = "127.0.0.1") {
    auto out = std::make_unique<Outcome>();
    out->port = port;
    updater::WorkerEnv env = env_for(*out, host, port);
    out->result = updater::http_get(env, kName, kRow);
    const std::string path = dir_.file(kName);
    if (platform::file_exists(path)) out->file = testutil::read_bytes(path);
    // The next fetch starts as the update run would: with no such file at hand.
    platform::delete_file(path);
    return out;
  }

  std::unique_ptr<Outcome> fetch(ScriptedServer::Script script) {
    ScriptedServer server({std::move(script)});
    auto out = fetch_from(server.port());
    out->requests = server.requests();
    return out;
  }

  // A download that failed and left nothing behind.
  void expect_failed(const Outcome& out) {
    EXPECT_EQ(out.result, -1);
    EXPECT_EQ(out.file, "<none>");
    EXPECT_EQ(out.state.partial_download(), "");
    EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
  }

  testutil::TempDir dir_;
  std::atomic<bool> cancel_{false};
};

TEST_F(HttpGetTest, CompleteResponseLandsOnDiskWithExactRequestAndLog) {
  const std::string body = body_of(1234);
  const auto out = fetch({S::send(ok_head(1234) + body), S::close()});
  EXPECT_EQ(out->result, 0);
  EXPECT_EQ(out->file, body);
  EXPECT_EQ(out->state.partial_download(), "");
  const std::string request = std::string("GET /db-files/") + kName +
                              " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(out->port) +
                              "\r\nConnection: close\r\n";
  EXPECT_EQ(out->requests, std::vector<std::string>{request + "\r\n"});
  EXPECT_EQ(out->link.log(), "\r\n" + request + "HTTP/1.1 200 OK\r\nServer: scripted\r\n" +
                                 "Content-Length: 1234\r\n");
  EXPECT_EQ(out->link.row(kRow, RowCell::total), "1234");
  EXPECT_EQ(out->link.row(kRow, RowCell::bytes), "1234");
}

// What the client makes of each odd answer: the file it keeps, or the last log line.
TEST_F(HttpGetTest, OddAnswers) {
  updater::set_receive_timeout_for_tests(1);
  updater::set_download_rate_for_tests(3, 1000);
  const std::string body = body_of(1000);
  const std::string head = ok_head(1000);
  S::Script drip = {S::send(head)};
  for (int i = 0; i < 100; ++i) drip.insert(drip.end(), {S::pause(100), S::send("d")});
  const std::string idle = "ERROR nothing from the server for 1 s\r\n";
  const std::string wrong_size = "FILE IS WRONG SIZE\r\n";
  struct Case {
    S::Script script;
    int result;
    std::string file;
    std::string log_end;
    std::string total;
  };
  const Case cases[] = {
      // Reading stops at the announced length, in the head's block or in a later one.
      {{S::send(head + body + "!")}, 0, body, "Content-Length: 1000\r\n", "1000"},
      {{S::send(head + body.substr(0, 500)), S::pause(30), S::send(body.substr(500) + "junk"),
        S::stall()},
       0, body, "Content-Length: 1000\r\n", "1000"},
      {{S::send(head.substr(0, head.size() - 1)), S::pause(30), S::send("\n" + body)}, 0, body,
       "Content-Length: 1000\r\n", "1000"},
      {{S::send(ok_head("X-Length: 5\r\n"))}, 0, "", "X-Length: 5\r\n", ""},  // empty file
      {{S::send(ok_head("X-Length: 5\r\n") + "12")}, -1, "", wrong_size, ""},
      {{S::send(head + body.substr(0, 999))}, -1, "", wrong_size, "1000"},
      {{S::send(ok_head(100) + body_of(50)), S::stall()}, -1, "", idle + wrong_size, "100"},
      {{S::send("HTTP/1.1 200 OK\r\n"), S::stall()}, -1, "", idle, ""},
      {drip, -1, "", " in 3 s, at least 1000 needed\r\n", "1000"},
      {{S::send("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n")}, -1, "", "close\r\n", ""},
      {{S::send(std::string(updater::kReceiveBufferSize + 1, 'h'))}, -1, "", "HEAD TOO LONG\r\n",
       ""},
      {{S::send("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found")}, -1, "",
       "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n", ""},
      {{S::send(ok_head("Content-Length: 12x\r\n") + "12")}, -1, "", "BAD CONTENT LENGTH\r\n", ""},
      {{S::send(ok_head(updater::kMaxUpdateFileSize + 1) + "12")}, -1, "",
       "CONTENT LENGTH TOO LARGE\r\n", ""},
      {{S::send(ok_head("Transfer-Encoding: chunked\r\nContent-Length: 2\r\n") + "12")}, -1, "",
       updater::kTransferEncodingRefused, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.log_end);
    const auto out = fetch(c.script);
    if (c.result != 0) {
      expect_failed(*out);
    } else {
      EXPECT_EQ(out->result, 0);
      EXPECT_EQ(out->file, c.file);
    }
    EXPECT_TRUE(out->link.log().ends_with(c.log_end)) << out->link.log();
    EXPECT_EQ(out->link.row(kRow, RowCell::total), c.total);
  }
}

TEST_F(HttpGetTest, CancelEndsAStalledReceive) {
  updater::set_receive_timeout_for_tests(10);
  std::thread closer([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    cancel_ = true;
  });
  const auto out = fetch({S::send(ok_head(2000) + body_of(1000)), S::stall()});
  closer.join();
  expect_failed(*out);
  EXPECT_TRUE(out->link.log().ends_with("Content-Length: 2000\r\n")) << out->link.log();
}

TEST_F(HttpGetTest, UnreachableOrUnknownHostShowsItsBox) {
  // Bound but not listening: connects are refused, and nobody else can take the port.
  const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  const auto refused = fetch_from(ntohs(addr.sin_port));
  ::close(holder);
  const auto unknown = fetch_from(80, "no-such-host.invalid");
  for (const auto* out : {refused.get(), unknown.get()}) {
    expect_failed(*out);
    EXPECT_EQ(out->link.log(), "ERROR opening socket\r\n");
    ASSERT_EQ(out->link.boxes().size(), 1u);
    EXPECT_EQ(out->link.boxes()[0].buttons, updater::Buttons::ok);
    EXPECT_EQ(out->link.boxes()[0].icon, updater::Icon::none);
  }
  EXPECT_EQ(refused->link.boxes()[0].caption, "connect() failed");
  EXPECT_EQ(refused->link.boxes()[0].text, "127.0.0.1");
  EXPECT_EQ(unknown->link.boxes()[0].caption, "Unable to look up host \"no-such-host.invalid\"");
  EXPECT_EQ(unknown->link.boxes()[0].text, "Make sure you are connected to the internet");
}

// A file that took the name meanwhile (the same week's file from the floppy folder) is kept.
TEST_F(HttpGetTest, FileThatCameMeanwhileIsKept) {
  testutil::write_bytes(dir_.file(kName), "floppy copy");
  const auto out = fetch({S::send(ok_head(100) + body_of(100))});
  EXPECT_EQ(out->result, 0);
  EXPECT_EQ(out->file, "floppy copy");
  EXPECT_TRUE(out->link.log().ends_with(" is already at hand; the download is dropped\r\n"));
  EXPECT_EQ(out->state.partial_download(), "");
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
}

TEST_F(HttpGetTest, LocalFileFailuresFailTheDownload) {
  {
    // Creation fails: nothing goes on the wire.
    ScriptedServer server({{S::send(ok_head(3) + "abc")}});
    Outcome out;
    updater::WorkerEnv env = env_for(out, "127.0.0.1", server.port());
    env.folder = dir_.file("missing-folder");
    EXPECT_EQ(updater::http_get(env, kName, kRow), -1);
    EXPECT_EQ(out.link.log(), std::string(kName) + "  <<----- ERROR creating file\r\n");
    EXPECT_FALSE(server.wait_finished(1, std::chrono::milliseconds(200)));
  }
  platform::testing::fail_writes_after(100, ENOSPC);
  const auto out = fetch({S::send(ok_head(1234) + body_of(1234))});
  platform::testing::fail_writes_after(-1, 0);
  expect_failed(*out);
  EXPECT_TRUE(out->link.log().ends_with("ERROR writing file\r\n"));
}

}  // namespace
