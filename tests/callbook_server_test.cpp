// The callbook server over real sockets on 127.0.0.1: databases replaced under load, hostile
// clients, and calldb serve as its users start it, following its data folder.
// What one request is answered with is the engine tests' business.

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "callbook/server.h"
#include "dbfiles/dbwriter.h"
#include "platform/platform.h"
#include "tests/support/run_process.h"
#include "tests/test_util.h"
#include "updater/file_set.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testutil::read_bytes;
using testutil::TempDir;

// Waits at most `limit` for `done`.
bool await(std::chrono::milliseconds limit, const std::function<bool()>& done) {
  const auto give_up = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > give_up) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// Databases of two generations, A and B: every licence's name, street and city carry its
// generation's word, so that an answer tells which call.db it came from. The 64 common calls
// K1AAA... are in both, W2AAA only in A, W3BBB only in B; callprev.db sends W9OLD to K1AAA, or
// with `own_former` to the call only its generation has.
std::string common_call(int i) {
  return std::string("K1A") + char('A' + i / 26) + char('A' + i % 26);
}

// Writes call.db and callprev.db into `folder` under `suffix` (".next" stages them).
void write_generation(const std::string& folder, char generation, bool own_former,
                      const std::string& suffix = "") {
  const std::string word = generation == 'A' ? "ALPHA" : "BRAVO";
  const std::string only = generation == 'A' ? "W2AAA" : "W3BBB";
  const char* date = generation == 'A' ? "20261201" : "20261208";
  std::vector<dbfiles::UsRecord> records;
  for (int i = 0; i <= 64; ++i) {
    const std::string call = i < 64 ? common_call(i) : only;
    records.push_back({dbfiles::encode_call(call.c_str()), word + ", " + call + " Q",
                       "1 " + word + " ST", word + "VILLE", 7, 11111, false});
  }
  std::sort(records.begin(), records.end(), [](auto& a, auto& b) { return a.key < b.key; });
  std::string error;
  ASSERT_EQ(dbfiles::write_call_db(folder + "/call.db" + suffix, date, records, &error), 0)
      << error;
  const dbfiles::PrevEntry former{dbfiles::encode_call("W9OLD"),
                                  dbfiles::encode_call(own_former ? only.c_str() : "K1AAA")};
  ASSERT_EQ(dbfiles::write_prev_db(folder + "/callprev.db" + suffix, date, {former}, &error), 0);
}

struct Reply {
  int status = 0;  // 0: the stream ended first; -1: nothing whole came in time
  std::string body;
};

// 'A' or 'B' for a reply to /v1/lookup/CALL wholly of that generation, else '?'.
char generation_of(const std::string& call, const Reply& r) {
  if (r.status == 404) return call == "W2AAA" ? 'B' : call == "W3BBB" ? 'A' : '?';
  const bool former = r.body.find("\"former\":\"W9OLD\"") != std::string::npos;
  const bool a = r.body.find("ALPHA") != std::string::npos;
  const bool b = r.body.find("BRAVO") != std::string::npos;
  return r.status != 200 || former != (call == "W9OLD") || a == b ? '?' : a ? 'A' : 'B';
}

std::string get(const std::string& target, const std::string& fields = "") {
  return "GET " + target + " HTTP/1.1\r\nHost: t\r\n" + fields + "\r\n";
}

