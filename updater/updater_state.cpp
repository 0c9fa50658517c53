#include "updater/updater_state.h"

#include <cstdio>
#include <cstdlib>

namespace updater {

#ifndef FERNWICK_UPDATE_SERVER
#define FERNWICK_UPDATE_SERVER "localhost:8080"
#endif
#ifndef FERNWICK_CANADA_SERVER
#define FERNWICK_CANADA_SERVER "apc-cap.ic.gc.ca"
#endif
#ifndef FERNWICK_FLOPPY_FOLDER
#define FERNWICK_FLOPPY_FOLDER "/media/floppy"
#endif

const char* const StatusWords[kStatusWordCount] = {
    "needed", "downloading", "downloaded", "updating", "done", "ERROR", "Not avail", "inflating"};

void show_number(WorkerLink& link, ValueCell cell, std::int32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%d", value);
  link.set_value_cell(cell, text);
}

void show_number(WorkerLink& link, int row, RowCell cell, std::int32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%d", value);
  link.set_row_cell(row, cell, text);
}

void UpdaterState::set_partial_download(const std::string& path) {
  std::lock_guard<std::mutex> lock(partial_mutex_);
  partial_download_ = path;
}

std::string UpdaterState::partial_download() const {
  std::lock_guard<std::mutex> lock(partial_mutex_);
  return partial_download_;
}

int parse_server(const std::string& text, int default_port, ServerAddress* server) {
  std::string host = text;
  int port = default_port;
  const std::size_t colon = text.rfind(':');
  if (colon != std::string::npos) {
    host = text.substr(0, colon);
    const std::string digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
      return -1;
    }
    port = std::atoi(digits.c_str());
    if (port < 1 || port > 65535) return -1;
  }
  if (host.empty()) return -1;
  server->host = host;
  server->port = port;
  return 0;
}

ServerAddress default_update_server() {
  ServerAddress server;
  parse_server(FERNWICK_UPDATE_SERVER, 80, &server);
  return server;
}

std::string default_floppy_folder() { return FERNWICK_FLOPPY_FOLDER; }

ServerAddress default_canada_server() {
  ServerAddress server;
  parse_server(FERNWICK_CANADA_SERVER, 443, &server);
  return server;
}

void set_row_state(WorkerEnv& env, int row, std::int32_t state) {
  env.state->update_rows[row].row_state = state;
  const char* word = state >= 0 && state < kStatusWordCount ? StatusWords[state] : "";
  env.link->set_row_cell(row, RowCell::status, word);
}

}  // namespace updater
