#include "updater/canupdate.h"

#include <cstdio>
#include <cstring>

#include "updater/convert_canada.h"
#include "updater/folder_job.h"
#include "updater/https_client.h"
#include "updater/unzip.h"

namespace updater {

namespace {

// The run's link: its own row, kCanadaRow, shows in the grid's first row; everything else goes
// through as it is.
class CanadaRowLink final : public WorkerLink {
 public:
  explicit CanadaRowLink(WorkerLink& link) : link_(link) {}
  void log_text(std::string_view text) override { link_.log_text(text); }
  void set_value_cell(ValueCell cell, std::string_view text) override {
    link_.set_value_cell(cell, text);
  }
  void set_row_cell(int row, RowCell cell, std::string_view text) override {
    link_.set_row_cell(row == kCanadaRow ? kCanadaGridRow : row, cell, text);
  }
  Answer message_box(std::string_view text, std::string_view caption, Buttons buttons,
                     Icon icon) override {
    return link_.message_box(text, caption, buttons, icon);
  }
  void finished(int message, std::int32_t wparam, std::int32_t lparam) override {
    link_.finished(message, wparam, lparam);
  }

 private:
  WorkerLink& link_;
};

}  // namespace

int canupdate(WorkerEnv& outer) {
  CanadaRowLink link(*outer.link);
  WorkerEnv env = outer;
  env.link = &link;
  const auto show_status = [&link](const char* text) {
    link.set_row_cell(kCanadaRow, RowCell::status, text);
  };
  for (int row = 0; row < kRowCount; ++row) {
    if (row == kCanadaGridRow) continue;
    link.set_row_cell(row, RowCell::status, "");
    link.set_row_cell(row, RowCell::bytes, "");
    link.set_row_cell(row, RowCell::total, "");
  }
  // The run's own row: the US rows, whose files "Copy to A:" copies, keep their names.
  UpdateRow& own = env.state->update_rows[kCanadaRow];
  own = UpdateRow{};
  std::snprintf(own.name, sizeof own.name, "%s", kCanadaZipName);
  link.set_row_cell(kCanadaRow, RowCell::name, own.name);
  show_status("downloading");

  int result = -1;
  platform::FolderLock lock;
  if (begin_folder_job(env, &lock) != 0) {
    show_status("ERROR");
  } else if (https_get(env, kCanadaRow) < 0) {
    set_row_state(env, kCanadaRow, kNotAvail);
  } else {
    show_status("unzip'ing");
    const int unzipped = unzip(env, kCanadaZipName);
    if (unzipped != 0) {
      char line[64];
      std::snprintf(line, sizeof line, "unzip(%s)=%d\r\n", kCanadaZipName, unzipped);
      link.log_text(line);
      show_status("ERROR");
    } else {
      show_status("processing");
      result = convert_canadian_list(env) == 0 ? 0 : -1;
      // A conversion that wrote nothing has said why in the log.
      show_status(result == 0 ? "done" : "ERROR");
    }
  }
  lock.unlock();  // before the window hears that the run is over
  link.finished(UM_CANADA_DONE, 0, 0);
  return result;
}

}  // namespace updater