class Client {
 public:
  explicit Client(int port) {
    std::uint32_t address = 0;
    platform::resolve_ipv4("127.0.0.1", &address);
    if (socket_.open_stream() != 0 || socket_.connect(address, port) != 0) ended_ = true;
  }
  bool send(const std::string& bytes) { return socket_.send(bytes.data(), bytes.size()).ok(); }
  // True when the server has sent something, or ended the stream, within `ms`.
  bool readable(int ms) {
    bool ready = false;
    return socket_.wait(false, ms, &ready) == 0 && ready;
  }
  // The next reply (the server gives each its Content-Length).
  Reply reply(int ms = 5000) {
    std::size_t end, size = 0;
    while ((end = in_.find("\r\n\r\n")) == std::string::npos ||
           in_.size() < end + 4 + (size = std::stoul(in_.substr(in_.find("Length: ") + 8)))) {
      if (!fill(ms)) return {ended_ ? 0 : -1, ""};
    }
    const Reply r{std::atoi(in_.c_str() + 9), in_.substr(end + 4, size)};
    in_.erase(0, end + 4 + size);
    return r;
  }
  // True when the stream ends (anything sent before it dropped) within `ms`.
  bool closed(int ms = 5000) {
    while (fill(ms)) in_.clear();
    return ended_;
  }
  // "STATUS closed", "STATUS open", "closed" or "no reply".
  std::string outcome(const Reply& r) {
    if (r.status < 0) return "no reply";
    const std::string status = r.status > 0 ? std::to_string(r.status) + " " : "";
    return status + (r.status == 0 || closed() ? "closed" : "open");
  }
  // The outcome of sending `bytes`.
  std::string outcome_of(const std::string& bytes) { return send(bytes), outcome(reply()); }
  platform::Socket& socket() { return socket_; }

 private:
  bool fill(int ms) {
    char buffer[65536];
    if (ended_ || !readable(ms)) return false;
    const platform::IoResult r = socket_.receive(buffer, sizeof buffer);
    if (r.count == 0) ended_ = true;  // its end, or a reset
    in_.append(buffer, r.count);
    return !ended_;
  }

  platform::Socket socket_;
  std::string in_;
  bool ended_ = false;
};

// ---- Databases replaced while 64 clients ask -----------------------------------------------

// Each client asks, on one kept-alive connection, for its own call, W2AAA, W3BBB and W9OLD,
// pipelined, again and again, while A is replaced by B (with `as_set`, slowly, as an update run
// does). Every answer is wholly A's or B's, never A's once B's came, and B's within a second.
TEST(CallbookServer, DatabasesReplacedWhileManyClientsAsk) {
  for (const bool as_set : {false, true}) {
    SCOPED_TRACE(as_set ? "call.db and callprev.db as a set" : "call.db alone");
    TempDir tmp;
    write_generation(tmp.path(), 'A', as_set);
    callbook::ServerOptions o;
    o.folder = tmp.path(), o.port = 0, o.watch_ms = 100;
    o.idle_ms = 10000;  // a client thread may wait long for its turn on a busy machine
    callbook::Server server(o);
    std::string error;
    ASSERT_EQ(server.start(&error), 0) << error;

    std::atomic<bool> stop{false};
    std::atomic<int> bursts{0}, on_b{0}, quit{0};
    std::vector<std::string> faults(64);  // each client's own
    std::vector<std::thread> clients;
    for (int i = 0; i < 64; ++i) {
      clients.emplace_back([&, i] {
        const std::vector<std::string> calls = {common_call(i), "W2AAA", "W3BBB", "W9OLD"};
        std::string burst;
        for (const std::string& call : calls) burst += get("/v1/lookup/" + call);
        Client c(server.port());
        for (char last = 'A'; !stop.load() && faults[i].empty(); bursts.fetch_add(1)) {
          if (!c.send(burst)) faults[i] = "the server closed the connection";
          for (std::size_t k = 0; k < calls.size() && faults[i].empty(); ++k) {
            const Reply r = c.reply();
            const char g = generation_of(calls[k], r);
            if (g == '?' || g < last) {
              faults[i] = calls[k] + " answered " + std::to_string(r.status) + " " + r.body;
            }
            if (g == 'B' && last == 'A') on_b.fetch_add(1);
            last = g;
          }
        }
        if (!faults[i].empty()) quit.fetch_add(1);
      });
    }
    EXPECT_TRUE(await(10s, [&] { return bursts.load() >= 128 || quit.load() > 0; }));
    // An update run opens call.db for itself alone before replacing it: the server never stops it.
    EXPECT_EQ(platform::File().open(tmp.file("call.db"), platform::Access::read_write,
                                    platform::Share::none, platform::Disposition::open_existing),
              0);

    write_generation(tmp.path(), 'B', as_set, updater::kStagedSuffix);
    const auto slowly = [] { std::this_thread::sleep_for(300ms); };
    EXPECT_EQ(
        as_set ? updater::replace_together(tmp.path(), {"call.db", "callprev.db"}, slowly, &error)
               : platform::replace_file(tmp.file("call.db.next"), tmp.file("call.db")),
        0)
        << error;
    await(1s, [&] { return on_b.load() + quit.load() == 64; });
    EXPECT_EQ(on_b.load(), 64) << "clients saw B within a second";
    const int seen = bursts.load();
    await(10s, [&] { return bursts.load() >= seen + 128 || quit.load() > 0; });
    stop.store(true);
    for (std::thread& t : clients) t.join();
    for (int i = 0; i < 64; ++i) EXPECT_EQ(faults[i], "") << common_call(i);
  }
}

