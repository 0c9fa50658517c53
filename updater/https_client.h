// The updater's HTTPS client: fetches the Canadian licence list from the licensing authority's
// data server over TLS, checking the server's certificate and name, into the data folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "updater/updater_state.h"

namespace updater {

// The server folder the licence list lives in.
inline constexpr const char* kDataFilesPath = "/datafiles";
// Bytes asked for by each read; also the most a reply head may take.
inline constexpr std::size_t kTlsBufferSize = 8192;
// A server that sends nothing for this long ends the download (the handshake included).
inline constexpr int kTlsReceiveTimeoutSeconds = 60;
// The most the licence list's archive may be (the list itself is about 20 MB before
// compression). A longer body is refused.
inline constexpr std::int32_t kMaxListArchiveSize = 64 * 1024 * 1024;

// Downloads update_rows[row].name from env.canada_server's "/datafiles" folder into
// env.path(name), showing the content length and the bytes received so far in `row`'s total and
// bytes cells. The server must present a certificate for its host name (or address) that the
// system's trust store or env.ca_file vouches for.
//
// The body goes to a temporary file of this download's own (platform::NewFile), which
// env.state's partial download names while it is written; only a whole body replaces
// env.path(name). A body is whole when it has the announced Content-Length (reading stops
// there), or, without one, when the server ends the TLS stream properly. A reply other than
// 200, with a Transfer-Encoding, or longer than kMaxListArchiveSize is refused. The download
// ends when env.cancelled() turns true, when the server sends nothing for
// kTlsReceiveTimeoutSeconds, or when it sends too slowly (see DownloadWatch).
//
// Returns 0 once the file is in place; otherwise -1, with the reason in the log (a failed
// connection names the host, the port and the server's origin), and any earlier file of that
// name untouched.
// REQUIRES: 0 <= row <= kCanadaRow (the Canadian run's own row).
int https_get(WorkerEnv& env, int row);

// One file fetched over HTTPS the way https_get fetches the licence list, from any path of any
// server, into any file, with a size limit of its own.
struct HttpsDownload {
  ServerAddress server;
  std::string path;    // on the server, "/datafiles/amateur.zip"; its last part names the file
                       // in the log
  std::string target;  // the whole body replaces this file
  std::int64_t max_size = kMaxListArchiveSize;  // a longer body is refused
  int row = kCanadaRow;  // whose bytes and total cells show the progress
  int status = 0;        // set to the reply's status code (0 when no reply head came)
};

// Downloads as https_get does. Returns 0 once download->target is in place; otherwise -1 with
// the reason in the log, and any earlier target untouched.
int https_download(WorkerEnv& env, HttpsDownload* download);

// Replaces kTlsReceiveTimeoutSeconds for the downloads that follow (tests use short stalls).
// A value <= 0 restores the default.
void set_tls_receive_timeout_for_tests(int seconds);

}  // namespace updater
