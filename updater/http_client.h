// The updater's download client: fetches one file from the update server's "/db-files" folder
// over plain HTTP/1.1 into the data folder, showing progress in a status grid row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "updater/updater_state.h"

namespace updater {

// The server folder the update files live in.
inline constexpr const char* kDbFilesPath = "/db-files";
// Bytes asked for by each receive; also the most a response head may take.
inline constexpr std::size_t kReceiveBufferSize = 4096;
// The most a request may take, its final blank line and terminator included.
inline constexpr std::size_t kRequestBufferSize = 260;
// A server that sends nothing for this long ends the download (the connect included).
inline constexpr int kReceiveTimeoutSeconds = 60;
// The largest an update file can be: its header, a text area that 26-bit offsets reach and
// 16,384 index entries of 12 bytes. A longer announced body is refused.
inline constexpr std::int32_t kMaxUpdateFileSize = 12 + (1 << 26) + 16384 * 12;

// Opens `socket` and connects it to env.server. On failure tells the user in a message box
// (unless the window is closing; a refused connection names the host, the port and the
// server's origin), leaves the socket closed and returns -1; returns 0 once connected.
int connect_server(WorkerEnv& env, platform::Socket* socket);

// Downloads `name` into env.path(name), showing the content length and the bytes received so
// far in `row`'s total and bytes cells. Returns 0 once the file is complete on disk; otherwise
// -1, and nothing is left of it.
//
// The body goes to a temporary file of this download's own (platform::NewFile), which env.state's
// partial download names while it is written. Reading stops at the announced Content-Length;
// a reply with a Transfer-Encoding, or whose length is more than an update file can be, is
// refused. Only a whole body takes the file's name, and never from a file that has come there
// meanwhile (a copy from the floppy folder): that one is kept, and the call succeeds. The
// download ends when env.cancelled() turns true, when the server sends nothing for
// kReceiveTimeoutSeconds, or when it sends too slowly (see DownloadWatch).
int http_get(WorkerEnv& env, const char* name, int row);

// Fetches the start of the small file `name` (its first `max` bytes at most) from the update
// server's "/db-files" folder into *text, quietly: no cells, no log lines (connect_server's
// boxes aside). Returns 1 with *text set when the server sent the file (200, with a
// Content-Length), 0 when it answered with another status, -1 when no whole answer came.
int http_get_text(WorkerEnv& env, const char* name, std::size_t max, std::string* text);

// Replaces kReceiveTimeoutSeconds for the downloads that follow (tests use short stalls).
// A value <= 0 restores the default.
void set_receive_timeout_for_tests(int seconds);

}  // namespace updater
