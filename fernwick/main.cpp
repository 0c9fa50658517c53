// fernwick: the window that keeps the licence databases current. Its data folder is the current
// directory when it holds call.db, else the lookup program's (the build's, under the user's home
// unless absolute), made by the first start when it is missing; the servers and the folder
// standing for drive A: are the build's. Each can be named on the command line instead (a local
// update server, a test CA...).

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cstdio>
#include <cstdlib>

#include "updater/updater_state.h"
#include "fernwick/window.h"
#include "fernwick/window_boxes.h"
#include "fcc/fcc_update.h"

#ifndef ORBISK_DATA_FOLDER
#define ORBISK_DATA_FOLDER "vantry/calldb"
#endif

namespace {

// Started from the desktop's menu, the current directory is the home folder, which holds no
// data: when the current directory has no call.db, the build's folder is used, even before it
// exists (the first start offers to make it and fill it). "" stands for the current directory.
std::string default_folder() {
  if (QFileInfo::exists(QStringLiteral("call.db"))) return {};
  return QDir::home().filePath(QString::fromUtf8(ORBISK_DATA_FOLDER)).toStdString();
}

// Takes the value of `option` as a server address; exits with a usage message when it is not one.
void server_option(const QCommandLineParser& parser, const QString& option, int default_port,
                   updater::ServerAddress* server) {
  if (!parser.isSet(option)) return;
  if (updater::parse_server(parser.value(option).toStdString(), default_port, server) != 0) {
    std::fprintf(stderr, "fernwick: --%s must be HOST or HOST:PORT\n",
                 option.toLocal8Bit().constData());
    std::exit(2);
  }
}

// Reads the command line into `settings` before any window system is touched, so that the
// help and a usage error reach the terminal without a display. Exits after the help (0) or a
// usage error (2).
void read_command_line(int argc, char** argv, fernwick::WindowSettings* settings) {
  QCoreApplication core(argc, argv);
  QCommandLineParser parser;
  parser.setApplicationDescription("Keeps the US and Canadian licence databases current.");
  parser.addHelpOption();
  parser.addPositionalArgument("folder",
                               "The data folder (default: the current directory when it holds "
                               "call.db, else the build's)",
                               "[FOLDER]");
  parser.addOption({"fcc-server",
                    "The FCC's server, the US source unless --update-server is given, HTTPS "
                    "(default: the build's).",
                    "HOST[:PORT]"});
  parser.addOption({"update-server",
                    "Take the US updates from this club's update server instead of the FCC.",
                    "HOST[:PORT]"});
  parser.addOption({"canada-server", "The Canadian data server, HTTPS (default: the build's).",
                    "HOST[:PORT]"});
  parser.addOption({"ca-file",
                    "PEM certificates to trust beside the system's (the FCC's and the Canadian "
                    "server).",
                    "FILE"});
  parser.addOption({"floppy-folder", "The folder standing for drive A: (default: the build's).",
                    "DIR"});
  if (!parser.parse(core.arguments())) {
    std::fprintf(stderr, "fernwick: %s\n%s", parser.errorText().toLocal8Bit().constData(),
                 parser.helpText().toLocal8Bit().constData());
    std::exit(2);
  }
  if (parser.isSet("help") || parser.isSet("help-all")) parser.showHelp(0);
  if (parser.isSet("update-server") && parser.isSet("fcc-server")) {
    std::fprintf(stderr, "fernwick: --update-server and --fcc-server name two US sources; "
                         "give one\n");
    std::exit(2);
  }
  server_option(parser, "update-server", 80, &settings->server);
  server_option(parser, "fcc-server", 443, &settings->fcc_server);
  if (parser.isSet("update-server")) settings->use_fcc = false;
  if (parser.isSet("fcc-server")) settings->fcc_origin = "--fcc-server";
  server_option(parser, "canada-server", 443, &settings->canada_server);
  if (parser.isSet("ca-file")) settings->ca_file = parser.value("ca-file").toStdString();
  if (parser.isSet("floppy-folder")) {
    settings->floppy_folder = parser.value("floppy-folder").toStdString();
  }
  settings->folder = parser.positionalArguments().isEmpty()
                         ? default_folder()
                         : parser.positionalArguments().first().toStdString();
}

}  // namespace

int main(int argc, char** argv) {
  fernwick::WindowSettings settings;
  settings.server = updater::default_update_server();
  settings.floppy_folder = updater::default_floppy_folder();
  settings.canada_server = updater::default_canada_server();
  settings.zlib_library = platform::zlib_library_name();
  settings.use_fcc = true;  // the build's US source
  settings.fcc_server = calldb::default_fcc_server();
  settings.fcc_origin = "the build's default";
  read_command_line(argc, argv, &settings);

  QApplication app(argc, argv);
  fernwick::QtMessageBoxes boxes;
  fernwick::DesktopHelpOpener help;
  settings.boxes = &boxes;
  settings.help = &help;
  fernwick::Window window(std::move(settings));
  window.show();
  window.start();
  return app.exec();
}
