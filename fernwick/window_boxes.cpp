#include "fernwick/window_boxes.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>
#include <QThread>
#include <QWindow>

namespace fernwick {

namespace {

// Box texts part their lines with a lone "\r"; a label breaks lines at "\n" only.
QString displayed(const QString& text) {
  QString lines = text;
  lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  lines.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return lines;
}

// Room a title bar takes beside its text: the window's icon and its buttons.
constexpr int kTitleBarExtras = 120;
// How long a box waits for its window to reach the screen (at start-up) before it is placed.
constexpr int kWaitForWindowMs = 2000;

// The caption often holds the message itself ("could not connect to update server"): the box
// is made wide enough for its title bar to show all of it, in a title bar's bold type.
void fit_to_caption(QMessageBox& box) {
  QFont title = box.font();
  title.setBold(true);
  const int wanted = QFontMetrics(title).horizontalAdvance(box.windowTitle()) + kTitleBarExtras;
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
    grid->addItem(new QSpacerItem(wanted, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                  grid->rowCount(), 0, 1, grid->columnCount());
  }
}

// The box centres itself on its parent's window when it is shown; a window shown just now (a
// box at start-up) may not be on the screen yet, so its place is awaited first.
void wait_for_window(QWidget* parent) {
  if (parent == nullptr) return;
  QWidget* window = parent->window();
  QElapsedTimer waited;
  waited.start();
  while (window->isVisible() && window->windowHandle() != nullptr &&
         !window->windowHandle()->isExposed() && waited.elapsed() < kWaitForWindowMs) {
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    QThread::msleep(5);
  }
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
  fit_to_caption(box);
  wait_for_window(parent);
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
