// The download clients (plain HTTP for the update files, HTTPS for the Canadian list) against
// scripted servers on 127.0.0.1, and the reply head reader they share.
#include "updater/http_client.h"
#include "updater/https_client.h"
#include "updater/reply_head.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>
#include <tuple>

#include "tests/support/recording_link.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_certificates.h"
#include "tests/test_util.h"

namespace {

using S = testutil::ScriptedServer;
using updater::ReplyHead;
using updater::RowCell;

constexpr char kName[] = "amateur.zip", kOldList[] = "the list of the last good download";
constexpr char kRetrieved[] = "Retrieved the server's certificate\r\n";
constexpr int kRow = 2;

std::string body_of(std::size_t n) { return S::pattern(n); }

std::string ok_head(const std::string& fields) {
  return "HTTP/1.1 200 OK\r\nServer: scripted\r\n" + fields + "\r\n";
}
std::string ok_head(std::size_t length) {
  return ok_head("Content-Length: " + std::to_string(length) + "\r\n");
}

TEST(ReplyHead, StatusContentLengthAndFields) {
  // The status, content_length()'s answer and length, and whether Transfer-Encoding is there.
  // (How the field's name is spelt: see HeaderSpellings.)
  std::vector<std::tuple<std::string, int, int, std::int32_t, bool>> cases = {
      {"HTTP/1.1 404 Not Found\r\nContent-length: 7\r\nX: y", 404, 1, 7, false},
      {"HTTP/1.1 200 OK\r\nContent-Length: \t 12 \t", 200, 1, 12, false},
      {"HTTP/1.1 200 OK\r\nContent-Length: 0", 200, 1, 0, false},
      {"HTTP/1.1 200 OK\r\nContent-Length: 2147483647", 200, 1, 2147483647, false},
      {"garbage", 0, 0, 0, false},
      {"HTTP/1.1 abc", 0, 0, 0, false},
      {"HTTP/1.1\r\n200 OK", 0, 0, 0, false},
      {"HTTP/1.1 200\r\nTransfer-Encoding: chunked\r\nContent-Length: 2", 200, 1, 2, true},
      {"HTTP/1.1 200\r\nTransfer-Encoding\t: x", 200, 0, 0, true},
      {"Transfer-Encoding: x\r\nX-Transfer-Encoding: x\r\nTransfer-Encodings: x", 0, 0, 0, false},
  };
  for (const char* value :
       {"", "abc", "12x", "-5", "+5", "0x10", "2147483648", "99999999999"}) {
    cases.push_back({std::string("HTTP/1.1 200\r\nContent-Length: ") + value, 200, -1, 0, false});
  }
  for (const auto& [text, status, found, length, encoded] : cases) {
    SCOPED_TRACE(text);
    ReplyHead head(256);
    std::size_t used = 0;
    const std::string bytes = text + "\r\n\r\n";
    ASSERT_EQ(head.feed(bytes.data(), bytes.size(), &used), ReplyHead::kDone);
    EXPECT_EQ(head.status(), status);
    std::int32_t got = -7;
    EXPECT_EQ(head.content_length(&got), found);
    EXPECT_EQ(got, found == 1 ? length : -7);
    EXPECT_EQ(head.has_field("Transfer-Encoding"), encoded);
  }
}

const testutil::TestCertificates& certificates() {  // made once for the program
  static const testutil::TestCertificates made;
  return made;
}

using Tweak = std::function<void(updater::WorkerEnv&)>;

// A recording link that, once given a flag, raises it when the download shows its first bytes.
struct CancellingLink : testutil::RecordingLink {
  void set_row_cell(int row, updater::RowCell cell, std::string_view text) override {
    RecordingLink::set_row_cell(row, cell, text);
    if (cancel != nullptr && cell == updater::RowCell::bytes && !text.empty()) *cancel = true;
  }
  std::atomic<bool>* cancel = nullptr;
};

// One download of amateur.zip and what it left behind.
struct Fetch {
  int result = 0, port = 0;
  double seconds = 0;  // the client's call
  std::size_t files = 0;  // in the folder afterwards
  CancellingLink link;
  updater::UpdaterState state;
  // The log with message boxes [caption:text] (nothing goes to standard output); amateur.zip or
  // "<none>",
  // or "pattern N" when it is S::pattern(N) of more than 1 MiB.
  std::string shown, file;
  std::vector<std::string> requests;
};

// Over both clients (`tls`): plain HTTP fetches a new file, HTTPS replaces the last good list.
class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(platform::start_sockets(), 0);
    ASSERT_EQ(certificates().error(), "");
  }
  void TearDown() override {
    platform::stop_sockets();
    updater::set_receive_timeout_for_tests(0);
    updater::set_tls_receive_timeout_for_tests(0);
  }

  // One download from a server playing `script`, after `tweak` has had its say.
  std::unique_ptr<Fetch> fetch(bool tls, S::Script script, const Tweak& tweak = {},
                               const std::string& kind = "good") {
    const S server({std::move(script)}, tls ? certificates().cert(kind) : "",
                   tls ? certificates().key(kind) : "");
    auto f = std::make_unique<Fetch>();
    f->port = server.port();
    std::snprintf(f->state.update_rows[kRow].name, sizeof f->state.update_rows[kRow].name, kName);
    updater::WorkerEnv env;
    env.link = &f->link;
    env.state = &f->state;
    env.folder = dir_.path();
    env.server = env.canada_server = {"localhost", server.port()};
    env.ca_file = certificates().ca();
    env.cancel = &cancel_;
    env.pace = pace_;
    if (cancel_on_bytes_) f->link.cancel = &cancel_;
    const std::string path = dir_.file(kName);
    if (tls) testutil::write_bytes(path, kOldList);
    if (tweak) tweak(env);
    testing::internal::CaptureStdout();
    const auto start = std::chrono::steady_clock::now();
    f->result = tls ? updater::https_get(env, kRow) : updater::http_get(env, kName, kRow);
    f->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    platform::testing::fail_writes_after(-1, 0);
    for (const std::string& e : f->link.events()) {
      if (e.starts_with("log:")) f->shown += e.substr(4);
      if (e.starts_with("box:")) f->shown += "[" + e.substr(4) + "]";
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    f->file = platform::file_exists(path) ? testutil::read_bytes(path) : "<none>";
    std::size_t i = 0;
    while (i < f->file.size() && f->file[i] == S::pattern_byte(i)) ++i;
    if (i > (1 << 20) && i == f->file.size()) f->file = "pattern " + std::to_string(i);
    f->files = std::distance(std::filesystem::directory_iterator(dir_.path()), {});
    f->requests = server.requests();
    std::filesystem::remove(path);
    return f;
  }

  // A download that succeeded with `file`, or failed and left the folder as it was.
  static void expect(bool tls, const Fetch& f, bool ok, const std::string& file = "") {
    EXPECT_EQ(f.result, ok ? 0 : -1);
    EXPECT_TRUE(f.file == (ok ? file : tls ? kOldList : "<none>"));
    EXPECT_EQ(f.files, ok || tls ? 1u : 0u);
    EXPECT_EQ(f.state.partial_download(), "");
  }

  testutil::TempDir dir_;  // the data folder
  std::atomic<bool> cancel_{false};
  bool cancel_on_bytes_ = false;
  updater::DownloadPace pace_;
};

