// What the fuzz targets share: a scratch folder of their own, input written to a file in it (the
// parsers read files, as they do in the programs), and a worker link that shows nothing and
// answers every box with its safe choice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "updater/worker_link.h"

namespace fuzzing {

// The process's scratch folder, made at the first call and removed at exit.
const std::string& scratch();

// Writes `n` bytes to scratch()/name (its folders made) and returns the path.
std::string put(const std::string& name, const std::uint8_t* data, std::size_t n);

// Removes scratch()/name (nothing when it is not there).
void drop(const std::string& name);

class QuietLink final : public updater::WorkerLink {
 public:
  void log_text(std::string_view) override {}
  void set_value_cell(updater::ValueCell, std::string_view) override {}
  void set_row_cell(int, updater::RowCell, std::string_view) override {}
  updater::Answer message_box(std::string_view, std::string_view, updater::Buttons buttons,
                              updater::Icon) override {
    switch (buttons) {
      case updater::Buttons::yes_no: return updater::Answer::no;
      case updater::Buttons::retry_cancel: return updater::Answer::cancel;
      default: return updater::Answer::ok;
    }
  }
  void finished(int, std::int32_t, std::int32_t) override {}
};

}  // namespace fuzzing
