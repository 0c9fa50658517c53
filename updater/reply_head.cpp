#include "updater/reply_head.h"

#include <cstdio>
#include <cstring>
#include <limits>

namespace updater {

namespace {

constexpr int kHeadEndRun = 4;

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

std::int32_t clamp_to_cell(std::uint64_t n) {
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
  return static_cast<std::int32_t>(n > kMax ? kMax : n);
}

}  // namespace updater