TEST_F(DownloadTest, CompleteReplyLandsOnDiskWithExactRequestAndLog) {
  const std::string body = body_of(20000), head = ok_head(20000);
  for (const bool tls : {false, true}) {
    const auto f = fetch(tls, {S::send(head + body.substr(0, 100)), S::send(body.substr(100))});
    expect(tls, *f, true, body);
    const std::string request = std::string("GET ") + (tls ? "/datafiles" : "/db-files") +
                                "/amateur.zip HTTP/1.1\r\nHost: localhost:" +
                                std::to_string(f->port) + "\r\nConnection: " +
                                (tls ? "Close" : "close") + "\r\n";
    EXPECT_EQ(f->requests, std::vector<std::string>{request + "\r\n"});
    const std::string shown = head.substr(0, head.size() - 2);
    EXPECT_EQ(f->shown, tls ? kRetrieved + shown +
                                  "100 data bytes in head\r\nsaved amateur.zip 20000 bytes\n"
                            : "\r\n" + request + shown);
    EXPECT_EQ(f->link.row(kRow, RowCell::total), "20000");
    EXPECT_EQ(f->link.row(kRow, RowCell::bytes), "20000");
  }
}

// The same heads over HTTP and HTTPS: field names in any case and only at a line's start, blanks
// after the colon or none, a length given twice only when alike; a head whose lines end in LF
// alone is refused with a line that says so.
TEST_F(DownloadTest, HeaderSpellings) {
  const std::string x(1000, 'x'), bad = "BAD CONTENT LENGTH\r\n", lf = updater::kBareLfHead;
  const std::pair<std::string, std::string> cases[] = {  // what comes; "" or the refusal
      {ok_head("content-length: 1000\r\n") + x, ""},
      {ok_head("CONTENT-LENGTH: 1000\r\n") + x, ""},
      {ok_head("Content-Length:1000\r\n") + x, ""},
      {ok_head("Content-Length:\t1000\r\n") + x, ""},
      {ok_head("cONTENT-lENGTH: \t 1000\r\nContent-Length: 1000\r\n") + x, ""},
      {ok_head("X-Note: Content-Length: 10\r\nX-Fold: a\r\n Content-Length: 20\r\n"
               "Content-Length: 1000\r\n") + x, ""},
      {ok_head("Content-Length: 1000\r\ncontent-length: 999\r\n") + x, bad},
      {"HTTP/1.1 200 OK\nContent-Length: 1000\n\n" + x, lf},
      {"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\n" + x, lf},
      {"HTTP/1.1 200 OK\nContent-Length: 0\n\n", lf},  // and the server closes
  };
  for (const bool tls : {false, true}) {
    for (const auto& [sent, refusal] : cases) {
      SCOPED_TRACE(sent.substr(0, sent.find(x)) + (tls ? " over TLS" : ""));
      const auto f = fetch(tls, {S::send(sent)});
      expect(tls, *f, refusal.empty(), x);
      EXPECT_TRUE(f->shown.ends_with(refusal)) << f->shown;
      EXPECT_EQ(f->link.row(kRow, RowCell::total), refusal.empty() ? "1000" : "");
    }
  }
}

