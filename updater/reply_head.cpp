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

std::atomic<int> rate_window_seconds{kRateWindowSeconds};
std::atomic<std::int64_t> min_bytes_per_window{kMinBytesPerWindow};

bool is_line_end(char c) { return c == '\r' || c == '\n'; }

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
    run_ = is_line_end(data[i]) ? run_ + 1 : 0;
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

int ReplyHead::status() const {
  int status = 0;
  if (std::sscanf(text(), "%*s %d", &status) != 1) status = 0;
  return status;
}

int ReplyHead::content_length(std::int32_t* length) const {
  const char* field = std::strstr(text(), "Content-length: ");
  if (field == nullptr) field = std::strstr(text(), "Content-Length: ");
  if (field == nullptr) return 0;
  return parse_decimal(field + 16, length) ? 1 : -1;
}

bool ReplyHead::has_field(const char* name) const {
  const std::size_t n = std::strlen(name);
  const char* t = text();
  for (const char* p = t; *p != '\0'; ++p) {
    if (p == t || !is_line_end(p[-1]) || is_line_end(*p)) continue;
    if (::strncasecmp(p, name, n) == 0 && (p[n] == ':' || p[n] == ' ' || p[n] == '\t')) {
      return true;
    }
  }
  return false;
}

std::int32_t clamp_to_cell(std::uint64_t n) {
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
  return static_cast<std::int32_t>(n > kMax ? kMax : n);
}

void set_download_rate_for_tests(int window_seconds, std::int64_t min_bytes) {
  const bool reset = window_seconds <= 0;
  rate_window_seconds = reset ? kRateWindowSeconds : window_seconds;
  min_bytes_per_window = reset ? kMinBytesPerWindow : min_bytes;
}

DownloadWatch::DownloadWatch(const WorkerEnv& env, platform::Socket* socket, int idle_seconds)
    : env_(env),
      socket_(socket),
      idle_(idle_seconds),
      window_(rate_window_seconds.load()),
      window_min_(min_bytes_per_window.load()),
      last_data_(Clock::now()),
      window_start_(last_data_) {}

DownloadWatch::Wait DownloadWatch::wait(bool for_writing) {
  for (;;) {
    if (env_.cancelled()) return Wait::cancelled;
    const Clock::time_point now = Clock::now();
    if (now - last_data_ >= idle_) return Wait::idle;
    if (now - window_start_ >= window_) {
      if (window_bytes_ < window_min_) {
        short_window_bytes_ = window_bytes_;
        return Wait::slow;
      }
      window_start_ = now;
      window_bytes_ = 0;
    }
    const auto left = std::min(last_data_ + idle_, window_start_ + window_) - now;
    const auto slice = std::min<std::int64_t>(
        kWaitSliceMs, std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1);
    bool ready = false;
    if (socket_->wait(for_writing, static_cast<int>(slice), &ready) != 0) return Wait::failed;
    if (ready) return Wait::ready;
  }
}

void DownloadWatch::count(std::uint64_t n) {
  if (n == 0) return;
  last_data_ = Clock::now();
  window_bytes_ += static_cast<std::int64_t>(n);
}

std::string DownloadWatch::reason(Wait why) const {
  char line[160];
  if (why == Wait::slow) {
    std::snprintf(line, sizeof line,
                  "ERROR download too slow: %lld bytes in %lld s, at least %lld needed\r\n",
                  static_cast<long long>(short_window_bytes_),
                  static_cast<long long>(window_.count()), static_cast<long long>(window_min_));
  } else {
    std::snprintf(line, sizeof line, "ERROR nothing from the server for %lld s\r\n",
                  static_cast<long long>(idle_.count()));
  }
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
