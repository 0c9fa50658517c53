// The lookup window and its Extended Search dialog, offscreen, in the edition the build makes
// (this file is built once for each): controls, layout, where the texts go, the output box's
// history, the keyboard, boxes, Help and About. What a lookup or search finds is the engines' test.

#include <QtTest>
#include <QtWidgets>

#include <unistd.h>

#include <array>
#include <functional>
#include <memory>

#include "dbfiles/dbwriter.h"
#include "orbisk/control_ids.h"
#include "orbisk/edition.h"
#include "orbisk/help_opener.h"
#include "orbisk/main_window.h"
#include "orbisk/message_boxes.h"
#include "tests/test_util.h"

namespace {

using lookup::kUsOnly;

struct FakeBoxes final : lookup::MessageBoxes {
  lookup::BoxAnswer show(QWidget*, const QString& text, const QString& caption, lookup::BoxIcon i) override {
    shown << caption + ": " + text;
    icon = i;
    return lookup::BoxAnswer::ok;
  }
  QStringList shown;  // "caption: text"
  lookup::BoxIcon icon = lookup::BoxIcon::none;
};

struct FakeHelp final : lookup::HelpOpener {
  bool open(const QUrl& url) override {
    opened << QFileInfo(url.toLocalFile()).canonicalFilePath();
    return opens;
  }
  QStringList opened;
  bool opens = true;
};

dbfiles::UsRecord licence(std::string call, std::string name, std::string street, std::string city,
                          std::uint32_t state, std::uint32_t zip, bool po_box = false) {
  return {dbfiles::encode_call(call.c_str()), name, street, city, state, zip, po_box};
}

constexpr std::uint32_t kMa = 25, kFl = 14, kVt = 56;  // indexes in the state table
bool write_call_db(const std::string& folder, std::vector<dbfiles::UsRecord> records = {
    licence("K1ABC", "SMITH, JANE", "1 ELM ST", "BOSTON", kMa, 2101),
    licence("W1AW", "SMITH, JOHN A", "225 MAIN ST", "SPRINGFIELD", kMa, 1101),
    licence("N0XYZ", "SMITHSON, ROY", "9", "SPRINGFIELD", kFl, 32801, true),
    licence("AA1A", "DOE, SPRINGFIELD", "2 OAK", "BURLINGTON", kVt, 501),
    licence("KC4Q", "JONES, AMY", "3 PINE", "FIELDSTONE", kFl, 32802)}) {
  std::sort(records.begin(), records.end(), [](const auto& a, const auto& b) { return a.key < b.key; });
  return dbfiles::write_call_db(folder + "/call.db", "20261129", records) == 0;
}

// A data folder with call.db, callprev.db (KB1OLD is now K1ABC) and cancall.db (VE3ABC), or
// those asked for.
struct Folder {
  explicit Folder(bool us = true, bool prev = true, bool can = true) {
    dbfiles::CanDbWriter writer;
    dbfiles::CanKey key = 0;
    const dbfiles::PrevEntry moved = {dbfiles::encode_call("KB1OLD"), dbfiles::encode_call("K1ABC")};
    ok = (!us || write_call_db(dir.path())) &&
         (!prev || dbfiles::write_prev_db(dir.file("callprev.db"), "20261129", {moved}) == 0) &&
         (!can || (writer.open(dir.file("cancall.db"), "20261127") == 0 &&
                   dbfiles::encode_can_call("VE3ABC", &key) == 0 &&
                   writer.add(dbfiles::CanEntry::make_word0(key, 14), "MARCHBANK", "ELOISE R",
                              "88 BYTOWN CRES", "OTTAWA", "K2P 1A4") == 0 && writer.finish() == 0));
  }
  QString path() const { return QDir(QString::fromStdString(dir.path())).canonicalPath(); }
  testutil::TempDir dir;
  bool ok = true;
};

QList<QWidget*> children_of(const QWidget* parent) {  // in the order they were made
  return parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
}

template <class T>
T* control(const QWidget* root, int id) {
  for (T* w : root->findChildren<T*>()) {
    if (lookup::control_id(w) == id) return w;
  }
  return nullptr;
}

// The window on a data folder, shown and started as the program does; the current directory
// is put back afterwards.
struct Session {
  explicit Session(const std::string& folder, bool fall_back = false)
      : window(boxes, help, QString::fromStdString(folder), fall_back) {
    window.show();
    window.activateWindow();
    if (!QTest::qWaitForWindowActive(&window)) qWarning("window not active");
    window.start();
  }
  ~Session() { QDir::setCurrent(cwd); }
  QPushButton* button(int id) { return control<QPushButton>(&window, id); }
  QString shown() const { return output->toPlainText(); }
  QString line(int i) const { return qobject_cast<QLabel*>(children_of(window.centralWidget())[i])->text(); }
  QAction* menu(int i) { return window.menuBar()->actions().front()->menu()->actions()[i]; }
  void look_up(const QString& typed) {  // over the box's selection, as a user types
    QTest::keyClicks(callsign, typed);
    QTest::keyClick(callsign, Qt::Key_Return);
  }
  const QString cwd = QDir::currentPath();
  FakeBoxes boxes;
  FakeHelp help;
  lookup::MainWindow window;
  QLineEdit* callsign = control<QLineEdit>(&window, lookup::kIdCallsign);
  QPlainTextEdit* output = control<QPlainTextEdit>(&window, lookup::kIdOutput);
};

// Runs `open`, then `act` on the modal dialog it opens once that is active (waiting at most
// five seconds), closing the dialog if `act` left it open. False when none opened.
bool on_modal(const std::function<void()>& open, const std::function<void(QWidget*)>& act) {
  bool ran = false;
  int ticks = 0;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    if ((modal == nullptr || !modal->isActiveWindow()) && ++ticks < 1000) return;
    timer.stop();
    if (modal == nullptr) return;
    ran = true;
    act(modal);
    if (QApplication::activeModalWidget() == modal) modal->close();
  });
  timer.start(5);
  open();
  return ran;
}

