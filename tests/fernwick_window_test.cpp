// fernwick's window, offscreen: its controls, the buttons each running job leaves enabled, the
// start-up lines, where a run's texts go, the boxes and their answers, a worker beside a slow
// download, closing while a worker asks or downloads. The engines have their own tests. With
// FERNWICK_SCREENSHOT=PATH, `screenshot` saves the window after a run.

#include <QtTest>
#include <QtWidgets>

#include <deque>
#include <filesystem>
#include <functional>
#include <memory>

#include "dbfiles/candb.h"
#include "dbfiles/dbwriter.h"
#include "fernwick/window.h"
#include "fernwick/window_boxes.h"
#include "fernwick/window_link.h"
#include "tests/support/scripted_server.h"
#include "tests/test_util.h"
#include "updater/make_update.h"

namespace {

namespace fs = std::filesystem;
using updater::Answer;
using updater::RowCell;
using Names = std::vector<std::string>;
using S = testutil::ScriptedServer;
const Names kUpdates = {"0105to0112.db", "0112to0119.db", "0119to0126.db"};
const platform::LocalTime kThreeWeeksOn = {2018, 1, 26, 12}, kSameDay = {2018, 1, 5, 12};

struct FakeBoxes final : fernwick::MessageBoxes {
  Answer show(QWidget*, const QString& text, const QString& caption, updater::Buttons b, updater::Icon) override {
    shown << caption + ": " + text;
    buttons.push_back(b);
    if (on_show) on_show();
    const Answer a = answers.empty() ? fernwick::WindowLink::giving_up(b) : answers.front();
    if (!answers.empty()) answers.pop_front();
    return a;
  }
  QStringList shown;  // "caption: text"
  std::vector<updater::Buttons> buttons;
  std::deque<Answer> answers;  // then No, Cancel or OK
  std::function<void()> on_show;
};

struct FakeHelp final : fernwick::HelpOpener {
  bool open(const QUrl& url) override {
    opened << url;
    return opens;
  }
  QList<QUrl> opened;
  bool opens = true;
};

Names names_in(const std::string& folder) {
  Names names;
  for (const fs::directory_entry& e : fs::directory_iterator(folder)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// Runs the window's events until `done` holds or a minute passes, waking for each call a
// worker sends, as the program's own event loop does.
bool wait_for(const std::function<bool()>& done) {
  QElapsedTimer clock;
  clock.start();
  QTimer tick;
  tick.start(20);
  while (!done() && !clock.hasExpired(60000)) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  return done();
}

// The data folder (call.db of 01/05/2018, a cancall.db of two calls), the folder standing for
// A:, three weekly update files made from snapshots, and the window.
struct World {
  World() {
    fs::create_directories(data(""));
    fs::create_directories(floppy(""));
    for (int k = 0; k <= 3; ++k) {  // week k: calls 5k to 7k+59, those with i % 10 < k renamed
      std::vector<dbfiles::UsRecord> records;
      for (int i = 5 * k; i < 7 * k + 60; ++i) {
        const char call[] = {'W', static_cast<char>('0' + i % 10), 'A', 'A', static_cast<char>('A' + i / 10), 0};
        records.push_back({dbfiles::encode_call(call), "NAME " + std::to_string(i) + (i % 10 < k ? "R" : ""),
                           "1 OAK ST", "TOWN", 1, 1000u + i, false});
      }
      std::sort(records.begin(), records.end(), [](const auto& a, const auto& b) { return a.key < b.key; });
      std::string error;
      if (dbfiles::write_call_db(snapshot(k), "201801" + std::to_string(5 + 7 * k + 100).substr(1), records) != 0 ||
          (k > 0 && updater::make_update(snapshot(k - 1), snapshot(k), update(k), &error) != 0)) {
        qFatal("week %d", k);
      }
    }
    dbfiles::CanDbWriter can;
    if (platform::copy_file(snapshot(0), data("call.db")) != 0 || can.open(data("cancall.db"), "20261127") != 0 ||
        can.add(dbfiles::CanEntry::make_word0(1, 9), "MARCHBANK", "E", "88 BYTOWN", "OTTAWA", "K2P 1A4") != 0 ||
        can.add(dbfiles::CanEntry::make_word0(2, 2), "FRASER", "A", "12 SEA RD", "VICTORIA", "V8V 1A1") != 0 ||
        can.finish() != 0) {
      qFatal("data folder");
    }
  }
  ~World() { window.reset(); }

  std::string data(const std::string& name) const { return dir.file("data/" + name); }
  std::string floppy(const std::string& name) const { return dir.file("floppy/" + name); }
  std::string snapshot(int week) const { return dir.file(std::to_string(week) + ".db"); }
  std::string update(int week) const { return dir.file(kUpdates[week - 1]); }
  // The first `weeks` update files already downloaded: the run merges them without a server.
  void stage(int weeks) {
    for (int k = 1; k <= weeks; ++k) platform::copy_file(update(k), data(kUpdates[k - 1]));
  }

  // Opens the window as the program does, shown and then started; the update server refuses
  // connections unless a port is given.
  void open(const platform::LocalTime& now, int port = 1, std::string zlib = platform::zlib_library_name()) {
    fernwick::WindowSettings s{data(""), {"127.0.0.1", port}, floppy(""), {"127.0.0.1", 1}, "", zlib};
    s.now = [now] { return now; };
    s.boxes = &boxes;
    s.help = &help;
    s.row_cell_hook = [this](int, RowCell, const QString&) { copy_to_seen << enabled(fernwick::kIdCopyTo); };
    window = std::make_unique<fernwick::Window>(std::move(s));
    window->show();
    window->start();
  }

  QString log() const { return window->findChild<QPlainTextEdit*>()->toPlainText(); }
  bool enabled(int id) const { return fernwick::button_by_id(window.get(), id)->isEnabled(); }
  QString label_at(int x, int y) const {
    for (QLabel* l : window->findChildren<QLabel*>()) {
      if (l->geometry().topLeft() == QPoint(x, y)) return l->text();
    }
    return "@none";
  }
  QString grid(int row, RowCell cell) const { return label_at(5 + 100 * static_cast<int>(cell), 40 + 18 * row); }
  // Repeat update, Clean up, Update Canada, Copy to A:, Copy from A:, as 1 (enabled) or 0.
  QString buttons() const {
    QString states;
    for (int id : {3, 2, 6, 4, 5}) states += enabled(id) ? '1' : '0';
    return states;
  }
  void click(int id) { QTest::mouseClick(fernwick::button_by_id(window.get(), id), Qt::LeftButton); }
  bool wait_until_idle() { return wait_for([this] { return enabled(fernwick::kIdRepeatUpdate); }); }

  testutil::TempDir dir;
  FakeBoxes boxes;
  FakeHelp help;
  QList<bool> copy_to_seen;  // whether Copy to A: was enabled at each grid change
  std::unique_ptr<fernwick::Window> window;  // last: closed before the rest goes
};

}  // namespace

class FernwickWindowTest : public QObject {
  Q_OBJECT

 private slots:
  // Repeat update, Clean up, Update Canada, Copy to A:, Copy from A: for each running job.
  void buttonsPerRunningJob() {
    using R = fernwick::Running;
    const std::tuple<bool R::*, bool, const char*> cases[] = {  // job, zlib and copy to allowed
        {nullptr, true, "11111"}, {nullptr, false, "11001"}, {&R::us_update, true, "00001"}, {&R::cleanup, true, "00111"},
        {&R::canada, true, "00001"}, {&R::copy_to, true, "01100"}, {&R::copy_from, true, "11100"}};
    for (const auto& [job, allowed, enabled] : cases) {
      R running;
      if (job != nullptr) running.*job = true;
      const fernwick::ButtonStates b = fernwick::button_states(running, allowed, allowed);
      std::string got;
      for (bool on : {b.repeat_update, b.clean_up, b.update_canada, b.copy_to, b.copy_from}) got += on ? '1' : '0';
      QCOMPARE(got, std::string(enabled));
    }
  }

  // Each control in the order made, with its text, id, place and alignment; the log follows the
  // window's size and Exit closes the window.
  void layout() {
    fernwick::Window window(fernwick::WindowSettings{});
    window.show();
    QCOMPARE(window.windowTitle(), QStringLiteral("Fernwick 012 for Orbisk"));
    QCOMPARE(window.frameGeometry().size(), QSize(790, 500));
    const Qt::Alignment L = Qt::AlignLeft, R = Qt::AlignRight, C = Qt::AlignHCenter;
    std::vector<std::tuple<QString, int, QRect, Qt::Alignment>> expected = {  // text, id (0: label)
        {"Exit", 1, {660, 0, 110, 22}, {}}, {"Repeat update", 3, {0, 0, 110, 22}, {}},
        {"Clean up", 2, {110, 0, 110, 22}, {}}, {"Help", 7, {710, 27, 60, 22}, {}},
        {"@log", 0, {0, 184, window.width(), window.height() - 184}, {}}};
    const char* const names[8] = {"db date ", "update file ", "updating to ", "records in update ",
                                  " new calls", " deleted calls", " changed calls", " % done"};
    for (int i = 0; i < 16; ++i) {  // the names, then the values beside them
      const bool left = (i % 8 < 4) == (i < 8);
      expected.push_back({i < 8 ? names[i] : i < 11 ? "------" : "0", 0,
                          QRect(left ? 410 : 540, 22 + 18 * (i % 8), left ? 125 : 130, 18), left ? R : L});
    }
    expected.insert(expected.end(), {{"Update File", 0, {5, 22, 100, 18}, L}, {"Status", 0, {105, 22, 100, 18}, C},
                                     {"Bytes read", 0, {205, 22, 100, 18}, R}, {"Total bytes", 0, {305, 22, 100, 18}, R},
                                     {"<SneakerNet>", 0, {440, 0, 110, 22}, C}, {"Update Canada", 6, {220, 0, 110, 22}, {}},
                                     {"Copy to A:", 4, {330, 0, 110, 22}, {}}, {"Copy from A:", 5, {550, 0, 110, 22}, {}}});
    for (int i = 0; i < 4 * updater::kRowCount; ++i) {
      expected.push_back({"", 0, {5 + 100 * (i % 4), 40 + 18 * (i / 4), 100, 18}, i % 4 == 0 ? L : i % 4 == 1 ? C : R});
    }
    const QList<QWidget*> made = window.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    QCOMPARE(made.size(), qsizetype(expected.size()));
    for (int i = 0; i < made.size(); ++i) {
      const auto& [text, id, rect, align] = expected[i];
      const QByteArray where = QByteArray::number(i) + " " + text.toLatin1();
      QVERIFY2(made[i]->geometry() == rect && made[i]->property("text").toString() == (i == 4 ? "" : text), where);
      if (auto* log = qobject_cast<QPlainTextEdit*>(made[i])) {
        QVERIFY(i == 4 && !log->isReadOnly() && log->lineWrapMode() == QPlainTextEdit::WidgetWidth);
        QCOMPARE(log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        const QFontMetrics metrics(log->font());  // fixed pitch as the user sees it
        for (QChar glyph : {'i', 'W', '.'}) QCOMPARE(metrics.horizontalAdvance(glyph), metrics.horizontalAdvance(QChar('M')));
      } else if (id != 0) {
        QVERIFY2(made[i]->property(fernwick::kControlIdProperty).toInt() == id, where);
      } else {
        auto* label = qobject_cast<QLabel*>(made[i]);
        QVERIFY2(label != nullptr && (label->alignment() & Qt::AlignHorizontal_Mask) == align, where);
      }
    }
    window.resize(900, 600);
    QCOMPARE(made[4]->geometry(), QRect(0, 184, 900, 600 - 184));
    QTest::mouseClick(fernwick::button_by_id(&window, fernwick::kIdExit), Qt::LeftButton);
    QVERIFY(!window.isVisible());
  }

  // What a run leaves and asks: Yes or No to the clean-up question after a full run; a file the
  // server cannot give (no question); the window closed while that box is up (nothing merged).
  // After No, a repeated run keeps Copy to A: off while it runs; then the floppy copies, the
  // clean-up of an incomplete call.db (the update files go, the saved databases stay) and the
  // Canadian update, which empties the US run's cells and holds the grid until it ends.
  void runsAndTheirAnswers() {
    const QString question = "Fernwick 012 for Orbisk: Clean up old files?\rDo NOT clean up if you want to copy updates to A:";
    const QString refused = "connect() failed: 127.0.0.1";
    const Names saved = {"call.db", "call0105.db", "call0112.db", "call0119.db", "cancall.db"};
    Names all = kUpdates;
    all.insert(all.end(), saved.begin(), saved.end());
    const std::tuple<int, Answer, bool, QString, int, Names, const char*> cases[] = {
        // staged weeks, answer, close on the box, the box, merged weeks, files left, buttons
        {3, Answer::yes, false, question, 3, {"call.db", "cancall.db"}, "11101"},
        {1, Answer::ok, false, refused, 1, {"0105to0112.db", "call.db", "call0105.db", "cancall.db"}, "11101"},
        {1, Answer::ok, true, refused, 0, {"0105to0112.db", "call.db", "cancall.db"}, ""},
        {3, Answer::no, false, question, 3, all, "11111"}};
    for (const auto& [staged, answer, close, box, merged, left, buttons] : cases) {
      World w;
      w.stage(staged);
      w.boxes.answers = {answer};
      if (close) w.boxes.on_show = [&w] { w.window->close(); };
      w.open(kThreeWeeksOn);
      QCOMPARE(w.buttons(), QStringLiteral("00001"));  // the run starts at once
      QVERIFY(wait_for([&] { return close ? !w.window->isVisible() : w.log().contains("thread closed\n") && w.enabled(fernwick::kIdRepeatUpdate); }));
      QCOMPARE(w.boxes.shown, QStringList{box});
      QCOMPARE(w.boxes.buttons.front(), staged == 3 ? updater::Buttons::yes_no : updater::Buttons::ok);
      QCOMPARE(testutil::read_bytes(w.data("call.db")), testutil::read_bytes(w.snapshot(merged)));
      QCOMPARE(names_in(w.data("")), left);
      if (close) continue;
      QCOMPARE(w.buttons(), QString(buttons));
      if (answer != Answer::no) continue;

      QVERIFY2(w.log().startsWith("Canadian db present: 11/27/2026  2 calls\n\nzlib is present\n"), qPrintable(w.log()));
      QVERIFY(w.log().endsWith("call0119.db <<--saved old call.db file\nthread closed\n"));
      for (int row = 0; row < updater::kRowCount; ++row) {
        QVERIFY(w.grid(row, RowCell::name) == (row < 3 ? kUpdates[row].c_str() : "") &&
                w.grid(row, RowCell::status) == (row < 3 ? "done" : ""));
      }
      QStringList values;  // value cells, count cells
      for (int i = 0; i < 4; ++i) values << w.label_at(540, 22 + 18 * i) << w.label_at(410, 94 + 18 * i);
      QCOMPARE(values, QStringList({"01/19/2018", "7", "0119to0126.db", "5", "01/26/2018", "6", "18", "100"}));

      const auto copied = [&w] { return w.enabled(fernwick::kIdCopyFrom) && w.log().endsWith("Copying complete\n"); };
      w.click(fernwick::kIdCopyTo);
      QVERIFY(wait_for(copied));
      QCOMPARE(names_in(w.floppy("")), kUpdates);
      testutil::write_bytes(w.floppy("0126to0202.db"), "next week");
      w.click(fernwick::kIdCopyFrom);
      QVERIFY(wait_for(copied));
      QCOMPARE(testutil::read_bytes(w.data("0126to0202.db")), std::string("next week"));
      QCOMPARE(w.buttons(), QStringLiteral("11111"));
      w.click(fernwick::kIdUpdateCanada);
      QVERIFY(w.grid(1, RowCell::name).isEmpty() && w.buttons() == "00001");
      QVERIFY(w.wait_until_idle());
      QCOMPARE(w.buttons(), QStringLiteral("11111"));
      w.copy_to_seen.clear();
      w.click(fernwick::kIdRepeatUpdate);
      QVERIFY(w.wait_until_idle());
      QVERIFY(!w.copy_to_seen.isEmpty() && !w.copy_to_seen.contains(true));
      w.click(fernwick::kIdCleanUp);
      QVERIFY(w.wait_until_idle());
      QCOMPARE(names_in(w.data("")), saved);
      QCOMPARE(w.buttons(), QStringLiteral("11101"));
      QCOMPARE(w.boxes.shown.size(), 1);
    }
  }

  // Without zlib the Canadian update stays disabled, the loader's lines coming between the
  // Canadian line and the run's. Help opens the data folder's page, else the one on the update
  // server in use; a page the desktop cannot show is a box.
  void zlibMissingAndHelp() {
    World w;
    w.open(kSameDay, 8123, "libfernwick-no-such-zlib.so");  // nothing due: the run ends at once
    QVERIFY(!w.enabled(fernwick::kIdUpdateCanada));
    QVERIFY(w.wait_until_idle());
    QVERIFY2(w.log().startsWith("Canadian db present: 11/27/2026  2 calls\n\nNOTE: to update the Canadian database, "
                                "download the libfernwick-no-such-zlib.so file into your calldb folder\n\n"
                                "01/05/2018 <<---current database date\n"), qPrintable(w.log()));
    QVERIFY(w.log().endsWith("Next update will be 1/12/2018\nthread closed\n"));
    QCOMPARE(w.buttons(), QStringLiteral("11001"));

    w.click(fernwick::kIdHelp);
    testutil::write_bytes(w.data("fernwick-help.html"), "<html></html>");
    w.click(fernwick::kIdHelp);
    w.help.opens = false;
    w.click(fernwick::kIdHelp);
    const QUrl page = QUrl::fromLocalFile(QString::fromStdString(w.data("fernwick-help.html")));
    QCOMPARE(w.help.opened, QList<QUrl>({QUrl("http://127.0.0.1:8123/fernwick-help.html"), page, page}));
    QCOMPARE(w.boxes.shown, QStringList{"Fernwick 012 for Orbisk: Could not open the help page\r" + page.toEncoded()});
  }

  // While a download pauses, a copy from A: runs and ends, and what the run forbids stays off;
  // closing the window then leaves no half-written file, no update file, call.db as it was.
  void slowDownload() {
    World w;
    const std::string body = testutil::read_bytes(w.update(1)), half = body.substr(0, body.size() / 2);
    S server({{S::send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + half),
               S::pause(3000), S::send(body.substr(half.size()))}});
    testutil::write_bytes(w.floppy("0126to0202.db"), "next week");
    w.open(kThreeWeeksOn, server.port());
    QVERIFY(wait_for([&] { return !w.grid(0, RowCell::bytes).isEmpty(); }));
    QCOMPARE(w.grid(0, RowCell::total), QString::number(body.size()));
    w.click(fernwick::kIdCopyFrom);
    QVERIFY(wait_for([&] { return w.log().contains("Copying complete\n") && w.enabled(fernwick::kIdCopyFrom); }));
    QCOMPARE(w.buttons(), QStringLiteral("00001"));
    const Names during = names_in(w.data(""));
    QVERIFY(std::any_of(during.begin(), during.end(), [](const std::string& n) { return n.starts_with("0105to0112.db.new-"); }));
    QVERIFY(w.window->close());
    QCOMPARE(names_in(w.data("")), Names({"0126to0202.db", "call.db", "cancall.db"}));
    QCOMPARE(testutil::read_bytes(w.data("call.db")), testutil::read_bytes(w.snapshot(0)));
    QVERIFY(w.boxes.shown.empty());
  }

  // The picture for the README (scripts/screenshot-fernwick).
  void screenshot() {
    const QString out = qEnvironmentVariable("FERNWICK_SCREENSHOT");
    if (out.isEmpty()) QSKIP("set FERNWICK_SCREENSHOT=PATH to save a picture of the window");
    World w;
    w.stage(3);
    w.open(kThreeWeeksOn);
    QVERIFY(w.wait_until_idle() && w.window->grab().save(out, "PNG"));
  }
};

QTEST_MAIN(FernwickWindowTest)
#include "fernwick_window_test.moc"
