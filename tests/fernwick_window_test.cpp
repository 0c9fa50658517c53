// fernwick's window end to end, offscreen: the start-up lines, the US update run against nginx
// on 127.0.0.1 and the clean-up question, the clean-up, the floppy copies, the Canadian update
// over TLS, zlib missing, a floppy copy ending during a slow run, and closing during a download.
// Each case starts in a fresh data folder whose call.db is three weeks old; the publisher's
// update files are made from dated snapshots with make_update. Message boxes and the help page
// go to fakes; the grid's status cells are recorded as they change.
//
// With FERNWICK_SCREENSHOT=PATH, the case `screenshot` saves a picture of the window after a
// run (scripts/screenshot-fernwick); otherwise it is skipped.

#include <sys/stat.h>

#include <algorithm>

#include <QElapsedTimer>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <chrono>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dbfiles/candb.h"
#include "dbfiles/dbwriter.h"
#include "tests/support/nginx_server.h"
#include "tests/support/scripted_server.h"
#include "tests/support/zip_tools.h"
#include "tests/test_util.h"
#include "updater/make_update.h"
#include "fernwick/window.h"
#include "fernwick/window_boxes.h"
#include "fernwick/window_link.h"

namespace {

namespace fs = std::filesystem;
using fernwick::Window;
using updater::Answer;
using updater::Buttons;
using updater::RowCell;

constexpr int kWeeks = 3;
const char* const kDates[kWeeks + 1] = {"20180105", "20180112", "20180119", "20180126"};
const char* const kUpdates[kWeeks] = {"0105to0112.db", "0112to0119.db", "0119to0126.db"};
const char* const kSaved[kWeeks] = {"call0105.db", "call0112.db", "call0119.db"};
constexpr int kNewPerWeek = 7;
constexpr int kDeletedPerWeek = 5;
constexpr int kChangedPerWeek = 3;
constexpr int kLongWait = 60000;  // ms; a run takes well under a second unless a server pauses

constexpr char kQuestion[] =
    "Clean up old files?\rDo NOT clean up if you want to copy updates to A:";
constexpr char kCanadianLine[] = "Canadian db present: 11/27/2026  2 calls\n\n";
constexpr char kZlibFound[] = "zlib is present\nall zlib procedures found\n";

platform::LocalTime at(int year, int month, int day, int hour) {
  platform::LocalTime t;
  t.year = year;
  t.month = month;
  t.day = day;
  t.hour = hour;
  return t;
}
// The three weeks are due.
const platform::LocalTime kThreeWeeksOn = at(2018, 1, 26, 12);
// Nothing is due yet.
const platform::LocalTime kSameDay = at(2018, 1, 5, 12);

using Db = std::map<dbfiles::CallKey, dbfiles::UsRecord>;

dbfiles::UsRecord licence(dbfiles::CallKey key, std::mt19937& rng) {
  dbfiles::UsRecord r;
  r.key = key;
  r.name = "NAME" + testutil::random_text(rng, 20);
  r.street = std::to_string(rng() % 9000 + 1) + " OAK ST";
  r.city = "CITY" + testutil::random_text(rng, 10);
  r.state = 1 + rng() % 50;
  r.zip = rng() % 100000;
  return r;
}

dbfiles::CallKey fresh_key(const Db& db, std::mt19937& rng) {
  for (;;) {
    const dbfiles::CallKey key = dbfiles::encode_call(testutil::random_us_call(rng).c_str());
    if (db.count(key) == 0) return key;
  }
}

Db::iterator some_entry(Db& db, std::mt19937& rng) {
  auto it = db.begin();
  std::advance(it, static_cast<long>(rng() % db.size()));
  return it;
}

// The publisher's four weekly snapshots: every week deletes, changes and adds calls.
std::vector<Db> make_weeks() {
  std::mt19937 rng(20180105);
  std::vector<Db> weeks(1);
  while (weeks[0].size() < 300) {
    const dbfiles::CallKey key = fresh_key(weeks[0], rng);
    weeks[0][key] = licence(key, rng);
  }
  for (int k = 1; k <= kWeeks; ++k) {
    Db db = weeks.back();
    for (int i = 0; i < kDeletedPerWeek; ++i) db.erase(some_entry(db, rng));
    // Distinct calls, each renamed once.
    std::vector<dbfiles::CallKey> renamed;
    while (static_cast<int>(renamed.size()) < kChangedPerWeek) {
      const dbfiles::CallKey key = some_entry(db, rng)->first;
      if (std::find(renamed.begin(), renamed.end(), key) == renamed.end()) renamed.push_back(key);
    }
    for (const dbfiles::CallKey key : renamed) db[key].name = "RENAMED IN WEEK " + std::to_string(k);
    for (int i = 0; i < kNewPerWeek; ++i) {
      const dbfiles::CallKey key = fresh_key(db, rng);
      db[key] = licence(key, rng);
    }
    weeks.push_back(std::move(db));
  }
  return weeks;
}

const std::vector<Db>& weeks() {
  static const std::vector<Db> made = make_weeks();
  return made;
}

// A line of the Canadian fixed-column list, for an individual licence.
std::string canadian_line(const std::string& call, const std::string& given,
                          const std::string& surname, const std::string& street,
                          const std::string& city, const std::string& province,
                          const std::string& postal) {
  std::string line(210, ' ');
  const auto put = [&line](std::size_t column, const std::string& text) {
    line.replace(column, text.size(), text);
  };
  put(0, call);
  put(7, given);
  put(43, surname);
  put(79, street);
  put(150, city);
  put(186, province);
  put(189, postal);
  return line;
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

bool exists(const std::string& path) { return fs::exists(path); }

// Runs the window's events until `done` holds or `ms` pass. Unlike a sleeping poll it wakes for
// each call a worker sends, as the program's own event loop does: a run makes hundreds of them.
template <typename Done>
bool wait_for(Done done, int ms) {
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

// One case's world: the data folder (call.db of the first week and a small cancall.db), the
// snapshots, the publisher's folder served by nginx, the folder standing for A:, and the window.
class World {
 public:
  World() {
    ::chmod(dir_.path().c_str(), 0755);
    for (const std::string& folder : {data_, snapshots_, www_ + "/db-files", floppy_}) {
      fs::create_directories(folder);
    }
    for (const std::string& folder : {data_, snapshots_, www_, www_ + "/db-files", floppy_}) {
      ::chmod(folder.c_str(), 0755);
    }
    for (int k = 0; k <= kWeeks; ++k) {
      std::vector<dbfiles::UsRecord> records;
      for (const auto& entry : weeks()[k]) records.push_back(entry.second);
      std::string error;
      if (dbfiles::write_call_db(snapshot(k), kDates[k], records, &error) != 0) {
        qFatal("snapshot: %s", error.c_str());
      }
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
  // "A: (FOLDER)", as the log names the floppy.
  QString a() const { return QStringLiteral("A: (%1)").arg(QString::fromStdString(floppy_)); }
  std::string snapshot(int week) const { return snapshots_ + "/" + kDates[week] + ".db"; }
  std::string published(const std::string& name) const { return www_ + "/db-files/" + name; }
  const std::string& www() const { return www_; }
  std::string temp(const std::string& name) const { return dir_.file(name); }

  // The update file of week k (1-3), as the publisher makes it.
  void publish(int week) {
    const std::string out = published(kUpdates[week - 1]);
    std::string error;
    if (updater::make_update(snapshot(week - 1), snapshot(week), out, &error) != 0) {
      qFatal("make_update: %s", error.c_str());
    }
    ::chmod(out.c_str(), 0644);
  }

  // nginx serving the publisher's folder; "" or what went wrong.
  std::string serve() { return nginx_.start(www_); }
  updater::ServerAddress nginx_address() const { return {"127.0.0.1", nginx_.port()}; }

  fernwick::WindowSettings settings(const platform::LocalTime& now) {
    fernwick::WindowSettings s;
    s.folder = data_;
    s.server = nginx_address();
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
      if (cell == RowCell::status) statuses[row] << text;
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

  // What the window shows.
  QString log() const { return window->findChild<QPlainTextEdit*>()->toPlainText(); }
  QPushButton* button(int id) const { return fernwick::button_by_id(window.get(), id); }
  bool enabled(int id) const { return button(id)->isEnabled(); }
  QLabel* label_at(int x, int y) const {
    for (QLabel* l : window->findChildren<QLabel*>()) {
      if (l->geometry().topLeft() == QPoint(x, y)) return l;
    }
    return nullptr;
  }
  QString grid(int row, RowCell cell) const {
    return label_at(5 + 100 * static_cast<int>(cell), 40 + 18 * row)->text();
  }
  // The value cells at the right, top to bottom: db date, update file, updating to, records,
  // new, deleted and changed calls, % done.
  QStringList values() const {
    QStringList v;
    for (int i = 0; i < 4; ++i) v << label_at(540, 22 + 18 * i)->text();
    for (int i = 0; i < 4; ++i) v << label_at(410, 94 + 18 * i)->text();
    return v;
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

  // Waits until the update and clean-up slot is free again: Repeat update is enabled once
  // nothing forbids it.
  bool wait_until_idle(int ms = kLongWait) {
    return wait_for([this] { return enabled(fernwick::kIdRepeatUpdate); }, ms);
  }

  FakeBoxes boxes;
  FakeHelp help;
  QStringList statuses[updater::kRowCount];
  std::function<void(int, RowCell, const QString&)> on_cell;

 private:
  testutil::TempDir dir_;
  const std::string data_ = dir_.file("data");
  const std::string snapshots_ = dir_.file("snapshots");
  const std::string www_ = dir_.file("www");
  const std::string floppy_ = dir_.file("floppy");
  testutil::NginxServer nginx_;

 public:
  std::unique_ptr<Window> window;  // last: closed before the servers stop
};

// A reply of 200 with the whole file, or its first `cut` bytes then a pause before the rest.
testutil::ScriptedServer::Script reply(const std::string& body, std::size_t cut = 0,
                                       int pause_ms = 0) {
  using S = testutil::ScriptedServer;
  const std::string head =
      "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  if (cut == 0) return {S::send(head + body), S::close()};
  return {S::send(head + body.substr(0, cut)), S::pause(pause_ms), S::send(body.substr(cut)),
          S::close()};
}

}  // namespace

class FernwickWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void layout();
  void updateRunAskedNo();
  void floppyCopiesAndCleanUp();
  void updateRunAskedYesCleansUp();
  void failedDownloadAsksNothing();
  void updateCanada();
  void zlibMissingOrIncomplete();
  void floppyCopyEndingDuringSlowUpdate();
  void closingDuringDownload();
  void closingWhileAWorkerAsks();
  void helpPage();
  void screenshot();
};

// ---- The window as it opens ----

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
      {"Exit", 1, {660, 0, 110, 22}, {}},
      {"Repeat update", 3, {0, 0, 110, 22}, {}},
      {"Clean up", 2, {110, 0, 110, 22}, {}},
      {"Help", 7, {710, 27, 60, 22}, {}},
      {"@log", 0, {0, 184, client.width(), client.height() - 184}, {}},
      {"db date ", 0, {410, 22, 125, 18}, R},
      {"update file ", 0, {410, 40, 125, 18}, R},
      {"updating to ", 0, {410, 58, 125, 18}, R},
      {"records in update ", 0, {410, 76, 125, 18}, R},
      {" new calls", 0, {540, 94, 130, 18}, L},
      {" deleted calls", 0, {540, 112, 130, 18}, L},
      {" changed calls", 0, {540, 130, 130, 18}, L},
      {" % done", 0, {540, 148, 130, 18}, L},
      {"------", 0, {540, 22, 130, 18}, L},
      {"------", 0, {540, 40, 130, 18}, L},
      {"------", 0, {540, 58, 130, 18}, L},
      {"0", 0, {540, 76, 130, 18}, L},
      {"0", 0, {410, 94, 125, 18}, R},
      {"0", 0, {410, 112, 125, 18}, R},
      {"0", 0, {410, 130, 125, 18}, R},
      {"0", 0, {410, 148, 125, 18}, R},
      {"Update File", 0, {5, 22, 100, 18}, L},
      {"Status", 0, {105, 22, 100, 18}, C},
      {"Bytes read", 0, {205, 22, 100, 18}, R},
      {"Total bytes", 0, {305, 22, 100, 18}, R},
      {"<SneakerNet>", 0, {440, 0, 110, 22}, C},
      {"Update Canada", 6, {220, 0, 110, 22}, {}},
      {"Copy to A:", 4, {330, 0, 110, 22}, {}},
      {"Copy from A:", 5, {550, 0, 110, 22}, {}},
  };
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
    if (QString::fromLatin1(e.text) == QLatin1String("@log")) {
      auto* log = qobject_cast<QPlainTextEdit*>(made[i]);
      QVERIFY2(log != nullptr, where);
      QVERIFY(!log->isReadOnly());
      QCOMPARE(log->lineWrapMode(), QPlainTextEdit::WidgetWidth);
      QCOMPARE(log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
      // Fixed pitch as the user sees it: narrow and wide glyphs take the same room.
      const QFontMetrics metrics(log->font());
      for (const char* glyph : {"i", "W", ".", "M"}) {
        QCOMPARE(metrics.horizontalAdvance(QLatin1String(glyph)),
                 metrics.horizontalAdvance(QLatin1Char('M')));
      }
    } else if (e.id != 0) {
      auto* button = qobject_cast<QPushButton*>(made[i]);
      QVERIFY2(button != nullptr, where);
      QCOMPARE(button->text(), QString::fromLatin1(e.text));
      QCOMPARE(button->property(fernwick::kControlIdProperty).toInt(), e.id);
      QVERIFY2(button->isEnabled(), where);
    } else {
      auto* label = qobject_cast<QLabel*>(made[i]);
      QVERIFY2(label != nullptr, where);
      QCOMPARE(label->text(), QString::fromLatin1(e.text));
      QVERIFY2((label->alignment() & Qt::AlignHorizontal_Mask) == e.align, where);
    }
  }

  // The log follows the window's size.
  window.resize(900, 600);
  QCOMPARE(made[4]->geometry(), QRect(0, 184, 900, 600 - 184));
  window.resize(600, 300);
  QCOMPARE(made[4]->geometry(), QRect(0, 184, 600, 300 - 184));

  // Exit closes the window.
  QTest::mouseClick(fernwick::button_by_id(&window, fernwick::kIdExit), Qt::LeftButton);
  QVERIFY(!window.isVisible());
}

// ---- The US update run ----

void FernwickWindowTest::updateRunAskedNo() {
  World w;
  for (int k = 1; k <= kWeeks; ++k) w.publish(k);
  const std::string error = w.serve();
  QVERIFY2(error.empty(), error.c_str());

  w.open(w.settings(kThreeWeeksOn));
  // The run starts at once and keeps the update buttons disabled.
  QCOMPARE(w.buttons(), QStringLiteral("00001"));
  QVERIFY(w.wait_until_idle());

  const QString log = w.log();
  QVERIFY2(log.startsWith(QString::fromLatin1(kCanadianLine) + kZlibFound +
                          "01/05/2018 <<---current database date\n"),
           qPrintable(log));
  for (const char* name : kUpdates) {
    QVERIFY2(log.contains(QString::fromLatin1(name) + " <<--downloading\n"), name);
  }
  QVERIFY(log.contains("call0119.db <<--saved old call.db file\n"));
  QVERIFY2(log.endsWith("call0119.db <<--saved old call.db file\nthread closed\n"),
           qPrintable(log.right(200)));

  for (int row = 0; row < updater::kRowCount; ++row) {
    if (row < kWeeks) {
      const QString size = QString::number(fs::file_size(w.published(kUpdates[row])));
      QCOMPARE(w.grid(row, RowCell::name), QString::fromLatin1(kUpdates[row]));
      QCOMPARE(w.grid(row, RowCell::status), QStringLiteral("done"));
      QCOMPARE(w.grid(row, RowCell::bytes), size);
      QCOMPARE(w.grid(row, RowCell::total), size);
      // The run clears the cell first, then shows each state in turn.
      QCOMPARE(w.statuses[row], QStringList({"", "needed", "downloading", "downloaded", "updating", "done"}));
    } else {
      QCOMPARE(w.grid(row, RowCell::name), QString());
      QCOMPARE(w.grid(row, RowCell::status), QString());
    }
  }
  // The last merge's figures.
  QCOMPARE(w.values(), QStringList({"01/19/2018", "0119to0126.db", "01/26/2018",
                                    QString::number(kNewPerWeek + kDeletedPerWeek + kChangedPerWeek),
                                    QString::number(kNewPerWeek), QString::number(kDeletedPerWeek),
                                    QString::number(kChangedPerWeek), "100"}));

  QCOMPARE(w.boxes.shown.size(), std::size_t{1});
  QCOMPARE(w.boxes.shown[0].caption, QStringLiteral("Fernwick 012 for Orbisk"));
  QCOMPARE(w.boxes.shown[0].text, QString::fromLatin1(kQuestion));
  QCOMPARE(w.boxes.shown[0].buttons, Buttons::yes_no);
  // No: the update files stay, and may go to A:.
  QCOMPARE(w.buttons(), QStringLiteral("11111"));

  QCOMPARE(testutil::read_bytes(w.data("call.db")), testutil::read_bytes(w.snapshot(3)));
  for (int k = 0; k < kWeeks; ++k) {
    QCOMPARE(testutil::read_bytes(w.data(kSaved[k])), testutil::read_bytes(w.snapshot(k)));
    QVERIFY(exists(w.data(kUpdates[k])));
  }
  QCOMPARE(names_in(w.data("")).size(), std::size_t{2 + 2 * kWeeks});  // call.db, cancall.db
}

void FernwickWindowTest::updateRunAskedYesCleansUp() {
  World w;
  for (int k = 1; k <= kWeeks; ++k) w.publish(k);
  const std::string error = w.serve();
  QVERIFY2(error.empty(), error.c_str());
  w.boxes.answers = {Answer::yes};

  w.open(w.settings(kThreeWeeksOn));
  QVERIFY(wait_for([&] { return !w.boxes.shown.empty() && w.enabled(fernwick::kIdRepeatUpdate); },
                          kLongWait));

  QCOMPARE(w.boxes.shown.size(), std::size_t{1});
  QCOMPARE(w.boxes.shown[0].text, QString::fromLatin1(kQuestion));
  // Yes cleans up the saved databases too, though call.db looks incomplete.
  QCOMPARE(names_in(w.data("")), std::vector<std::string>({"call.db", "cancall.db"}));
  const QString log = w.log();
  for (int k = 0; k < kWeeks; ++k) {
    QVERIFY(log.contains(QString::fromLatin1(kUpdates[k]) + " deleted\n"));
    QVERIFY(log.contains(QString::fromLatin1(kSaved[k]) + " deleted\n"));
  }
  QCOMPARE(testutil::read_bytes(w.data("call.db")), testutil::read_bytes(w.snapshot(3)));
  // Nothing left to copy to A:.
  QCOMPARE(w.buttons(), QStringLiteral("11101"));
}

void FernwickWindowTest::failedDownloadAsksNothing() {
  World w;
  w.publish(1);  // the second week's file is missing on the server
  const std::string error = w.serve();
  QVERIFY2(error.empty(), error.c_str());

  w.open(w.settings(kThreeWeeksOn));
  QVERIFY(wait_for([&] { return w.log().contains("thread closed\n"); }, kLongWait));
  QVERIFY(w.wait_until_idle());

  QCOMPARE(w.grid(0, RowCell::status), QStringLiteral("done"));
  QCOMPARE(w.grid(1, RowCell::status), QStringLiteral("Not avail"));
  QCOMPARE(w.grid(2, RowCell::status), QStringLiteral("needed"));  // never fetched
  QCOMPARE(w.grid(2, RowCell::name), QStringLiteral("0119to0126.db"));
  QCOMPARE(w.statuses[1], QStringList({"", "needed", "downloading", "Not avail"}));
  QVERIFY(w.log().contains("404 Not Found"));
  QVERIFY(w.boxes.shown.empty());
  QCOMPARE(w.buttons(), QStringLiteral("11101"));

  // The first week was merged; nothing half fetched is left.
  QCOMPARE(testutil::read_bytes(w.data("call.db")), testutil::read_bytes(w.snapshot(1)));
  QCOMPARE(names_in(w.data("")),
           std::vector<std::string>({"0105to0112.db", "call.db", "call0105.db", "cancall.db"}));
}

// ---- Floppy copies and the clean-up button ----

void FernwickWindowTest::floppyCopiesAndCleanUp() {
  World w;
  for (int k = 1; k <= kWeeks; ++k) w.publish(k);
  const std::string error = w.serve();
  QVERIFY2(error.empty(), error.c_str());
  w.open(w.settings(kThreeWeeksOn));
  QVERIFY(w.wait_until_idle());
  QVERIFY(w.enabled(fernwick::kIdCopyTo));  // answered No

  const auto copied = [&w] {
    return w.enabled(fernwick::kIdCopyFrom) && w.log().endsWith("Copying complete\n");
  };
  w.click(fernwick::kIdCopyTo);
  QVERIFY(wait_for(copied, kLongWait));
  for (const char* name : kUpdates) {
    QVERIFY(w.log().contains(QStringLiteral("Copying %1 to %2\n").arg(name, w.a())));
    QCOMPARE(testutil::read_bytes(w.floppy(name)), testutil::read_bytes(w.data(name)));
  }
  QCOMPARE(w.buttons(), QStringLiteral("11111"));

  // From A:: only 13-character .db names, and never over a file already there.
  testutil::write_bytes(w.floppy("0126to0202.db"), "next week");
  testutil::write_bytes(w.floppy("notes.db"), "not an update");
  QVERIFY(fs::remove(w.data("0112to0119.db")));
  const qsizetype before = w.log().size();
  w.click(fernwick::kIdCopyFrom);
  QVERIFY(wait_for(copied, kLongWait));
  QCOMPARE(w.log().mid(before),
           QStringLiteral("Reading floppy disk ") + w.a() +
               QStringLiteral("...\n"
                          "0105to0112.db is already on hard disk\n"
                          "Copying 0112to0119.db from floppy\n"
                          "0119to0126.db is already on hard disk\n"
                          "Copying 0126to0202.db from floppy\n"
                          "Copying complete\n"));
  QCOMPARE(testutil::read_bytes(w.data("0126to0202.db")), std::string("next week"));
  QVERIFY(!exists(w.data("notes.db")));
  QCOMPARE(w.buttons(), QStringLiteral("11111"));

  // Clean up with a call.db that looks incomplete: the update files go, the saved databases stay.
  w.click(fernwick::kIdCleanUp);
  QVERIFY(w.wait_until_idle());
  QCOMPARE(names_in(w.data("")),
           std::vector<std::string>({"call.db", "call0105.db", "call0112.db", "call0119.db",
                                     "cancall.db"}));
  QVERIFY(w.log().endsWith("0105to0112.db deleted\n0112to0119.db deleted\n0119to0126.db deleted\n"
                           "0126to0202.db deleted\n"));
  QCOMPARE(w.buttons(), QStringLiteral("11101"));
}

// ---- The Canadian update ----

// A test CA and a certificate for 127.0.0.1 signed by it, made with the openssl command.
struct TestCertificates {
  explicit TestCertificates(const std::string& folder) : dir(folder) {
    const std::vector<std::string> ec = {"-newkey", "ec", "-pkeyopt",
                                         "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2"};
    const auto run = [this, &ec](std::vector<std::string> args, bool new_key) {
      if (!error.empty()) return;
      if (new_key) args.insert(args.begin() + 1, ec.begin(), ec.end());
      std::string command = "openssl";
      for (const std::string& arg : args) command += " " + testutil::quoted(arg);
      if (testutil::shell(command + " 2>/dev/null") != 0) error = "failed: " + command;
    };
    testutil::write_bytes(file("server.ext"),
                          "subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"
                          "extendedKeyUsage=serverAuth\n");
    run({"req", "-x509", "-subj", "/CN=Fernwick Test CA", "-keyout", file("ca.key"), "-out", ca(),
         "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
         "keyUsage=critical,keyCertSign,cRLSign"},
        true);
    run({"req", "-subj", "/CN=localhost", "-keyout", key(), "-out", file("server.csr")}, true);
    run({"x509", "-req", "-in", file("server.csr"), "-CA", ca(), "-CAkey", file("ca.key"),
         "-set_serial", "2", "-days", "2", "-extfile", file("server.ext"), "-out", cert()},
        false);
    ::chmod(key().c_str(), 0644);
  }
  std::string file(const std::string& name) const { return dir + "/" + name; }
  std::string ca() const { return file("ca.pem"); }
  std::string cert() const { return file("server.pem"); }
  std::string key() const { return file("server.key"); }

  std::string dir;
  std::string error;
};

void FernwickWindowTest::updateCanada() {
  World w;
  // The US run brings three weeks; answered No, they may go to A: later.
  for (int k = 1; k <= kWeeks; ++k) w.publish(k);
  std::string error = w.serve();
  QVERIFY2(error.empty(), error.c_str());

  const std::string tls_root = w.temp("tls-www");
  fs::create_directories(tls_root + "/datafiles");
  const std::string list_file = w.temp("amateur.txt");
  testutil::write_bytes(
      list_file,
      "2026-12-04  Canadian Amateur Call Sign List\r\n \r\nThere are 3 call signs in this report.\r\n"
      " \r\n" +
          canadian_line("VE3ABC", "ELOISE R", "MARCHBANK", "88 BYTOWN CRES", "OTTAWA", "ON",
                        "K2P 1A4") +
          "\r\n" +
          canadian_line("VA7XYZ", "ANGUS", "FRASER", "12 SEA RD", "VICTORIA", "BC", "V8V 1A1") +
          "\r\n" +
          canadian_line("VE1QQ", "MARIE", "LEBLANC", "4 RUE HAUTE", "MONCTON", "NB", "E1C 4B5") +
          "\r\nEOF\r\n");
  const std::string zip = tls_root + "/datafiles/amateur.zip";
  QCOMPARE(testutil::shell("zip -q -j " + testutil::quoted(zip) + " " + testutil::quoted(list_file)),
           0);
  for (const std::string& p : {w.temp(""), tls_root, tls_root + "/datafiles", zip}) {
    ::chmod(p.c_str(), fs::is_directory(p) ? 0755 : 0644);
  }
  fs::create_directories(w.temp("certs"));
  ::chmod(w.temp("certs").c_str(), 0755);
  const TestCertificates certs(w.temp("certs"));
  QVERIFY2(certs.error.empty(), certs.error.c_str());
  testutil::NginxServer tls;
  error = tls.start_tls(tls_root, certs.cert(), certs.key());
  QVERIFY2(error.empty(), error.c_str());

  fernwick::WindowSettings s = w.settings(kThreeWeeksOn);
  s.canada_server = {"127.0.0.1", tls.port()};
  s.ca_file = certs.ca();
  w.open(std::move(s));
  QVERIFY(w.wait_until_idle());
  QCOMPARE(w.grid(2, RowCell::name), QStringLiteral("0119to0126.db"));
  QCOMPARE(w.buttons(), QStringLiteral("11111"));

  for (QStringList& s : w.statuses) s.clear();
  QStringList copy_to_while_running;
  w.on_cell = [&](int, RowCell, const QString&) {
    copy_to_while_running << (w.enabled(fernwick::kIdCopyTo) ? "on" : "off");
  };
  w.click(fernwick::kIdUpdateCanada);
  QCOMPARE(w.buttons(), QStringLiteral("00001"));
  // The cells of the US run are emptied.
  QCOMPARE(w.grid(1, RowCell::name), QString());
  QCOMPARE(w.grid(2, RowCell::name), QString());
  QVERIFY(w.wait_until_idle());

  QCOMPARE(w.statuses[0], QStringList({"downloading", "unzip'ing", "processing", "done"}));
  QCOMPARE(w.grid(0, RowCell::status), QStringLiteral("done"));
  QCOMPARE(w.grid(0, RowCell::total), QString::number(fs::file_size(zip)));
  QVERIFY2(w.log().contains("cancall.db written\n"), qPrintable(w.log()));
  w.on_cell = nullptr;
  QVERIFY(!copy_to_while_running.contains("on"));
  QCOMPARE(w.buttons(), QStringLiteral("11111"));
  QCOMPARE(w.boxes.shown.size(), std::size_t{1});  // the US run's clean-up question

  // "Copy to A:" still copies the US run's files.
  w.click(fernwick::kIdCopyTo);
  QVERIFY(wait_for([&] { return w.log().endsWith("Copying complete\n"); }, kLongWait));
  QVERIFY(w.log().contains("Copying 0105to0112.db to " + w.a() + "\n"));
  QCOMPARE(names_in(w.floppy("")), std::vector<std::string>(std::begin(kUpdates), std::end(kUpdates)));

  dbfiles::CanadianTable table;
  QCOMPARE(dbfiles::load_canadian_table(w.data("cancall.db"), &table), 0);
  QCOMPARE(std::string(table.header, 8), std::string("C0261204"));
  QCOMPARE(table.entries.size(), std::size_t{3});
  QVERIFY(!exists(w.data("amateur.zip.part")));
  QVERIFY(!exists(w.data("cancall.db.new")));
}

void FernwickWindowTest::zlibMissingOrIncomplete() {
  struct Case {
    std::string library;
    QString lines;
  };
  const std::string missing = "libfernwick-no-such-zlib.so";
  const Case cases[] = {
      {missing, "NOTE: to update the Canadian database, download the " +
                    QString::fromStdString(missing) + " file into your calldb folder\n\n"},
      {FAKE_ZLIB_PARTIAL, "zlib is present\nzlibVersion not found\ninflateEnd not found\n"
                          "NOTE: to update the Canadian database, download the " FAKE_ZLIB_PARTIAL
                          " file into your calldb folder\n\n"},
  };
  for (const Case& c : cases) {
    World w;
    fernwick::WindowSettings s = w.settings(kSameDay);  // nothing due: the run ends at once
    s.zlib_library = c.library;
    w.open(std::move(s));
    QVERIFY(!w.enabled(fernwick::kIdUpdateCanada));
    QVERIFY(w.wait_until_idle());
    QVERIFY2(w.log().startsWith(kCanadianLine + c.lines + "01/05/2018 <<---current database date\n"),
             qPrintable(w.log()));
    QVERIFY(w.log().endsWith("Next update will be 1/12/2018\nthread closed\n"));
    QCOMPARE(w.buttons(), QStringLiteral("11001"));
  }
}

// ---- Workers side by side ----

void FernwickWindowTest::floppyCopyEndingDuringSlowUpdate() {
  World w;
  for (int k = 1; k <= kWeeks; ++k) w.publish(k);
  // The first file stops halfway for three seconds.
  std::vector<testutil::ScriptedServer::Script> scripts;
  for (int k = 0; k < kWeeks; ++k) {
    const std::string body = testutil::read_bytes(w.published(kUpdates[k]));
    scripts.push_back(k == 0 ? reply(body, body.size() / 2, 3000) : reply(body));
  }
  testutil::ScriptedServer server(scripts);
  testutil::write_bytes(w.floppy("0126to0202.db"), "next week");
  fernwick::WindowSettings s = w.settings(kThreeWeeksOn);
  s.server = {"127.0.0.1", server.port()};

  w.open(std::move(s));
  QVERIFY(wait_for([&] { return !w.grid(0, RowCell::bytes).isEmpty(); }, kLongWait));
  // A copy from A: may run beside the update; a copy to A: may not.
  QCOMPARE(w.buttons(), QStringLiteral("00001"));
  w.click(fernwick::kIdCopyFrom);
  QVERIFY(wait_for(
      [&] { return w.log().contains("Copying complete\n") && w.enabled(fernwick::kIdCopyFrom); },
      kLongWait));
  QVERIFY(!w.log().contains("thread closed"));
  // The copy's end leaves alone what the running update forbids.
  QCOMPARE(w.buttons(), QStringLiteral("00001"));
  QVERIFY(exists(w.data("0126to0202.db")));

  QVERIFY(w.wait_until_idle());
  QCOMPARE(w.grid(2, RowCell::status), QStringLiteral("done"));
  QCOMPARE(w.buttons(), QStringLiteral("11111"));

  // A repeated run keeps "Copy to A:" disabled while it rewrites the rows, then gives it back.
  QStringList copy_to_while_running;
  w.on_cell = [&](int, RowCell, const QString&) {
    copy_to_while_running << (w.enabled(fernwick::kIdCopyTo) ? "on" : "off");
  };
  w.click(fernwick::kIdRepeatUpdate);
  QVERIFY(w.wait_until_idle());
  w.on_cell = nullptr;
  QVERIFY(!copy_to_while_running.isEmpty());
  QVERIFY(!copy_to_while_running.contains("on"));
  QVERIFY(w.log().endsWith("Next update will be 2/02/2018\nthread closed\n"));
  QCOMPARE(w.buttons(), QStringLiteral("11111"));
}

void FernwickWindowTest::closingDuringDownload() {
  World w;
  w.publish(1);
  const std::string body = testutil::read_bytes(w.published(kUpdates[0]));
  testutil::ScriptedServer server({reply(body, body.size() / 3, 1500)});
  fernwick::WindowSettings s = w.settings(kThreeWeeksOn);
  s.server = {"127.0.0.1", server.port()};

  w.open(std::move(s));
  QVERIFY(wait_for([&] { return !w.grid(0, RowCell::bytes).isEmpty(); }, kLongWait));
  const std::vector<std::string> during = names_in(w.data(""));
  QVERIFY(std::any_of(during.begin(), during.end(), [](const std::string& name) {
    return name.rfind("0105to0112.db.new-", 0) == 0;
  }));

  const auto begun = std::chrono::steady_clock::now();
  QVERIFY(w.window->close());
  const auto took = std::chrono::steady_clock::now() - begun;
  QVERIFY(took < std::chrono::seconds(20));

  // No half-written file, no update file, call.db as it was.
  QCOMPARE(names_in(w.data("")), std::vector<std::string>({"call.db", "cancall.db"}));
  QCOMPARE(testutil::read_bytes(w.data("call.db")), testutil::read_bytes(w.snapshot(0)));
  QVERIFY(w.boxes.shown.empty());
}

// The window is closed while a worker's box is up: the worker waits for the window, so the
// window must let the call return before it waits for the worker.
void FernwickWindowTest::closingWhileAWorkerAsks() {
  World w;
  for (int k = 1; k <= kWeeks; ++k) w.publish(k);
  const std::string error = w.serve();
  QVERIFY2(error.empty(), error.c_str());
  w.open(w.settings(kThreeWeeksOn));
  QVERIFY(w.wait_until_idle());

  QVERIFY(fs::remove(w.data("0105to0112.db")));  // nothing to copy from
  w.boxes.answers = {Answer::retry, Answer::retry};
  w.boxes.on_show = [&w] { w.window->close(); };
  w.click(fernwick::kIdCopyTo);
  QVERIFY(wait_for([&] { return !w.window->isVisible(); }, kLongWait));

  // One box; the Retry was not taken up as the window was closing.
  QCOMPARE(w.boxes.shown.size(), std::size_t{2});
  QCOMPARE(w.boxes.shown[1].caption, QStringLiteral("ERROR copying file"));
  QCOMPARE(w.boxes.shown[1].text,
           QStringLiteral("A:\\0105to0112.db (%1)")
               .arg(QString::fromStdString(w.floppy("0105to0112.db"))));
  QCOMPARE(w.boxes.shown[1].buttons, Buttons::retry_cancel);
  QVERIFY(!w.log().contains("Copying complete"));
}

// ---- Help ----

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
           QStringLiteral("Could not open the help page\r") +
               QString::fromLatin1(page.toEncoded()));
}

// ---- The picture for the README ----

void FernwickWindowTest::screenshot() {
  const QString out = qEnvironmentVariable("FERNWICK_SCREENSHOT");
  if (out.isEmpty()) QSKIP("set FERNWICK_SCREENSHOT=PATH to save a picture of the window");
  World w;
  for (int k = 1; k <= kWeeks; ++k) w.publish(k);
  const std::string error = w.serve();
  QVERIFY2(error.empty(), error.c_str());
  w.open(w.settings(kThreeWeeksOn));
  QVERIFY(w.wait_until_idle());
  QVERIFY(w.window->grab().save(out, "PNG"));
}

QTEST_MAIN(FernwickWindowTest)
#include "fernwick_window_test.moc"
