#include <QCoreApplication>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>
#include <QThread>
#include <QVariant>
#include <QWindow>

#include "orbisk/control_ids.h"
#include "orbisk/help_opener.h"
#include "orbisk/message_boxes.h"

namespace lookup {

void set_control_id(QObject* control, int id) {
  control->setProperty(kControlIdProperty, id);
}

int control_id(const QObject* control) {
  const QVariant id = control->property(kControlIdProperty);
  return id.isValid() ? id.toInt() : 0;
}

namespace {

// Room a title bar takes beside its text: the window's icon and its buttons.
constexpr int kTitleBarExtras = 120;
// How long a box waits for its window to reach the screen (at start-up) before it is placed.
constexpr int kWaitForWindowMs = 2000;

void fit_to_caption(QMessageBox& box) {
  // The caption holds the message itself ("ERROR Reading Database"): the box is made wide
  // enough for its title bar to show all of it, in a title bar's bold type.
  QFont title = box.font();
  title.setBold(true);
  const int wanted = QFontMetrics(title).horizontalAdvance(box.windowTitle()) + kTitleBarExtras;
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
    grid->addItem(new QSpacerItem(wanted, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                  grid->rowCount(), 0, 1, grid->columnCount());
  }
}

// The box centres itself on its parent's window when it is shown; that window must be on the
// screen by then.
void wait_for_window(QWidget* parent) {
  if (parent == nullptr) return;
  QWidget* window = parent->window();
  // A window shown just now may not be placed yet (start-up): its place is awaited first.
  QElapsedTimer waited;
  waited.start();
  while (window->isVisible() && window->windowHandle() != nullptr &&
         !window->windowHandle()->isExposed() && waited.elapsed() < kWaitForWindowMs) {
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    QThread::msleep(5);
  }
}

}  // namespace

BoxAnswer QtMessageBoxes::show(QWidget* parent, const QString& text, const QString& caption,
                               BoxIcon icon) {
  QMessageBox::Icon qt_icon = QMessageBox::NoIcon;
  switch (icon) {
    case BoxIcon::none: qt_icon = QMessageBox::NoIcon; break;
    case BoxIcon::information: qt_icon = QMessageBox::Information; break;
    case BoxIcon::warning: qt_icon = QMessageBox::Warning; break;
    case BoxIcon::error: qt_icon = QMessageBox::Critical; break;
  }
  // Lines are parted by "\r\n" as the program writes them; a label breaks at "\n" only.
  QString lines = text;
  lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  QMessageBox box(qt_icon, caption, lines, QMessageBox::Ok, parent);
  box.setTextFormat(Qt::PlainText);  // a file or folder name is never markup
  fit_to_caption(box);
  wait_for_window(parent);
  box.exec();
  return BoxAnswer::ok;
}

bool DesktopHelpOpener::open(const QUrl& url) {
  return QDesktopServices::openUrl(url);
}

}  // namespace lookup
