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
#include "settings/settings.h"

namespace {

// The data folder: the one named on the command line, else the settings' (the settings file's,
// else the build's under the user's home). The US-only edition has no folder of its own:
// without a folder named, it works in the current directory.
QString data_folder(const QStringList& arguments, const settings::Settings& settings) {
  if (!arguments.isEmpty()) return QDir(arguments.first()).absolutePath();
  if (lookup::kUsOnly) return QString();
  return QString::fromStdString(settings.data_folder);
}

// Reads the command line before any window system is touched, so that the help and a usage
// error reach the terminal without a display. Exits after the help (0) or a usage error (2).
QStringList folder_argument(int argc, char** argv, const settings::Settings& settings) {
  QCoreApplication core(argc, argv);
  QCommandLineParser parser;
  if (lookup::kUsOnly) {
    parser.setApplicationDescription("Looks callsigns up in the US licence database "
                                     "(US-only edition: no Canadian or previous callsigns).");
    parser.addPositionalArgument(
        "folder", "The folder holding call.db (default: the current directory)", "[FOLDER]");
  } else {
    const std::string values = settings::help_text(settings, {settings::kDataFolder});
    parser.setApplicationDescription(
        "Looks callsigns up in the US and Canadian licence databases.\n\n" +
        QString::fromStdString(values).trimmed());
    parser.addPositionalArgument(
        "folder",
        QString::fromStdString("The data folder " +
                               settings::default_note(settings, settings::kDataFolder)),
        "[FOLDER]");
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
  // The US-only edition reads no settings: it works where it is started, or in FOLDER.
  const settings::Settings settings =
      lookup::kUsOnly ? settings::built_in(settings::home_folder()) : settings::load();
  const QStringList folder = folder_argument(argc, argv, settings);
  QApplication app(argc, argv);
  lookup::QtMessageBoxes boxes;
  lookup::DesktopHelpOpener help;
  // A folder named on the command line or in the settings file must be there; the build's may
  // be missing, and the current directory is used instead.
  const bool fall_back = folder.isEmpty() && !settings.from_file[settings::kDataFolder];
  lookup::MainWindow window(boxes, help, data_folder(folder, settings), fall_back);
  window.show();
  // A damaged settings file is ignored, and the user told what to do about it.
  if (!settings.problem.empty()) {
    boxes.show(&window, QString::fromStdString(settings.problem),
               QStringLiteral("ERROR Reading Settings"), lookup::BoxIcon::warning);
  }
  window.start();
  return app.exec();
}
