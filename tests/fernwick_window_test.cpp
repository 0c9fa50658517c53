// fernwick's window, offscreen: the buttons each job leaves enabled, where a run's texts go, the
// boxes and their answers, a worker beside a slow download, closing while a worker works.

#include <QtTest>
#include <QtWidgets>

#include <deque>
#include <filesystem>
#include <functional>
#include <map>

#include "dbfiles/dbwriter.h"
#include "fernwick/settings_dialog.h"
#include "fernwick/window.h"
#include "fernwick/window_boxes.h"
#include "fernwick/window_link.h"
#include "fcc/uls_import.h"
#include "tests/support/fcc_site.h"
#include "tests/support/scripted_server.h"
#include "tests/test_util.h"
#include "updater/make_update.h"

namespace {

namespace fs = std::filesystem;
using updater::Answer;
using updater::RowCell;
using S = testutil::ScriptedServer;
const std::vector<std::string> kUpdates = {"0105to0112.db", "0112to0119.db", "0119to0126.db"};
const platform::LocalTime kThreeWeeksOn = {2018, 1, 26, 12};

struct FakeBoxes final : fernwick::MessageBoxes {
  Answer show(QWidget*, const QString& text, const QString& caption, updater::Buttons b,
              updater::Icon) override {
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

QString bits(std::initializer_list<bool> on) {  // 1 for each true, 0 for each false
  QString text;
  for (bool b : on) text += b ? '1' : '0';
  return text;
}

QString names_in(const std::string& folder) {  // sorted, space-separated
  QStringList names;
  for (const auto& e : fs::directory_iterator(folder)) names << e.path().filename().c_str();
  names.sort();
  return names.join(' ');
}

bool wait_for(const std::function<bool()>& done) {  // a minute at most
  QTimer tick;  // wakes the loop to look again
  tick.start(20);
  QEventLoop loop;
  const QDeadlineTimer deadline(60000);
  while (!done() && !deadline.hasExpired()) loop.processEvents(QEventLoop::WaitForMoreEvents);
  return done();
}

// The data folder (call.db of 01/05/2018, a cancall.db of one call), the folder standing for
// A:, three weekly update files made from snapshots, and the window.
struct World {
  World() {
    for (const std::string& folder : {data(""), floppy("")}) fs::create_directories(folder);
    for (int k = 0; k <= 3; ++k) {  // week k: calls 5k to 7k+59, those with i % 10 < k renamed
      std::vector<dbfiles::UsRecord> records;
      for (int i = 5 * k; i < 7 * k + 60; ++i) {
        const std::string call = std::string("W") + char('0' + i % 10) + "AA" + char('A' + i / 10);
        const std::string name = "NAME " + std::to_string(i) + (i % 10 < k ? "R" : "");
        records.push_back({dbfiles::encode_call(call.c_str()), name, "1 OAK ST", "TOWN", 1,
                           1000u + i, false});
      }
      std::ranges::sort(records, {}, &dbfiles::UsRecord::key);
      const std::string date = "201801" + std::to_string(105 + 7 * k).substr(1);
      std::string error;
      if (dbfiles::write_call_db(snapshot(k), date, records) != 0 ||
          (k > 0 && updater::make_update(snapshot(k - 1), snapshot(k), update(k), &error) != 0)) {
        qFatal("week %d", k);
      }
    }
    dbfiles::CanDbWriter can;
    if (platform::copy_file(snapshot(0), data("call.db")) != 0 ||
        can.open(data("cancall.db"), "20261127") != 0 ||
        can.add(dbfiles::CanEntry::make_word0(1, 9), "M", "E", "8 B", "OTTAWA", "K2P 1A4") != 0 ||
        can.finish() != 0) {
      qFatal("data folder");
    }
  }
  std::string data(const std::string& name) const { return dir.file("data/" + name); }
  std::string floppy(const std::string& name) const { return dir.file("floppy/" + name); }
  std::string snapshot(int week) const { return dir.file(std::to_string(week) + ".db"); }
  std::string update(int week) const { return dir.file(kUpdates[week - 1]); }
  // Opens the window as the program does with the first `staged` update files downloaded already
  // (merged without a server); the update server refuses unless given a port.
  void open(int staged, int port = 1, bool zlib = true) {
    for (int k = 1; k <= staged; ++k) platform::copy_file(update(k), data(kUpdates[k - 1]));
    fernwick::WindowSettings s{data(""), {"127.0.0.1", port}, floppy(""), {"127.0.0.1", 1}, "",
                               zlib ? platform::zlib_library_name() : "libfernwick-no-such-zlib.so",
                               [] { return kThreeWeeksOn; }, &boxes, help};
    s.settings_file = settings_file;
    window = std::make_unique<fernwick::Window>(std::move(s));
    window->show();
    window->start();
  }
  // Opens the window with the FCC as its US source at `fcc_port` (1: nobody there), on `folder`.
  void open_fcc(const std::string& folder, int fcc_port, const std::string& ca = "") {
    fernwick::WindowSettings s;
    s.folder = folder;
    s.ca_file = ca;
    s.server = s.canada_server = {"127.0.0.1", 1};
    s.boxes = &boxes;
    s.use_fcc = true;
    s.fcc_server = {"127.0.0.1", fcc_port};
    s.fcc_server.origin = "the FCC's server, --fcc-server";
    window = std::make_unique<fernwick::Window>(std::move(s));
    window->show();
    window->start();
  }
  QString log() const { return window->findChild<QPlainTextEdit*>()->toPlainText(); }
  bool on(int id) const { return fernwick::button_by_id(window.get(), id)->isEnabled(); }
  QString label_at(int x, int y) const {
    for (QLabel* l : window->findChildren<QLabel*>()) {
      if (l->geometry().topLeft() == QPoint(x, y)) return l->text();
    }
    return "@none";
  }
  QString grid(int row, RowCell cell) const { return label_at(5 + 100 * int(cell), 40 + 18 * row); }
  // Repeat update, Clean up, Update Canada, Copy to A:, Copy from A:, as 1 (enabled) or 0.
  QString buttons() const { return bits({on(3), on(2), on(6), on(4), on(5)}); }
  void click(int id) { fernwick::button_by_id(window.get(), id)->click(); }
  bool wait_until_idle() { return wait_for([this] { return on(fernwick::kIdRepeatUpdate); }); }

  testutil::TempDir dir;
  std::string settings_file;  // "": no Settings button
  FakeBoxes boxes;
  fernwick::HelpOpener* help = nullptr;
  std::unique_ptr<fernwick::Window> window;  // last: closed before the rest goes
};

}  // namespace

class FernwickWindowTest : public QObject {
  Q_OBJECT

