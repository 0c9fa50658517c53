// The callbook server over real sockets on 127.0.0.1: databases replaced under load, hostile
// clients, a data folder that is missing or damaged, and calldb serve as its users start it.
// What one request is answered with is the engine tests' business.

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
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
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "callbook/server.h"
#include "dbfiles/dbwriter.h"
#include "platform/platform.h"
#include "tests/support/run_process.h"
#include "tests/test_util.h"
#include "updater/file_set.h"

#if defined(__SANITIZE_ADDRESS__)
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testutil::read_bytes;
using testutil::TempDir;
using testutil::write_bytes;

// Waits at most `limit` for `done`.
bool await(std::chrono::milliseconds limit, const std::function<bool()>& done) {
  const auto give_up = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > give_up) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// Bytes this process has allocated and not freed.
std::size_t heap_in_use() {
#if defined(__SANITIZE_ADDRESS__)
  return __sanitizer_get_current_allocated_bytes();
#else
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
#endif
}

// ---- Databases of two generations ----------------------------------------------------------
// Every licence's name, street, city and ZIP carry its generation's word, so that an answer
// tells which call.db it came from. K1AAA... are in both, W2AAA only in A, W3BBB only in B;
// callprev.db sends W9OLD to K1AAA, or with `own_former` to the call only its generation has.

const char* word_of(char generation) { return generation == 'A' ? "ALPHA" : "BRAVO"; }
const char* zip_of(char generation) { return generation == 'A' ? "11111" : "22222"; }

std::vector<std::string> common_calls() {
  std::vector<std::string> calls;
  for (int i = 0; i < 64; ++i) {
    calls.push_back(std::string("K1A") + char('A' + i / 26) + char('A' + i % 26));
  }
  return calls;
}

// Writes call.db and callprev.db into `folder` under `suffix` (".next" stages them).
void write_generation(const std::string& folder, char generation, bool own_former,
                      const std::string& suffix = "") {
  const std::string word = word_of(generation);
  const std::string only = generation == 'A' ? "W2AAA" : "W3BBB";
  std::vector<dbfiles::UsRecord> records;
  std::vector<std::string> calls = common_calls();
  calls.push_back(only);
  for (const std::string& call : calls) {
    records.push_back({dbfiles::encode_call(call.c_str()), word + ", " + call + " Q",
                       "1 " + word + " ST", word + "VILLE", 7,
                       static_cast<std::uint32_t>(std::stoul(zip_of(generation))), false});
  }
  std::sort(records.begin(), records.end(), [](auto& a, auto& b) { return a.key < b.key; });
  const char* date = generation == 'A' ? "20261201" : "20261208";
  std::string error;
  ASSERT_EQ(dbfiles::write_call_db(folder + "/call.db" + suffix, date, records, &error), 0)
      << error;
  const dbfiles::PrevEntry former{dbfiles::encode_call("W9OLD"),
                                  dbfiles::encode_call(own_former ? only.c_str() : "K1AAA")};
  ASSERT_EQ(dbfiles::write_prev_db(folder + "/callprev.db" + suffix, date, {former}, &error), 0);
}

// Which generation a reply to /v1/lookup/CALL comes from, 'A' or 'B', or '?' for a reply that
// is not wholly of one.
char generation_of(const std::string& call, int status, const std::string& body) {
  if (status == 404 && call == "W2AAA") return 'B';
  if (status == 404 && call == "W3BBB") return 'A';
  const bool former = body.find("\"former\":\"W9OLD\"") != std::string::npos;
  if (status != 200 || former != (call == "W9OLD")) return '?';
  for (const char g : {'A', 'B'}) {
    const std::string w = word_of(g);
    if (body.find("\"name\":\"" + w + ", ") != std::string::npos &&
        body.find("\"street\":\"1 " + w + " ST\"") != std::string::npos &&
        body.find("\"city\":\"" + w + "VILLE\"") != std::string::npos &&
        body.find("\"zip\":\"" + std::string(zip_of(g)) + "\"") != std::string::npos) {
      return g;
    }
  }
  return '?';
}

// ---- A plain blocking client ---------------------------------------------------------------

std::string get(const std::string& target, const std::string& fields = "") {
  return "GET " + target + " HTTP/1.1\r\nHost: t\r\n" + fields + "\r\n";
}

