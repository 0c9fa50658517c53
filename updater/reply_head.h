// What both download clients share: the head of an HTTP reply, collected across reads up to
// the byte that brings a run of CR and LF bytes to four, bounded by the client's buffer; and
// the watch that bounds a download in time and ends it when the window closes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "updater/updater_state.h"

namespace updater {

class ReplyHead {
 public:
  explicit ReplyHead(std::size_t capacity) : bytes_(capacity) {}

  // kBareLf: an empty line ended by an LF alone (LF LF, or LF CR LF) came before the head's
  // end; the reply is refused rather than guessed at.
  enum Feed { kMore, kDone, kTooLong, kBareLf };
  // Takes the head's bytes from the front of `data`. On kDone *used is how many were head; the
  // rest of the block is body.
  Feed feed(const char* data, std::size_t n, std::size_t* used);
  // The log line for a reply that ended before its head did.
  std::string unfinished(const std::string& host) const;

  // After kDone: the head text, ending with the first two bytes of its final run (normally one
  // CR LF), zero-terminated.
  const char* text() const { return bytes_.data(); }
  // The number after the status line's first word; 0 when there is none.
  int status() const;
  // The Content-Length field's value. Field names are read in any case of their letters, at a
  // line's start only, with or without blanks after the colon. Returns 0 when there is none,
  // 1 with *length set, -1 when a value is not a plain decimal number from 0 to 2^31-1 (blanks
  // around it allowed) or two values differ (the same value repeated is fine).
  int content_length(std::int32_t* length) const;
  // Whether a header line names the field `name`, read the same way.
  bool has_field(const char* name) const;

 private:
  std::vector<char> bytes_;
  std::size_t size_ = 0;
  int run_ = 0;         // CR and LF bytes in a row, up to the last byte taken
  char run_bytes_[4]{};  // those bytes
};

// A byte count as a cell shows it.
std::int32_t clamp_to_cell(std::uint64_t n);

// The log line for a reply that comes with a Transfer-Encoding: neither client decodes one,
// and the bytes of an encoded body are not the file.
inline constexpr char kTransferEncodingRefused[] =
    "ERROR the reply uses a Transfer-Encoding: nothing saved\r\n";

// The log line for a head whose lines end in LF alone: its end is read only as a run of four
// CR and LF bytes, and taking it otherwise could start the body in the wrong place.
inline constexpr char kBareLfHead[] =
    "ERROR the reply head's lines end in LF alone, not CR LF: nothing saved\r\n";

// Waits for the server are cut into slices this long, and the cancel flag is looked at
// between them.
inline constexpr int kWaitSliceMs = 100;

// Bounds one download in time. Every wait for the server goes through wait(), which ends when
// the socket is ready, when env.cancelled() turns true (within kWaitSliceMs), when nothing has
// come for `idle_seconds`, or when the download goes slower than env.pace allows: a stretch of
// pace.window that brought fewer than pace.window_min bytes, or, counted from the watch's
// start, fewer than pace.floor bytes for each second past pace.grace. With the defaults a
// download bounded by size S bytes ends within 60 s + S / 4 KiB/s (73 hours at the FCC
// archive's 1 GiB cap, 4.6 at amateur.zip's 64 MiB), and a server that drips a few hundred
// bytes a second is dropped after about 70 s.
class DownloadWatch {
 public:
  DownloadWatch(const WorkerEnv& env, platform::Socket* socket, int idle_seconds);

  enum class Wait { ready, cancelled, idle, slow, failed };
  Wait wait(bool for_writing);
  // Counts bytes that came from the server.
  void count(std::uint64_t n);
  // The log line for an idle or slow end.
  std::string reason(Wait why) const;

 private:
  using Clock = std::chrono::steady_clock;
  const WorkerEnv& env_;
  platform::Socket* socket_;
  std::chrono::seconds idle_;
  const DownloadPace pace_;
  Clock::time_point start_;
  Clock::time_point last_data_;
  Clock::time_point window_start_;
  std::int64_t window_bytes_ = 0;
  std::int64_t total_bytes_ = 0;
  std::string slow_;  // the log line for a slow end
};

// Connects `socket` (open) to `address` and `port` like Socket::connect, but gives up after
// `idle_seconds` (ETIMEDOUT) and as soon as env.cancelled() turns true (ECANCELED). The socket
// is left blocking. Returns 0 or the error code.
int connect_watched(const WorkerEnv& env, platform::Socket* socket, std::uint32_t address,
                    int port, int idle_seconds);

}  // namespace updater