  // With FERNWICK_SCREENSHOTS naming a folder, README's pictures of `widget` are taken there.
  static bool save_picture(QWidget* widget, const char* name) {
    const QString folder = qEnvironmentVariable("FERNWICK_SCREENSHOTS");
    return folder.isEmpty() || widget->grab().save(folder + "/" + name, "PNG");
  }

 private slots:
  // Repeat update, Clean up, Update Canada, Copy to A:, Copy from A: for each running job.
  void buttonsPerRunningJob() {
    using R = fernwick::Running;
    const std::tuple<bool R::*, bool, const char*> cases[] = {  // job, zlib and copy to allowed
        {nullptr, true, "11111"}, {nullptr, false, "11001"}, {&R::us_update, true, "00001"},
        {&R::cleanup, true, "00111"}, {&R::canada, true, "00001"}, {&R::copy_to, true, "01100"},
        {&R::copy_from, true, "11100"}};
    for (const auto& [job, allowed, enabled] : cases) {
      R running;
      if (job != nullptr) running.*job = true;
      const fernwick::ButtonStates b = fernwick::button_states(running, allowed, allowed);
      QCOMPARE(bits({b.repeat_update, b.clean_up, b.update_canada, b.copy_to, b.copy_from}),
               QString(enabled));
    }
  }

