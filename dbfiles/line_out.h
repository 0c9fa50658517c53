// Writing a display line into a fixed buffer the way snprintf does (what does not fit is cut
// off and a zero byte always ends the text), without parsing a format each time: a search
// writes a line for each of thousands of licences.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace dbfiles {

class LineOut {
 public:
  // `size` counts the terminator and is at least 1.
  LineOut(char* buffer, std::size_t size)
      : begin_(buffer), at_(buffer), end_(buffer + size - 1) {
    *at_ = '\0';
  }

  LineOut& text(const char* s, std::size_t n) {
    const std::size_t room = static_cast<std::size_t>(end_ - at_);
    if (n > room) n = room;
    std::memcpy(at_, s, n);
    at_ += n;
    *at_ = '\0';
    return *this;
  }
  LineOut& text(const char* s) { return text(s, std::strlen(s)); }

  // `s` padded with blanks on the right to `width` characters ("%-*s").
  LineOut& padded(const char* s, std::size_t width) {
    const std::size_t n = std::strlen(s);
    text(s, n);
    for (std::size_t k = n; k < width; ++k) text(" ", 1);
    return *this;
  }

  // A decimal number of at least `digits` digits, with leading zeros ("%0*u").
  LineOut& number(std::uint32_t value, int digits = 1) {
    char held[10];
    int n = 0;
    do {
      held[sizeof held - ++n] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    for (; n < digits && n < static_cast<int>(sizeof held); ++n) held[sizeof held - 1 - n] = '0';
    return text(held + sizeof held - n, static_cast<std::size_t>(n));
  }

  // A signed decimal number ("%d").
  LineOut& signed_number(std::int32_t value) {
    if (value < 0) text("-", 1);
    return number(value < 0 ? 0u - static_cast<std::uint32_t>(value)
                            : static_cast<std::uint32_t>(value));
  }

  // Characters written, without the terminator.
  std::size_t size() const { return static_cast<std::size_t>(at_ - begin_); }

 private:
  char* begin_;
  char* at_;
  char* end_;
};

}  // namespace dbfiles
