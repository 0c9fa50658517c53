// The lookup window and its Extended Search dialog, offscreen, in the edition the build makes
// (built once for each): controls, keyboard, boxes, Help, About. What they find is the engines'.

#include <QtTest>
#include <QtWidgets>

#include <filesystem>
#include <functional>

#include "dbfiles/dbwriter.h"
#include "orbisk/control_ids.h"
#include "orbisk/edition.h"
#include "orbisk/help_opener.h"
#include "orbisk/main_window.h"
#include "orbisk/message_boxes.h"
#include "tests/test_util.h"

namespace {

using dbfiles::encode_call;
using lookup::kUsOnly;

// The boxes shown, as "caption: text", on a desktop that cannot show help pages.
struct FakeBoxes final : lookup::MessageBoxes, widgets::HelpOpener {
  lookup::BoxAnswer show(QWidget*, const QString& text, const QString& caption,
                         lookup::BoxIcon) override {
    shown << caption + ": " + text;
    return lookup::BoxAnswer::ok;
  }
  void open(const QUrl&, QObject*, std::function<void(const QString&)> failed) override {
    failed("no browser");
  }
  QStringList shown;
};

// A data folder with call.db, callprev.db (KB1OLD is now K1ABC) and cancall.db (VE3ABC).
struct Folder {
  explicit Folder(bool prev = true, bool can = true) {
    dbfiles::CanDbWriter writer;
    dbfiles::CanKey key = 0;
    const dbfiles::PrevEntry moved = {encode_call("KB1OLD"), encode_call("K1ABC")};
    bool ok = dbfiles::write_call_db(dir.file("call.db"), "20261129", {  // key order; 25 MA, 14 FL
        {encode_call("K1ABC"), "SMITH, JANE", "1 ELM ST", "BOSTON", 25, 2101},
        {encode_call("KC4Q"), "JONES, AMY", "3 PINE", "FIELDSTONE", 14, 32802},
        {encode_call("N0XYZ"), "SMITHSON, ROY", "9", "SPRINGFIELD", 14, 32801},
        {encode_call("W1AW"), "SMITH, JOHN A", "225 MAIN ST", "SPRINGFIELD", 25, 1101}}) == 0;
    ok = ok && (!prev || dbfiles::write_prev_db(dir.file("callprev.db"), "20261129", {moved}) == 0);
    ok = ok && (!can || (writer.open(dir.file("cancall.db"), "20261127") == 0 &&
                         dbfiles::encode_can_call("VE3ABC", &key) == 0 &&
                         writer.add(dbfiles::CanEntry::make_word0(key, 14), "MARCHBANK", "ELOISE R",
                                    "88 BYTOWN CRES", "OTTAWA", "K2P 1A4") == 0 &&
                         writer.finish() == 0));
    if (!ok) qFatal("data folder");
  }
  QString path() const { return QDir(QString::fromStdString(dir.path())).canonicalPath(); }
  testutil::TempDir dir;
};

QList<QWidget*> children_of(const QWidget* parent) {  // in the order they were made
  return parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
}

template <class T>
T* control(const QWidget* root, int id) {
  const QList<T*> all = root->findChildren<T*>();
  const auto it = std::ranges::find_if(all, [id](T* w) { return lookup::control_id(w) == id; });
  return it == all.end() ? nullptr : *it;
}

// The window on a data folder, shown and started as the program does.
struct Session {
  explicit Session(const std::string& dir) : window(boxes, boxes, QString::fromStdString(dir)) {
    window.show();
    window.activateWindow();
    if (!QTest::qWaitForWindowActive(&window)) qWarning("window not active");
    window.start();
  }
  ~Session() { QDir::setCurrent(cwd); }
  QPushButton* button(int id) { return control<QPushButton>(&window, id); }
  QString shown() const { return output->toPlainText(); }
  QAction* menu(int i) { return window.menuBar()->actions().front()->menu()->actions()[i]; }
  void look_up(const QString& typed) {  // over the box's selection, as a user types
    QTest::keyClicks(callsign, typed);
    QTest::keyClick(callsign, Qt::Key_Return);
  }
  const QString cwd = QDir::currentPath();
  FakeBoxes boxes;
  lookup::MainWindow window;
  QLineEdit* callsign = control<QLineEdit>(&window, lookup::kIdCallsign);
  QPlainTextEdit* output = control<QPlainTextEdit>(&window, lookup::kIdOutput);
};

// Runs `open`, then `act` on the modal dialog it opens (once active, or after 5 s), then closes it.
bool on_modal(const std::function<void()>& open, const std::function<void(QWidget*)>& act) {
  bool ran = false;
  int ticks = 0;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || (!modal->isActiveWindow() && ++ticks < 1000)) return;
    timer.stop();
    ran = true;
    act(modal);
    if (QApplication::activeModalWidget() == modal) modal->close();
  });
  timer.start(5);
  open();
  return ran;
}

