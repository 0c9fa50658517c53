// The lookup window, US-only edition: its title and controls, call.db alone for every
// callsign, and the Extended Search reading the index at each opening.

#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

#include <unistd.h>

#include "orbisk/main_window.h"
#include "tests/support/orbisk_ui_support.h"
#include "tests/test_util.h"

using lookup::MainWindow;
using namespace uitest;

namespace {

constexpr std::uint32_t kOntario = 14;

// A folder with all three files, and the current directory in it: the US-only edition reads
// its files there.
struct Folder {
  Folder() {
    ok = write_call_db(dir.path(), {
             us_licence("K1ABC", "SMITH, JOHN A", "1 MAIN ST", "BOSTON", "MA", 2101),
             us_licence("W1AW", "HIRAM P MAXIM", "225 MAIN ST", "NEWINGTON", "CT", 6111),
         }) &&
         write_prev_db(dir.path(), {{"KB1OLD", "K1ABC"}}) &&
         write_can_db(dir.path(), {{"VE3ABC", kOntario, "MARCHBANK", "ELOISE R", "88 BYTOWN CRES",
                                    "OTTAWA", "K2P 1A4"}}) &&
         QDir::setCurrent(QString::fromStdString(dir.path()));
  }
  CurrentDirectoryGuard cwd;
  testutil::TempDir dir;
  bool ok = true;
};

class Session {
 public:
  explicit Session(const QString& data_folder = QString()) : window(boxes, help, data_folder) {
    window.show();
    window.activateWindow();
    if (!QTest::qWaitForWindowActive(&window)) qWarning("window not active");
    window.start();
    callsign = control<QLineEdit>(&window, lookup::kIdCallsign);
    output = control<QPlainTextEdit>(&window, lookup::kIdOutput);
  }
  void look_up(const char* typed) {
    QTest::keyClicks(callsign, QString::fromLatin1(typed));
    QTest::keyClick(callsign, Qt::Key_Return);
  }
  QString shown() const { return output->toPlainText(); }

  FakeMessageBoxes boxes;
  FakeHelpOpener help;
  MainWindow window;
  QLineEdit* callsign = nullptr;
  QPlainTextEdit* output = nullptr;
};

}  // namespace

class OrbiskUsWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void titleControlsAndLayout() {
    Folder folder;
    QVERIFY(folder.ok);
    // Without a folder named, the current directory stays where it was.
    Session s;
    const QString path = QDir(QString::fromStdString(folder.dir.path())).canonicalPath();
    QCOMPARE(QDir::currentPath(), path);
    QCOMPARE(s.window.windowTitle(), QStringLiteral("Orbisk Callsign lookup"));
    QCOMPARE(s.window.frameGeometry().size(), QSize(450, 450));

    const std::vector<QWidget*> c = child_widgets(s.window.centralWidget());
    QCOMPARE(c.size(), std::size_t{8});
    const QStringList texts = {"", "Database date 11/29/2026, 2 entries in " + path,
                               "Enter Callsign and 'enter'"};
    for (int i = 0; i < 3; ++i) QCOMPARE(qobject_cast<QLabel*>(c[i])->text(), texts[i]);
    QCOMPARE(c[3], static_cast<QWidget*>(s.callsign));
    QCOMPARE(qobject_cast<QPushButton*>(c[4])->text(), QStringLiteral("Search"));
    QCOMPARE(qobject_cast<QPushButton*>(c[5])->text(), QStringLiteral("Extended Search"));
    QCOMPARE(qobject_cast<QPushButton*>(c[6])->text(), QStringLiteral("Exit"));
    QCOMPARE(c[7], static_cast<QWidget*>(s.output));

