#include "updater/reply_head.h"

#include <strings.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

namespace updater {

namespace {

constexpr int kHeadEndRun = 4;

bool is_line_end(char c) { return c == '\r' || c == '\n'; }
bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Whether a run of `n` CR and LF bytes holds an empty line ended by an LF alone.
bool has_bare_lf_line(const char* run, int n) {
  for (int i = 0; i + 1 < n; ++i) {
    if (run[i] == '\n' && (run[i + 1] == '\n' || (i + 2 < n && run[i + 1] == '\r' &&
                                                   run[i + 2] == '\n'))) {
      return true;
    }
  }
  return false;
}

// Calls visit(value) for each header line of `head` that names the field `name`: in any case of
// its letters, at the line's start (a line that begins with a blank continues the one before),
// blanks tolerated before the colon; the value starts after the blanks that follow the colon.
template <typename Visit>
void for_each_field(const char* head, const char* name, Visit visit) {
  const std::size_t n = std::strlen(name);
  for (const char* p = std::strpbrk(head, "\r\n"); p != nullptr; p = std::strpbrk(p, "\r\n")) {
    while (is_line_end(*p)) ++p;
    if (::strncasecmp(p, name, n) != 0) continue;
    const char* q = p + n;
    while (is_blank(*q)) ++q;
    if (*q != ':') continue;
    for (++q; is_blank(*q);) ++q;
    visit(q);
  }
}

bool parse_decimal(const char* p, std::int32_t* value) {
  while (*p == ' ' || *p == '\t') ++p;
  if (*p < '0' || *p > '9') return false;
  std::int64_t v = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    v = v * 10 + (*p - '0');
    if (v > std::numeric_limits<std::int32_t>::max()) return false;
  }
  while (*p == ' ' || *p == '\t') ++p;
  if (*p != '\0' && !is_line_end(*p)) return false;
  *value = static_cast<std::int32_t>(v);
  return true;
}

}  // namespace

ReplyHead::Feed ReplyHead::feed(const char* data, std::size_t n, std::size_t* used) {
  std::size_t i = 0;
  bool done = false;
  while (i < n && !done) {
    if (!is_line_end(data[i])) {
      if (has_bare_lf_line(run_bytes_, run_)) return kBareLf;
      run_ = 0;
    } else if (run_ < kHeadEndRun) {
      run_bytes_[run_++] = data[i];
    }
    ++i;
    done = run_ == kHeadEndRun;
  }
  if (size_ + i > bytes_.size()) return kTooLong;
  std::memcpy(bytes_.data() + size_, data, i);
  size_ += i;
  *used = i;
  if (!done) return kMore;
  bytes_[size_ - 2] = '\0';
  return kDone;
}

std::string ReplyHead::unfinished(const std::string& host) const {
  if (has_bare_lf_line(run_bytes_, run_)) return kBareLfHead;
  return "ERROR no complete reply head from " + host + "\r\n";
}

int ReplyHead::status() const {
  const std::string line(text(), std::strcspn(text(), "\r\n"));
  int status = 0;
  if (std::sscanf(line.c_str(), "%*s %d", &status) != 1) status = 0;
  return status;
}

int ReplyHead::content_length(std::int32_t* length) const {
  int found = 0;
  std::int32_t first = 0;
  for_each_field(text(), "Content-Length", [&](const char* value) {
    std::int32_t v = 0;
    const bool good = found >= 0 && parse_decimal(value, &v) && (found == 0 || v == first);
    found = good ? 1 : -1;
    first = v;
  });
  if (found > 0) *length = first;
  return found;
}

bool ReplyHead::has_field(const char* name) const {
  bool found = false;
  for_each_field(text(), name, [&](const char*) { found = true; });
  return found;
}

std::int32_t clamp_to_cell(std::uint64_t n) {
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
  return static_cast<std::int32_t>(n > kMax ? kMax : n);
}