const QString kW1aw = QStringLiteral("W1AW\nSMITH, JOHN A\n225 MAIN ST\nSPRINGFIELD MA 01101\n\n");
const QString kMiss = QStringLiteral("K9ZZZ NOT FOUND\n\n");
const QString kTitle = kUsOnly ? "Orbisk Callsign lookup" : "Orbisk+ US/Canadian Callsign lookup 007";

// The Extended Search dialog's status line after a search by the name "smith, j", or "".
QString search_status(Session& s) {
  QString status;
  on_modal([&] { QTest::mouseClick(s.button(lookup::kIdExtendedSearch), Qt::LeftButton); },
           [&](QWidget* dialog) {
             QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("smith, j"));
             QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
             status = control<QLabel>(dialog, lookup::kIdStatus)->text();
           });
  return status;
}

}  // namespace

class OrbiskWindowTest : public QObject {
  Q_OBJECT

 private slots:
  // With all three files, without callprev.db, without cancall.db: no box; the start-up line
  // only from callprev.db and the Canadian line only from cancall.db, both in the full edition.
  void startupControlsAndLayout() {
    for (const auto& [prev, can] : {std::pair{true, true}, std::pair{false, true}, std::pair{true, false}}) {
      Folder folder(true, prev, can);
      QVERIFY(folder.ok);
      Session s(folder.dir.path());
      QCOMPARE(s.window.windowTitle(), kTitle);
      QCOMPARE(s.window.frameGeometry().size(), QSize(450, 450));
      QCOMPARE(QDir::currentPath(), folder.path());
      QVERIFY(s.boxes.shown.empty());
      QCOMPARE(s.shown(), QString(prev && !kUsOnly ? "1 previous calls in callprev.db, dated 11/29/2026" : ""));
      QCOMPARE(QApplication::focusWidget(), s.callsign);
      QVERIFY(s.output->isReadOnly() && s.output->lineWrapMode() == QPlainTextEdit::WidgetWidth &&
              s.output->verticalScrollBarPolicy() == Qt::ScrollBarAlwaysOn);

      s.window.resize(640, 300);
      QApplication::processEvents();
      const int w = s.window.centralWidget()->width(), h = s.window.centralWidget()->height();
      const int y = kUsOnly ? 44 : 58;
      std::vector<std::pair<QString, QRect>> expected = {
          {"", {0, 0, w, h}}, {"Database date 11/29/2026, 5 entries in " + folder.path(), {0, 0, w, kUsOnly ? 22 : 18}},
          {"Enter Callsign and 'enter'", {0, y - 22, w, 22}}, {"", {0, y, 100, 22}},
          {"Search", {100, y, 80, 22}}, {"Extended Search", {180, y, 180, 22}},
          {"Exit", {w - 80, y, 80, 22}}, {"", {0, y + 22, w, h - y - 22}}};
      const QString canadian = can ? "Canadian data 11/27/2026,       1 entries" : "";
      if (!kUsOnly) expected.insert(expected.begin() + 2, {canadian, {0, 18, w, 22}});
      const QList<QWidget*> c = children_of(s.window.centralWidget());
      QCOMPARE(c.size(), qsizetype(expected.size()));
      for (int i = 0; i < c.size(); ++i) {  // the last five carry ids 1 to 5
        QVERIFY2(c[i]->property("text").toString() == expected[i].first, QByteArray::number(i));
        QVERIFY2(c[i]->geometry() == expected[i].second, QByteArray::number(i));
        QVERIFY2(lookup::control_id(c[i]) == std::max<int>(0, i + 6 - c.size()), QByteArray::number(i));
      }
    }
  }