// A peer that resets the connection (RST) right after the handshake, before it reads the
// request, or amid the reply: the TLS client fails with a log line, and no SIGPIPE from writing
// to the reset connection ends the program.
TEST_F(DownloadTest, ResetPeer) {
  for (int i = 0; i < 6; ++i) {
    const auto f = fetch(true, i % 2 == 0 ? S::Script{S::reset()}
                                          : S::Script{S::send(ok_head(1000) + "abc"), S::reset()});
    expect(true, *f, false);
    EXPECT_NE(f->shown.find("\nERROR "), std::string::npos) << f->shown;
  }
}

// What each client makes of each odd answer, server and setting: the file it keeps, its log.
TEST_F(DownloadTest, OddAnswers) {
  const std::string body = body_of(1000), head = ok_head(1000);
  S::Script drip = {S::send(head)};
  for (int i = 0; i < 100; ++i) drip.insert(drip.end(), {S::pause(100), S::send("d")});
  // 2,000 bytes a second, enough for every stretch of 1.5 s but not for a floor of 20,000 a
  // second after 0.3 s; then 5,000 a second after a late start, enough for 2,000 after 0.3 s.
  S::Script trickle = {S::send(ok_head(4000))}, late = {S::pause(100), S::send(ok_head(3000))};
  for (int i = 0; i < 40; ++i) trickle.insert(trickle.end(), {S::pause(50), S::send(body_of(100))});
  std::string late_body;
  for (int i = 0; i < 30; ++i) {
    late.insert(late.end(), {S::pause(20), S::send(body_of(100))});
    late_body += body_of(100);
  }
  const auto floor = [](std::int64_t per_second) {
    return [=](updater::WorkerEnv& env) {
      env.pace.grace = std::chrono::milliseconds(300);
      env.pace.floor = per_second;
    };
  };
  const std::string length = "Content-Length: 1000\r\n", saved = "saved amateur.zip 1000 bytes\n";
  const std::string idle = "ERROR nothing from the server for 1 s\r\n";
  const std::string no_head = "ERROR no complete reply head from localhost\r\n";
  const std::string size = "FILE IS WRONG SIZE\r\n", cut = "ERROR downloading amateur.zip\r\n";
  const std::string slow = " in 1.5 s, at least 1000 needed\r\n";
  const std::string socket = "ERROR opening socket\r\n";
  const std::string busy = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 4\r\n";
  const std::string untrusted = "Certificate of localhost not trusted: ";
  const auto host = [](const char* name) {
    return [=](updater::WorkerEnv& env) { env.server.host = env.canada_server.host = name; };
  };
  const std::string no_ca = dir_.file("no-ca.pem"), three = "Content-Length: 3\r\n";
  const S::Script abc = {S::send(ok_head(3) + "abc")};
  // The total cell, the end of what each client showed, which succeed (1: HTTP, 2: HTTPS) with
  // what file, a change to the settings, the server's certificate, and a cancel meanwhile.
  struct Case {
    S::Script script;
    std::string total, http, https;
    int ok = 0;
    std::string file = "";
    Tweak tweak = {};
    const char* kind = "good";
    bool cancel = false;
    double within = 8;  // seconds the client may take
  } cases[] = {
      // Reading stops at the announced length, in the head's block or in a later one.
      {{S::send(head + body + "!")}, "1000", length, saved, 3, body},
      {{S::send(head.substr(0, head.size() - 1)), S::pause(30),
        S::send("\n" + body.substr(0, 500)), S::pause(30), S::send(body.substr(500) + "junk"),
        S::stall()},
       "1000", length, saved, 3, body},
      // The head ends at the 4th line end in a row (the body starts with CR), may fill a buffer.
      {{S::send("HTTP/1.1 200 OK\nContent-Length: 3\n\n\n\nabc")}, "3", "Length: 3\n\n",
       "3 bytes\n", 3, "abc"},
      {{S::send(ok_head("X: " + std::string(updater::kReceiveBufferSize - 61, 'x') +
                        "\r\nContent-Length: 3\r\n") + "abc")},
       "3", "Length: 3\r\n", "3 bytes\n", 3, "abc"},
      // Without a length only the TLS close ends the body; the plain body must be empty.
      {{S::send(ok_head(""))}, "", "Server: scripted\r\n", "saved amateur.zip 0 bytes\n", 3},
      {{S::send(ok_head("") + body)}, "", size, saved, 2, body},
      {{S::send(ok_head("") + body), S::drop()}, "", size, cut},
      {{S::send(head), S::send(body.substr(0, 600)), S::drop()}, "1000", length + size,
       length + cut},
      {{S::send(head + body.substr(0, 999))}, "1000", size, size},
      {{S::send(ok_head(100) + body_of(50)), S::stall()}, "100", idle + size, idle + cut},
      {{S::mute()}, "", idle + no_head, "ERROR 'SSL_connect'\r\n"},
      {drip, "1000", slow, slow},
      {trickle, "4000", "(20000 a second after the first 0.3 s)\r\n",
       "(20000 a second after the first 0.3 s)\r\n", 0, "", floor(20000), "good", false, 1.8},
      {late, "3000", "Content-Length: 3000\r\n", "saved amateur.zip 3000 bytes\n", 3,
       late_body, floor(2000)},
      {{S::send("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n")}, "", no_head,
       std::string(kRetrieved) + no_head},
      {{S::send(std::string(updater::kTlsBufferSize + 1, 'h'))}, "", "HEAD TOO LONG\r\n",
       "ERROR the reply head is longer than 8192 bytes\r\n"},
      {{S::send(busy + "\r\nbusy")}, "", busy,
       busy + "ERROR the server answered 503 for amateur.zip\r\n"},
      {{S::send(ok_head("Transfer-Encoding: chunked\r\nContent-Length: 2\r\n") + "12")}, "",
       updater::kTransferEncodingRefused, updater::kTransferEncodingRefused},
      {{S::send(ok_head("Content-Length: 12x\r\n") + "12")}, "", "BAD CONTENT LENGTH\r\n",
       "BAD CONTENT LENGTH\r\n"},
      {{S::send(ok_head(updater::kMaxUpdateFileSize + 1) + "12")}, "",
       "CONTENT LENGTH TOO LARGE\r\n", "ERROR amateur.zip is longer than 67108864 bytes\r\n"},
      // At the caps: an update file as long as one can be, a list archive of 64 MiB.
      {{S::send(ok_head(updater::kMaxUpdateFileSize)), S::stream(updater::kMaxUpdateFileSize)},
       "67305484", "Content-Length: 67305484\r\n",
       "ERROR amateur.zip is longer than 67108864 bytes\r\n", 1, "pattern 67305484"},
      {{S::send(ok_head(updater::kMaxListArchiveSize)), S::stream(updater::kMaxListArchiveSize)},
       "67108864", "Content-Length: 67108864\r\n", "saved amateur.zip 67108864 bytes\n", 3,
       "pattern 67108864"},
      {{S::send(head + body)}, "1000", "ERROR writing file\r\n", "ERROR writing amateur.zip\r\n",
       0, "", [](updater::WorkerEnv&) { platform::testing::fail_writes_after(100, ENOSPC); }},
      {{S::send(ok_head(2000) + body), S::stall()}, "2000", "Content-Length: 2000\r\n",
       "Download of amateur.zip cancelled\r\n", 0, "", {}, "good", true},
      // HTTP keeps a file that took the name meanwhile (the floppy folder's copy).
      {{S::send(ok_head(11) + "floppy copy")}, "11",
       " is already at hand; the download is dropped\r\n", "saved amateur.zip 11 bytes\n", 3,
       "floppy copy",
       [](updater::WorkerEnv& env) { testutil::write_bytes(env.path(kName), "floppy copy"); }},
      // Failures before the download.
      {{}, "", "[connect() failed:localhost port 1 (the server, --server)]" + socket,
       "Cannot connect to host localhost [127.0.0.1] on port 1 (the server, --server)\r\n", 0,
       "",
       [](updater::WorkerEnv& env) {
         env.server.port = env.canada_server.port = 1;
         env.server.origin = env.canada_server.origin = "the server, --server";
       }},
      {{}, "", "[connect() failed:localhost port 1]" + socket,
       "Cannot connect to host localhost [127.0.0.1] on port 1\r\n", 0, "",
       [](updater::WorkerEnv& env) { env.server.port = env.canada_server.port = 1; }},
      {{}, "",
       "[Unable to look up host \"no-such-host.invalid\":Make sure you are connected to the "
       "internet]" + socket,
       "ERROR looking up host 'no-such-host.invalid'\r\n", 0, "", host("no-such-host.invalid")},
      {{}, "", "", "ERROR looking up host 'no\\x1b[2Jhost'\r\n", 0, "", host("no\x1b[2Jhost")},
      {abc, "", "amateur.zip  <<----- ERROR creating file\r\n",
       std::string(kRetrieved) + "ERROR opening amateur.zip\r\n", 0, "",
       [&](updater::WorkerEnv& env) { env.folder = dir_.file("missing"); }},
      // The certificate must name the host and chain to the CA, trusted only through ca_file.
      {abc, "3", three, "saved amateur.zip 3 bytes\n", 3, "abc", host("127.0.0.1")},
      {abc, "3", three, untrusted + "hostname mismatch\r\n", 1, "abc", {}, "other"},
      {abc, "3", three, "Certificate of 127.0.0.1 not trusted: IP address mismatch\r\n", 1,
       "abc", host("127.0.0.1"), "other"},
      {abc, "3", three, untrusted + "unable to get local issuer certificate\r\n", 1, "abc",
       [](updater::WorkerEnv& env) { env.ca_file.clear(); }},
      {abc, "3", three, "ERROR loading trusted certificates from " + no_ca + "\r\n", 1, "abc",
       [&](updater::WorkerEnv& env) { env.ca_file = no_ca; }},
  };
  updater::set_receive_timeout_for_tests(1);
  updater::set_tls_receive_timeout_for_tests(1);
  pace_.window = std::chrono::milliseconds(1500);
  pace_.window_min = 1000;
  for (const bool tls : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE((tls ? c.https : c.http) + (tls ? " over TLS" : ""));
      cancel_ = false;
      cancel_on_bytes_ = c.cancel;
      const auto f = fetch(tls, c.script, c.tweak, c.kind);
      expect(tls, *f, (c.ok & (tls ? 2 : 1)) != 0, c.file);
      EXPECT_LT(f->seconds, c.within);
      EXPECT_TRUE(f->shown.ends_with(tls ? c.https : c.http)) << f->shown;
      // Where only HTTP succeeds, TLS fails before the reply.
      EXPECT_EQ(f->link.row(kRow, RowCell::total), tls && c.ok == 1 ? "" : c.total);
    }
  }
}

}  // namespace
