// The lookup window, US-only edition: its title, controls and layout, no start-up line, its
// About box, and the Extended Search reading the index at each opening.

#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QtTest>

#include <unistd.h>

#include "tests/support/orbisk_ui_support.h"
#include "tests/test_util.h"

using namespace uitest;

class OrbiskUsWindowTest : public QObject {
  Q_OBJECT

 private slots:
  // With the current directory in a folder of all three files; none named, so it stays there.
  void init() {
    QVERIFY(write_call_db(dir->path(), {us_licence("K1ABC", "SMITH, JOHN A", "1 MAIN ST", "BOSTON", "MA", 2101),
                                        us_licence("W1AW", "HIRAM P MAXIM", "225 MAIN ST", "NEWINGTON", "CT", 6111)}) &&
            write_prev_db(dir->path()) && write_can_db(dir->path()) &&
            QDir::setCurrent(QString::fromStdString(dir->path())));
  }
  void cleanup() { dir = std::make_unique<testutil::TempDir>(); }

  void controlsAndLayout() {
    Session s;
    const QString path = QDir(QString::fromStdString(dir->path())).canonicalPath();
    QCOMPARE(QDir::currentPath(), path);
    QCOMPARE(s.window.windowTitle(), QStringLiteral("Orbisk Callsign lookup"));
    QCOMPARE(s.window.frameGeometry().size(), QSize(450, 450));
    QVERIFY(s.boxes.shown.empty());
    QCOMPARE(s.shown(), QString());  // callprev.db is not read

    const std::vector<QWidget*> c = child_widgets(s.window.centralWidget());
    const QStringList texts = {"", "Database date 11/29/2026, 2 entries in " + path,
                               "Enter Callsign and 'enter'", "", "Search", "Extended Search", "Exit", ""};
    QCOMPARE(c.size(), std::size_t{8});
    for (int i = 0; i < 8; ++i) {
      QString text;
      if (auto* label = qobject_cast<QLabel*>(c[i])) text = label->text();
      if (auto* b = qobject_cast<QPushButton*>(c[i])) text = b->text();
      QCOMPARE(text, texts[i]);
    }
    s.window.resize(700, 520);
    QApplication::processEvents();
    const int w = s.window.centralWidget()->width();
    const int h = s.window.centralWidget()->height();
    const QList<QRect> expected = {QRect(0, 0, w, h),       QRect(0, 0, w, 22),     QRect(0, 22, w, 22),
                                   QRect(0, 44, 100, 22),   QRect(100, 44, 80, 22), QRect(180, 44, 180, 22),
                                   QRect(w - 80, 44, 80, 22), QRect(0, 66, w, h - 66)};
    for (int i = 0; i < 8; ++i) QVERIFY2(c[i]->geometry() == expected[i], qPrintable(QString::number(i)));

    QStringList about;
    ModalWatch watch([&](QWidget* box) {
      for (QWidget* w : child_widgets(box)) {
        if (auto* label = qobject_cast<QLabel*>(w)) about << label->text();
      }
      QTest::keyClick(box, Qt::Key_Return);  // the default button
    });
    for (QAction* a : s.window.menuBar()->actions().front()->menu()->actions()) {
      if (a->text() == QStringLiteral("&About orbisk")) a->trigger();
    }
    QVERIFY(watch.ran());
    QCOMPARE(about, QStringList({"orbisk", "Callsign lookup program", "For amateur radio operators"}));
  }

  void extendedSearchReadsTheIndexAtEachOpening() {
    Session s;
    QString title, results;
    ModalWatch first([&](QWidget* dialog) {
      title = dialog->windowTitle();
      QTest::keyClicks(control<QLineEdit>(dialog, lookup::kIdName), QStringLiteral("hiram"));
      QTest::mouseClick(control<QPushButton>(dialog, lookup::kIdSearchButton), Qt::LeftButton);
      results = control<QPlainTextEdit>(dialog, lookup::kIdResults)->toPlainText();
      QTest::mouseClick(control<QPushButton>(dialog, lookup::kIdCloseButton), Qt::LeftButton);
    });
    QTest::mouseClick(s.button(lookup::kIdExtendedSearch), Qt::LeftButton);
    QVERIFY(first.ran());
    QCOMPARE(title, QStringLiteral("Extended Search"));
    QCOMPARE(results, QStringLiteral("W1AW   - HIRAM P MAXIM - 225 MAIN ST - NEWINGTON CT 06111\n"));

    // With the index cut short the next opening cannot read it, and says so.
    const std::string path = dir->file("call.db");
    QCOMPARE(truncate(path.c_str(), testutil::word_at(testutil::read_bytes(path), 8) + 20), 0);
    ModalWatch never([](QWidget* dialog) { dialog->close(); });
    QTest::mouseClick(s.button(lookup::kIdExtendedSearch), Qt::LeftButton);
    QVERIFY(!never.ran());
    QCOMPARE(s.boxes.lines(), QStringList({"ERROR Reading database file: call.db"}));
    QCOMPARE(s.boxes.shown[0].icon, lookup::BoxIcon::error);
    QCOMPARE(s.window.focusWidget(), s.callsign);
  }

 private:
  CurrentDirectoryGuard cwd_;
  std::unique_ptr<testutil::TempDir> dir = std::make_unique<testutil::TempDir>();
};

QTEST_MAIN(OrbiskUsWindowTest)
#include "orbisk_us_window_test.moc"