// Types name, city and zip (shown in upper case), picks the state, presses Enter: the calls found.
QString search(QWidget* dialog, const std::vector<const char*>& typed) {
  const int ids[] = {lookup::kIdName, lookup::kIdCity, lookup::kIdZip};
  for (int i = 0; i < 3; ++i) {
    auto* box = control<QLineEdit>(dialog, ids[i]);
    box->clear();
    QTest::keyClicks(box, typed[i]);
    if (box->text() != QString(typed[i]).toUpper()) return "@not in upper case";
  }
  control<QComboBox>(dialog, lookup::kIdState)->setCurrentText(typed[3]);
  QTest::keyClick(control<QLineEdit>(dialog, lookup::kIdZip), Qt::Key_Return);
  const QString results = control<QPlainTextEdit>(dialog, lookup::kIdResults)->toPlainText();
  QStringList calls;
  for (const QString& row : results.split('\n', Qt::SkipEmptyParts)) calls << row.split(' ')[0];
  return calls.join(' ');
}

// Where a label, button or list draws its text.
QRect text_room(QWidget* w) {
  if (qobject_cast<QLabel*>(w) != nullptr) return w->contentsRect();
  if (auto* b = qobject_cast<QPushButton*>(w)) {
    QStyleOptionButton option;
    option.initFrom(b);
    if (b->isDefault()) option.features |= QStyleOptionButton::DefaultButton;
    return b->style()->subElementRect(QStyle::SE_PushButtonContents, &option, b);
  }
  QStyleOptionComboBox option;
  option.initFrom(w);
  return w->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, w);
}

const QString kW1aw = QStringLiteral("W1AW\nSMITH, JOHN A\n225 MAIN ST\nSPRINGFIELD MA 01101\n\n");
const QString kTitle =
    kUsOnly ? "Orbisk Callsign lookup" : "Orbisk+ US/Canadian Callsign lookup 007";
const QString kNoCallDb = "ERROR Reading Database: call.db\r\n";

}  // namespace

class OrbiskWindowTest : public QObject {
  Q_OBJECT