    for (const QSize outer : {QSize(450, 450), QSize(700, 520)}) {
      s.window.resize(outer);
      QApplication::processEvents();
      const int w = s.window.centralWidget()->width();
      const int h = s.window.centralWidget()->height();
      const QList<QRect> expected = {QRect(0, 0, w, h),        QRect(0, 0, w, 22),
                                     QRect(0, 22, w, 22),      QRect(0, 44, 100, 22),
                                     QRect(100, 44, 80, 22),   QRect(180, 44, 180, 22),
                                     QRect(w - 80, 44, 80, 22), QRect(0, 66, w, h - 66)};
      for (int i = 0; i < 8; ++i) {
        QVERIFY2(c[i]->geometry() == expected[i], qPrintable(QString::number(i)));
      }
    }
  }

  void everyCallsignIsLookedUpInCallDbAlone() {
    Folder folder;
    QVERIFY(folder.ok);
    Session s;
    QVERIFY(s.boxes.shown.empty());
    QCOMPARE(s.shown(), QString());  // callprev.db is not read: no start-up line
    s.look_up("ve3abc");
    QCOMPARE(s.shown(), QStringLiteral("VE3ABC NOT FOUND\n\n"));
    s.look_up("kb1old");
    QCOMPARE(s.shown(), QStringLiteral("KB1OLD NOT FOUND\n\nVE3ABC NOT FOUND\n\n"));
    s.look_up("k1abc");
    QCOMPARE(s.shown(), QStringLiteral("K1ABC\nSMITH, JOHN A\n1 MAIN ST\nBOSTON MA 02101\n\n"));
  }

  void extendedSearchReadsTheIndexAtEachOpening() {
    Folder folder;
    QVERIFY(folder.ok);
    Session s;
    QString title;
    QString results;
    ModalWatch first([&](QWidget* dialog) {
      title = dialog->windowTitle();
      QTest::keyClicks(control<QLineEdit>(dialog, lookup::kIdName), QStringLiteral("hiram"));
      QTest::mouseClick(control<QPushButton>(dialog, lookup::kIdSearchButton), Qt::LeftButton);
      results = control<QPlainTextEdit>(dialog, lookup::kIdResults)->toPlainText();
      QTest::mouseClick(control<QPushButton>(dialog, lookup::kIdCloseButton), Qt::LeftButton);
    });
    QTest::mouseClick(control<QPushButton>(&s.window, lookup::kIdExtendedSearch), Qt::LeftButton);
    QVERIFY(first.ran());
    QCOMPARE(title, QStringLiteral("Extended Search"));
    QCOMPARE(results, QStringLiteral("W1AW   - HIRAM P MAXIM - 225 MAIN ST - NEWINGTON CT 06111\n"));

    // With the index cut short the next opening cannot read it, and says so.
    const std::string path = folder.dir.file("call.db");
    const std::uint32_t index_offset = testutil::word_at(testutil::read_bytes(path), 8);
    QCOMPARE(truncate(path.c_str(), index_offset + 20), 0);
    ModalWatch never([](QWidget* dialog) { dialog->close(); });
    QTest::mouseClick(control<QPushButton>(&s.window, lookup::kIdExtendedSearch), Qt::LeftButton);
    QVERIFY(!never.ran());
    QCOMPARE(s.boxes.lines(), QStringList({"ERROR Reading database file: call.db"}));
    QCOMPARE(s.boxes.shown[0].icon, lookup::BoxIcon::error);
    QCOMPARE(s.window.focusWidget(), s.callsign);
  }

  void aboutBoxNamesTheProgramHigherUp() {
    Folder folder;
    Session s;
    QAction* about = nullptr;
    for (QAction* a : s.window.menuBar()->actions().front()->menu()->actions()) {
      if (a->text() == QStringLiteral("&About orbisk")) about = a;
    }
    QVERIFY(about != nullptr);
    QStringList texts;
    QRect first;
    ModalWatch watch([&](QWidget* box) {
      const std::vector<QWidget*> c = child_widgets(box);
      first = c[0]->geometry();
      for (QWidget* w : c) {
        if (auto* label = qobject_cast<QLabel*>(w)) texts << label->text();
      }
      QTest::keyClick(box, Qt::Key_Return);  // the default button
    });
    about->trigger();
    QVERIFY(watch.ran());
    QCOMPARE(texts, QStringList({"orbisk", "Callsign lookup program", "For amateur radio operators"}));
    const QFontMetrics m(s.window.font());
    QCOMPARE(first.top(), (12 * m.height() + 4) / 8);
    QVERIFY(QApplication::activeModalWidget() == nullptr);
  }
};

QTEST_MAIN(OrbiskUsWindowTest)
#include "orbisk_us_window_test.moc"
