// The lookup window, full edition: start-up, the Search command and its output box, the
// keyboard ring, the Help menu and the layout. Offscreen, driven by key presses and clicks.

#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QtTest>

#include <memory>

#include "orbisk/main_window.h"
#include "tests/support/orbisk_ui_support.h"
#include "tests/test_util.h"

using lookup::MainWindow;
using namespace uitest;

namespace {

constexpr char kK1abc[] = "K1ABC\nSMITH, JOHN A\n1 MAIN ST\nBOSTON MA 02101\n\n";
constexpr char kW1aw[] = "W1AW\nHIRAM P MAXIM\n225 MAIN ST\nNEWINGTON CT 06111\n\n";
constexpr char kVe3abc[] = "VE3ABC\nELOISE R MARCHBANK\n88 BYTOWN CRES\nOTTAWA, ON  K2P 1A4\n\n";
constexpr char kPrevLine[] = "1 previous calls in callprev.db, dated 11/29/2026";
constexpr std::uint32_t kOntario = 14;

bool write_us(const std::string& folder) {
  return write_call_db(folder, {
      us_licence("K1ABC", "SMITH, JOHN A", "1 MAIN ST", "BOSTON", "MA", 2101),
      us_licence("W1AW", "HIRAM P MAXIM", "225 MAIN ST", "NEWINGTON", "CT", 6111),
      us_licence("KC4RTM", "BRAMBLETT, LUCINDA F", "1187", "MACON", "GA", 31208, true),
  });
}

bool write_prev(const std::string& folder) {
  return write_prev_db(folder, {{"KB1OLD", "K1ABC"}});
}

bool write_canadian(const std::string& folder) {
  return write_can_db(folder, {{"VE3ABC", kOntario, "MARCHBANK", "ELOISE R", "88 BYTOWN CRES",
                                "OTTAWA", "K2P 1A4"}});
}

// A data folder with the three files, or those asked for.
struct Folder {
  explicit Folder(bool us = true, bool prev = true, bool canadian = true) {
    if (us) ok = ok && write_us(dir.path());
    if (prev) ok = ok && write_prev(dir.path());
    if (canadian) ok = ok && write_canadian(dir.path());
  }
  testutil::TempDir dir;
  bool ok = true;
};

// The window opened on a data folder, shown and started as the program does.
class Session {
 public:
  explicit Session(const std::string& data_folder, bool fall_back = false)
      : window(boxes, help, QString::fromStdString(data_folder), fall_back) {
    window.show();
    window.activateWindow();
    if (!QTest::qWaitForWindowActive(&window)) qWarning("window not active");
    window.start();
    callsign = control<QLineEdit>(&window, lookup::kIdCallsign);
    output = control<QPlainTextEdit>(&window, lookup::kIdOutput);
  }

  QPushButton* button(int id) { return control<QPushButton>(&window, id); }
  QLabel* line(int index) { return qobject_cast<QLabel*>(child_widgets(window.centralWidget())[index]); }
  QString shown() const { return output->toPlainText(); }

  // Types into the callsign box (over its selection, as a user does) and presses Enter.
  void look_up(const char* typed) {
    QTest::keyClicks(callsign, QString::fromLatin1(typed));
    QTest::keyClick(callsign, Qt::Key_Return);
  }

  CurrentDirectoryGuard cwd;
  FakeMessageBoxes boxes;
  FakeHelpOpener help;
  MainWindow window;
  QLineEdit* callsign = nullptr;
  QPlainTextEdit* output = nullptr;
};

QAction* menu_action(MainWindow& window, const QString& text) {
  for (QAction* top : window.menuBar()->actions()) {
    if (top->text() != QStringLiteral("&Help")) continue;
    for (QAction* a : top->menu()->actions()) {
      if (a->text() == text) return a;
    }
  }
  return nullptr;
}

// The bytes the output text takes with its "\r\n" line ends.
qsizetype stored_size(const QString& shown) {
  return shown.toLatin1().size() + shown.count(QLatin1Char('\n'));
}

}  // namespace

class OrbiskWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void startupShowsTheFilesAndTheNineControls() {
    Folder folder;
    QVERIFY(folder.ok);
    Session s(folder.dir.path());
    QCOMPARE(s.window.windowTitle(), QStringLiteral("Orbisk+ US/Canadian Callsign lookup 007"));
    QCOMPARE(s.window.frameGeometry().size(), QSize(450, 450));
    const QString path = QDir(QString::fromStdString(folder.dir.path())).canonicalPath();
    QCOMPARE(QDir::currentPath(), path);

    const std::vector<QWidget*> controls = child_widgets(s.window.centralWidget());
    QCOMPARE(controls.size(), std::size_t{9});
    const QStringList texts = {
        "", "Database date 11/29/2026, 3 entries in " + path,
        "Canadian data 11/27/2026,       1 entries", "Enter Callsign and 'enter'"};
    for (int i = 0; i < 4; ++i) {
      auto* label = qobject_cast<QLabel*>(controls[i]);
      QVERIFY2(label != nullptr, qPrintable(QString::number(i)));
      QCOMPARE(label->text(), texts[i]);
    }
    QCOMPARE(controls[4], s.callsign);
    QCOMPARE(lookup::control_id(controls[4]), 1);
    const QStringList buttons = {"Search", "Extended Search", "Exit"};
    for (int i = 0; i < 3; ++i) {
      auto* b = qobject_cast<QPushButton*>(controls[5 + i]);
      QVERIFY(b != nullptr);
      QCOMPARE(b->text(), buttons[i]);
      QCOMPARE(lookup::control_id(b), 2 + i);
    }
    QCOMPARE(controls[8], static_cast<QWidget*>(s.output));
    QCOMPARE(lookup::control_id(controls[8]), 5);
    QVERIFY(s.output->isReadOnly());
    QCOMPARE(s.output->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    QCOMPARE(s.output->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);

    QCOMPARE(s.shown(), QString::fromLatin1(kPrevLine));
    QCOMPARE(QApplication::focusWidget(), s.callsign);
    QVERIFY(s.boxes.shown.empty());
  }

  void layoutFollowsTheClientArea() {
    Folder folder;
    Session s(folder.dir.path());
    for (const QSize outer : {QSize(450, 450), QSize(640, 300), QSize(200, 120)}) {
      s.window.resize(outer);
      QApplication::processEvents();
      const QWidget* client = s.window.centralWidget();
      const int w = client->width();
      const int h = client->height();
      QCOMPARE(client->mapTo(&s.window, QPoint(0, 0)).y(), s.window.menuBar()->height());
      const std::vector<QWidget*> c = child_widgets(client);
      const QList<QRect> expected = {
          QRect(0, 0, w, h),          QRect(0, 0, w, 18),       QRect(0, 18, w, 22),
          QRect(0, 36, w, 22),        QRect(0, 58, 100, 22),    QRect(100, 58, 80, 22),
          QRect(180, 58, 180, 22),    QRect(w - 80, 58, 80, 22), QRect(0, 80, w, std::max(0, h - 80))};
      for (int i = 0; i < 9; ++i) {
        QVERIFY2(c[i]->geometry() == expected[i],
                 qPrintable(QStringLiteral("control %1 at %2x%3").arg(i).arg(w).arg(h)));
      }
    }
  }

  void typedLowerCaseIsLookedUpInUpperCase() {
    Folder folder;
    Session s(folder.dir.path());
    QTest::keyClicks(s.callsign, QStringLiteral("k1abc"));
    QCOMPARE(s.callsign->text(), QStringLiteral("K1ABC"));
    QTest::keyClick(s.callsign, Qt::Key_Return);
    // A found record replaces the start-up line: the output is the history alone.
    QCOMPARE(s.shown(), QString::fromLatin1(kK1abc));
    QCOMPARE(QApplication::focusWidget(), s.callsign);
    QCOMPARE(s.callsign->selectedText(), QStringLiteral("K1ABC"));

    s.look_up("kc4rtm");  // typed over the selection
    QCOMPARE(s.shown(), QStringLiteral("KC4RTM\nBRAMBLETT, LUCINDA F\nPO BOX 1187\nMACON GA 31208\n\n") +
                            QString::fromLatin1(kK1abc));
    s.look_up("ve3abc");
    QVERIFY(s.shown().startsWith(QString::fromLatin1(kVe3abc)));
    QVERIFY(s.boxes.shown.empty());
  }

