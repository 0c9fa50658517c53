#include "fernwick/window_boxes.h"

#include <QMessageBox>

#include "widgets/message_box.h"

namespace fernwick {

updater::Answer QtMessageBoxes::show(QWidget* parent, const QString& text, const QString& caption,
                                     updater::Buttons buttons, updater::Icon icon) {
  QMessageBox::StandardButtons choices = QMessageBox::Ok;
  switch (buttons) {
    case updater::Buttons::ok: choices = QMessageBox::Ok; break;
    case updater::Buttons::yes_no: choices = QMessageBox::Yes | QMessageBox::No; break;
    case updater::Buttons::retry_cancel: choices = QMessageBox::Retry | QMessageBox::Cancel; break;
  }
  const QMessageBox::Icon shown =
      icon == updater::Icon::error ? QMessageBox::Critical : QMessageBox::NoIcon;
  switch (widgets::exec_box(shown, caption, text, choices, parent)) {
    case QMessageBox::Yes: return updater::Answer::yes;
    case QMessageBox::No: return updater::Answer::no;
    case QMessageBox::Retry: return updater::Answer::retry;
    case QMessageBox::Cancel: return updater::Answer::cancel;
    default: break;
  }
  // Closed without a button: what Escape would choose.
  switch (buttons) {
    case updater::Buttons::yes_no: return updater::Answer::no;
    case updater::Buttons::retry_cancel: return updater::Answer::cancel;
    default: return updater::Answer::ok;
  }
}

}  // namespace fernwick
