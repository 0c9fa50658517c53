// The head of an HTTP reply, as both download clients read it: collected across reads up to
// the byte that brings a run of CR and LF bytes to four, bounded by the client's buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace updater {

class ReplyHead {
 public:
  explicit ReplyHead(std::size_t capacity) : bytes_(capacity) {}

  enum Feed { kMore, kDone, kTooLong };
  // Takes the head's bytes from the front of `data`. On kDone *used is how many were head; the
  // rest of the block is body.
  Feed feed(const char* data, std::size_t n, std::size_t* used);

  // After kDone: the head text, ending with the first two bytes of its final run (normally one
  // CR LF), zero-terminated.
  const char* text() const { return bytes_.data(); }
  // The number after the status line's first word; 0 when there is none.
  int status() const;
  // Looks for "Content-length: ", then "Content-Length: " (exact case, the blank included).
  // Returns 0 when neither is there, 1 with *length set, -1 when the value is not a plain
  // decimal number from 0 to 2^31-1 (blanks around it allowed).
  int content_length(std::int32_t* length) const;

 private:
  std::vector<char> bytes_;
  std::size_t size_ = 0;
  int run_ = 0;
};

// A byte count as a cell shows it.
std::int32_t clamp_to_cell(std::uint64_t n);

}  // namespace updater
