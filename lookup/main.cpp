// orbisk: the callsign lookup window. Built twice from this file: `orbisk`, the full edition,
// and `orbisk-us`, the US-only edition (ORBISK_US_ONLY=1).

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>

#include "lookup/edition.h"
#include "lookup/help_opener.h"
#include "lookup/main_window.h"
#include "lookup/message_boxes.h"

#ifndef ORBISK_DATA_FOLDER
#define ORBISK_DATA_FOLDER "vantry/calldb"
#endif

namespace {

// The data folder: the one named on the command line, else the build's, under the user's home
// unless it is absolute. The US-only edition works in the current directory; a folder named on
// its command line becomes the current directory before the window opens.
QString data_folder(const QStringList& arguments) {
  if (lookup::kUsOnly) {
    if (!arguments.isEmpty()) QDir::setCurrent(arguments.first());
    return QString();
  }
  if (!arguments.isEmpty()) return QDir(arguments.first()).absolutePath();
  return QDir::home().filePath(QString::fromUtf8(ORBISK_DATA_FOLDER));
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QCommandLineParser parser;
  parser.setApplicationDescription("Looks callsigns up in the US and Canadian licence databases.");
  parser.addHelpOption();
  parser.addPositionalArgument("folder", "The data folder (default: the build's)", "[FOLDER]");
  parser.process(app);
  lookup::QtMessageBoxes boxes;
  lookup::DesktopHelpOpener help;
  lookup::MainWindow window(boxes, help, data_folder(parser.positionalArguments()));
  window.show();
  window.start();
  return app.exec();
}