  // Typed in upper case; misses go in front, newest first, the first replacing the start-up
  // line; a found record rebuilds the output from the found records alone, newest first.
  void searchesBuildTheOutput() {
    Folder folder;
    Session s(folder.dir.path());
    const QString k1abc = QStringLiteral("K1ABC\nSMITH, JANE\n1 ELM ST\nBOSTON MA 02101\n\n");
    const std::pair<const char*, QString> steps[] = {
        {"k9zzz", kMiss}, {"n9zzz", "N9ZZZ NOT FOUND\n\n" + kMiss}, {"w1aw", kW1aw}, {"w1aw", kW1aw + kW1aw},
        {"k9zzz", kMiss + kW1aw + kW1aw}, {"k1abc", k1abc + kW1aw + kW1aw}};
    for (const auto& [typed, shown] : steps) {
      QTest::keyClicks(s.callsign, QString::fromLatin1(typed));
      QCOMPARE(s.callsign->text(), QString::fromLatin1(typed).toUpper());
      QTest::keyClick(s.callsign, Qt::Key_Return);
      QCOMPARE(s.shown(), shown);
      QCOMPARE(QApplication::focusWidget(), s.callsign);
      QCOMPARE(s.callsign->selectedText(), QString::fromLatin1(typed).toUpper());
    }
    QVERIFY(s.boxes.shown.empty());
  }

  // The newest 512 records, cut to whole records under 32768 bytes ("\r\n" line ends) with the
  // misses in front.
  void historyLimits() {
    testutil::TempDir dir;
    const auto call = [](int i) { return QString::asprintf("W%dA%c%c", i % 10, 'A' + i / 260, 'A' + i / 10 % 26); };
    const std::string name(120, 'N'), street(60, 'S'), city(40, 'C');
    std::vector<dbfiles::UsRecord> records;  // calls 0 to 512 small, 1000 to 1149 big
    for (int i = 0; i <= 512; ++i) records.push_back(licence(call(i).toStdString(), "N", "S", "C", kVt, 5001));
    for (int i = 1000; i < 1150; ++i) records.push_back(licence(call(i).toStdString(), name, street, city, kVt, 5001));
    QVERIFY(write_call_db(dir.path(), records));
    Session s(dir.path());
    for (int i = 0; i <= 512; ++i) s.look_up(call(i));
    QCOMPARE(s.shown().count(QStringLiteral("\nN\nS\n")), 512);
    QVERIFY(s.shown().startsWith(call(512) + "\nN\nS\nC VT 05001\n\n"));
    QVERIFY(s.shown().endsWith(call(1) + "\nN\nS\nC VT 05001\n\n"));

    for (int i = 1000; i < 1150; ++i) s.look_up(call(i));
    const auto stored = [&s] { return s.shown().size() + s.shown().count(QLatin1Char('\n')); };
    const qsizetype size = 5 + 2 + 120 + 2 + 60 + 2 + 49 + 2 + 2, kept = 32768 / size;
    QCOMPARE(stored(), kept * size);
    QVERIFY(s.shown().contains(call(1150 - kept) + "\n"));
    // Misses (19 bytes each) fit in the bytes left; the fourth makes the oldest record go.
    for (int i = 0; i < 3; ++i) s.look_up("k9zzz");
    QCOMPARE(stored(), kept * size + 3 * 19);
    s.look_up("k9zzz");
    QCOMPARE(stored(), (kept - 1) * size + 4 * 19);
    QVERIFY(!s.shown().contains(call(1150 - kept) + "\n"));
  }

