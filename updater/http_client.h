// The updater's download client: fetches one file from the update server's "/db-files" folder
// over plain HTTP/1.1 into the data folder, showing progress in a status grid row.
#pragma once

#include <cstddef>

#include "platform/platform.h"
#include "updater/updater_state.h"

namespace updater {

// The server folder the update files live in.
inline constexpr const char* kDbFilesPath = "/db-files";
// Bytes asked for by each receive; also the most a response head may take.
inline constexpr std::size_t kReceiveBufferSize = 4096;
// The most a request may take, its final blank line and terminator included.
inline constexpr std::size_t kRequestBufferSize = 260;
// A server that sends nothing for this long ends the download.
inline constexpr int kReceiveTimeoutSeconds = 60;

// A download is written under its name with this suffix and renamed when complete.
inline constexpr const char* kPartSuffix = ".part";

// Opens `socket` and connects it to env.server. On failure tells the user in a message box,
// leaves the socket closed and returns -1; returns 0 once connected.
int connect_server(WorkerEnv& env, platform::Socket* socket);

// Downloads `name` into env.path(name), showing the content length and the bytes received so
// far in `row`'s total and bytes cells. Returns 0 once the file is complete on disk; otherwise
// -1, and nothing is left of it. While it runs, the body is written to env.path(name) + ".part",
// which env.state's partial download names; a complete download is renamed to its own name and
// clears it.
int http_get(WorkerEnv& env, const char* name, int row);

// Replaces kReceiveTimeoutSeconds for the downloads that follow (tests use short stalls).
// A value <= 0 restores the default.
void set_receive_timeout_for_tests(int seconds);

}  // namespace updater
