// What the two windows' message boxes share: the caption often holds the message itself
// ("ERROR Reading Database", "could not connect to update server"), so every box is made wide
// enough for its title bar to show it whole, and it stands over its window.
#pragma once

#include <QMessageBox>
#include <QString>

namespace widgets {

// A box's text as a label shows it: lines parted by "\r\n" or a lone "\r" broken at "\n".
QString box_lines(const QString& text);

// A modal box over `parent` with `text` shown as plain text (a file name or a server's text is
// never markup), wide enough for its caption; returns the button pressed.
int exec_box(QMessageBox::Icon icon, const QString& caption, const QString& text,
             QMessageBox::StandardButtons buttons, QWidget* parent);

}  // namespace widgets
