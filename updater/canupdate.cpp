#include "updater/canupdate.h"

#include <cstdio>
#include <cstring>

#include "updater/convert_canada.h"
#include "updater/https_client.h"
#include "updater/unzip.h"

namespace updater {

namespace {

void show_status(WorkerEnv& env, const char* text) {
  env.link->set_row_cell(0, RowCell::status, text);
}

}  // namespace

int canupdate(WorkerEnv& env) {
  WorkerLink& link = *env.link;
  for (int row = 1; row < kRowCount; ++row) {
    link.set_row_cell(row, RowCell::status, "");
    link.set_row_cell(row, RowCell::bytes, "");
    link.set_row_cell(row, RowCell::total, "");
  }
  UpdateRow& first = env.state->update_rows[0];
  std::snprintf(first.name, sizeof first.name, "%s", kCanadaZipName);
  link.set_row_cell(0, RowCell::name, first.name);
  show_status(env, "downloading");

  int result = -1;
  if (https_get(env, 0) < 0) {
    set_row_state(env, 0, kNotAvail);
  } else {
    show_status(env, "unzip'ing");
    const int unzipped = unzip(env, kCanadaZipName);
    if (unzipped != 0) {
      char line[64];
      std::snprintf(line, sizeof line, "unzip(%s)=%d\r\n", kCanadaZipName, unzipped);
      link.log_text(line);
      show_status(env, "ERROR");
    } else {
      show_status(env, "processing");
      result = convert_canadian_list(env) == 0 ? 0 : -1;
      // A conversion that wrote nothing has said why in the log.
      show_status(env, result == 0 ? "done" : "ERROR");
    }
  }
  link.finished(UM_CANADA_DONE, 0, 0);
  return result;
}

}  // namespace updater
