// Progress of a long command on standard error, shown only when standard error is a terminal:
// one line rewritten in place ("WHAT: DONE of TOTAL"), ended when the work ends. Quiet when
// standard error is a file or a pipe, so scripts and logs see only the command's own output.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace calldb {

class Progress {
 public:
  // total 0: the amount of work is not known; only the count is shown.
  explicit Progress(std::string what, std::uint64_t total = 0)
      : what_(std::move(what)), total_(total), shown_(isatty(STDERR_FILENO) == 1) {}
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  ~Progress() { finish(); }

  bool shown() const { return shown_; }

  // Records that `done` units are done; redraws at most five times a second.
  void update(std::uint64_t done) {
    done_ = done;
    if (!shown_) return;
    const auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - last_ < std::chrono::milliseconds(200)) return;
    last_ = now;
    draw();
  }

  // Starts another stage of the same command on the same line.
  void stage(std::string what, std::uint64_t total = 0) {
    finish();
    what_ = std::move(what);
    total_ = total;
    done_ = 0;
    finished_ = false;
  }

  // Ends the line (once); nothing when nothing was drawn.
  void finish() {
    if (finished_) return;
    finished_ = true;
    if (!shown_) return;
    draw();
    std::fputc('\n', stderr);
    std::fflush(stderr);
    drawn_ = false;
  }

 private:
  void draw() {
    if (total_ > 0) {
      std::fprintf(stderr, "\r%s: %llu of %llu (%d%%)\x1b[K", what_.c_str(),
                   static_cast<unsigned long long>(done_), static_cast<unsigned long long>(total_),
                   static_cast<int>(done_ * 100 / total_));
    } else {
      std::fprintf(stderr, "\r%s: %llu\x1b[K", what_.c_str(),
                   static_cast<unsigned long long>(done_));
    }
    std::fflush(stderr);
    drawn_ = true;
  }

  std::string what_;
  std::uint64_t total_;
  std::uint64_t done_ = 0;
  bool shown_;
  bool drawn_ = false;
  bool finished_ = false;
  std::chrono::steady_clock::time_point last_{};
};

}  // namespace calldb
