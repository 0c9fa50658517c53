// The updater's workers on a console: log texts go to standard output with "\r\n" turned into
// "\n", cell changes are not shown, message boxes are printed on standard error as
// "CAPTION: TEXT" and answered OK, No or Cancel, as nobody is there to choose. Control
// characters other than line ends are shown escaped (updater::escape_controls).
#pragma once

#include "updater/worker_link.h"

namespace calldb {

class ConsoleLink : public updater::WorkerLink {
 public:
  void log_text(std::string_view text) override;
  void set_value_cell(updater::ValueCell, std::string_view) override {}
  void set_row_cell(int, updater::RowCell, std::string_view) override {}
  updater::Answer message_box(std::string_view text, std::string_view caption,
                              updater::Buttons buttons, updater::Icon icon) override;
  void finished(int, std::int32_t, std::int32_t) override {}
};

}  // namespace calldb