  // What a run leaves and asks: Yes or No to the clean-up question after a full run; a file the
  // server cannot give, without zlib (the loader's lines between the folder's and Canadian lines
  // and the run's);
  // the window closed while that box is up. After No: the log's end, the grid, the last merge's
  // figures, a fixed-pitch log; the Canadian update, which empties the US run's cells till it ends.
  void runsAndTheirAnswers() {
    const QString question = "Fernwick 012 for Orbisk: Clean up old files?\r"
                             "Do NOT clean up if you want to copy updates to A:";
    // The server's box, then no question.
    const QString refused = "connect() failed: 127.0.0.1 port 1";
    const QString saved = "call.db call0105.db call0112.db call0119.db cancall.db";
    const QString all = "0105to0112.db 0112to0119.db 0119to0126.db " + saved;
    const QString loader = "Canadian db present: 11/27/2026  1 calls\n\nNOTE: to update the "
                           "Canadian database, download the libfernwick-no-such-zlib.so file "
                           "into your calldb folder\n\n01/05/2018 <<---current database date\n";
    const std::tuple<int, bool, Answer, bool, int, QString, const char*> cases[] = {
        // staged weeks, zlib, answer, close on the box, merged weeks, files left, buttons
        {3, true, Answer::yes, false, 3, "call.db cancall.db", "11101"},
        {1, false, Answer::ok, false, 1, "0105to0112.db call.db call0105.db cancall.db", "11001"},
        {1, true, Answer::ok, true, 0, "0105to0112.db call.db cancall.db", ""},
        {3, true, Answer::no, false, 3, all, "11111"}};
    for (const auto& [staged, zlib, answer, close, merged, left, buttons] : cases) {
      World w;
      w.boxes.answers = {answer};
      if (close) w.boxes.on_show = [&w] { w.window->close(); };
      w.open(staged, 1, zlib);
      QCOMPARE(w.buttons(), QStringLiteral("00001"));  // the run starts at once
      QVERIFY(wait_for([&] {
        return close ? !w.window->isVisible() : w.log().contains("thread closed\n") && w.on(3);
      }));
      QCOMPARE(w.boxes.shown, QStringList{staged == 3 ? question : refused});
      QCOMPARE(w.boxes.buttons.front(),
               staged == 3 ? updater::Buttons::yes_no : updater::Buttons::ok);
      QCOMPARE(testutil::read_bytes(w.data("call.db")), testutil::read_bytes(w.snapshot(merged)));
      QCOMPARE(names_in(w.data("")), left);
      if (close) continue;
      QCOMPARE(w.buttons(), QString(buttons));
      // The folder updated follows the title and opens the log.
      const QString folder = QString::fromStdString(w.dir.path()) + "/data";
      QCOMPARE(w.window->windowTitle(), "Fernwick 012 for Orbisk - " + folder);
      QVERIFY(w.log().startsWith("Data folder: " + folder + "\n" + (zlib ? "" : loader)));
      if (answer != Answer::no) continue;

      QVERIFY(w.log().endsWith("call0119.db <<--saved old call.db file\nthread closed\n"));
      for (int row = 0; row < updater::kRowCount; ++row) {
        QCOMPARE(w.grid(row, RowCell::name), QString(row < 3 ? kUpdates[row].c_str() : ""));
        QCOMPARE(w.grid(row, RowCell::status), QString(row < 3 ? "done" : ""));
      }
      QStringList values;  // value cells, count cells
      for (int y = 22; y < 94; y += 18) values << w.label_at(540, y) << w.label_at(410, y + 72);
      QCOMPARE(values, QStringList({"01/19/2018", "7", "0119to0126.db", "5", "01/26/2018", "6",
                                    "18", "100"}));
      QVERIFY(save_picture(w.window.get(), "fernwick.png"));
      const QFontMetrics metrics = w.window->findChild<QPlainTextEdit*>()->fontMetrics();
      QCOMPARE(metrics.horizontalAdvance("i.W"), metrics.horizontalAdvance("MMM"));

      w.click(fernwick::kIdUpdateCanada);
      QVERIFY(w.grid(1, RowCell::name).isEmpty() && w.buttons() == "00001");
      QVERIFY(w.wait_until_idle() && w.buttons() == "11111");
      w.click(fernwick::kIdCleanUp);
      QVERIFY(w.wait_until_idle() && w.buttons() == "11101");
      QCOMPARE(names_in(w.data("")), saved);
    }
  }

