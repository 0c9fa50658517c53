// fernwick: the window that keeps the licence databases current. Its data folder, servers and
// the folder standing for drive A: are the settings' (the settings file's, else the build's);
// each can be named on the command line instead (a local update server, a test CA...).
// A data folder that does not exist yet is made by the first start, which offers to fill it.

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

#include "fernwick/window.h"
#include "fernwick/window_boxes.h"
#include "fcc/fcc_update.h"
#include "settings/settings.h"
#include "updater/updater_state.h"

namespace {

// " (default: VALUE, ORIGIN)" for an option's help.
QString shown_default(const settings::Settings& s, settings::Key key) {
  return QString::fromStdString(" " + settings::default_note(s, key));
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

// Reads the command line over the settings into `window` before any window system is touched,
// so that the help and a usage error reach the terminal without a display. Exits after the help
// (0) or a usage error (2).
void read_command_line(int argc, char** argv, const settings::Settings& s,
                       fernwick::WindowSettings* window) {
  QCoreApplication core(argc, argv);
  QCommandLineParser parser;
  parser.setApplicationDescription(
      "Keeps the US and Canadian licence databases current.\n\n" +
      QString::fromStdString(settings::help_text(s)).trimmed());
  parser.addHelpOption();
  parser.addPositionalArgument(
      "folder", "The data folder" + shown_default(s, settings::kDataFolder), "[FOLDER]");
  parser.addOption({"fcc-server",
                    "The FCC's server, HTTPS, when the FCC is the US source" +
                        shown_default(s, settings::kFccServer) + ".",
                    "HOST[:PORT]"});
  parser.addOption({"update-server",
                    "A club's update server, the US source instead of the settings' us-source" +
                        shown_default(s, settings::kUsSource) + ".",
                    "HOST[:PORT]"});
  parser.addOption({"canada-server",
                    "The Canadian data server, HTTPS" + shown_default(s, settings::kCanadaServer) +
                        ".",
                    "HOST[:PORT]"});
  parser.addOption({"ca-file",
                    "PEM certificates to trust beside the system's (the FCC's and the Canadian "
                    "server).",
                    "FILE"});
  parser.addOption({"floppy-folder",
                    "The folder standing for drive A:" + shown_default(s, settings::kFloppyFolder) +
                        ".",
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
  if (parser.isSet("update-server")) window->use_fcc = false;
  if (parser.isSet("fcc-server")) {
    window->use_fcc = true;
    window->fcc_server.origin = "the FCC's server, --fcc-server";
  }
  server_option(parser, "update-server", 80, &window->server);
  server_option(parser, "fcc-server", 443, &window->fcc_server);
  server_option(parser, "canada-server", 443, &window->canada_server);
  if (parser.isSet("update-server")) window->server.origin = "the update server, --update-server";
  if (parser.isSet("canada-server")) {
    window->canada_server.origin = "the Canadian server, --canada-server";
  }
  if (parser.isSet("ca-file")) window->ca_file = parser.value("ca-file").toStdString();
  if (parser.isSet("floppy-folder")) {
    window->floppy_folder = parser.value("floppy-folder").toStdString();
  }
  if (!parser.positionalArguments().isEmpty()) {
    window->folder = parser.positionalArguments().first().toStdString();
  }
}

}  // namespace

int main(int argc, char** argv) {
  const settings::Settings s = settings::load();
  fernwick::WindowSettings settings;
  settings.folder = s.data_folder;
  settings.use_fcc = s.use_fcc;
  settings.server = s.update_server;
  settings.fcc_server = s.fcc_server;
  settings.floppy_folder = s.floppy_folder;
  settings.canada_server = s.canada_server;
  settings.settings_file = s.file;
  // What chose each server, as a failed connection names it; an option given says so instead.
  settings.server.origin = "the update server, " + settings::origin(s, settings::kUsSource);
  settings.canada_server.origin =
      "the Canadian server, " + settings::origin(s, settings::kCanadaServer);
  settings.zlib_library = platform::zlib_library_name();
  settings.fcc_server.origin = "the FCC's server, " + settings::origin(s, settings::kFccServer);
  read_command_line(argc, argv, s, &settings);

  QApplication app(argc, argv);
  fernwick::QtMessageBoxes boxes;
  fernwick::DesktopHelpOpener help;
  settings.boxes = &boxes;
  settings.help = &help;
  fernwick::Window window(std::move(settings));
  window.show();
  // A damaged settings file is ignored; the log says so, and what to do about it.
  if (!s.problem.empty()) window.append_log(s.problem + "\r\n\r\n");
  window.start();
  return app.exec();
}