  void missesGoInFrontOfTheOutputNewestFirst() {
    Folder folder;
    Session s(folder.dir.path());
    s.look_up("k9zzz");
    QCOMPARE(s.shown(), QStringLiteral("K9ZZZ NOT FOUND\n\n"));  // the start-up line goes
    s.look_up("ve7qqq");
    QCOMPARE(s.shown(), QStringLiteral("VE7QQQ NOT FOUND\n\nK9ZZZ NOT FOUND\n\n"));
    s.look_up("kb1old");
    QVERIFY(s.shown().startsWith(QStringLiteral("KB1OLD NOW K1ABC\n\nVE7QQQ NOT FOUND\n\n")));
    // A found record rebuilds the output from the found records only.
    s.look_up("w1aw");
    QCOMPARE(s.shown(), QString::fromLatin1(kW1aw));
    s.look_up("k9zzz");
    QCOMPARE(s.shown(), QStringLiteral("K9ZZZ NOT FOUND\n\n") + kW1aw);
  }

  void theSameCallsignTwiceShowsTwice() {
    Folder folder;
    Session s(folder.dir.path());
    s.look_up("w1aw");
    s.look_up("w1aw");
    QCOMPARE(s.shown(), QString::fromLatin1(kW1aw) + kW1aw);
  }

  void historyKeepsTheNewest512Records() {
    testutil::TempDir dir;
    std::vector<dbfiles::UsRecord> records;
    for (int i = 0; i < 513; ++i) {
      records.push_back(us_licence(numbered_call(i).c_str(), "N", "S", "C", "VT", 5001));
    }
    QVERIFY(write_call_db(dir.path(), records));
    Session s(dir.path());
    for (int i = 0; i < 513; ++i) s.look_up(numbered_call(i).c_str());
    const QString shown = s.shown();
    const QString block = QStringLiteral("%1\nN\nS\nC VT 05001\n\n");
    QCOMPARE(shown.count(QStringLiteral("\nN\nS\n")), 512);
    QVERIFY(shown.startsWith(block.arg(QString::fromStdString(numbered_call(512))) +
                             block.arg(QString::fromStdString(numbered_call(511)))));
    QVERIFY(shown.endsWith(block.arg(QString::fromStdString(numbered_call(1)))));
    QVERIFY(!shown.contains(QString::fromStdString(numbered_call(0))));
  }

  void outputIsCutToWholeRecordsUnder32768Bytes() {
    testutil::TempDir dir;
    std::vector<dbfiles::UsRecord> records;
    const std::string name(120, 'N');
    const std::string street(60, 'S');
    const std::string city(40, 'C');
    for (int i = 0; i < 150; ++i) {
      records.push_back(us_licence(numbered_call(i).c_str(), name, street, city, "VT", 5001));
    }
    QVERIFY(write_call_db(dir.path(), records));
    Session s(dir.path());
    for (int i = 0; i < 150; ++i) s.look_up(numbered_call(i).c_str());
    const qsizetype block = 5 + 2 + 120 + 2 + 60 + 2 + 49 + 2 + 2;
    const qsizetype kept = 32768 / block;  // 134 whole records
    QCOMPARE(stored_size(s.shown()), kept * block);
    QVERIFY(s.shown().startsWith(QString::fromStdString(numbered_call(149)) + "\n"));
    QVERIFY(s.shown().contains(QString::fromStdString(numbered_call(150 - kept)) + "\n"));
    QVERIFY(!s.shown().contains(QString::fromStdString(numbered_call(149 - kept)) + "\n"));

    // Misses (19 bytes each) go in front while they fit in the 72 bytes left; the fourth makes
    // the oldest record go.
    const QString oldest = QString::fromStdString(numbered_call(150 - kept)) + "\n";
    for (int i = 0; i < 3; ++i) s.look_up("k9zzz");
    QCOMPARE(stored_size(s.shown()), kept * block + 3 * 19);
    QVERIFY(s.shown().endsWith(oldest + QString(120, 'N') + "\n" + QString(60, 'S') + "\n" +
                               QString(40, 'C') + " VT 05001\n\n"));
    s.look_up("k9zzz");
    QVERIFY(s.shown().startsWith(QStringLiteral("K9ZZZ NOT FOUND\n\n").repeated(4) +
                                 QString::fromStdString(numbered_call(149)) + "\n"));
    QCOMPARE(stored_size(s.shown()), (kept - 1) * block + 4 * 19);
    QVERIFY(!s.shown().contains(oldest));
  }

