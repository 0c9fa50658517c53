// fernwick: the window that keeps the licence databases current. Its data folder is the current
// directory it starts in; the servers and the folder standing for drive A: are the build's.

#include <QApplication>

#include "updater/updater_state.h"
#include "updater/window.h"
#include "updater/window_boxes.h"

#ifndef FERNWICK_HELP_URL
#define FERNWICK_HELP_URL "http://localhost:8080/fernwick-help.html"
#endif

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  fernwick::QtMessageBoxes boxes;
  fernwick::DesktopHelpOpener help;

  fernwick::WindowSettings settings;
  settings.server = updater::default_update_server();
  settings.floppy_folder = updater::default_floppy_folder();
  settings.canada_server = updater::default_canada_server();
  settings.zlib_library = platform::zlib_library_name();
  settings.boxes = &boxes;
  settings.help = &help;
  settings.help_url = QString::fromUtf8(FERNWICK_HELP_URL);

  fernwick::Window window(std::move(settings));
  window.show();
  window.start();
  return app.exec();
}
