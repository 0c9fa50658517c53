// orbisk: the callsign lookup window. Built twice from this file: `orbisk`, the full edition,
// and `orbisk-us`, the US-only edition (ORBISK_US_ONLY=1).

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>

#include <cstdio>
#include <cstdlib>

#include "orbisk/edition.h"
#include "orbisk/help_opener.h"
#include "orbisk/main_window.h"
#include "orbisk/message_boxes.h"

#ifndef ORBISK_DATA_FOLDER
#define ORBISK_DATA_FOLDER "vantry/calldb"
#endif

namespace {

// The data folder: the one named on the command line, else the build's, under the user's home
// unless it is absolute. The US-only edition has no folder of its own: without a folder named,
// it works in the current directory.
QString data_folder(const QStringList& arguments) {
  if (!arguments.isEmpty()) return QDir(arguments.first()).absolutePath();
  if (lookup::kUsOnly) return QString();
  return QDir::home().filePath(QString::fromUtf8(ORBISK_DATA_FOLDER));
}

// Reads the command line before any window system is touched, so that the help and a usage
// error reach the terminal without a display. Exits after the help (0) or a usage error (2).
QStringList folder_argument(int argc, char** argv) {
  QCoreApplication core(argc, argv);
  QCommandLineParser parser;
  if (lookup::kUsOnly) {
    parser.setApplicationDescription("Looks callsigns up in the US licence database "
                                     "(US-only edition: no Canadian or previous callsigns).");
    parser.addPositionalArgument(
        "folder", "The folder holding call.db (default: the current directory)", "[FOLDER]");
  } else {
    parser.setApplicationDescription(
        "Looks callsigns up in the US and Canadian licence databases.");
    parser.addPositionalArgument("folder", "The data folder (default: the build's)", "[FOLDER]");
  }
  parser.addHelpOption();
  if (!parser.parse(core.arguments())) {
    std::fprintf(stderr, "%s: %s\n%s", argv[0], parser.errorText().toLocal8Bit().constData(),
                 parser.helpText().toLocal8Bit().constData());
    std::exit(2);
  }
  if (parser.isSet("help") || parser.isSet("help-all")) parser.showHelp(0);
  return parser.positionalArguments();
}

}  // namespace

int main(int argc, char** argv) {
  const QStringList folder = folder_argument(argc, argv);
  QApplication app(argc, argv);
  lookup::QtMessageBoxes boxes;
  lookup::DesktopHelpOpener help;
  // A folder named on the command line must be there; the build's may be missing, and the
  // current directory is used instead.
  lookup::MainWindow window(boxes, help, data_folder(folder), folder.isEmpty());
  window.show();
  window.start();
  return app.exec();
}