  // The callsign box takes only what its width shows; Tab and Shift+Tab go round the box and the
  // three buttons; Enter on a button runs its command, the focus coming back to the box.
  void keyboard() {
    Folder folder;
    Session s(folder.dir.path());
    for (const char letter : {'W', 'i'}) {
      s.callsign->clear();
      QTest::keyClicks(s.callsign, QString(60, QLatin1Char(letter)));
      QVERIFY(s.callsign->text().size() > 3 && s.callsign->text().size() < 60);
      QVERIFY(s.callsign->fontMetrics().horizontalAdvance(s.callsign->text()) < s.callsign->width());
    }
    s.callsign->clear();
    const QList<QWidget*> ring = {s.callsign, s.button(2), s.button(3), s.button(4)};
    for (int i = 0; i < 16; ++i) {
      QCOMPARE(QApplication::focusWidget(), ring[i < 8 ? i % 4 : (16 - i) % 4]);
      if (i < 8) QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      else QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
    }
    s.look_up("w1aw");
    QTest::keyClick(s.callsign, Qt::Key_Tab);
    QTest::keyClick(s.button(2), Qt::Key_Return);
    QCOMPARE(s.shown(), kW1aw + kW1aw);
    QCOMPARE(QApplication::focusWidget(), s.callsign);
    s.button(3)->setFocus();
    QVERIFY(on_modal([&] { QTest::keyClick(s.button(3), Qt::Key_Enter); }, [](QWidget* dialog) {
      QCOMPARE(dialog->windowTitle(), QString(kUsOnly ? "Extended Search" : "Extended Search (US only)"));
      QTest::keyClick(dialog, Qt::Key_Escape);
      QVERIFY(!dialog->isVisible());
    }));
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
    QCOMPARE(s.menu(0)->text(), QStringLiteral("&Contents"));
    s.menu(0)->trigger();
    testutil::write_bytes(folder.dir.file("orbisk-help.html"), "help");
    s.menu(0)->trigger();
    s.help.opens = false;
    s.menu(0)->trigger();
    const QString mine = folder.path() + "/orbisk-help.html";
    const QString beside = QFileInfo(QCoreApplication::applicationDirPath() + "/orbisk-help.html").canonicalFilePath();
    QCOMPARE(s.help.opened, QStringList({beside, mine, mine}));
    QCOMPARE(s.boxes.shown, QStringList{"ERROR Opening help: Could not open the help page " + mine});
  }