  // The Settings dialog over a damaged file: a bad value is refused with what to write, the
  // dialog staying open; OK writes the values that are not the build's, and the next job uses
  // those changed (the folder for A:).
  void settingsDialog() {
    World w;
    w.settings_file = w.dir.file("config/vantry/calldb.conf");
    fs::create_directories(w.dir.file("config/vantry"));
    fs::create_directories(w.dir.file("b"));
    testutil::write_bytes(w.settings_file, "colour=blue\n");
    testutil::write_bytes(w.dir.file("b/0126to0202.db"), "next week");
    w.open(0);
    QVERIFY(w.wait_until_idle());
    QStringList messages;
    bool saved = false;
    QTimer::singleShot(0, [&] {
      auto* d = qobject_cast<fernwick::SettingsDialog*>(QApplication::activeModalWidget());
      const auto field = [d](const char* name) { return d->findChild<QLineEdit*>(name); };
      const auto message = [&] { messages << d->findChild<QLabel*>("message")->text(); };
      message();
      saved = save_picture(d, "fernwick-settings.png");
      field("canadaServer")->setText("ca example");
      field("floppyFolder")->setText(QString::fromStdString(w.dir.file("b")));
      d->accept();
      message();
      field("canadaServer")->setText(" 127.0.0.1:8443 ");
      d->accept();
    });
    w.click(fernwick::kIdSettings);
    QVERIFY(saved);
    QCOMPARE(messages.size(), 2);
    QVERIFY(messages[0].startsWith(QString::fromStdString(w.settings_file) +
                                   ": line 1: unknown key \"colour\""));
    QCOMPARE(messages[1], "The Canadian server must be HOST or HOST:PORT, as apc-cap.ic.gc.ca or "
                          "127.0.0.1:8443.");
    const std::string file = testutil::read_bytes(w.settings_file), b = w.dir.file("b");
    QVERIFY(file.starts_with("# ") &&
            file.ends_with("\ncanada-server=127.0.0.1:8443\nfloppy-folder=" + b + "\n"));
    QVERIFY(w.log().endsWith("Settings saved in " + QString::fromStdString(w.settings_file) +
                             "\n"));
    w.click(fernwick::kIdCopyFrom);
    QVERIFY(wait_for([&] { return w.log().endsWith("Copying complete\n"); }));
    QVERIFY(w.log().contains("Reading floppy disk A: (" + QString::fromStdString(b)));
  }

  // Help hands the data folder's page, else the one beside the program, to xdg-open; one that
  // fails (status 3: a system without a browser) or is missing is a box saying what to install.
  void helpOpensAPageOrSaysWhy() {
    const testutil::TempDir bin;  // xdg-open, when there is one
    const QByteArray path = qgetenv("PATH");
    const auto restore = qScopeGuard([&] { qputenv("PATH", path); });
    const QString beside = QCoreApplication::applicationDirPath() + "/fernwick-help.html";
    const std::tuple<int, bool, QString> cases[] = {  // xdg-open's status (-1: none), page, box
        {0, true, ""}, {0, false, ""}, {3, true, "No web browser is installed"},
        {-1, false, "xdg-open, which hands the page to the browser, is missing"}};
    for (const auto& [status, page, box] : cases) {
      World w;
      fernwick::DesktopHelpOpener opener;
      w.help = &opener;
      const std::string script = bin.file("xdg-open"), opened = bin.file("opened");
      std::filesystem::remove(opened);
      std::filesystem::remove(script);
      if (status >= 0) {
        testutil::write_bytes(script, "#!/bin/sh\necho \"$1\" >" + opened + "\nexit " +
                                          std::to_string(status) + "\n");
        std::filesystem::permissions(script, std::filesystem::perms::owner_all);
      }
      qputenv("PATH", QByteArray::fromStdString(bin.path()) + (status >= 0 ? ":" + path : ""));
      if (page) testutil::write_bytes(w.data("fernwick-help.html"), "help");
      w.open(0);
      QVERIFY(w.wait_until_idle());
      w.boxes.shown.clear();
      w.click(fernwick::kIdHelp);
      const QString shown = page ? QString::fromStdString(w.data("fernwick-help.html")) : beside;
      const auto written = [&] {
        return platform::file_exists(opened) && testutil::read_bytes(opened).ends_with('\n');
      };
      QVERIFY(wait_for([&] { return box.isEmpty() ? written() : !w.boxes.shown.empty(); }));
      if (box.isEmpty()) QTest::qWait(300);  // for a box that would follow
      QCOMPARE(QString::fromStdString(status >= 0 ? testutil::read_bytes(opened) : ""),
               status >= 0 ? "file://" + shown + "\n" : "");
      QCOMPARE(w.boxes.shown.size(), box.isEmpty() ? 0 : 1);
      QVERIFY(box.isEmpty() || w.boxes.shown.front().startsWith(
                                   QString(fernwick::kTitle) + ": Could not open the help page " +
                                   shown + "\r" + box));
    }
  }

