// Help › About: a small box with a dialog frame and no caption, with the program's name and an
// OK button.
#pragma once

#include <QDialog>

namespace lookup {

class AboutBox : public QDialog {
  Q_OBJECT
 public:
  // Placed at (20, 20) dialog units from the top left corner of `client`, the main window's
  // client area.
  AboutBox(QWidget* parent, const QWidget* client);
};

}  // namespace lookup