// ---- Hostile clients -----------------------------------------------------------------------

// After each hostile client, the server answers as many clients at once as it has room for, and
// refuses one more.
TEST(CallbookServer, HostileClientsAreAnsweredOrClosedAndTheServerGoesOn) {
  TempDir tmp;
  write_generation(tmp.path(), 'A', false);
  callbook::ServerOptions o;
  o.folder = tmp.path(), o.port = 0, o.max_connections = 4;
  o.idle_ms = o.request_ms = o.send_ms = 500;
  callbook::Server server(o);
  std::string error;
  ASSERT_EQ(server.start(&error), 0) << error;
  const std::string lookup = get("/v1/lookup/K1AAA");

  // Each row: a client's name, what it does, and what it gets.
  const std::tuple<const char*, std::function<std::string(Client&)>, std::string> rows[] = {
      {"a GET with a body",
       [&](Client& c) { return c.outcome_of(get("/", "Content-Length: 5\r\n") + "K1AAA"); },
       "413 closed"},
      {"a head sent one byte every 100 ms",
       [&](Client& c) {
         for (std::size_t i = 0; i < lookup.size() && !c.readable(100); ++i) {
           c.send(lookup.substr(i, 1));
         }
         return c.outcome_of("");
       },
       "408 closed"},
      {"a kept-alive connection left idle",
       [&](Client& c) {
         c.send(lookup);
         const Reply r = c.reply();
         return c.readable(200) ? "closed before its idle time" : c.outcome(r);
       },
       "200 closed"},
      {"half-closed after its request",
       [&](Client& c) {
         c.send(lookup);
         ::shutdown(static_cast<int>(c.socket().native_handle()), SHUT_WR);
         return c.outcome_of("");
       },
       "200 closed"},
      {"requests sent without end, their replies never read",
       [&](Client& c) {
         c.socket().set_nonblocking(true);
         std::string requests;
         while (requests.size() < 65536) requests += lookup;
         std::uint64_t sent = 0;
         int failed = 0;
         // What this process has allocated (under AddressSanitizer, the check sees nothing).
         const auto heap = [] { return mallinfo2().uordblks + mallinfo2().hblkhd; };
         std::size_t before = heap(), most = before;
         for (const auto give_up = Clock::now() + 10s; failed == 0 && Clock::now() < give_up;) {
           const std::size_t at = sent % requests.size();
           const platform::IoResult r =
               c.socket().send_some(requests.data() + at, requests.size() - at);
           sent += r.count;
           bool ready = false;
           if (r.error != EAGAIN) failed = r.error;
           else c.socket().wait(true, 50, &ready), most = std::max(most, heap());
         }
         // What the server has not read waits in the systems' buffers, not in its memory.
         if (failed == 0) return std::string("never closed");
         return most - before < (std::size_t{4} << 20) ? std::string("held back, then closed")
                                                       : std::to_string(most - before) + " held";
       },
       "held back, then closed"},
  };
  for (const auto& [name, act, expected] : rows) {
    Client c(server.port());
    EXPECT_EQ(act(c), expected) << name;
    // Each is asked to close after its answer, so that the next row finds them gone.
    const bool room = await(1s, [&] {
      std::vector<std::unique_ptr<Client>> all;
      bool served = true;
      for (int i = 0; i < o.max_connections; ++i) {
        all.push_back(std::make_unique<Client>(server.port()));
        served = served && all.back()->send(lookup) && all.back()->reply().status == 200;
      }
      served = served && Client(server.port()).outcome_of("") == "503 closed";
      for (auto& c : all) {
        served = served && c->outcome_of(get("/", "Connection: close\r\n")) == "200 closed";
      }
      return served;
    });
    EXPECT_TRUE(room) << "after " << name;
  }
}

