// The updater's HTTPS client: fetches the Canadian licence list from the licensing authority's
// data server over TLS, checking the server's certificate and name, into the data folder.
#pragma once

#include <cstddef>

#include "updater/updater_state.h"

namespace updater {

// The server folder the licence list lives in.
inline constexpr const char* kDataFilesPath = "/datafiles";
// Bytes asked for by each read; also the most a reply head may take.
inline constexpr std::size_t kTlsBufferSize = 8192;
// A server that sends nothing for this long ends the download (the handshake included).
inline constexpr int kTlsReceiveTimeoutSeconds = 60;

// Downloads update_rows[row].name from env.canada_server's "/datafiles" folder into
// env.path(name), showing the content length and the bytes received so far in `row`'s total and
// bytes cells. The server must present a certificate for its host name (or address) that the
// system's trust store or env.ca_file vouches for.
//
// The body is written to env.path(name) + ".part", which env.state's partial download names
// while it runs; only a complete body replaces env.path(name), and clears it. Returns 0 then;
// otherwise -1, with the reason in the log (or on standard output when OpenSSL cannot start or
// the host is unknown), no .part left, and any earlier file of that name untouched.
// REQUIRES: 0 <= row < kRowCount.
int https_get(WorkerEnv& env, int row);

// Replaces kTlsReceiveTimeoutSeconds for the downloads that follow (tests use short stalls).
// A value <= 0 restores the default.
void set_tls_receive_timeout_for_tests(int seconds);

}  // namespace updater