 private slots:
  // No box; the start-up and Canadian lines (full edition) only from callprev.db and cancall.db;
  // the controls' texts and ids, following the size. Tab and Shift+Tab go round the box and
  // buttons; Enter on a button runs it, then selects the box's text. A miss replaces the start-up
  // line or goes in front; a found record rebuilds the output from found records, newest first.
  // A help page the desktop cannot show is a box. About: a frame without a caption, its texts
  // whole and centred at a wide font. A message box shows its whole caption beside the title bar's.
  void startupControlsAndKeyboard() {
    const std::pair<bool, bool> folders[] = {{false, true}, {true, false}};  // callprev, cancall
    for (const auto& [prev, can] : folders) {
      Folder folder(prev, can);
      Session s(folder.dir.path());
      QVERIFY(s.window.windowTitle() == kTitle && s.window.frameSize() == QSize(450, 450));
      QVERIFY(s.boxes.shown.empty() && QDir::currentPath() == folder.path());
      QCOMPARE(s.shown().startsWith("1 previous calls in callprev.db"), prev && !kUsOnly);
      QStringList texts = {"", "Database date 11/29/2026, 4 entries in " + folder.path()};
      texts << "Enter Callsign and 'enter'" << "" << "Search" << "Extended Search" << "Exit" << "";
      if (!kUsOnly) texts.insert(2, can ? "Canadian data 11/27/2026,       1 entries" : "");
      const QList<QWidget*> c = children_of(s.window.centralWidget());
      QCOMPARE(c.size(), texts.size());
      for (int i = 0; i < c.size(); ++i) {  // the last five carry ids 1 to 5 and overlap nothing
        QCOMPARE(c[i]->property("text").toString(), texts[i]);
        QCOMPARE(lookup::control_id(c[i]), std::max<int>(0, i + 6 - c.size()));
        const QRect r = c[i]->geometry();
        for (int j = 1; j < i && i + 5 >= c.size(); ++j) QVERIFY(!r.intersects(c[j]->geometry()));
      }
      s.window.resize(640, 300);
      QApplication::processEvents();
      QCOMPARE(s.button(4)->geometry().right() + 1, s.window.centralWidget()->width());
      QCOMPARE(s.output->geometry().bottomRight(), s.window.centralWidget()->rect().bottomRight());
    }
    Folder folder;
    Session s(folder.dir.path());
    QVERIFY(s.output->isReadOnly() && s.output->lineWrapMode() == QPlainTextEdit::WidgetWidth);
    QCOMPARE(s.output->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    const QString miss = "K9ZZZ NOT FOUND\n\n";
    s.look_up("k9zzz");
    QCOMPARE(s.shown(), miss);  // in place of the start-up line
    const QList<QWidget*> ring = {s.callsign, s.button(2), s.button(3), s.button(4)};
    for (int i = 0; i < 8; ++i) {  // Tab round the ring, then Shift+Tab back
      QCOMPARE(QApplication::focusWidget(), ring[i < 4 ? i : (8 - i) % 4]);
      QTest::keyClick(QApplication::focusWidget(), i < 4 ? Qt::Key_Tab : Qt::Key_Backtab);
    }
    QTest::keyClicks(s.callsign, "w1aw");
    QTest::keyClick(s.callsign, Qt::Key_Tab);
    QTest::keyClick(s.button(2), Qt::Key_Return);
    QVERIFY(s.shown() == kW1aw && QApplication::focusWidget() == s.callsign);
    s.button(3)->setFocus();
    QVERIFY(on_modal([&] { QTest::keyClick(s.button(3), Qt::Key_Enter); }, [](QWidget* dialog) {
      const char* title = kUsOnly ? "Extended Search" : "Extended Search (US only)";
      QCOMPARE(dialog->windowTitle(), QString(title));
      QTest::keyClick(dialog, Qt::Key_Escape);
      QVERIFY(!dialog->isVisible());
    }));
    QVERIFY(s.window.focusWidget() == s.callsign && s.callsign->selectedText() == "W1AW");
    const QString k1abc = "K1ABC\nSMITH, JANE\n1 ELM ST\nBOSTON MA 02101\n\n";
    const std::pair<const char*, QString> steps[] = {
        {"k9zzz", miss + kW1aw}, {"w1aw", kW1aw + kW1aw}, {"k1abc", k1abc + kW1aw + kW1aw}};
    for (const auto& [typed, shown] : steps) {
      QTest::keyClicks(s.callsign, typed);
      QCOMPARE(s.callsign->text(), QString(typed).toUpper());
      QTest::keyClick(s.callsign, Qt::Key_Return);
      QVERIFY(s.shown() == shown && s.callsign->selectedText() == QString(typed).toUpper());
    }
    testutil::write_bytes(folder.dir.file("orbisk-help.html"), "help");
    s.menu(0)->trigger();
    const QString page = "Could not open the help page " + folder.path() + "/orbisk-help.html";
    QCOMPARE(s.boxes.shown, QStringList{"ERROR Opening help: " + page + "\rno browser"});

    const QFont normal = QApplication::font();
    const auto restore = qScopeGuard([&] { QApplication::setFont(normal); });
    QFont spaced = normal;
    spaced.setLetterSpacing(QFont::AbsoluteSpacing, 3);
    QApplication::setFont(spaced);
    QStringList texts;
    QVERIFY(on_modal([&] { s.menu(1)->trigger(); }, [&](QWidget* box) {
      QVERIFY(!(box->windowFlags() & (Qt::FramelessWindowHint | Qt::WindowTitleHint)));
      QVERIFY(box->windowFlags() & Qt::CustomizeWindowHint);
      for (QWidget* w : children_of(box)) {
        texts << w->property("text").toString();
        if (auto* label = qobject_cast<QLabel*>(w)) {
          QVERIFY(label->alignment() & Qt::AlignHCenter && label->x() == 0 &&
                  label->width() == box->width());
          QVERIFY(label->width() >= label->fontMetrics().horizontalAdvance(label->text()));
        } else {
          QVERIFY(qAbs(w->geometry().center().x() - box->width() / 2) <= 1);
          QVERIFY(qobject_cast<QPushButton*>(w)->isDefault());
        }
      }
    }));
    QCOMPARE(texts, QStringList({kUsOnly ? "orbisk" : kTitle, "Callsign lookup program",
                                 "For amateur radio operators", "OK"}));

    const QString caption = QStringLiteral("ERROR Reading Database");
    lookup::QtMessageBoxes boxes;
    QVERIFY(on_modal([&] { boxes.show(&s.window, "call.db", caption, lookup::BoxIcon::error); },
                     [&](QWidget* box) {
      QFont bold = box->font();
      bold.setBold(true);
      QVERIFY(box->width() >= QFontMetrics(bold).horizontalAdvance(caption) + 100);
    }));
    QTest::keyClick(s.button(4), Qt::Key_Return);
    QVERIFY(!s.window.isVisible());
  }

  // Without call.db: a box at start-up, each US lookup and Extended Search (Canadian lookups work
  // in the full edition) until one is put in place. A missing named folder is named in the box.
  void withoutCallDb() {
    Folder folder;
    const std::string db = folder.dir.file("call.db"), away = db + ".away";
    std::filesystem::rename(db, away);
    Session s(folder.dir.path());
    auto* info = qobject_cast<QLabel*>(children_of(s.window.centralWidget())[1]);
    const QString get = "\r\nTo get the current US database from the FCC, start fernwick "
                        "(\"fernwick\" in the menu) or run: calldb fetch-fcc -C ";
    const QStringList box = {kNoCallDb + "Not found in " + folder.path() + "." + get +
                             folder.path()};
    QVERIFY(s.boxes.shown == box && info->text() == "Database info here");
    s.look_up("ve3abc");
    QCOMPARE(s.shown().startsWith("VE3ABC\nELOISE R MARCHBANK\n"), !kUsOnly);
    s.look_up("w1aw");
    QVERIFY(!on_modal([&] { s.button(3)->click(); }, [](QWidget*) {}));
    QCOMPARE(s.boxes.shown, box + box + box + (kUsOnly ? box : QStringList()));
    QCOMPARE(s.window.focusWidget(), s.callsign);
    std::filesystem::rename(away, db);
    s.look_up("w1aw");
    QVERIFY(s.shown().startsWith(kW1aw) && s.boxes.shown.size() == (kUsOnly ? 4 : 3));
    QCOMPARE(info->text(), "Database date 11/29/2026, 4 entries in " + folder.path());

    const std::string missing = folder.dir.file("no such folder");
    Session named(missing);
    named.look_up("w1aw");
    const QString gone = "The data folder " + QString::fromStdString(missing) + " does not exist." +
                         get + "'" + QString::fromStdString(missing) + "'";
    QCOMPARE(named.boxes.shown, QStringList(2, kNoCallDb + gone));
  }

  // The dialog's controls, ids and texts, each whole; it grows by its result box, which never
  // wraps; Name, City and Zip never scroll. Each box reaches the search. Both editions search
  // the index read when call.db was opened, so an index cut since is no trouble.
  void searchDialog() {
    Folder folder;
    Session s(folder.dir.path());
    QVERIFY(on_modal([&] { s.button(3)->click(); }, [](QWidget* dialog) {
      const QStringList texts = {"Search for one or more of the following criteria:", "Name",
                                 "City", "State", "Zip", "", "", "(all)", "", "(last, first ...)",
                                 "Search", "Close window", "", ""};
      const int ids[] = {0, 0, 0, 0, 0, 107, 108, 109, 110, 0, 1, 2, 112, 111};
      const QList<QWidget*> c = children_of(dialog);
      QCOMPARE(c.size(), texts.size());
      for (int i = 0; i < c.size(); ++i) {
        auto* list = qobject_cast<QComboBox*>(c[i]);
        QCOMPARE(lookup::control_id(c[i]), ids[i]);
        QCOMPARE(c[i]->property(list ? "currentText" : "text").toString(), texts[i]);
        QVERIFY(dialog->rect().contains(c[i]->geometry()));
        QStringList shown = {texts[i]};
        if (ids[i] == 112) shown << "Searching names/cities..." << "Found 8192, 100% done";
        for (int n = 0; list != nullptr && n < list->count(); ++n) shown << list->itemText(n);
        if (qobject_cast<QLineEdit*>(c[i]) != nullptr || i == 13) continue;  // no text drawn
        const QFontMetricsF m(c[i]->font());
        const QRect room = text_room(c[i]);
        for (const QString& text : shown) QVERIFY(room.width() >= qCeil(m.horizontalAdvance(text)));
        QVERIFY(room.height() >= c[i]->fontMetrics().height());
      }
      auto* results = control<QPlainTextEdit>(dialog, lookup::kIdResults);
      QVERIFY(control<QPushButton>(dialog, lookup::kIdSearchButton)->isDefault());
      QVERIFY(results->isReadOnly() && results->lineWrapMode() == QPlainTextEdit::NoWrap);
      QCOMPARE(results->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
      const QRect before = results->geometry();
      dialog->resize(dialog->size() + QSize(120, 90));
      QCOMPARE(results->geometry(), before.adjusted(0, 0, 120, 90));
      for (int id : {lookup::kIdName, lookup::kIdCity, lookup::kIdZip}) {
        auto* box = control<QLineEdit>(dialog, id);
        QTest::keyClicks(box, QString(40, QLatin1Char('W')));
        const int wide = box->fontMetrics().horizontalAdvance(box->text());
        QVERIFY(!box->text().isEmpty() && wide < box->width());
      }

      QCOMPARE(search(dialog, {"smith,j", "", "", "(all)"}), "K1ABC W1AW");
      QCOMPARE(search(dialog, {"", "field", "", "FL"}), "N0XYZ");
      QCOMPARE(search(dialog, {"", "", "032802", "FL"}), "KC4Q");
      QCOMPARE(search(dialog, {"", "", "", "(all)"}), "KC4Q");
      QTest::mouseClick(control<QPushButton>(dialog, lookup::kIdCloseButton), Qt::LeftButton);
      QVERIFY(!dialog->isVisible());
    }));
    QCOMPARE(s.boxes.shown, QStringList({"Search: No search criteria were specified"}));

    const std::string path = folder.dir.file("call.db");
    std::filesystem::resize_file(path, testutil::word_at(testutil::read_bytes(path), 8) + 20);
    QString found;
    on_modal([&] { s.button(3)->click(); },
             [&](QWidget* dialog) { found = search(dialog, {"smith, j", "", "", "(all)"}); });
    QVERIFY(found == "K1ABC W1AW" && s.boxes.shown.size() == 1);
  }
};

QTEST_MAIN(OrbiskWindowTest)
#include "orbisk_window_test.moc"