DownloadWatch::DownloadWatch(const WorkerEnv& env, platform::Socket* socket, int idle_seconds)
    : env_(env),
      socket_(socket),
      idle_(idle_seconds),
      pace_(env.pace),
      start_(Clock::now()),
      last_data_(start_),
      window_start_(start_) {}

DownloadWatch::Wait DownloadWatch::wait(bool for_writing) {
  using std::chrono::milliseconds;
  char line[160];
  for (;;) {
    if (env_.cancelled()) return Wait::cancelled;
    const Clock::time_point now = Clock::now();
    if (now - last_data_ >= idle_) return Wait::idle;
    if (now - window_start_ >= pace_.window) {
      if (window_bytes_ < pace_.window_min) {
        std::snprintf(line, sizeof line,
                      "ERROR download too slow: %lld bytes in %g s, at least %lld needed\r\n",
                      static_cast<long long>(window_bytes_), pace_.window.count() / 1000.0,
                      static_cast<long long>(pace_.window_min));
        slow_ = line;
        return Wait::slow;
      }
      window_start_ = now;
      window_bytes_ = 0;
    }
    // The floor: past the grace, `floor` bytes for every second since the grace ended.
    Clock::time_point floor_end = Clock::time_point::max();
    if (pace_.floor > 0) {
      const auto past = std::chrono::duration_cast<milliseconds>(now - start_ - pace_.grace);
      const std::int64_t needed = pace_.floor * past.count() / 1000;
      if (total_bytes_ < needed) {
        std::snprintf(line, sizeof line,
                      "ERROR download too slow: %lld bytes in %.1f s, at least %lld needed "
                      "(%lld a second after the first %g s)\r\n",
                      static_cast<long long>(total_bytes_),
                      std::chrono::duration<double>(now - start_).count(),
                      static_cast<long long>(needed), static_cast<long long>(pace_.floor),
                      pace_.grace.count() / 1000.0);
        slow_ = line;
        return Wait::slow;
      }
      floor_end = start_ + pace_.grace + milliseconds(total_bytes_ * 1000 / pace_.floor);
    }
    const auto left =
        std::min({last_data_ + idle_, window_start_ + pace_.window, floor_end}) - now;
    const auto slice = std::min<std::int64_t>(
        kWaitSliceMs, std::chrono::duration_cast<milliseconds>(left).count() + 1);
    bool ready = false;
    if (socket_->wait(for_writing, static_cast<int>(slice), &ready) != 0) return Wait::failed;
    if (ready) return Wait::ready;
  }
}

void DownloadWatch::count(std::uint64_t n) {
  if (n == 0) return;
  last_data_ = Clock::now();
  window_bytes_ += static_cast<std::int64_t>(n);
  total_bytes_ += static_cast<std::int64_t>(n);
}

std::string DownloadWatch::reason(Wait why) const {
  if (why == Wait::slow) return slow_;
  char line[80];
  std::snprintf(line, sizeof line, "ERROR nothing from the server for %lld s\r\n",
                static_cast<long long>(idle_.count()));
  return line;
}

int connect_watched(const WorkerEnv& env, platform::Socket* socket, std::uint32_t address,
                    int port, int idle_seconds) {
  int error = socket->set_nonblocking(true);
  if (error != 0) return error;
  error = socket->connect(address, port);
  if (error == EINPROGRESS) {
    DownloadWatch watch(env, socket, idle_seconds);
    switch (watch.wait(/*for_writing=*/true)) {
      case DownloadWatch::Wait::ready: error = socket->connect_result(); break;
      case DownloadWatch::Wait::cancelled: error = ECANCELED; break;
      case DownloadWatch::Wait::failed: error = EIO; break;
      default: error = ETIMEDOUT; break;
    }
  }
  const int blocking = socket->set_nonblocking(false);
  return error != 0 ? error : blocking;
}

}  // namespace updater