  // While a download pauses, a copy from A: runs and ends, and what the run forbids stays off;
  // closing the window then leaves no half-written file, no update file, call.db as it was.
  void slowDownload() {
    World w;
    const std::string body = testutil::read_bytes(w.update(1));
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size());
    S server({{S::send(head + "\r\n\r\n" + body.substr(0, body.size() / 2)), S::pause(10000),
               S::send(body.substr(body.size() / 2))}});
    testutil::write_bytes(w.floppy("0126to0202.db"), "next week");
    w.open(0, server.port());
    QVERIFY(wait_for([&] { return !w.grid(0, RowCell::bytes).isEmpty(); }));
    QCOMPARE(w.grid(0, RowCell::total), QString::number(body.size()));
    w.click(fernwick::kIdCopyFrom);
    QVERIFY(wait_for([&] { return w.log().contains("Copying complete\n") && w.on(5); }));
    QCOMPARE(w.buttons(), QStringLiteral("00001"));
    QVERIFY(w.window->close());
    QCOMPARE(names_in(w.data("")), "0126to0202.db call.db cancall.db");
    QCOMPARE(testutil::read_bytes(w.data("call.db")), testutil::read_bytes(w.snapshot(0)));
    QVERIFY(w.boxes.shown.empty());
  }

  // A run from a server posing as the FCC: over a call.db of 2018, one grid row per archive with
  // its bytes, the dates, the old call.db kept; on a first start (the folder made by the box's
  // Yes), the first database, then the Canadian run in the grid's first row. Both leave the
  // databases an import of the weekly and its dailies makes.
  void fccRunFillsARowPerArchive() {
    testutil::FccSite site;
    QCOMPARE(QString::fromStdString(site.start()), QString());
    const testutil::TempDir ref;
    calldb::ImportOptions import;
    import.folder = ref.path();
    import.date = "20261213";
    import.sources = {site.weekly()};
    import.sources.insert(import.sources.end(), site.dailies().begin(), site.dailies().end());
    calldb::ImportReport report;
    std::string error;
    QVERIFY(calldb::import_uls(import, &report, &error) == 0);
    std::map<QString, QString> archives;  // name: status, bytes read, total bytes
    for (const std::string& path : import.sources) {
      const QString size = QString::number(fs::file_size(path));
      archives[fs::path(path).filename().c_str()] = "done " + size + " " + size;
    }
    for (const bool first : {false, true}) {
      World w;
      const std::string folder = first ? w.data("new/calldb/") : w.data("");
      w.boxes.answers = {first ? Answer::yes : Answer::no};
      w.open_fcc(folder, site.port(), site.ca());
      QVERIFY(wait_for([&] {
        return w.log().contains("thread closed\n") && w.on(3) &&
               (!first || w.grid(0, RowCell::status) == "Not avail");
      }));
      QCOMPARE(testutil::read_bytes(folder + "call.db"), testutil::read_bytes(ref.file("call.db")));
      QCOMPARE(testutil::read_bytes(folder + "callprev.db"),
               testutil::read_bytes(ref.file("callprev.db")));
      QCOMPARE(w.boxes.shown.size(), 1);
      if (first) {
        QVERIFY(w.boxes.shown[0].contains("about 131 MB"));
        QCOMPARE(w.grid(0, RowCell::name), QString("amateur.zip"));
        QVERIFY(w.grid(1, RowCell::name).isEmpty());
        continue;
      }
      QCOMPARE(w.boxes.shown[0], "Fernwick 012 for Orbisk: Clean up old files?\r"
                                 "Do NOT clean up if you want to copy updates to A:");
      std::map<QString, QString> rows;
      for (int row = 0; row < updater::kRowCount; ++row) {
        rows[w.grid(row, RowCell::name)] = w.grid(row, RowCell::status) + " " +
                                           w.grid(row, RowCell::bytes) + " " +
                                           w.grid(row, RowCell::total);
      }
      QVERIFY(rows == archives);
      QCOMPARE(QStringList({w.label_at(540, 22), w.label_at(540, 58), w.label_at(410, 148)}),
               QStringList({"01/05/2018", "12/13/2026", "100"}));
      QVERIFY(w.log().contains("call0105.db <<--saved old call.db file\n"));
      QCOMPARE(w.buttons(), QStringLiteral("11101"));  // no update files to copy to A:
      QVERIFY(save_picture(w.window.get(), "fernwick-fcc.png"));
    }
  }

