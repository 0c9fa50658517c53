// orbisk-screenshots SAMPLE_DIR OUT_DIR: pictures of the lookup window for the README. Opens
// the main window on a sample data folder, looks two callsigns up and saves orbisk-main.png,
// then runs a state search in the Extended Search and saves orbisk-search.png. Meant for the
// offscreen platform (QT_QPA_PLATFORM=offscreen), where nothing appears on screen.

#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

#include "orbisk/control_ids.h"
#include "orbisk/help_opener.h"
#include "orbisk/main_window.h"
#include "orbisk/message_boxes.h"

namespace {

template <class T>
T* control(QWidget* root, int id) {
  for (T* w : root->findChildren<T*>()) {
    if (lookup::control_id(w) == id) return w;
  }
  return nullptr;
}

class NoHelp final : public lookup::HelpOpener {
 public:
  void open(const QUrl&, QObject*, std::function<void(const QString&)>) override {}
};

bool save(QWidget* widget, const QString& path) {
  if (widget->grab().save(path, "PNG")) return true;
  std::fprintf(stderr, "orbisk-screenshots: cannot write %s\n", qPrintable(path));
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: orbisk-screenshots SAMPLE_DIR OUT_DIR\n");
    return 2;
  }
  const QString out_dir = QDir(QString::fromLocal8Bit(argv[2])).absolutePath();
  lookup::QtMessageBoxes boxes;
  NoHelp help;
  lookup::MainWindow window(boxes, help, QDir(QString::fromLocal8Bit(argv[1])).absolutePath());
  window.show();
  window.start();

  auto* callsign = control<QLineEdit>(&window, lookup::kIdCallsign);
  for (const char* call : {"kc4rtm", "ve3xkt"}) {
    callsign->setText(QString::fromLatin1(call).toUpper());
    window.command(lookup::kCmdSearch);
  }
  bool ok = save(&window, out_dir + "/orbisk-main.png");

  // The Extended Search is modal: once it is up, search one state, take its picture, close it.
  QTimer::singleShot(0, &window, [&] {
    QWidget* dialog = QApplication::activeModalWidget();
    if (dialog == nullptr) {
      ok = false;
      return;
    }
    auto* state = control<QComboBox>(dialog, lookup::kIdState);
    state->setCurrentIndex(state->findText(QStringLiteral("NY")));
    control<QPushButton>(dialog, lookup::kIdSearchButton)->click();
    QCoreApplication::processEvents();  // lay the lines out (and the scroll bar) before the picture
    ok = save(dialog, out_dir + "/orbisk-search.png") && ok;
    control<QPushButton>(dialog, lookup::kIdCloseButton)->click();
  });
  window.command(lookup::kCmdExtendedSearch);
  return ok ? 0 : 1;
}
