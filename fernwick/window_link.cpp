#include "fernwick/window_link.h"

#include <QMetaObject>
#include <QThread>
#include <string>

#include "fernwick/window.h"

namespace fernwick {

template <typename Call>
bool WindowLink::on_window(Call&& call) {
  if (window_.closing()) return false;
  if (QThread::currentThread() == window_.thread()) {
    const Window::CallScope scope(window_);
    call();
    return true;
  }
  bool made = false;
  // The window may have begun to close while the call was on its way; it then answers below.
  QMetaObject::invokeMethod(
      &window_,
      [this, &call, &made] {
        if (window_.closing()) return;
        const Window::CallScope scope(window_);
        call();
        made = true;
      },
      Qt::BlockingQueuedConnection);
  return made;
}

void WindowLink::log_text(std::string_view text) {
  const std::string shown = updater::escape_controls(text);
  on_window([&] { window_.append_log(shown); });
}

void WindowLink::set_value_cell(updater::ValueCell cell, std::string_view text) {
  on_window([&] { window_.set_value_cell(cell, text); });
}

void WindowLink::set_row_cell(int row, updater::RowCell cell, std::string_view text) {
  on_window([&] { window_.set_row_cell(row, cell, text); });
}

updater::Answer WindowLink::message_box(std::string_view text, std::string_view caption,
                                        updater::Buttons buttons, updater::Icon icon) {
  updater::Answer answer = giving_up(buttons);
  const std::string shown = updater::escape_controls(text, true);
  const std::string shown_caption = updater::escape_controls(caption);
  on_window([&] { answer = window_.ask(shown, shown_caption, buttons, icon); });
  return answer;
}

void WindowLink::finished(int message, std::int32_t wparam, std::int32_t lparam) {
  on_window([&] { window_.worker_finished(message, wparam, lparam); });
}

updater::Answer WindowLink::giving_up(updater::Buttons buttons) {
  switch (buttons) {
    case updater::Buttons::yes_no: return updater::Answer::no;
    case updater::Buttons::retry_cancel: return updater::Answer::cancel;
    case updater::Buttons::ok: break;
  }
  return updater::Answer::ok;
}

}  // namespace fernwick
