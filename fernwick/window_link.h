// The workers' link to the window, synchronous like a sent window message: each call is carried
// out on the window's thread while the worker waits (a blocking queued call; a direct call when
// the caller already is the window's thread). Once the window closes, calls are answered on the
// worker's own thread without touching the window: log and cell texts are dropped, a box gets
// the answer that gives up (No, Cancel, OK). The window processes events while it waits for the
// workers, so a call already on its way is carried out too. Log and box texts are shown with
// their control characters escaped (updater::escape_controls).
#pragma once

#include <utility>

#include "updater/worker_link.h"

namespace fernwick {

class Window;

class WindowLink final : public updater::WorkerLink {
 public:
  explicit WindowLink(Window& window) : window_(window) {}

  void log_text(std::string_view text) override;
  void set_value_cell(updater::ValueCell cell, std::string_view text) override;
  void set_row_cell(int row, updater::RowCell cell, std::string_view text) override;
  updater::Answer message_box(std::string_view text, std::string_view caption,
                              updater::Buttons buttons, updater::Icon icon) override;
  void finished(int message, std::int32_t wparam, std::int32_t lparam) override;

  // The answer a box gets when nobody is there to choose.
  static updater::Answer giving_up(updater::Buttons buttons);

 private:
  // Runs `call` on the window's thread and waits for it. False when the window is closing and
  // the call was not made.
  template <typename Call>
  bool on_window(Call&& call);

  Window& window_;
};

}  // namespace fernwick
