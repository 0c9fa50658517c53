// The lookup window, full edition: start-up lines and boxes, its controls and layout, the output
// box's history, the keyboard, the Help menu and the About box. The lookup's texts have their
// own tests; here they only show where the window puts them.

#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QtTest>

#include <memory>

#include "tests/support/orbisk_ui_support.h"
#include "tests/test_util.h"

using namespace uitest;

namespace {

constexpr char kK1abc[] = "K1ABC\nSMITH, JOHN A\n1 MAIN ST\nBOSTON MA 02101\n\n";
constexpr char kW1aw[] = "W1AW\nHIRAM P MAXIM\n225 MAIN ST\nNEWINGTON CT 06111\n\n";
constexpr char kVe3abc[] = "VE3ABC\nELOISE R MARCHBANK\n88 BYTOWN CRES\nOTTAWA, ON  K2P 1A4\n\n";
constexpr char kCanadianLine[] = "Canadian data 11/27/2026,       1 entries";

bool write_us(const std::string& folder) {
  return write_call_db(folder, {us_licence("K1ABC", "SMITH, JOHN A", "1 MAIN ST", "BOSTON", "MA", 2101),
                                us_licence("W1AW", "HIRAM P MAXIM", "225 MAIN ST", "NEWINGTON", "CT", 6111)});
}

// A data folder with the three files, or those asked for.
struct Folder {
  explicit Folder(bool us = true, bool prev = true, bool canadian = true) {
    ok = (!us || write_us(dir.path())) && (!prev || write_prev_db(dir.path())) &&
         (!canadian || write_can_db(dir.path()));
  }
  QString path() const { return QDir(QString::fromStdString(dir.path())).canonicalPath(); }
  testutil::TempDir dir;
  bool ok = true;
};

QString line(Session& s, int index) {
  return qobject_cast<QLabel*>(child_widgets(s.window.centralWidget())[index])->text();
}

QAction* menu_action(lookup::MainWindow& window, const QString& text) {
  for (QAction* a : window.menuBar()->actions().front()->menu()->actions()) {
    if (a->text() == text) return a;
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
  void startupControlsAndLayout() {
    Folder folder;
    QVERIFY(folder.ok);
    Session s(folder.dir.path());
    QCOMPARE(s.window.windowTitle(), QStringLiteral("Orbisk+ US/Canadian Callsign lookup 007"));
    QCOMPARE(s.window.frameGeometry().size(), QSize(450, 450));
    QCOMPARE(QDir::currentPath(), folder.path());
    const std::vector<QWidget*> c = child_widgets(s.window.centralWidget());
    const QStringList texts = {"", "Database date 11/29/2026, 2 entries in " + folder.path(),
                               kCanadianLine, "Enter Callsign and 'enter'", "", "Search",
                               "Extended Search", "Exit", ""};
    QCOMPARE(c.size(), std::size_t{9});
    for (int i = 0; i < 9; ++i) {
      QString text;
      if (auto* label = qobject_cast<QLabel*>(c[i])) text = label->text();
      if (auto* b = qobject_cast<QPushButton*>(c[i])) text = b->text();
      QCOMPARE(text, texts[i]);
      QCOMPARE(lookup::control_id(c[i]), i < 4 ? 0 : i - 3);
    }
    QCOMPARE(c[4], s.callsign);
    QCOMPARE(c[8], static_cast<QWidget*>(s.output));
    QVERIFY(s.output->isReadOnly());
    QCOMPARE(s.output->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    QCOMPARE(s.output->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QCOMPARE(s.shown(), QStringLiteral("1 previous calls in callprev.db, dated 11/29/2026"));
    QCOMPARE(QApplication::focusWidget(), s.callsign);
    QVERIFY(s.boxes.shown.empty());

    for (const QSize outer : {QSize(640, 300), QSize(200, 120)}) {
      s.window.resize(outer);
      QApplication::processEvents();
      const int w = s.window.centralWidget()->width();
      const int h = s.window.centralWidget()->height();
      QCOMPARE(s.window.centralWidget()->mapTo(&s.window, QPoint(0, 0)).y(), s.window.menuBar()->height());
      const QList<QRect> expected = {
          QRect(0, 0, w, h),       QRect(0, 0, w, 18),     QRect(0, 18, w, 22),
          QRect(0, 36, w, 22),     QRect(0, 58, 100, 22),  QRect(100, 58, 80, 22),
          QRect(180, 58, 180, 22), QRect(w - 80, 58, 80, 22), QRect(0, 80, w, std::max(0, h - 80))};
      for (int i = 0; i < 9; ++i) QVERIFY2(c[i]->geometry() == expected[i], qPrintable(QString::number(i)));
    }
  }

  // Typed in upper case; the first Search replaces the start-up line; misses go in front,
  // newest first, and a found record rebuilds the output from the found records alone.
  void searchesBuildTheOutput() {
    Folder folder;
    for (const char* first : {"k1abc", "k9zzz"}) {
      Session s(folder.dir.path());
      QTest::keyClicks(s.callsign, QString::fromLatin1(first));
      QCOMPARE(s.callsign->text(), QString::fromLatin1(first).toUpper());
      QTest::keyClick(s.callsign, Qt::Key_Return);
      QCOMPARE(s.shown(), first[1] == '1' ? QString(kK1abc) : QStringLiteral("K9ZZZ NOT FOUND\n\n"));
      QCOMPARE(QApplication::focusWidget(), s.callsign);
      QCOMPARE(s.callsign->selectedText(), QString::fromLatin1(first).toUpper());
    }
    Session s(folder.dir.path());
    const QString kb1old = QStringLiteral("KB1OLD NOW K1ABC\n\n");
    const QString miss = QStringLiteral("K9ZZZ NOT FOUND\n\n");
    const struct {
      const char* typed;
      QString shown;
    } steps[] = {
        {"k9zzz", miss},
        {"kb1old", kb1old + miss},
        {"w1aw", kW1aw},
        {"w1aw", QString(kW1aw) + kW1aw},
        {"k9zzz", miss + kW1aw + kW1aw},
        {"ve3abc", QString(kVe3abc) + kW1aw + kW1aw},
    };
    for (const auto& step : steps) {
      s.look_up(step.typed);
      QCOMPARE(s.shown(), step.shown);
    }
    QVERIFY(s.boxes.shown.empty());
  }

  // The newest 512 records, cut to whole records under 32768 bytes with the misses in front.
  void historyLimits() {
    testutil::TempDir dir;
    std::vector<dbfiles::UsRecord> records;
    for (int i = 0; i < 513; ++i) {
      records.push_back(us_licence(numbered_call(i).c_str(), "N", "S", "C", "VT", 5001));
    }
    QVERIFY(write_call_db(dir.path(), records));
    Session s(dir.path());
    for (int i = 0; i < 513; ++i) s.look_up(numbered_call(i).c_str());
    const QString block = QStringLiteral("%1\nN\nS\nC VT 05001\n\n");
    QCOMPARE(s.shown().count(QStringLiteral("\nN\nS\n")), 512);
    QVERIFY(s.shown().startsWith(block.arg(QString::fromStdString(numbered_call(512)))));
    QVERIFY(s.shown().endsWith(block.arg(QString::fromStdString(numbered_call(1)))));

    const std::string name(120, 'N'), street(60, 'S'), city(40, 'C');
    records.clear();
    for (int i = 0; i < 150; ++i) {
      records.push_back(us_licence(numbered_call(i).c_str(), name, street, city, "VT", 5001));
    }
    QVERIFY(write_call_db(dir.path(), records));
    Session big(dir.path());
    for (int i = 0; i < 150; ++i) big.look_up(numbered_call(i).c_str());
    const qsizetype size = 5 + 2 + 120 + 2 + 60 + 2 + 49 + 2 + 2;
    const qsizetype kept = 32768 / size;  // 134 whole records
    const QString oldest = QString::fromStdString(numbered_call(150 - kept)) + "\n";
    QCOMPARE(stored_size(big.shown()), kept * size);
    QVERIFY(big.shown().contains(oldest));
    // Misses (19 bytes each) fit in the 72 bytes left; the fourth makes the oldest record go.
    for (int i = 0; i < 3; ++i) big.look_up("k9zzz");
    QCOMPARE(stored_size(big.shown()), kept * size + 3 * 19);
    big.look_up("k9zzz");
    QCOMPARE(stored_size(big.shown()), (kept - 1) * size + 4 * 19);
    QVERIFY(!big.shown().contains(oldest));
  }

  // The callsign box takes only what its width shows; Tab and Shift+Tab go round the ring of
  // the box and the three buttons; Enter on a button runs its command.
  void keyboard() {
    Folder folder;
    Session s(folder.dir.path());
    for (const QChar letter : {QLatin1Char('w'), QLatin1Char('i')}) {
      s.callsign->clear();
      QTest::keyClicks(s.callsign, QString(60, letter));
      QVERIFY(s.callsign->text().size() > 3 && s.callsign->text().size() < 60);
      QVERIFY(s.callsign->fontMetrics().horizontalAdvance(s.callsign->text()) < s.callsign->width());
    }
    s.callsign->clear();
    const QList<QWidget*> ring = {s.callsign, s.button(2), s.button(3), s.button(4)};
    for (int i = 0; i < 8; ++i) {
      QCOMPARE(QApplication::focusWidget(), ring[i % 4]);
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    for (int i = 0; i < 8; ++i) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
      QCOMPARE(QApplication::focusWidget(), ring[(7 - i) % 4]);
    }

    QTest::keyClicks(s.callsign, QStringLiteral("w1aw"));
    QTest::keyClick(s.callsign, Qt::Key_Tab);
    QTest::keyClick(s.button(2), Qt::Key_Return);
    QCOMPARE(s.shown(), QString::fromLatin1(kW1aw));
    QCOMPARE(QApplication::focusWidget(), s.callsign);
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
  void helpContents() {
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
    QCOMPARE(s.help.opened.size(), std::size_t{3});
    const auto opened = [&s](std::size_t i) {
      return QFileInfo(s.help.opened[i].toLocalFile()).canonicalFilePath();
    };
    QCOMPARE(opened(0), QFileInfo(QCoreApplication::applicationDirPath() + "/orbisk-help.html").canonicalFilePath());
    QCOMPARE(opened(1), QFileInfo(mine).canonicalFilePath());
    QCOMPARE(s.boxes.lines(), QStringList{"ERROR Opening help: Could not open the help page " +
                                          s.help.opened[2].toLocalFile()});
  }

  // A dialog frame without a caption; each text whole, centred, at the default font and at one
  // whose texts run wider than its average letter says; closed with Escape or OK.
  void aboutBox() {
    Folder folder;
    Session s(folder.dir.path());
    QAction* about = menu_action(s.window, QStringLiteral("&About orbisk"));
    QVERIFY(about != nullptr);
    const QFont default_font = QApplication::font();
    QFont spaced = default_font;
    spaced.setLetterSpacing(QFont::AbsoluteSpacing, 3);
    const std::shared_ptr<void> restore(nullptr, [&](void*) { QApplication::setFont(default_font); });
    for (const QFont& font : {default_font, spaced}) {
      QApplication::setFont(font);
      QStringList texts;
      Qt::WindowFlags flags;
      ModalWatch watch([&](QWidget* box) {
        flags = box->windowFlags();
        for (QWidget* w : child_widgets(box)) {
          if (auto* label = qobject_cast<QLabel*>(w)) {
            texts << label->text();
            QCOMPARE(label->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
            QCOMPARE(label->geometry().left(), 0);
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
      QVERIFY(!(flags & Qt::FramelessWindowHint));
      QVERIFY(flags & Qt::CustomizeWindowHint);
      QVERIFY(!(flags & Qt::WindowTitleHint));
    }
    ModalWatch clicked([](QWidget* box) {
      QTest::mouseClick(control<QPushButton>(box, lookup::kIdAboutOk), Qt::LeftButton);
    });
    about->trigger();
    QVERIFY(clicked.ran());
    QVERIFY(QApplication::activeModalWidget() == nullptr);
  }

  // Its whole caption beside a title bar's icon and three buttons, centred over its window.
  void messageBoxShowsItsWholeCaption() {
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
    QVERIFY2(size.width() >= caption_width + 100, qPrintable(QString::number(size.width())));
    QVERIFY((centre - window.frameGeometry().center()).manhattanLength() <= 2);
  }

  // Without call.db: a box at start-up and at each US lookup or Extended Search, until a call.db
  // put in place since is used from the next Search on.
  void startupWithoutCallDb() {
    Folder folder(false, true, true);
    Session s(folder.dir.path());
    const QString box = "ERROR Reading Database: call.db\r\nNot found in " + folder.path() + ".";
    QCOMPARE(s.boxes.lines(), QStringList({box}));
    QCOMPARE(s.boxes.shown[0].icon, lookup::BoxIcon::error);
    QCOMPARE(line(s, 1), QStringLiteral("Database info here"));
    QCOMPARE(line(s, 2), QString(kCanadianLine));
    QCOMPARE(s.shown(), QString());
    s.look_up("ve3abc");
    s.look_up("kb1old");
    QCOMPARE(s.shown(), QString::fromLatin1(kVe3abc));
    ModalWatch never([](QWidget* dialog) { dialog->close(); });
    QTest::mouseClick(s.button(3), Qt::LeftButton);
    QVERIFY(!never.ran());
    QCOMPARE(s.boxes.lines(), QStringList({box, box, box}));
    QCOMPARE(s.window.focusWidget(), s.callsign);

    QVERIFY(write_us(folder.dir.path()));
    s.look_up("kb1old");
    QCOMPARE(s.shown(), QStringLiteral("KB1OLD NOW K1ABC\n\n") + kVe3abc);
    QCOMPARE(line(s, 1), "Database date 11/29/2026, 2 entries in " + folder.path());
    QCOMPARE(s.boxes.shown.size(), std::size_t{3});
  }

  // Without callprev.db no start-up line, without cancall.db no Canadian line; no box for either.
  void startupWithoutTheOtherFiles() {
    for (const bool prev : {false, true}) {
      Folder folder(true, prev, !prev);
      Session s(folder.dir.path());
      QVERIFY(s.boxes.shown.empty());
      QCOMPARE(line(s, 2), prev ? QString() : QString(kCanadianLine));
      QCOMPARE(s.shown().isEmpty(), !prev);
    }
  }

  // A folder named on the command line that does not exist is a box; the build's own folder
  // falls back to the current directory, which the database line then names.
  void missingDataFolder() {
    Folder folder;
    CurrentDirectoryGuard cwd;
    QVERIFY(QDir::setCurrent(folder.path()));
    const std::string missing = folder.dir.file("no-such-folder");
    Session named(missing);
    named.look_up("w1aw");
    const QString box = "ERROR Reading Database: call.db\r\nThe data folder " +
                        QString::fromStdString(missing) + " does not exist.";
    QCOMPARE(named.boxes.lines(), QStringList({box, box}));
    QCOMPARE(line(named, 1), QStringLiteral("Database info here"));
    QCOMPARE(named.shown(), QString());
    Session own(missing, true);
    QCOMPARE(QDir::currentPath(), folder.path());
    QCOMPARE(line(own, 1), "Database date 11/29/2026, 2 entries in " + folder.path());
    QVERIFY(own.boxes.shown.empty());
  }
};

QTEST_MAIN(OrbiskWindowTest)
#include "orbisk_window_test.moc"
