// orbisk: the callsign lookup window. Built twice from this file: `orbisk`, the full edition,
// and `orbisk-us`, the US-only edition (ORBISK_US_ONLY=1).

#include <QApplication>
#include <QDir>

#include "lookup/edition.h"
#include "lookup/help_opener.h"
#include "lookup/main_window.h"
#include "lookup/message_boxes.h"

#ifndef ORBISK_DATA_FOLDER
#define ORBISK_DATA_FOLDER "vantry/calldb"
#endif

namespace {

// The build's data folder, under the user's home unless it is absolute. The US-only edition
// keeps the current directory.
QString data_folder() {
  if (lookup::kUsOnly) return QString();
  return QDir::home().filePath(QString::fromUtf8(ORBISK_DATA_FOLDER));
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  lookup::QtMessageBoxes boxes;
  lookup::DesktopHelpOpener help;
  lookup::MainWindow window(boxes, help, data_folder());
  window.show();
  window.start();
  return app.exec();
}
