#include "fernwick/window_boxes.h"

#include <QDesktopServices>
#include <QMessageBox>

namespace fernwick {

namespace {

// Box texts part their lines with a lone "\r"; a label breaks lines at "\n" only.
QString displayed(const QString& text) {
  QString lines = text;
  lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  lines.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return lines;
}

}  // namespace

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
  QMessageBox box(shown, caption, displayed(text), choices, parent);
  box.setTextFormat(Qt::PlainText);  // a file name or a server's text is never markup
  switch (box.exec()) {
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

bool DesktopHelpOpener::open(const QUrl& url) { return QDesktopServices::openUrl(url); }

}  // namespace fernwick
