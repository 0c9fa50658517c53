#include "widgets/message_box.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGridLayout>
#include <QSpacerItem>
#include <QThread>
#include <QWindow>

namespace widgets {

namespace {

// Room a title bar takes beside its text: the window's icon and its buttons.
constexpr int kTitleBarExtras = 120;
// How long a box waits for its window to reach the screen (at start-up) before it is placed.
constexpr int kWaitForWindowMs = 2000;

// Wide enough for the title bar to show the whole caption, in a title bar's bold type.
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

QString box_lines(const QString& text) {
  QString lines = text;
  lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  lines.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return lines;
}

int exec_box(QMessageBox::Icon icon, const QString& caption, const QString& text,
             QMessageBox::StandardButtons buttons, QWidget* parent) {
  QMessageBox box(icon, caption, box_lines(text), buttons, parent);
  box.setTextFormat(Qt::PlainText);
  fit_to_caption(box);
  wait_for_window(parent);
  return box.exec();
}

}  // namespace widgets