  // Closing the window while the FCC's weekly archive comes in ends the run, and leaves the
  // data folder as it was.
  void closingMidFccRun() {
    const testutil::TestCertificates certificates;
    const S server({{S::send("HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n" +
                             std::string(5000, 'x')),
                     S::stall()}},
                   certificates.cert("good"), certificates.key("good"));
    World w;
    w.open_fcc(w.data(""), server.port(), certificates.ca());
    QVERIFY(wait_for([&] { return !w.grid(0, RowCell::bytes).isEmpty(); }));
    QCOMPARE(w.grid(0, RowCell::name) + " " + w.grid(0, RowCell::total),
             QString("l_amat.zip 1000000"));
    QVERIFY(w.window->close());
    QCOMPARE(names_in(w.data("")), "call.db cancall.db");
    QCOMPARE(testutil::read_bytes(w.data("call.db")), testutil::read_bytes(w.snapshot(0)));
    QVERIFY(w.boxes.shown.empty());
  }

  // The first start's box: No leaves the folder unmade and says how to go on; Yes makes it and
  // runs, and a server nobody answers is named with the option that chose it. With a club's
  // update server nothing is offered.
  void firstStartOffersTheFccsDatabase() {
    const QString offer = "Fernwick 012 for Orbisk: There is no US licence database in {F} yet.\r"
                          "\rGet the current one from the FCC now? This downloads about 131 MB "
                          "(the FCC's weekly archive) and the daily archives made since (tens of "
                          "KB each), then the Canadian list (a few MB).";
    const QString refused = "ERROR updating from the FCC: l_amat.zip: Cannot connect to host "
                            "127.0.0.1 [127.0.0.1] on port 1 (the FCC's server, --fcc-server)\r"
                            "\rCheck the network connection and the server, 127.0.0.1:1 (the "
                            "FCC's server, --fcc-server), then try again.";
    const QString missing = "call.db: UNABLE TO OPEN database file for modification\r"
                            "call.db not found in {F}.";
    const std::tuple<bool, Answer, QStringList, bool> cases[] = {
        {true, Answer::no, {offer}, false},
        {true, Answer::yes, {offer, refused}, true},
        {false, Answer::yes, {missing}, false}};
    for (const auto& [fcc, answer, shown, made] : cases) {
      World w;
      const std::string folder = w.data("new");
      w.boxes.answers = {answer};
      if (fcc) {
        w.open_fcc(folder, 1);
      } else {
        fernwick::WindowSettings s;
        s.folder = folder;
        s.server = {"127.0.0.1", 1};
        s.boxes = &w.boxes;
        w.window = std::make_unique<fernwick::Window>(std::move(s));
        w.window->show();
        w.window->start();
      }
      QVERIFY(w.wait_until_idle());
      QCOMPARE(w.boxes.shown.replaceInStrings("{F}", QString::fromStdString(folder)),
               QStringList(shown).replaceInStrings("{F}", QString::fromStdString(folder)));
      QCOMPARE(fs::is_directory(folder), made);
      QCOMPARE(w.log().contains("press \"Repeat update\" to get it from the FCC"),
               answer == Answer::no);
      QCOMPARE(w.buttons(), QStringLiteral("11101"));
    }
  }
};

QTEST_MAIN(FernwickWindowTest)
#include "fernwick_window_test.moc"
