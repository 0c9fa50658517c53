// The data the updater's window and its workers share: the status grid, the flags, and where
// the workers find their files and servers.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "updater/worker_link.h"

namespace updater {

struct ZlibApi;

// Row states, indexes into StatusWords.
enum RowState : std::int32_t {
  kNeeded = 0,
  kDownloading = 1,
  kDownloaded = 2,
  kUpdating = 3,
  kDone = 4,
  kError = 5,
  kNotAvail = 6,
  kInflating = 7,
};
inline constexpr int kStatusWordCount = 8;
extern const char* const StatusWords[kStatusWordCount];

struct UpdateRow {
  char name[32] = {};  // the file the row stands for, at most 31 characters
  std::int32_t row_state = kNeeded;
};

// The Canadian run's own row of update_rows, after the grid's: its file ("amateur.zip") and
// state never touch the US rows that "Copy to A:" copies. Its cells are shown in the grid's
// first row (kCanadaGridRow).
inline constexpr int kCanadaRow = kRowCount;
inline constexpr int kCanadaGridRow = 0;

// Values of cleanup_mode.
inline constexpr int kCleanUpdateFiles = 1;
inline constexpr int kCleanSavedDatabases = 2;

// Shared by the window and the workers, each field with one writer:
//   - update_rows[0 .. kRowCount-1], rows_in_use, db_complete: the US update run. The window
//     keeps "Copy to A:" (which reads the rows) from running beside it; rows_in_use and
//     db_complete are also read by the window whenever a worker ends, so they are atomic.
//   - update_rows[kCanadaRow]: the Canadian run, the only one that reads it.
//   - cleanup_mode: the window, before it starts the clean-up; zlib_ready: the window's start-up.
//   - partial_download: the download clients; also read by the window while a download runs,
//     so it has its own lock.
struct UpdaterState {
  UpdateRow update_rows[kRowCount + 1];  // the grid's rows, then kCanadaRow
  std::atomic<int> rows_in_use{0};
  std::atomic<bool> db_complete{false};
  int cleanup_mode = kCleanUpdateFiles;
  bool zlib_ready = false;

  void set_partial_download(const std::string& path);
  std::string partial_download() const;

 private:
  mutable std::mutex partial_mutex_;
  std::string partial_download_;
};

// The update server: a host name or dotted address, and a port.
struct ServerAddress {
  std::string host;
  int port = 80;
  // The server's role and what chose it, as a failed connection names them after the host and
  // port: "the Canadian server, --canada-server or the settings". "" adds nothing.
  std::string origin = {};

  // " (ORIGIN)", or "" without one.
  std::string origin_note() const { return origin.empty() ? "" : " (" + origin + ")"; }
};

// Parses "HOST" or "HOST:PORT". Returns 0, or -1 for an empty host or a bad port.
int parse_server(const std::string& text, int default_port, ServerAddress* server);

// The build-time update server ("localhost:8080" unless configured).
ServerAddress default_update_server();
// The build-time folder that stands for drive A:.
std::string default_floppy_folder();
// The build-time Canadian data server, port 443.
ServerAddress default_canada_server();

// How fast a download must go, besides bringing something every idle timeout (see
// DownloadWatch). Tests shorten the times.
struct DownloadPace {
  // Every stretch of `window` must bring at least `window_min` bytes (512 a second).
  std::chrono::milliseconds window{60'000};
  std::int64_t window_min = 30 * 1024;
  // After `grace` a download must have brought `floor` bytes for each second past it: 4 KiB/s
  // lets a 56k modem line (about 5 KiB/s) fetch the FCC's 131 MB weekly archive (in about 7
  // hours), and ends a server that drips its bytes within a few minutes.
  std::chrono::milliseconds grace{60'000};
  std::int64_t floor = 4 * 1024;
};

// What one worker works with: the link to the window, the shared state, and the folders and
// servers (set by the window or calldb; tests point them at temporary folders and 127.0.0.1).
struct WorkerEnv {
  WorkerLink* link = nullptr;
  UpdaterState* state = nullptr;
  std::string folder;         // the data folder ("" for the current folder)
  ServerAddress server;       // the update server
  std::string floppy_folder;  // stands for "A:\"
  ServerAddress canada_server;  // the Canadian data server (HTTPS)
  std::string ca_file;          // PEM certificates trusted beside the system's (tests), or ""
  // The US source: the FCC's archives from fcc_server (HTTPS) when use_fcc, else the update
  // files of `server`.
  bool use_fcc = false;
  ServerAddress fcc_server;
  std::string zlib_library;  // the name zlib is loaded by for the FCC's archives ("": the system's)
  const ZlibApi* zlib = nullptr;  // zlib's entry points, looked up at start-up
  // The local date and time; platform::local_time() unless a test sets "now".
  std::function<platform::LocalTime()> now;
  // Set by the window when it closes; long loops stop at the next check.
  const std::atomic<bool>* cancel = nullptr;
  // While another program's job writes the folder: wait for it (calldb --wait) instead of
  // failing at once.
  bool wait_for_folder = false;
  DownloadPace pace;  // for every download

  std::string path(const std::string& name) const { return platform::join_path(folder, name); }
  bool cancelled() const { return cancel != nullptr && cancel->load(); }
  platform::LocalTime local_now() const { return now ? now() : platform::local_time(); }
};

// Sets a row's state and shows its word in the row's status cell.
void set_row_state(WorkerEnv& env, int row, std::int32_t state);

}  // namespace updater
