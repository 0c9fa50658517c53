#include "callbook/server.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace callbook {
namespace {

constexpr std::size_t kReadChunk = 16384;
constexpr std::size_t kMaxPendingOut = 65536;  // replies waiting to go before reading stops
constexpr int kAcceptBatch = 32;
constexpr int kTickMs = 100;

std::int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::int64_t now_seconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// "Sun, 06 Nov 1994 08:49:37 GMT" for a count of seconds since 1970.
std::string http_date(std::int64_t t) {
  static const char* const days[] = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::int64_t day = t / 86400;
  const std::int64_t secs = t % 86400;
  // Civil date from a day count (days since 1970-01-01).
  const std::int64_t z = day + 719468;
  const std::int64_t era = z / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  const std::int64_t y = yoe + era * 400 + (m <= 2);
  char text[40];
  std::snprintf(text, sizeof text, "%s, %02d %s %04lld %02d:%02d:%02d GMT", days[day % 7], d,
                months[m - 1], static_cast<long long>(y), static_cast<int>(secs / 3600),
                static_cast<int>(secs / 60 % 60), static_cast<int>(secs % 60));
  return text;
}

void append_reply(std::string* out, const Reply& reply, bool keep_alive, bool head_only,
                  const std::string& date) {
  char line[64];
  std::snprintf(line, sizeof line, "HTTP/1.1 %d %s\r\n", reply.status,
                reason_phrase(reply.status));
  out->append(line);
  out->append("Date: ").append(date).append("\r\n");
  out->append("Content-Type: ").append(reply.content_type).append("\r\n");
  out->append("Content-Length: ").append(std::to_string(reply.body.size())).append("\r\n");
  out->append("Access-Control-Allow-Origin: *\r\n");
  out->append(keep_alive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n");
  if (!head_only) out->append(reply.body);
}

}  // namespace

struct Connection {
  platform::Socket socket;
  std::string in;
  std::string out;
  std::size_t out_sent = 0;
  std::int64_t deadline = 0;
  bool head_started = false;  // a request's first bytes came; its head deadline runs
  bool closing = false;       // close once `out` has gone
  bool peer_done = false;     // the peer sent its end
  unsigned interest = 0;
};

struct Server::Worker {
  platform::Poller poller;
  std::thread thread;
  std::vector<std::unique_ptr<Connection>> slots;  // tag = slot + 1; tag 0 is the listener
  std::vector<std::size_t> free_slots;
  std::shared_ptr<const Directory> directory;
  std::uint64_t generation = 0;
  std::int64_t date_second = -1;
  std::string date;
};

Server::Server(ServerOptions options) : options_(std::move(options)) {
  if (options_.threads < 1) options_.threads = 1;
}

Server::~Server() { stop(); }

void Server::log(const std::string& line) {
  const std::lock_guard<std::mutex> guard(log_mutex_);
  if (options_.log) options_.log(line);
}

std::shared_ptr<const Directory> Server::directory() const {
  const std::lock_guard<std::mutex> guard(directory_mutex_);
  return directory_;
}

void Server::install(std::shared_ptr<const Directory> directory) {
  std::string before;
  {
    const std::lock_guard<std::mutex> guard(directory_mutex_);
    if (directory_) before = directory_->summary();
    directory_ = std::move(directory);
    generation_.fetch_add(1);
  }
  const std::string after = this->directory()->summary();
  if (after != before) log("calldb serve: " + after);
}

int Server::start(std::string* error) {
  install(Directory::load(options_.folder));
  std::uint32_t address = 0;
  int bound = platform::resolve_ipv4(options_.host, &address);
  if (bound == 0) bound = listener_.open(address, options_.port, 1024);
  if (bound != 0) {
    *error = "cannot listen on " + options_.host + ":" + std::to_string(options_.port) + ": " +
             std::strerror(bound);
    return bound;
  }
  for (int i = 0; i < options_.threads; ++i) {
    auto worker = std::make_unique<Worker>();
    int failed = worker->poller.open();
    if (failed == 0) failed = worker->poller.add(listener_.native_handle(), platform::Poller::kReadable, 0, true);
    if (failed != 0) {
      *error = std::string("cannot wait for connections: ") + std::strerror(failed);
      stop();
      return failed;
    }
    workers_.push_back(std::move(worker));
  }
  for (auto& worker : workers_) worker->thread = std::thread(&Server::run_worker, this, worker.get());
  watcher_ = std::thread(&Server::watch, this);
  return 0;
}

void Server::stop() {
  {
    const std::lock_guard<std::mutex> guard(stop_mutex_);
    stopping_.store(true);
  }
  stop_signal_.notify_all();
  for (auto& worker : workers_) {
    if (worker->thread.joinable()) worker->thread.join();
  }
  if (watcher_.joinable()) watcher_.join();
  workers_.clear();
  listener_.close();
}

void Server::watch() {
  std::unique_lock<std::mutex> lock(stop_mutex_);
  while (!stopping_.load()) {
    stop_signal_.wait_for(lock, std::chrono::milliseconds(options_.watch_ms));
    if (stopping_.load()) break;
    lock.unlock();
    const std::shared_ptr<const Directory> current = directory();
    // An update run between the renames of a set of files is waited for, and so is one that
    // replaced a file while it was read: nothing loaded then is used.
    if (current->changed_on_disk() && !set_in_progress(options_.folder)) {
      std::shared_ptr<const Directory> fresh = Directory::load(options_.folder);
      if (!fresh->changed_on_disk() && !set_in_progress(options_.folder)) install(std::move(fresh));
    }
    lock.lock();
  }
}

void Server::run_worker(Worker* w) {
  using platform::Poller;
  Poller::Event events[64];
  std::int64_t next_sweep = now_ms() + kTickMs;

  const auto set_interest = [&](Connection* c, std::uint64_t tag) {
    unsigned want = 0;
    if (c->out.size() - c->out_sent < kMaxPendingOut && !c->closing && !c->peer_done) {
      want |= Poller::kReadable;
    }
    if (c->out_sent < c->out.size()) want |= Poller::kWritable;
    if (want != c->interest) {
      w->poller.modify(c->socket.native_handle(), want, tag);
      c->interest = want;
    }
  };

  const auto close_slot = [&](std::size_t slot) {
    Connection* c = w->slots[slot].get();
    w->poller.remove(c->socket.native_handle());
    // Its room is given back before the peer can see the close, so that a client that comes
    // straight back is never refused for it.
    if (connections_.fetch_sub(1) <= options_.max_connections / 2) full_told_.store(false);
    w->slots[slot].reset();
    w->free_slots.push_back(slot);
  };

  const auto refresh = [&]() {
    const std::uint64_t generation = generation_.load(std::memory_order_acquire);
    if (generation != w->generation) {
      w->directory = directory();
      w->generation = generation;
    }
    const std::int64_t second = now_seconds();
    if (second != w->date_second) {
      w->date_second = second;
      w->date = http_date(second);
    }
  };

  // Answers every whole request in `in`, sends what it can, and sets the deadline.
  const auto serve = [&](std::size_t slot, std::int64_t now) -> bool {
    Connection* c = w->slots[slot].get();
    std::size_t used_total = 0;
    while (!c->closing && c->out.size() - c->out_sent < kMaxPendingOut) {
      Request request;
      std::size_t used = 0;
      int status = 0;
      const std::string_view rest = std::string_view(c->in).substr(used_total);
      const Parse parse = parse_request(rest, &request, &used, &status);
      if (parse == Parse::incomplete) break;
      if (parse == Parse::refused) {
        append_reply(&c->out, refusal(status), false, false, w->date);
        c->closing = true;
        if (options_.verbose) log("calldb serve: refused with " + std::to_string(status));
        break;
      }
      refresh();
      const Reply reply = answer(request, w->directory.get(), options_.sessions, w->date_second);
      append_reply(&c->out, reply, request.keep_alive, request.head_only, w->date);
      if (options_.verbose) {
        log(std::string("calldb serve: ") + (request.head_only ? "HEAD " : "GET ") +
            std::string(request.path) + (request.query.empty() ? "" : "?") +
            std::string(request.query) + " " + std::to_string(reply.status));
      }
      used_total += used;
      if (!request.keep_alive) c->closing = true;
    }
    c->in.erase(0, c->closing ? c->in.size() : used_total);

    if (c->out_sent < c->out.size()) {
      const platform::IoResult r =
          c->socket.send_some(c->out.data() + c->out_sent, c->out.size() - c->out_sent);
      if (r.error != 0 && r.error != EAGAIN && r.error != EWOULDBLOCK) return false;
      if (r.count > 0) c->deadline = now + options_.send_ms;
      c->out_sent += static_cast<std::size_t>(r.count);
      if (c->out_sent == c->out.size()) {
        c->out.clear();
        c->out_sent = 0;
      } else {
        set_interest(c, slot + 1);
        return true;
      }
    }
    // After the peer's end, what is left can never become a whole request.
    if (c->closing || c->peer_done) return false;
    if (c->in.empty()) {
      c->head_started = false;
      c->deadline = now + options_.idle_ms;
    } else if (!c->head_started) {
      c->head_started = true;
      c->deadline = now + options_.request_ms;
    }
    set_interest(c, slot + 1);
    return true;
  };

  std::int64_t accept_paused_until = 0;  // 0: the listener is watched
  const auto accept_all = [&](std::int64_t now) {
    for (int i = 0; i < kAcceptBatch; ++i) {
      platform::Socket socket;
      const int error = listener_.accept(&socket);
      if (error == EAGAIN || error == EWOULDBLOCK) return;
      if (error != 0) {
        // Out of descriptors (or another failure that leaves the connection waiting): stop
        // watching the listener for a while rather than waking for it again and again.
        w->poller.remove(listener_.native_handle());
        accept_paused_until = now + kTickMs;
        if (!full_told_.exchange(true)) {
          log(std::string("calldb serve: cannot take a connection: ") + std::strerror(error));
        }
        return;
      }
      if (connections_.fetch_add(1) >= options_.max_connections) {
        connections_.fetch_sub(1);
        std::string out;
        append_reply(&out, refusal(503), false, false, w->date);
        socket.send_some(out.data(), out.size());
        // Told once each time the server fills up, not for every connection refused.
        if (!full_told_.exchange(true)) {
          log("calldb serve: connections refused: " + std::to_string(options_.max_connections) +
              " are open already (--max-connections)");
        }
        continue;
      }
      std::size_t slot;
      if (!w->free_slots.empty()) {
        slot = w->free_slots.back();
        w->free_slots.pop_back();
      } else {
        slot = w->slots.size();
        w->slots.emplace_back();
      }
      auto c = std::make_unique<Connection>();
      c->socket = std::move(socket);
      c->deadline = now + options_.idle_ms;
      c->interest = Poller::kReadable;
      if (w->poller.add(c->socket.native_handle(), Poller::kReadable, slot + 1) != 0) {
        w->free_slots.push_back(slot);
        connections_.fetch_sub(1);
        continue;
      }
      w->slots[slot] = std::move(c);
    }
  };

  while (!stopping_.load(std::memory_order_relaxed)) {
    const int n = w->poller.wait(events, 64, kTickMs);
    const std::int64_t now = now_ms();
    refresh();
    for (int i = 0; i < n; ++i) {
      if (events[i].tag == 0) {
        accept_all(now);
        continue;
      }
      const std::size_t slot = static_cast<std::size_t>(events[i].tag - 1);
      Connection* c = slot < w->slots.size() ? w->slots[slot].get() : nullptr;
      if (c == nullptr) continue;
      bool keep = true;
      if (events[i].events & (Poller::kReadable | Poller::kHangup)) {
        char buffer[kReadChunk];
        while (!c->peer_done && c->in.size() < 2 * kMaxHead) {
          const platform::IoResult r = c->socket.receive(buffer, sizeof buffer);
          if (r.error == EAGAIN || r.error == EWOULDBLOCK) break;
          if (r.error != 0) {
            keep = false;
            break;
          }
          if (r.count == 0) {
            c->peer_done = true;
            break;
          }
          c->in.append(buffer, static_cast<std::size_t>(r.count));
          if (r.count < sizeof buffer) break;
        }
      }
      if (keep) keep = serve(slot, now);
      if (!keep) close_slot(slot);
    }
    if (accept_paused_until != 0 && now >= accept_paused_until) {
      accept_paused_until = 0;
      w->poller.add(listener_.native_handle(), Poller::kReadable, 0, true);
    }
    if (now >= next_sweep) {
      next_sweep = now + kTickMs;
      for (std::size_t slot = 0; slot < w->slots.size(); ++slot) {
        Connection* c = w->slots[slot].get();
        if (c == nullptr || now < c->deadline) continue;
        if (c->head_started && c->out.empty()) {
          // A request that never came whole: say so before closing.
          std::string out;
          append_reply(&out, refusal(408), false, false, w->date);
          c->socket.send_some(out.data(), out.size());
        }
        close_slot(slot);
      }
    }
  }
  for (std::size_t slot = 0; slot < w->slots.size(); ++slot) {
    if (w->slots[slot]) close_slot(slot);
  }
}

}  // namespace callbook