  void callsignBoxTakesOnlyWhatItsWidthShows() {
    Folder folder;
    Session s(folder.dir.path());
    QTest::keyClicks(s.callsign, QString(60, QLatin1Char('w')));
    const QString text = s.callsign->text();
    QVERIFY(text.size() > 3);
    QVERIFY(text.size() < 60);
    QCOMPARE(text, QString(text.size(), QLatin1Char('W')));
    QVERIFY(s.callsign->fontMetrics().horizontalAdvance(text) < s.callsign->width());
    // Narrow letters: more of them fit, still within the box.
    s.callsign->clear();
    QTest::keyClicks(s.callsign, QString(60, QLatin1Char('i')));
    QVERIFY(s.callsign->text().size() > text.size());
    QVERIFY(s.callsign->fontMetrics().horizontalAdvance(s.callsign->text()) < s.callsign->width());
  }

  void tabAndShiftTabGoRoundTheRing() {
    Folder folder;
    Session s(folder.dir.path());
    const QList<QWidget*> ring = {s.callsign, s.button(2), s.button(3), s.button(4)};
    for (int i = 0; i < 8; ++i) {
      QCOMPARE(QApplication::focusWidget(), ring[i % 4]);
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    QCOMPARE(QApplication::focusWidget(), s.callsign);
    for (int i = 0; i < 8; ++i) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
      QCOMPARE(QApplication::focusWidget(), ring[(7 - i) % 4]);
    }
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, Qt::ShiftModifier);
    QCOMPARE(QApplication::focusWidget(), s.button(4));
    // The output box is not in the ring: Tab from Exit comes back to the box.
    QTest::keyClick(s.button(4), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), s.callsign);
  }

  void enterOnAButtonRunsItsCommand() {
    Folder folder;
    Session s(folder.dir.path());
    QTest::keyClicks(s.callsign, QStringLiteral("w1aw"));
    QTest::keyClick(s.callsign, Qt::Key_Tab);
    QTest::keyClick(s.button(2), Qt::Key_Return);
    QCOMPARE(s.shown(), QString::fromLatin1(kW1aw));
    QCOMPARE(QApplication::focusWidget(), s.callsign);
    QCOMPARE(s.callsign->selectedText(), QStringLiteral("W1AW"));
    QTest::mouseClick(s.button(2), Qt::LeftButton);
    QCOMPARE(s.shown(), QString::fromLatin1(kW1aw) + kW1aw);

    // Enter on Extended Search opens it; the focus comes back to the box, its text selected.
    QString title;
    ModalWatch watch([&](QWidget* dialog) {
      title = dialog->windowTitle();
      QTest::keyClick(dialog, Qt::Key_Escape);
    });
    s.button(3)->setFocus();
    QTest::keyClick(s.button(3), Qt::Key_Enter);
    QVERIFY(watch.ran());
    QCOMPARE(title, QStringLiteral("Extended Search (US only)"));
    QCOMPARE(s.window.focusWidget(), s.callsign);
    QCOMPARE(s.callsign->selectedText(), QStringLiteral("W1AW"));

    QTest::keyClick(s.button(4), Qt::Key_Return);
    QVERIFY(!s.window.isVisible());
  }

  // The data folder's page, else the one beside the program; a page the desktop cannot show
  // is a box.
  void helpContentsOpensTheDataFoldersPageElseTheProgramsOne() {
    Folder folder;
    Session s(folder.dir.path());
    QAction* contents = menu_action(s.window, QStringLiteral("&Contents"));
    QVERIFY(contents != nullptr);
    contents->trigger();
    const QString mine = QString::fromStdString(folder.dir.file("orbisk-help.html"));
    testutil::write_bytes(mine.toStdString(), "help");
    contents->trigger();
    s.help.opens = false;
    contents->trigger();
    const auto opened = [&s](std::size_t i) {
      return QFileInfo(s.help.opened[i].toLocalFile()).canonicalFilePath();
    };
    QCOMPARE(s.help.opened.size(), std::size_t{3});
    QCOMPARE(opened(0), QFileInfo(QCoreApplication::applicationDirPath() +
                                  QStringLiteral("/orbisk-help.html")).canonicalFilePath());
    QCOMPARE(opened(1), QFileInfo(mine).canonicalFilePath());
    QCOMPARE(s.boxes.lines(),
             QStringList{QStringLiteral("ERROR Opening help: Could not open the help page ") +
                         s.help.opened[2].toLocalFile()});
    QVERIFY(s.window.isVisible());
  }

  void aboutBoxShowsTheProgramAndClosesWithOkOrEscape() {
    Folder folder;
    Session s(folder.dir.path());
    QAction* about = menu_action(s.window, QStringLiteral("&About orbisk"));
    QVERIFY(about != nullptr);

    // The default font, then one whose texts run wider than its average letter says.
    const QFont default_font = QApplication::font();
    QFont spaced = default_font;
    spaced.setLetterSpacing(QFont::AbsoluteSpacing, 3);
    const std::shared_ptr<void> restore(nullptr, [&](void*) { QApplication::setFont(default_font); });
    for (const QFont& font : {default_font, spaced}) {
      QApplication::setFont(font);
      QStringList texts;
      QList<int> tops;
      Qt::WindowFlags flags;
      QSize size;
      QPoint offset;
      ModalWatch watch([&](QWidget* box) {
        flags = box->windowFlags();
        size = box->size();
        offset = box->pos() - s.window.centralWidget()->mapToGlobal(QPoint(0, 0));
        for (QWidget* w : child_widgets(box)) {
          tops << w->y();
          if (auto* label = qobject_cast<QLabel*>(w)) {
            texts << label->text();
            QCOMPARE(label->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
            // Centred and whole: as wide as the box, and the box as wide as the text needs.
            QCOMPARE(label->x(), 0);
            QCOMPARE(label->width(), box->width());
            QVERIFY2(label->width() >= label->fontMetrics().horizontalAdvance(label->text()),
                     qPrintable(label->text()));
          }
          if (auto* b = qobject_cast<QPushButton*>(w)) {
            texts << b->text();
            QVERIFY(b->isDefault());
            QVERIFY(qAbs(b->geometry().center().x() - box->width() / 2) <= 1);
          }
        }
        QTest::keyClick(box, Qt::Key_Escape);
      });
      about->trigger();
      QVERIFY(watch.ran());
      QCOMPARE(texts, QStringList({"Orbisk+ US/Canadian Callsign lookup 007", "Callsign lookup program",
                                   "For amateur radio operators", "OK"}));
      // A dialog frame without a caption.
      QVERIFY(!(flags & Qt::FramelessWindowHint));
      QVERIFY(flags & Qt::CustomizeWindowHint);
      QVERIFY(!(flags & Qt::WindowTitleHint));
      const QFontMetrics m(s.window.font());
      const auto px = [&](int units) { return (units * m.averageCharWidth() + 2) / 4; };
      const auto py = [&](int units) { return (units * m.height() + 4) / 8; };
      QVERIFY(size.width() >= px(160));
      QCOMPARE(size.height(), py(80));
      QCOMPARE(offset, QPoint(px(20), py(20)));
      QCOMPARE(tops, QList<int>({py(24), py(36), py(48), py(60)}));
    }

    ModalWatch clicked([](QWidget* box) {
      QTest::mouseClick(control<QPushButton>(box, lookup::kIdAboutOk), Qt::LeftButton);
    });
    about->trigger();
    QVERIFY(clicked.ran());
    QVERIFY(QApplication::activeModalWidget() == nullptr);
  }

  void messageBoxShowsItsWholeCaptionOverItsWindow() {
    QWidget window;
    window.setGeometry(200, 150, 450, 450);
    window.show();
    const QString caption = QStringLiteral("ERROR Reading Database");
    QSize size;
    int caption_width = 0;
    QPoint centre;
    ModalWatch watch([&](QWidget* box) {
      QFont bold = box->font();
      bold.setBold(true);
      caption_width = QFontMetrics(bold).horizontalAdvance(caption);
      size = box->size();
      centre = box->frameGeometry().center();
    });
    lookup::QtMessageBoxes boxes;
    boxes.show(&window, QStringLiteral("call.db"), caption, lookup::BoxIcon::error);
    QVERIFY(watch.ran());
    // Beside the caption a title bar holds an icon and three buttons.
    QVERIFY2(size.width() >= caption_width + 100, qPrintable(QString::number(size.width())));
    QVERIFY((centre - window.frameGeometry().center()).manhattanLength() <= 2);
  }

  void startupWithoutCallDb() {
    Folder folder(false, true, true);
    Session s(folder.dir.path());
    const QString path = QDir(QString::fromStdString(folder.dir.path())).canonicalPath();
    const QString box = "ERROR Reading Database: call.db\r\nNot found in " + path + ".";
    QCOMPARE(s.boxes.lines(), QStringList({box}));
    QCOMPARE(s.boxes.shown[0].icon, lookup::BoxIcon::error);
    QCOMPARE(s.line(1)->text(), QStringLiteral("Database info here"));
    QCOMPARE(s.line(2)->text(), QStringLiteral("Canadian data 11/27/2026,       1 entries"));
    QCOMPARE(s.shown(), QString());

    s.look_up("ve3abc");
    QCOMPARE(s.shown(), QString::fromLatin1(kVe3abc));
    // A US callsign is not called missing: the box says why it cannot be looked up.
    s.look_up("kb1old");
    QCOMPARE(s.shown(), QString::fromLatin1(kVe3abc));
    // The Extended Search says so instead of opening.
    ModalWatch never([](QWidget* dialog) { dialog->close(); });
    QTest::mouseClick(s.button(3), Qt::LeftButton);
    QVERIFY(!never.ran());
    QCOMPARE(s.boxes.lines(), QStringList({box, box, box}));
    QCOMPARE(s.window.focusWidget(), s.callsign);

    // A call.db put in place since (an update run that held it has ended) is used from the
    // next Search on.
    QVERIFY(write_us(folder.dir.path()));
    s.look_up("kb1old");
    QCOMPARE(s.shown(), QStringLiteral("KB1OLD NOW K1ABC\n\n") + kVe3abc);
    QCOMPARE(s.line(1)->text(), "Database date 11/29/2026, 3 entries in " + path);
    QCOMPARE(s.boxes.shown.size(), std::size_t{3});
  }

  void startupWithoutCallprevDb() {
    Folder folder(true, false, true);
    Session s(folder.dir.path());
    QVERIFY(s.boxes.shown.empty());
    QCOMPARE(s.shown(), QString());
    s.look_up("kb1old");
    QCOMPARE(s.shown(), QStringLiteral("KB1OLD NOT FOUND\n\n"));
  }

  void startupWithoutCancallDb() {
    Folder folder(true, true, false);
    Session s(folder.dir.path());
    QVERIFY(s.boxes.shown.empty());
    QCOMPARE(s.line(2)->text(), QString());
    s.look_up("ve3abc");
    QCOMPARE(s.shown(), QStringLiteral("VE3ABC NOT FOUND\n\n"));
  }

  void missingDataFolderIsNamedUnlessItIsTheBuildsOwn() {
    Folder folder;
    CurrentDirectoryGuard cwd;
    const QString path = QDir(QString::fromStdString(folder.dir.path())).canonicalPath();
    QVERIFY(QDir::setCurrent(path));
    const std::string missing = folder.dir.file("no-such-folder");
    // Named on the command line: nothing is read from elsewhere.
    Session named(missing);
    named.look_up("w1aw");
    const QString box = "ERROR Reading Database: call.db\r\nThe data folder " +
                        QString::fromStdString(missing) + " does not exist.";
    QCOMPARE(named.boxes.lines(), QStringList({box, box}));
    QCOMPARE(named.line(1)->text(), QStringLiteral("Database info here"));
    QCOMPARE(named.shown(), QString());
    // The build's folder: the current directory stands in, and the database line names it.
    Session own(missing, true);
    QCOMPARE(QDir::currentPath(), path);
    QCOMPARE(own.line(1)->text(), "Database date 11/29/2026, 3 entries in " + path);
    QVERIFY(own.boxes.shown.empty());
  }
};

QTEST_MAIN(OrbiskWindowTest)
#include "orbisk_window_test.moc"