struct Reply {
  int status = 0;  // 0: the stream ended first; -1: nothing whole came in time
  std::string body;
};

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
  Reply reply(int ms = 5000) {
    Reply r;
    std::size_t end;
    while ((end = in_.find("\r\n\r\n")) == std::string::npos) {
      if (!fill(ms)) return r.status = ended_ ? 0 : -1, r;
    }
    r.status = std::atoi(in_.substr(9, 3).c_str());
    const std::size_t length = in_.find("Content-Length: ");
    const std::size_t size = length < end ? std::stoul(in_.substr(length + 16)) : 0;
    while (in_.size() < end + 4 + size) {
      if (!fill(ms)) return r.status = ended_ ? 0 : -1, r;
    }
    r.body = in_.substr(end + 4, size);
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

// The lines a server logs.
class Log {
 public:
  std::function<void(const std::string&)> sink() {
    return [this](const std::string& line) {
      const std::lock_guard<std::mutex> guard(mutex_);
      lines_.push_back(line);
    };
  }
  bool has(const std::string& part) {
    const std::lock_guard<std::mutex> guard(mutex_);
    return std::any_of(lines_.begin(), lines_.end(),
                       [&](const std::string& l) { return l.find(part) != std::string::npos; });
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

callbook::ServerOptions options(const std::string& folder, Log* log) {
  callbook::ServerOptions o;
  o.folder = folder;
  o.port = 0;
  o.idle_ms = o.request_ms = o.send_ms = 500;
  o.log = log->sink();
  return o;
}

// ---- Databases replaced while 64 clients ask -----------------------------------------------

// Each client asks, on one kept-alive connection, for its own call, the call only A has, the
// one only B has and the former call, in one pipelined burst, again and again. Every answer is
// wholly A's or wholly B's, a client never goes back to A once it has seen B, and each sees B
// within a second of the replacement. With `as_set`, callprev.db changes with call.db (the
// former call leads to a call only its own generation has), put in place as an update run
// does, slowly: the server keeps A until the set is whole.
TEST(CallbookServer, DatabasesReplacedWhileManyClientsAsk) {
  for (const bool as_set : {false, true}) {
    SCOPED_TRACE(as_set ? "call.db and callprev.db as a set" : "call.db alone");
    TempDir tmp;
    write_generation(tmp.path(), 'A', as_set);
    Log log;
    callbook::ServerOptions o = options(tmp.path(), &log);
    o.idle_ms = 10000;  // a client thread may wait long for its turn on a busy machine
    o.watch_ms = 100;
    callbook::Server server(o);
    std::string error;
    ASSERT_EQ(server.start(&error), 0) << error;

    std::atomic<bool> stop{false};
    std::atomic<int> bursts{0}, on_b{0}, quit{0};
    std::mutex faults_mutex;
    std::vector<std::string> faults;
    std::vector<std::thread> clients;
    for (const std::string& own : common_calls()) {
      clients.emplace_back([&, own] {
        const auto fault = [&](const std::string& what) {
          const std::lock_guard<std::mutex> guard(faults_mutex);
          faults.push_back(own + ": " + what);
          quit.fetch_add(1);
        };
        Client c(server.port());
        const std::vector<std::string> calls = {own, "W2AAA", "W3BBB", "W9OLD"};
        std::string burst;
        for (const std::string& call : calls) burst += get("/v1/lookup/" + call);
        char last = 'A';
        while (!stop.load()) {
          if (!c.send(burst)) return fault("the server closed the connection");
          for (const std::string& call : calls) {
            const Reply r = c.reply();
            const char g = generation_of(call, r.status, r.body);
            if (g == '?' || g < last) {
              return fault(call + " answered " + std::to_string(r.status) + " " + r.body +
                           " after " + last);
            }
            if (g == 'B' && last == 'A') on_b.fetch_add(1);
            last = g;
          }
          bursts.fetch_add(1);
        }
      });
    }
    EXPECT_TRUE(await(10s, [&] { return bursts.load() >= 128 || quit.load() > 0; }));
    // An update run opens call.db for itself alone before replacing it: the server never stops it.
    platform::File held;
    EXPECT_EQ(held.open(tmp.file("call.db"), platform::Access::read_write, platform::Share::none,
                        platform::Disposition::open_existing),
              0);
    held.close();

    write_generation(tmp.path(), 'B', as_set, updater::kStagedSuffix);
    if (as_set) {
      const auto slowly = [] { std::this_thread::sleep_for(300ms); };
      const std::vector<std::string> set = {"call.db", "callprev.db"};
      EXPECT_EQ(updater::replace_together(tmp.path(), set, slowly, &error), 0) << error;
    } else {
      EXPECT_EQ(platform::replace_file(tmp.file("call.db.next"), tmp.file("call.db")), 0);
    }
    await(1s, [&] { return on_b.load() + quit.load() == 64; });
    EXPECT_EQ(on_b.load(), 64) << "clients saw B within a second";
    const int seen = bursts.load();
    await(10s, [&] { return bursts.load() >= seen + 128 || quit.load() > 0; });
    stop.store(true);
    for (std::thread& t : clients) t.join();
    for (const std::string& f : faults) ADD_FAILURE() << f;
    EXPECT_TRUE(log.has("call.db of 2026-12-08, 65 licences"));
  }
}

// ---- Hostile clients -----------------------------------------------------------------------

// What a client that sends `bytes` gets, and whether the server then closes the connection.
std::function<std::string(int)> sending(const std::string& bytes) {
  return [bytes](int port) {
    Client c(port);
    c.send(bytes);
    return c.outcome(c.reply());
  };
}

// Each row: what a client does, and what it gets. After each, the server answers as many
// clients as it has room for.
TEST(CallbookServer, HostileClientsAreAnsweredOrClosedAndTheServerGoesOn) {
  TempDir tmp;
  write_generation(tmp.path(), 'A', false);
  Log log;
  callbook::ServerOptions o = options(tmp.path(), &log);
  o.max_connections = 4;
  callbook::Server server(o);
  std::string error;
  ASSERT_EQ(server.start(&error), 0) << error;
  const std::string lookup = get("/v1/lookup/K1AAA");

  struct Row {
    const char* name;
    std::function<std::string(int port)> act;
    std::string expected;
  };
  const Row rows[] = {
      {"a request line without a version", sending("GET /v1/lookup/K1AAA\r\n\r\n"), "400 closed"},
      {"a request line of one word", sending("HELLO\r\n\r\n"), "400 closed"},
      {"binary (a TLS hello)", sending(std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc", 9)),
       "400 closed"},
      {"a request line over 8 KiB", sending("GET /" + std::string(9000, 'A')), "414 closed"},
      {"header fields over 8 KiB",
       sending(get("/", std::string(9000, 'x').replace(0, 3, "X: ") + "\r\n")),
       "431 closed"},
      {"a POST with a body",
       sending("POST /v1/lookup/K1AAA HTTP/1.1\r\nHost: t\r\nContent-Length: 5\r\n\r\nK1AAA"),
       "405 closed"},
      {"a GET with a body",
       sending("GET /v1/lookup/K1AAA HTTP/1.1\r\nHost: t\r\nContent-Length: 5\r\n\r\nK1AAA"),
       "413 closed"},
      {"the HTTP/2 preface", sending("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"), "400 closed"},
      {"a head sent one byte every 100 ms",
       [&](int port) {
         Client c(port);
         for (std::size_t i = 0; i < lookup.size() && !c.readable(100); ++i) {
           c.send(lookup.substr(i, 1));
         }
         return c.outcome(c.reply());
       },
       "408 closed"},
      {"a kept-alive connection left idle",
       [&](int port) {
         Client c(port);
         c.send(lookup);
         const Reply r = c.reply();
         return c.readable(200) ? "closed before its idle time" : c.outcome(r);
       },
       "200 closed"},
      {"half-closed after its request",
       [&](int port) {
         Client c(port);
         c.send(lookup);
         ::shutdown(static_cast<int>(c.socket().native_handle()), SHUT_WR);
         return c.outcome(c.reply());
       },
       "200 closed"},
      {"requests sent without end, their replies never read",
       [&](int port) {
         Client c(port);
         c.socket().set_nonblocking(true);
         std::string requests;
         while (requests.size() < 65536) requests += lookup;
         std::uint64_t sent = 0;
         int failed = 0;
         const std::size_t before = heap_in_use();
         std::size_t most = before;
         const auto give_up = Clock::now() + 10s;
         while (failed == 0 && Clock::now() < give_up && sent < (std::uint64_t{256} << 20)) {
           const std::size_t at = sent % requests.size();
           const platform::IoResult r =
               c.socket().send_some(requests.data() + at, requests.size() - at);
           sent += r.count;
           bool ready = false;
           if (r.error != EAGAIN) failed = r.error;
           else c.socket().wait(true, 50, &ready), most = std::max(most, heap_in_use());
         }
         // What the server has not read waits in the systems' buffers, not in its memory.
         return failed != 0 && most - before < (std::size_t{4} << 20)
                    ? std::string("held back, then closed")
                    : std::to_string(sent) + " bytes went, error " + std::to_string(failed) +
                          ", heap grew by " + std::to_string(most - before);
       },
       "held back, then closed"},
      {"a fifth connection, and another once one of four has closed",
       [&](int port) {
         std::vector<std::unique_ptr<Client>> four;
         for (int i = 0; i < 4; ++i) {
           four.push_back(std::make_unique<Client>(port));
           four.back()->send(lookup);
           if (four.back()->reply().status != 200) return std::string("one of four not served");
         }
         Client fifth(port);
         std::string out = fifth.outcome(fifth.reply());
         four.pop_back();
         const bool served = await(1s, [&] {
           Client again(port);
           return again.send(lookup) && again.reply().status == 200;
         });
         return out + (served ? ", then served" : ", then still refused");
       },
       "503 closed, then served"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.act(server.port()), row.expected) << row.name;
    // Every connection the server has room for is served (asking it to close each, so that the
    // next row finds them gone).
    const bool answers = await(1s, [&] {
      std::vector<std::unique_ptr<Client>> room;
      for (int i = 0; i < o.max_connections; ++i) {
        room.push_back(std::make_unique<Client>(server.port()));
        if (!room.back()->send(lookup) || room.back()->reply().status != 200) return false;
      }
      for (auto& c : room) {
        if (!c->send(get("/", "Connection: close\r\n")) ||
            c->reply().status != 200 || !c->closed()) {
          return false;
        }
      }
      return true;
    });
    EXPECT_TRUE(answers) << "after " << row.name;
  }
}

// ---- A data folder that is missing or damaged ----------------------------------------------

// Started on a folder that is not there, the server answers 503 with the reason; once call.db
// is renamed in, it answers from it; a damaged call.db put in its place is refused with the
// reason, and a good one is used again. Each change is logged.
TEST(CallbookServer, FollowsTheDataFolderFromMissingToDamagedAndBack) {
  TempDir tmp;
  const std::string data = tmp.file("data");
  Log log;
  callbook::Server server(options(data, &log));
  std::string error;
  ASSERT_EQ(server.start(&error), 0) << error;
  Client c(server.port());
  Reply last;
  const auto answers = [&](int status, const std::string& part) {
    return await(1s, [&] {
      c.send(get("/v1/lookup/K1AAA"));
      last = c.reply();
      return last.status == status && last.body.find(part) != std::string::npos;
    });
  };
  const std::string missing = "call.db is not in " + data + ".";
  EXPECT_TRUE(answers(503, missing)) << last.body;
  EXPECT_TRUE(log.has(missing));

  fs::create_directory(data);
  write_generation(data, 'A', false);
  EXPECT_TRUE(answers(200, "ALPHA")) << last.body;
  EXPECT_TRUE(log.has("call.db of 2026-12-01, 65 licences"));

  std::string damaged = read_bytes(data + "/call.db");
  testutil::put_word(&damaged, 8, static_cast<std::uint32_t>(damaged.size() + 12));
  write_bytes(tmp.file("damaged"), damaged);
  fs::rename(tmp.file("damaged"), data + "/call.db");
  const std::string why = "call.db in " + data + " is damaged";
  EXPECT_TRUE(answers(503, why)) << last.body;
  EXPECT_TRUE(log.has(why));

  write_generation(data, 'B', false);
  EXPECT_TRUE(answers(200, "BRAVO")) << last.body;
  EXPECT_TRUE(log.has("call.db of 2026-12-08, 65 licences"));
}

// ---- calldb serve --------------------------------------------------------------------------

// calldb started in the background, its standard error in `log`; killed if the test leaves it.
class Started {
 public:
  Started(const std::vector<std::string>& args, const std::string& log) {
    std::vector<char*> argv = {const_cast<char*>(CALLDB_PATH)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      const int err = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(::open("/dev/null", O_RDWR), 0), ::dup2(0, 1), ::dup2(err, 2);
      ::execv(CALLDB_PATH, argv.data());
      ::_exit(127);
    }
  }
  ~Started() {
    if (pid_ > 0) ::kill(pid_, SIGKILL), ::waitpid(pid_, nullptr, 0);
  }
  // Its exit code once signalled with `signal`, or -1 when it has not ended within 5 s.
  int end(int signal) {
    ::kill(pid_, signal);
    int status = 0;
    if (!await(5s, [&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; })) return -1;
    pid_ = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = 0;
};

std::string between(const std::string& text, const std::string& before, const std::string& after) {
  const std::size_t from = text.find(before);
  if (from == std::string::npos) return "";
  const std::size_t start = from + before.size();
  return text.substr(start, text.find(after, start) - start);
}

TEST(CalldbServe, StartsAnswersAndStopsOnTerm) {
  TempDir tmp;
  write_generation(tmp.path(), 'A', false);
  write_bytes(tmp.file("passwords"), "# who may log in\nalice:s3cret\n");
  const std::string log = tmp.file("log");
  Started serve({"serve", "-C", tmp.path(), "--listen", "127.0.0.1:0", "--passwords",
                 tmp.file("passwords")},
                log);
  const std::string start = "calldb serve: listening on http://127.0.0.1:";
  ASSERT_TRUE(await(10s, [&] { return read_bytes(log).find("(data folder") != std::string::npos; }))
      << read_bytes(log);
  const std::string port = between(read_bytes(log), start, "/");
  EXPECT_NE(read_bytes(log).find(start + port + "/ (data folder " + tmp.path() + ")\n"),
            std::string::npos);

  Client c(std::atoi(port.c_str()));
  c.send(get("/v1/lookup/K1AAA"));
  const Reply found = c.reply();
  EXPECT_EQ(generation_of("K1AAA", found.status, found.body), 'A') << found.body;
  c.send(get("/xml.php?u=alice&p=s3cret"));
  const std::string session = between(c.reply().body, "<session_id>", "</session_id>");
  c.send(get("/xml.php?id=" + session + "&callsign=k1aaa&prg=test"));
  EXPECT_NE(c.reply().body.find("<callsign>K1AAA</callsign>"), std::string::npos) << session;
  c.send(get("/xml.php?u=bob&p=s3cret"));
  EXPECT_NE(c.reply().body.find("<error>Wrong user name or password</error>"), std::string::npos);

  EXPECT_EQ(serve.end(SIGTERM), 0);
  const std::string said = read_bytes(log);
  EXPECT_EQ(said.substr(said.rfind('\n', said.size() - 2) + 1), "calldb serve: stopped\n") << said;
}

TEST(CalldbServe, RefusesAnAddressItCannotListenOn) {
  TempDir tmp;
  write_generation(tmp.path(), 'A', false);
  const auto serve = [&](const std::string& listen) {
    return testutil::run_process(CALLDB_PATH, {"serve", "-C", tmp.path(), "--listen", listen});
  };
  for (const char* listen : {"x", "1.2.3.4", ":80", "127.0.0.1:99999", "localhost:80"}) {
    const testutil::Outcome o = serve(listen);
    EXPECT_EQ(o.code, 2) << listen;
    EXPECT_EQ(o.err, "calldb serve: --listen takes ADDRESS:PORT, such as 127.0.0.1:7373\n");
  }
  platform::Listener taken;
  std::uint32_t address = 0;
  ASSERT_EQ(platform::resolve_ipv4("127.0.0.1", &address), 0);
  ASSERT_EQ(taken.open(address, 0, 1), 0);
  const std::string at = "127.0.0.1:" + std::to_string(taken.port());
  const testutil::Outcome o = serve(at);
  EXPECT_EQ(o.code, 1);
  EXPECT_NE(o.err.find("calldb serve: cannot listen on " + at + ": "), std::string::npos) << o.err;
}

}  // namespace