  // A dialog frame without a caption; each text whole and centred, at the default font and at
  // one whose texts run wider than its average letter says; closed with Escape or OK.
  void aboutBox() {
    Folder folder;
    Session s(folder.dir.path());
    QCOMPARE(s.menu(1)->text(), QStringLiteral("&About orbisk"));
    const QFont normal = QApplication::font();
    QFont spaced = normal;
    spaced.setLetterSpacing(QFont::AbsoluteSpacing, 3);
    const std::shared_ptr<void> restore(nullptr, [&](void*) { QApplication::setFont(normal); });
    for (const QFont& font : {normal, spaced}) {
      QApplication::setFont(font);
      QStringList texts;
      QVERIFY(on_modal([&] { s.menu(1)->trigger(); }, [&](QWidget* box) {
        QVERIFY(!(box->windowFlags() & (Qt::FramelessWindowHint | Qt::WindowTitleHint)) &&
                (box->windowFlags() & Qt::CustomizeWindowHint));
        for (QWidget* w : children_of(box)) {
          texts << w->property("text").toString();
          if (auto* label = qobject_cast<QLabel*>(w)) {
            QCOMPARE(label->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
            QVERIFY(label->geometry().left() == 0 && label->width() == box->width());
            QVERIFY2(label->width() >= label->fontMetrics().horizontalAdvance(label->text()), qPrintable(label->text()));
          } else {
            QVERIFY(qAbs(w->geometry().center().x() - box->width() / 2) <= 1);
            QVERIFY(qobject_cast<QPushButton*>(w) != nullptr && qobject_cast<QPushButton*>(w)->isDefault());
          }
        }
        QTest::keyClick(box, Qt::Key_Escape);
        QVERIFY(!box->isVisible());
      }));
      QCOMPARE(texts, QStringList({kUsOnly ? "orbisk" : kTitle, "Callsign lookup program",
                                   "For amateur radio operators", "OK"}));
    }
    QVERIFY(on_modal([&] { s.menu(1)->trigger(); }, [](QWidget* box) {
      QTest::mouseClick(control<QPushButton>(box, lookup::kIdAboutOk), Qt::LeftButton);
      QVERIFY(!box->isVisible());
    }));
  }

  // Its whole caption beside a title bar's icon and three buttons, centred over its window.
  void messageBoxShowsItsWholeCaption() {
    QWidget window;
    window.setGeometry(200, 150, 450, 450);
    window.show();
    const QString caption = QStringLiteral("ERROR Reading Database");
    QVERIFY(on_modal([&] { lookup::QtMessageBoxes().show(&window, "call.db", caption, lookup::BoxIcon::error); },
                     [&](QWidget* box) {
      QFont bold = box->font();
      bold.setBold(true);
      QVERIFY2(box->width() >= QFontMetrics(bold).horizontalAdvance(caption) + 100, qPrintable(QString::number(box->width())));
      QVERIFY((box->frameGeometry().center() - window.frameGeometry().center()).manhattanLength() <= 2);
    }));
  }

  // Without call.db: a box at start-up and at each US lookup or Extended Search (a Canadian
  // lookup still works in the full edition), until a call.db put in place since is used.
  void startupWithoutCallDb() {
    Folder folder(false);
    Session s(folder.dir.path());
    const QString box = "ERROR Reading Database: call.db\r\nNot found in " + folder.path() + ".";
    QCOMPARE(s.boxes.shown, QStringList({box}));
    QCOMPARE(s.boxes.icon, lookup::BoxIcon::error);
    QCOMPARE(s.line(1), QStringLiteral("Database info here"));
    s.look_up("ve3abc");
    QCOMPARE(s.shown(), QString(kUsOnly ? "" : "VE3ABC\nELOISE R MARCHBANK\n88 BYTOWN CRES\nOTTAWA, ON  K2P 1A4\n\n"));
    s.look_up("w1aw");
    QCOMPARE(search_status(s), QString());
    const QStringList boxes(kUsOnly ? 4 : 3, box);
    QCOMPARE(s.boxes.shown, boxes);
    QCOMPARE(s.window.focusWidget(), s.callsign);
    QVERIFY(write_call_db(folder.dir.path()));
    s.look_up("w1aw");
    QVERIFY(s.shown().startsWith(kW1aw));
    QCOMPARE(s.line(1), "Database date 11/29/2026, 5 entries in " + folder.path());
    QCOMPARE(s.boxes.shown, boxes);
  }

  // A folder named on the command line that does not exist is a box; the build's own folder
  // falls back to the current directory, which the database line then names.
  void missingDataFolder() {
    Folder folder;
    const QString cwd = QDir::currentPath();
    QVERIFY(QDir::setCurrent(folder.path()));
    const std::string missing = folder.dir.file("no-such-folder");
    for (const bool fall_back : {false, true}) {
      Session s(missing, fall_back);
      s.look_up("w1aw");
      QCOMPARE(QDir::currentPath(), folder.path());
      const QString box = "ERROR Reading Database: call.db\r\nThe data folder " +
                          QString::fromStdString(missing) + " does not exist.";
      QCOMPARE(s.boxes.shown, fall_back ? QStringList() : QStringList({box, box}));
      QCOMPARE(s.line(1), fall_back ? "Database date 11/29/2026, 5 entries in " + folder.path() : "Database info here");
      QCOMPARE(s.shown(), fall_back ? kW1aw : "");
    }
    QDir::setCurrent(cwd);
  }

  // Each control in order with its id and text, whole at the dialog's font; the dialog grows by
  // its result box, whose lines never wrap; Name, City and Zip never scroll sideways.
  void searchDialogControls() {
    Folder folder;
    Session s(folder.dir.path());
    QVERIFY(on_modal([&] { QTest::mouseClick(s.button(lookup::kIdExtendedSearch), Qt::LeftButton); }, [](QWidget* dialog) {
      const std::vector<std::tuple<const char*, int, QStringList>> expected = {
          {"QLabel", 0, {"Search for one or more of the following criteria:"}}, {"QLabel", 0, {"Name"}},
          {"QLabel", 0, {"City"}}, {"QLabel", 0, {"State"}}, {"QLabel", 0, {"Zip"}}, {"QLineEdit", 107, {""}},
          {"QLineEdit", 108, {""}}, {"QComboBox", 109, {"(all)"}}, {"QLineEdit", 110, {""}},
          {"QLabel", 0, {"(last, first ...)"}}, {"QPushButton", 1, {"Search"}}, {"QPushButton", 2, {"Close window"}},
          {"QLabel", 112, {"", "Searching names/cities...", "Found 8192, 100% done"}}, {"QPlainTextEdit", 111, {""}}};
      const QList<QWidget*> c = children_of(dialog);
      QCOMPARE(c.size(), qsizetype(expected.size()));
      for (int i = 0; i < c.size(); ++i) {
        auto [type, id, texts] = expected[i];
        const QByteArray where = QByteArray::number(i);
        QVERIFY2(c[i]->inherits(type) && lookup::control_id(c[i]) == id, where);
        QVERIFY2(dialog->rect().contains(c[i]->geometry()), where);
        QRect room;  // where the control draws its text
        QString own = c[i]->property("text").toString();
        if (auto* label = qobject_cast<QLabel*>(c[i])) {
          room = label->contentsRect();
          QVERIFY2(i < 1 || i > 4 || (label->alignment() & Qt::AlignRight), where);
        } else if (auto* b = qobject_cast<QPushButton*>(c[i])) {
          QStyleOptionButton option;
          option.initFrom(b);
          if (b->isDefault()) option.features |= QStyleOptionButton::DefaultButton;
          room = b->style()->subElementRect(QStyle::SE_PushButtonContents, &option, b);
        } else if (auto* list = qobject_cast<QComboBox*>(c[i])) {
          own = list->currentText();
          QStyleOptionComboBox option;
          option.initFrom(list);
          room = list->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, list);
          for (int n = 1; n < list->count(); ++n) texts << list->itemText(n);
          QCOMPARE(QStringList({texts[1], texts[56], texts[60], QString::number(texts.size())}), QStringList({"AA", "VT", "WY", "61"}));
        }
        QCOMPARE(own, texts.front());
        for (const QString& text : room.isNull() ? QStringList() : texts) {
          QVERIFY2(room.width() >= qCeil(QFontMetricsF(c[i]->font()).horizontalAdvance(text)), where + text.toLatin1());
          QVERIFY2(room.height() >= c[i]->fontMetrics().height(), where);
        }
      }
      auto* results = control<QPlainTextEdit>(dialog, lookup::kIdResults);
      QVERIFY(control<QPushButton>(dialog, lookup::kIdSearchButton)->isDefault() && results->isReadOnly());
      QVERIFY(results->lineWrapMode() == QPlainTextEdit::NoWrap && results->verticalScrollBarPolicy() == Qt::ScrollBarAlwaysOn);
      const QRect before = results->geometry();
      dialog->resize(dialog->size() + QSize(120, 90));
      QCOMPARE(results->geometry(), before.adjusted(0, 0, 120, 90));
      QCOMPARE(QApplication::focusWidget(), c[5]);
      for (int id : {lookup::kIdName, lookup::kIdCity, lookup::kIdZip}) {
        auto* box = control<QLineEdit>(dialog, id);
        QTest::keyClicks(box, QString(40, QLatin1Char('W')));
        QVERIFY(!box->text().isEmpty() && box->fontMetrics().horizontalAdvance(box->text()) < box->width());
      }
      QTest::mouseClick(control<QPushButton>(dialog, lookup::kIdCloseButton), Qt::LeftButton);
      QVERIFY(!dialog->isVisible());
    }));
  }

