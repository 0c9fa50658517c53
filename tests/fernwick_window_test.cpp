// fernwick's window, offscreen: its controls, the buttons each running job leaves enabled, the
// start-up lines, the boxes and their answers, workers side by side and closing while one works.
// The engines have their own tests; here they only have to run. With FERNWICK_SCREENSHOT=PATH,
// `screenshot` saves a picture of the window after a run (scripts/screenshot-fernwick).

#include <sys/stat.h>

#include <QElapsedTimer>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "dbfiles/candb.h"
#include "dbfiles/dbwriter.h"
#include "fernwick/window.h"
#include "fernwick/window_boxes.h"
#include "fernwick/window_link.h"
#include "fernwick/window_rules.h"
#include "tests/support/nginx_server.h"
#include "tests/support/scripted_server.h"
#include "tests/test_util.h"
#include "updater/make_update.h"

namespace {

namespace fs = std::filesystem;
using fernwick::Window;
using updater::Answer;
using updater::Buttons;
using updater::RowCell;
using S = testutil::ScriptedServer;

constexpr int kWeeks = 3;
const char* const kDates[kWeeks + 1] = {"20180105", "20180112", "20180119", "20180126"};
const char* const kUpdates[kWeeks] = {"0105to0112.db", "0112to0119.db", "0119to0126.db"};
constexpr int kLongWait = 60000;  // ms; a run takes well under a second unless a server pauses
constexpr char kQuestion[] =
    "Clean up old files?\rDo NOT clean up if you want to copy updates to A:";

platform::LocalTime at(int day) { return {2018, 1, day, 12}; }
const platform::LocalTime kThreeWeeksOn = at(26);  // the three weeks are due
const platform::LocalTime kSameDay = at(5);        // nothing is due yet

// Week k's snapshot: calls 7k to 7k+59, so that each week drops seven and adds seven; three
// more are renamed each week.
std::vector<dbfiles::UsRecord> week_records(int k) {
  std::vector<dbfiles::UsRecord> records;
  for (int i = 7 * k; i < 7 * k + 60; ++i) {
    std::string call = "W0AAA";
    call[1] = static_cast<char>('0' + i % 10);
    call[4] = static_cast<char>('A' + i / 10);
    bool renamed = false;
    for (int j = 1; j <= k; ++j) renamed = renamed || (i >= 7 * j + 10 && i < 7 * j + 13);
    records.push_back({dbfiles::encode_call(call.c_str()),
                       "NAME " + std::to_string(i) + (renamed ? " R" : ""), "1 OAK ST", "TOWN",
                       1, 1000u + i, false});
  }
  std::sort(records.begin(), records.end(),
            [](const auto& a, const auto& b) { return a.key < b.key; });
  return records;
}

class FakeBoxes final : public fernwick::MessageBoxes {
 public:
  struct Shown {
    QString caption;
    QString text;
    Buttons buttons;
  };
  Answer show(QWidget*, const QString& text, const QString& caption, Buttons buttons,
              updater::Icon) override {
    shown.push_back({caption, text, buttons});
    if (on_show) on_show();
    if (answers.empty()) return fernwick::WindowLink::giving_up(buttons);
    const Answer a = answers.front();
    answers.pop_front();
    return a;
  }
  std::vector<Shown> shown;
  std::deque<Answer> answers;  // then No, Cancel or OK
  std::function<void()> on_show;
};

class FakeHelp final : public fernwick::HelpOpener {
 public:
  bool open(const QUrl& url) override {
    opened.push_back(url);
    return opens;
  }
  std::vector<QUrl> opened;
  bool opens = true;
};

std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  for (const fs::directory_entry& e : fs::directory_iterator(folder)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Runs the window's events until `done` holds or `ms` pass, waking for each call a worker
// sends, as the program's own event loop does.
template <typename Done>
bool wait_for(Done done, int ms = kLongWait) {
  QElapsedTimer clock;
  clock.start();
  QTimer tick;
  tick.start(20);  // wakes the wait when nothing else comes
  while (!done()) {
    if (clock.hasExpired(ms)) return done();
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

// A reply of 200 with the whole file, or its first `cut` bytes then a pause before the rest.
S::Script reply(const std::string& body, std::size_t cut = 0, int pause_ms = 0) {
  const std::string head =
      "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  if (cut == 0) return {S::send(head + body), S::close()};
  return {S::send(head + body.substr(0, cut)), S::pause(pause_ms), S::send(body.substr(cut)),
          S::close()};
}

// One case's world: the data folder (call.db of the first week and a small cancall.db), the
// weekly snapshots and the update files made from them, the folder standing for A:, and the
// window.
class World {
 public:
  World() {
    for (const std::string& folder : {dir_.path(), data_, www_, www_ + "/db-files", floppy_}) {
      fs::create_directories(folder);
      ::chmod(folder.c_str(), 0755);
    }
    for (int k = 0; k <= kWeeks; ++k) {
      if (dbfiles::write_call_db(snapshot(k), kDates[k], week_records(k)) != 0) qFatal("snapshot");
    }
    for (int k = 1; k <= kWeeks; ++k) {
      const std::string out = published(k);
      std::string error;
      if (updater::make_update(snapshot(k - 1), snapshot(k), out, &error) != 0) qFatal("update");
      ::chmod(out.c_str(), 0644);
    }
    if (platform::copy_file(snapshot(0), data("call.db")) != 0) qFatal("no call.db");
    dbfiles::CanDbWriter can;
    if (can.open(data("cancall.db"), "20261127") != 0 ||
        can.add(dbfiles::CanEntry::make_word0(1, 9), "MARCHBANK", "ELOISE R", "88 BYTOWN CRES",
                "OTTAWA", "K2P 1A4") != 0 ||
        can.add(dbfiles::CanEntry::make_word0(2, 2), "FRASER", "ANGUS", "12 SEA RD",
                "VICTORIA", "V8V 1A1") != 0 ||
        can.finish() != 0) {
      qFatal("cancall.db: %s", can.error().c_str());
    }
  }
  ~World() { close(); }

  std::string data(const std::string& name) const { return data_ + "/" + name; }
  std::string floppy(const std::string& name) const { return floppy_ + "/" + name; }
  std::string snapshot(int week) const { return dir_.file(std::string(kDates[week]) + ".db"); }
  std::string published(int week) const { return www_ + "/db-files/" + kUpdates[week - 1]; }
  std::string body(int week) const { return testutil::read_bytes(published(week)); }
  std::string serve() { return nginx_.start(www_); }

  fernwick::WindowSettings settings(const platform::LocalTime& now, int server_port = 0) {
    fernwick::WindowSettings s;
    s.folder = data_;
    s.server = {"127.0.0.1", server_port != 0 ? server_port : nginx_.port()};
    s.floppy_folder = floppy_;
    s.canada_server = {"127.0.0.1", 1};
    s.zlib_library = platform::zlib_library_name();
    s.now = [now] { return now; };
    s.boxes = &boxes;
    s.help = &help;
    return s;
  }

  // Opens the window as the program does: shown, then started.
  Window& open(fernwick::WindowSettings s) {
    s.row_cell_hook = [this](int row, RowCell cell, const QString& text) {
      if (on_cell) on_cell(row, cell, text);
    };
    window = std::make_unique<Window>(std::move(s));
    window->show();
    window->start();
    return *window;
  }
  void close() {
    if (window) window->close();
    window.reset();
  }

  QString log() const { return window->findChild<QPlainTextEdit*>()->toPlainText(); }
  QPushButton* button(int id) const { return fernwick::button_by_id(window.get(), id); }
  bool enabled(int id) const { return button(id)->isEnabled(); }
  QString label_at(int x, int y) const {
    for (QLabel* l : window->findChildren<QLabel*>()) {
      if (l->geometry().topLeft() == QPoint(x, y)) return l->text();
    }
    return QStringLiteral("@none");
  }
  QString grid(int row, RowCell cell) const {
    return label_at(5 + 100 * static_cast<int>(cell), 40 + 18 * row);
  }
  // Repeat update, Clean up, Update Canada, Copy to A:, Copy from A:, as 1 (enabled) or 0.
  QString buttons() const {
    QString states;
    for (int id : {fernwick::kIdRepeatUpdate, fernwick::kIdCleanUp, fernwick::kIdUpdateCanada,
                   fernwick::kIdCopyTo, fernwick::kIdCopyFrom}) {
      states += enabled(id) ? QLatin1Char('1') : QLatin1Char('0');
    }
    return states;
  }
  void click(int id) { QTest::mouseClick(button(id), Qt::LeftButton); }
  // Repeat update is enabled again once nothing forbids it.
  bool wait_until_idle() { return wait_for([this] { return enabled(fernwick::kIdRepeatUpdate); }); }
  // Records whether Copy to A: was enabled at each grid change.
  void watch_copy_to() {
    copy_to_seen.clear();
    on_cell = [this](int, RowCell, const QString&) {
      copy_to_seen << (enabled(fernwick::kIdCopyTo) ? "on" : "off");
    };
  }

  FakeBoxes boxes;
  FakeHelp help;
  QStringList copy_to_seen;
  std::function<void(int, RowCell, const QString&)> on_cell;

 private:
  testutil::TempDir dir_;
  const std::string data_ = dir_.file("data");
  const std::string www_ = dir_.file("www");
  const std::string floppy_ = dir_.file("floppy");
  testutil::NginxServer nginx_;

 public:
  std::unique_ptr<Window> window;  // last: closed before the servers stop
};

}  // namespace

class FernwickWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void buttonsPerRunningJob();
  void layout();
  void updateRunThenFloppyAndCleanUp();
  void answersToTheRun();
  void zlibMissing();
  void workersSideBySide();
  void closingWhileAWorkerAsks();
  void closingDuringDownload();
  void helpPage();
  void screenshot();
};

// Repeat update, Clean up, Update Canada, Copy to A:, Copy from A: for each running job.
void FernwickWindowTest::buttonsPerRunningJob() {
  using R = fernwick::Running;
  const struct {
    bool R::*job;
    bool zlib_ready, copy_to_allowed;
    const char* enabled;
  } cases[] = {
      {nullptr, true, true, "11111"},     {nullptr, false, false, "11001"},
      {&R::us_update, true, true, "00001"}, {&R::cleanup, true, true, "00111"},
      {&R::canada, true, true, "00001"},  {&R::copy_to, true, true, "01100"},
      {&R::copy_from, true, true, "11100"},
  };
  for (const auto& c : cases) {
    R running;
    if (c.job != nullptr) running.*c.job = true;
    const fernwick::ButtonStates b = fernwick::button_states(running, c.zlib_ready, c.copy_to_allowed);
    std::string got;
    for (bool on : {b.repeat_update, b.clean_up, b.update_canada, b.copy_to, b.copy_from}) {
      got += on ? '1' : '0';
    }
    QCOMPARE(got, std::string(c.enabled));
  }
}

void FernwickWindowTest::layout() {
  World w;
  Window window(w.settings(kSameDay));
  window.show();
  QCOMPARE(window.windowTitle(), QStringLiteral("Fernwick 012 for Orbisk"));
  QCOMPARE(window.frameGeometry().size(), QSize(790, 500));

  struct Expected {
    const char* text;  // "@log" for the log
    int id;            // button id, 0 for a label
    QRect rect;
    Qt::Alignment align;
  };
  const Qt::Alignment L = Qt::AlignLeft, R = Qt::AlignRight, C = Qt::AlignHCenter;
  const QSize client = window.size();
  std::vector<Expected> expected = {
      {"Exit", 1, {660, 0, 110, 22}, {}}, {"Repeat update", 3, {0, 0, 110, 22}, {}},
      {"Clean up", 2, {110, 0, 110, 22}, {}}, {"Help", 7, {710, 27, 60, 22}, {}},
      {"@log", 0, {0, 184, client.width(), client.height() - 184}, {}}};
  // The value cells: names at the left of the first four and right of the last four.
  const char* const names[8] = {"db date ", "update file ", "updating to ", "records in update ",
                                " new calls", " deleted calls", " changed calls", " % done"};
  for (int i = 0; i < 8; ++i) {
    expected.push_back({names[i], 0, i < 4 ? QRect(410, 22 + 18 * i, 125, 18) : QRect(540, 22 + 18 * i, 130, 18), i < 4 ? R : L});
  }
  for (int i = 0; i < 8; ++i) {
    expected.push_back({i < 3 ? "------" : "0", 0, i < 4 ? QRect(540, 22 + 18 * i, 130, 18) : QRect(410, 22 + 18 * i, 125, 18), i < 4 ? L : R});
  }
  expected.insert(expected.end(), {
      {"Update File", 0, {5, 22, 100, 18}, L}, {"Status", 0, {105, 22, 100, 18}, C},
      {"Bytes read", 0, {205, 22, 100, 18}, R}, {"Total bytes", 0, {305, 22, 100, 18}, R},
      {"<SneakerNet>", 0, {440, 0, 110, 22}, C}, {"Update Canada", 6, {220, 0, 110, 22}, {}},
      {"Copy to A:", 4, {330, 0, 110, 22}, {}}, {"Copy from A:", 5, {550, 0, 110, 22}, {}}});
  for (int row = 0; row < updater::kRowCount; ++row) {
    const Qt::Alignment align[4] = {L, C, R, R};
    for (int c = 0; c < 4; ++c) expected.push_back({"", 0, {5 + 100 * c, 40 + 18 * row, 100, 18}, align[c]});
  }

  std::vector<QWidget*> made;
  for (QObject* child : window.children()) {
    if (auto* widget = qobject_cast<QWidget*>(child)) made.push_back(widget);
  }
  QCOMPARE(made.size(), expected.size());
  for (std::size_t i = 0; i < made.size(); ++i) {
    const Expected& e = expected[i];
    const QByteArray where = QByteArray::number(static_cast<int>(i)) + " " + e.text;
    QVERIFY2(made[i]->geometry() == e.rect, where);
    if (auto* log = qobject_cast<QPlainTextEdit*>(made[i])) {
      QCOMPARE(QByteArray(e.text), QByteArray("@log"));
      QVERIFY(!log->isReadOnly());
      QCOMPARE(log->lineWrapMode(), QPlainTextEdit::WidgetWidth);
      QCOMPARE(log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
      // Fixed pitch as the user sees it: narrow and wide glyphs take the same room.
      const QFontMetrics metrics(log->font());
      for (const char* glyph : {"i", "W", "."}) {
        QCOMPARE(metrics.horizontalAdvance(QLatin1String(glyph)),
                 metrics.horizontalAdvance(QLatin1Char('M')));
      }
    } else if (auto* button = qobject_cast<QPushButton*>(made[i])) {
      QCOMPARE(button->text(), QString::fromLatin1(e.text));
      QCOMPARE(button->property(fernwick::kControlIdProperty).toInt(), e.id);
    } else {
      auto* label = qobject_cast<QLabel*>(made[i]);
      QVERIFY2(label != nullptr && e.id == 0, where);
      QCOMPARE(label->text(), QString::fromLatin1(e.text));
      QVERIFY2((label->alignment() & Qt::AlignHorizontal_Mask) == e.align, where);
    }
  }

  // The log follows the window's size; Exit closes the window.
  window.resize(900, 600);
  QCOMPARE(made[4]->geometry(), QRect(0, 184, 900, 600 - 184));
  QTest::mouseClick(fernwick::button_by_id(&window, fernwick::kIdExit), Qt::LeftButton);
  QVERIFY(!window.isVisible());
}

// The one run against a real server: fetched, merged and shown in the grid; the clean-up
// question answered No; then the floppy copies, the clean-up and the Canadian update's start.
void FernwickWindowTest::updateRunThenFloppyAndCleanUp() {
  World w;
  const std::string error = w.serve();
  QVERIFY2(error.empty(), error.c_str());
  w.open(w.settings(kThreeWeeksOn));
  QCOMPARE(w.buttons(), QStringLiteral("00001"));  // the run starts at once
  QVERIFY(w.wait_until_idle());

  QVERIFY2(w.log().startsWith("Canadian db present: 11/27/2026  2 calls\n\n"
                              "zlib is present\nall zlib procedures found\n"
                              "01/05/2018 <<---current database date\n"),
           qPrintable(w.log()));
  QVERIFY(w.log().endsWith("call0119.db <<--saved old call.db file\nthread closed\n"));
  for (int row = 0; row < updater::kRowCount; ++row) {
    const QString size = row < kWeeks ? QString::number(fs::file_size(w.published(row + 1))) : "";
    QCOMPARE(w.grid(row, RowCell::name), QString::fromLatin1(row < kWeeks ? kUpdates[row] : ""));
    QCOMPARE(w.grid(row, RowCell::status), QString::fromLatin1(row < kWeeks ? "done" : ""));
    QCOMPARE(w.grid(row, RowCell::bytes), size);
    QCOMPARE(w.grid(row, RowCell::total), size);
  }
  QStringList values;  // the last merge's figures
  for (int i = 0; i < 4; ++i) values << w.label_at(540, 22 + 18 * i) << w.label_at(410, 94 + 18 * i);
  QCOMPARE(values, QStringList({"01/19/2018", "7", "0119to0126.db", "7", "01/26/2018", "3", "17",
                                "100"}));
  QCOMPARE(testutil::read_bytes(w.data("call.db")), testutil::read_bytes(w.snapshot(3)));

  QCOMPARE(w.boxes.shown.size(), std::size_t{1});
  QCOMPARE(w.boxes.shown[0].caption, QStringLiteral("Fernwick 012 for Orbisk"));
  QCOMPARE(w.boxes.shown[0].text, QString::fromLatin1(kQuestion));
  QCOMPARE(w.boxes.shown[0].buttons, Buttons::yes_no);
  QCOMPARE(w.buttons(), QStringLiteral("11111"));  // No: the update files may go to A:

  const auto copied = [&w] {
    return w.enabled(fernwick::kIdCopyFrom) && w.log().endsWith("Copying complete\n");
  };
  w.click(fernwick::kIdCopyTo);
  QVERIFY(wait_for(copied));
  QCOMPARE(names_in(w.floppy("")), std::vector<std::string>(std::begin(kUpdates), std::end(kUpdates)));
  QCOMPARE(w.buttons(), QStringLiteral("11111"));
  testutil::write_bytes(w.floppy("0126to0202.db"), "next week");
  w.click(fernwick::kIdCopyFrom);
  QVERIFY(wait_for(copied));
  QCOMPARE(testutil::read_bytes(w.data("0126to0202.db")), std::string("next week"));
  QCOMPARE(w.buttons(), QStringLiteral("11111"));

  // call.db looks incomplete: the update files go, the saved databases stay.
  w.click(fernwick::kIdCleanUp);
  QVERIFY(w.wait_until_idle());
  QCOMPARE(names_in(w.data("")), std::vector<std::string>({"call.db", "call0105.db", "call0112.db",
                                                           "call0119.db", "cancall.db"}));
  QCOMPARE(w.buttons(), QStringLiteral("11101"));

  // The Canadian update empties the US run's cells and holds the grid until it ends.
  w.click(fernwick::kIdUpdateCanada);
  QCOMPARE(w.grid(1, RowCell::name), QString());
  QCOMPARE(w.buttons(), QStringLiteral("00001"));
  QVERIFY(w.wait_until_idle());
  QCOMPARE(w.buttons(), QStringLiteral("11101"));
}

// What the run leaves and asks: Yes to the clean-up question, and a file the server lacks.
void FernwickWindowTest::answersToTheRun() {
  const S::Script missing = {S::send("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"),
                             S::close()};
  const struct {
    int served;  // weeks served before the 404s
    std::deque<Answer> answers;
    std::size_t boxes;
    int merged;
    std::vector<std::string> left;
  } cases[] = {
      // Yes cleans up the saved databases too, though call.db looks incomplete.
      {kWeeks, {Answer::yes}, 1, 3, {"call.db", "cancall.db"}},
      {1, {}, 0, 1, {"0105to0112.db", "call.db", "call0105.db", "cancall.db"}},
  };
  for (const auto& c : cases) {
    World w;
    std::vector<S::Script> scripts;
    for (int k = 1; k <= c.served; ++k) scripts.push_back(reply(w.body(k)));
    scripts.push_back(missing);
    S server(scripts);
    w.boxes.answers = c.answers;
    w.open(w.settings(kThreeWeeksOn, server.port()));
    QVERIFY(wait_for([&] { return w.log().contains("thread closed\n"); }));
    QVERIFY(w.wait_until_idle());
    QCOMPARE(w.boxes.shown.size(), c.boxes);
    QCOMPARE(testutil::read_bytes(w.data("call.db")), testutil::read_bytes(w.snapshot(c.merged)));
    QCOMPARE(names_in(w.data("")), c.left);
    QCOMPARE(w.buttons(), QStringLiteral("11101"));  // nothing to copy to A:
  }
}

// Without zlib the Canadian update stays disabled; the loader's lines come between the Canadian
// line and the run's.
void FernwickWindowTest::zlibMissing() {
  World w;
  fernwick::WindowSettings s = w.settings(kSameDay);  // nothing due: the run ends at once
  s.zlib_library = "libfernwick-no-such-zlib.so";
  w.open(std::move(s));
  QVERIFY(!w.enabled(fernwick::kIdUpdateCanada));
  QVERIFY(w.wait_until_idle());
  QVERIFY2(w.log().startsWith("Canadian db present: 11/27/2026  2 calls\n\nNOTE: to update the "
                              "Canadian database, download the libfernwick-no-such-zlib.so file "
                              "into your calldb folder\n\n01/05/2018 <<---current database date\n"),
           qPrintable(w.log()));
  QVERIFY(w.log().endsWith("Next update will be 1/12/2018\nthread closed\n"));
  QCOMPARE(w.buttons(), QStringLiteral("11001"));
}

// A copy from A: ends while a slow run goes on; a repeated run keeps Copy to A: off.
void FernwickWindowTest::workersSideBySide() {
  World w;
  std::vector<S::Script> scripts;
  for (int k = 1; k <= kWeeks; ++k) {
    const std::string body = w.body(k);
    scripts.push_back(k == 1 ? reply(body, body.size() / 2, 3000) : reply(body));
  }
  S server(scripts);
  testutil::write_bytes(w.floppy("0126to0202.db"), "next week");
  w.open(w.settings(kThreeWeeksOn, server.port()));
  QVERIFY(wait_for([&] { return !w.grid(0, RowCell::bytes).isEmpty(); }));
  QCOMPARE(w.buttons(), QStringLiteral("00001"));
  w.click(fernwick::kIdCopyFrom);
  QVERIFY(wait_for([&] { return w.log().contains("Copying complete\n") && w.enabled(fernwick::kIdCopyFrom); }));
  QVERIFY(!w.log().contains("thread closed"));
  QCOMPARE(w.buttons(), QStringLiteral("00001"));  // what the running update forbids stays off
  QVERIFY(w.wait_until_idle());
  QCOMPARE(w.buttons(), QStringLiteral("11111"));

  w.watch_copy_to();
  w.click(fernwick::kIdRepeatUpdate);
  QVERIFY(w.wait_until_idle());
  w.on_cell = nullptr;
  QVERIFY(!w.copy_to_seen.isEmpty() && !w.copy_to_seen.contains("on"));
  QVERIFY(w.log().endsWith("Next update will be 2/02/2018\nthread closed\n"));
  QCOMPARE(w.buttons(), QStringLiteral("11111"));
}

// The window is closed while a worker's box is up: the worker waits for the window, so the
// window must let the call return before it waits for the worker.
void FernwickWindowTest::closingWhileAWorkerAsks() {
  World w;
  S server({reply(w.body(1)), reply(w.body(2)), reply(w.body(3))});
  w.open(w.settings(kThreeWeeksOn, server.port()));
  QVERIFY(w.wait_until_idle());
  QVERIFY(fs::remove(w.data("0105to0112.db")));  // nothing to copy from
  const std::size_t before = w.boxes.shown.size();
  w.boxes.answers = {Answer::retry, Answer::retry};
  w.boxes.on_show = [&w] { w.window->close(); };
  w.click(fernwick::kIdCopyTo);
  QVERIFY(wait_for([&] { return !w.window->isVisible(); }));
  // One box; the Retry was not taken up as the window was closing.
  QCOMPARE(w.boxes.shown.size(), before + 1);
  QCOMPARE(w.boxes.shown.back().caption, QStringLiteral("ERROR copying file"));
  QCOMPARE(w.boxes.shown.back().text, QStringLiteral("A:\\0105to0112.db (%1)")
                                          .arg(QString::fromStdString(w.floppy("0105to0112.db"))));
  QCOMPARE(w.boxes.shown.back().buttons, Buttons::retry_cancel);
  QVERIFY(!w.log().endsWith("Copying complete\n"));
}

// No half-written file, no update file, call.db as it was.
void FernwickWindowTest::closingDuringDownload() {
  World w;
  const std::string body = w.body(1);
  S server({reply(body, body.size() / 3, 1500)});
  w.open(w.settings(kThreeWeeksOn, server.port()));
  QVERIFY(wait_for([&] { return !w.grid(0, RowCell::bytes).isEmpty(); }));
  const std::vector<std::string> during = names_in(w.data(""));
  QVERIFY(std::any_of(during.begin(), during.end(), [](const std::string& name) {
    return name.rfind("0105to0112.db.new-", 0) == 0;
  }));
  QVERIFY(w.window->close());
  QCOMPARE(names_in(w.data("")), std::vector<std::string>({"call.db", "cancall.db"}));
  QCOMPARE(testutil::read_bytes(w.data("call.db")), testutil::read_bytes(w.snapshot(0)));
  QVERIFY(w.boxes.shown.empty());
}

// The data folder's page, else the one on the update server in use; a page the desktop cannot
// show is a box.
void FernwickWindowTest::helpPage() {
  World w;
  fernwick::WindowSettings s = w.settings(kSameDay);
  s.server = {"127.0.0.1", 8123};
  w.open(std::move(s));
  QVERIFY(w.wait_until_idle());
  w.click(fernwick::kIdHelp);
  testutil::write_bytes(w.data("fernwick-help.html"), "<html></html>");
  w.click(fernwick::kIdHelp);
  w.help.opens = false;
  w.click(fernwick::kIdHelp);
  const QUrl page = QUrl::fromLocalFile(QString::fromStdString(w.data("fernwick-help.html")));
  QCOMPARE(w.help.opened,
           (std::vector<QUrl>{QUrl(QStringLiteral("http://127.0.0.1:8123/fernwick-help.html")),
                              page, page}));
  QCOMPARE(w.boxes.shown.size(), std::size_t{1});
  QCOMPARE(w.boxes.shown[0].caption, QString::fromLatin1(fernwick::kTitle));
  QCOMPARE(w.boxes.shown[0].text,
           QStringLiteral("Could not open the help page\r") + QString::fromLatin1(page.toEncoded()));
}

// The picture for the README.
void FernwickWindowTest::screenshot() {
  const QString out = qEnvironmentVariable("FERNWICK_SCREENSHOT");
  if (out.isEmpty()) QSKIP("set FERNWICK_SCREENSHOT=PATH to save a picture of the window");
  World w;
  const std::string error = w.serve();
  QVERIFY2(error.empty(), error.c_str());
  w.open(w.settings(kThreeWeeksOn));
  QVERIFY(w.wait_until_idle());
  QVERIFY(w.window->grab().save(out, "PNG"));
}

QTEST_MAIN(FernwickWindowTest)
#include "fernwick_window_test.moc"
