#include <QMessageBox>
#include <QVariant>

#include "orbisk/control_ids.h"
#include "orbisk/help_opener.h"
#include "orbisk/message_boxes.h"
#include "widgets/message_box.h"

namespace lookup {

void set_control_id(QObject* control, int id) {
  control->setProperty(kControlIdProperty, id);
}

int control_id(const QObject* control) {
  const QVariant id = control->property(kControlIdProperty);
  return id.isValid() ? id.toInt() : 0;
}

BoxAnswer QtMessageBoxes::show(QWidget* parent, const QString& text, const QString& caption,
                               BoxIcon icon) {
  QMessageBox::Icon qt_icon = QMessageBox::NoIcon;
  switch (icon) {
    case BoxIcon::none: qt_icon = QMessageBox::NoIcon; break;
    case BoxIcon::information: qt_icon = QMessageBox::Information; break;
    case BoxIcon::warning: qt_icon = QMessageBox::Warning; break;
    case BoxIcon::error: qt_icon = QMessageBox::Critical; break;
  }
  widgets::exec_box(qt_icon, caption, text, QMessageBox::Ok, parent);
  return BoxAnswer::ok;
}

}  // namespace lookup