  // What each box holds reaches the search in upper case; without any, the search only asks
  // and the earlier results stay.
  void searchDialogCriteria() {
    Folder folder;
    Session s(folder.dir.path());
    QVERIFY(on_modal([&] { QTest::mouseClick(s.button(lookup::kIdExtendedSearch), Qt::LeftButton); }, [](QWidget* dialog) {
      const char* const kJones = "KC4Q   - JONES, AMY - 3 PINE - FIELDSTONE FL 32802\n";
      const std::vector<std::vector<const char*>> cases = {  // name, city, zip, state, found
          {"smith,j", "", "", "(all)", "K1ABC  - SMITH, JANE - 1 ELM ST - BOSTON MA 02101\n"
                                       "W1AW   - SMITH, JOHN A - 225 MAIN ST - SPRINGFIELD MA 01101\n"},
          {"", "field", "", "FL", "N0XYZ  - SMITHSON, ROY - PO BOX 9 - SPRINGFIELD FL 32801\n"},
          {"", "", "032802", "FL", kJones}, {"", "", "", "(all)", kJones}};
      for (const auto& c : cases) {
        for (int i = 0; i < 3; ++i) {
          auto* box = control<QLineEdit>(dialog, std::array{lookup::kIdName, lookup::kIdCity, lookup::kIdZip}[i]);
          box->clear();
          QTest::keyClicks(box, QString::fromLatin1(c[i]));
          QCOMPARE(box->text(), QString::fromLatin1(c[i]).toUpper());
        }
        auto* state = control<QComboBox>(dialog, lookup::kIdState);
        state->setCurrentIndex(state->findText(c[3]));
        QTest::keyClick(control<QLineEdit>(dialog, lookup::kIdZip), Qt::Key_Return);
        QCOMPARE(control<QPlainTextEdit>(dialog, lookup::kIdResults)->toPlainText(), QString(c[4]));
      }
      QCOMPARE(control<QLabel>(dialog, lookup::kIdStatus)->text(), QString());
    }));
    QCOMPARE(s.boxes.shown, QStringList({"Search: No search criteria were specified"}));
  }

  // The full edition reads the index at the first opening and keeps it; the US-only edition
  // reads it at each opening, and says when it cannot.
  void searchDialogIndexPerOpening() {
    Folder folder;
    Session s(folder.dir.path());
    QCOMPARE(search_status(s), QStringLiteral("Done - found 2"));
    const std::string path = folder.dir.file("call.db");
    QCOMPARE(truncate(path.c_str(), testutil::word_at(testutil::read_bytes(path), 8) + 20), 0);
    QCOMPARE(search_status(s), QString(kUsOnly ? "" : "Done - found 2"));
    QCOMPARE(s.boxes.shown, kUsOnly ? QStringList{"ERROR Reading database file: call.db"} : QStringList());
    QCOMPARE(s.window.focusWidget(), s.callsign);
  }
};

QTEST_MAIN(OrbiskWindowTest)
#include "orbisk_window_test.moc"