// ---- calldb serve --------------------------------------------------------------------------

// Started on a data folder that is not there, calldb serve answers 503 with the reason; once
// call.db is renamed in, it answers from it; a damaged call.db put in its place is refused with
// the reason. Each change is logged.
TEST(CalldbServe, FollowsItsDataFolderRefusesAnAddressItCannotListenOnAndStopsOnTerm) {
  TempDir tmp;
  const std::string data = tmp.file("data"), log = tmp.file("log");
  testutil::write_bytes(tmp.file("passwords"), "# who may log in\nalice:s3cret\n");
  std::vector<std::string> args = {
      "serve", "-C", data, "--passwords", tmp.file("passwords"), "--listen", "127.0.0.1:0"};
  std::vector<char*> argv = {const_cast<char*>(CALLDB_PATH)};
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, CALLDB_PATH, &files, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&files);

  const std::string start = "calldb serve: listening on http://127.0.0.1:";
  EXPECT_TRUE(await(10s, [&] { return read_bytes(log).find("(data folder") != std::string::npos; }))
      << read_bytes(log);
  const std::string said = read_bytes(log);
  const std::size_t at = said.find(start) + start.size();
  const std::string port = said.substr(at, said.find('/', at) - at);
  EXPECT_NE(read_bytes(log).find(start + port + "/ (data folder " + data + ")\n"),
            std::string::npos);
  Client c(std::atoi(port.c_str()));
  Reply last;
  const auto answers = [&](int status, const std::string& part, const std::string& logged) {
    const bool answered = await(2s, [&] {
      c.send(get("/v1/lookup/K1AAA"));
      last = c.reply();
      return last.status == status && last.body.find(part) != std::string::npos;
    });
    return answered && read_bytes(log).find(logged) != std::string::npos;
  };
  const std::string missing = "call.db is not in " + data + ".";
  EXPECT_TRUE(answers(503, missing, missing)) << last.body;
  std::filesystem::create_directory(data);
  write_generation(data, 'A', false);
  EXPECT_TRUE(answers(200, "ALPHA", "call.db of 2026-12-01, 65 licences")) << last.body;
  std::string damaged = read_bytes(data + "/call.db");
  testutil::put_word(&damaged, 8, static_cast<std::uint32_t>(damaged.size() + 12));
  testutil::write_bytes(tmp.file("damaged"), damaged);
  std::filesystem::rename(tmp.file("damaged"), data + "/call.db");
  const std::string why = "call.db in " + data + " is damaged";
  EXPECT_TRUE(answers(503, why, why)) << last.body;

  c.send(get("/xml.php?u=alice&p=s3cret"));
  EXPECT_NE(c.reply().body.find("<session_id>"), std::string::npos);
  c.send(get("/xml.php?u=bob&p=s3cret"));
  EXPECT_NE(c.reply().body.find("<error>Wrong user name or password</error>"), std::string::npos);

  // A second calldb serve on the same address, and addresses that are none.
  args.back() = "127.0.0.1:" + port;
  testutil::Outcome o = testutil::run_process(CALLDB_PATH, args);
  EXPECT_EQ(o.code, 1);
  EXPECT_NE(o.err.find("calldb serve: cannot listen on " + args.back() + ": "), std::string::npos)
      << o.err;
  for (const char* listen : {"x", "1.2.3.4", ":80", "127.0.0.1:99999", "localhost:80"}) {
    args.back() = listen;
    o = testutil::run_process(CALLDB_PATH, args);
    EXPECT_EQ(o.code, 2) << listen;
    EXPECT_EQ(o.err, "calldb serve: --listen takes ADDRESS:PORT, such as 127.0.0.1:7373\n");
  }

  ::kill(pid, SIGTERM);
  int status = -1;
  if (!await(5s, [&] { return ::waitpid(pid, &status, WNOHANG) == pid; })) {
    ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
  }
  EXPECT_EQ(status, 0) << "the exit status when told to end";
  EXPECT_TRUE(read_bytes(log).ends_with("\ncalldb serve: stopped\n")) << read_bytes(log);
}

}  // namespace
