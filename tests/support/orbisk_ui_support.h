// Helpers for the lookup window tests: fakes for message boxes and the help viewer, data
// folders written with the database writers, the window opened as the program opens it,
// controls found by id, and modal dialogs handled from a timer.
#pragma once

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <QtTest>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "dbfiles/dbwriter.h"
#include "dbfiles/lookup.h"
#include "orbisk/control_ids.h"
#include "orbisk/help_opener.h"
#include "orbisk/main_window.h"
#include "orbisk/message_boxes.h"

namespace uitest {

struct ShownBox {
  QString caption;
  QString text;
  lookup::BoxIcon icon;
};

// Records every box, runs `on_show` (when set) and answers OK at once.
class FakeMessageBoxes final : public lookup::MessageBoxes {
 public:
  lookup::BoxAnswer show(QWidget*, const QString& text, const QString& caption,
                         lookup::BoxIcon icon) override {
    shown.push_back(ShownBox{caption, text, icon});
    if (on_show) on_show();
    return lookup::BoxAnswer::ok;
  }
  // "caption: text" of each box, in order.
  QStringList lines() const {
    QStringList out;
    for (const ShownBox& b : shown) out << b.caption + ": " + b.text;
    return out;
  }
  std::vector<ShownBox> shown;
  std::function<void()> on_show;
};

class FakeHelpOpener final : public lookup::HelpOpener {
 public:
  bool open(const QUrl& url) override {
    opened.push_back(url);
    return opens;
  }
  std::vector<QUrl> opened;
  bool opens = true;  // false: as if the desktop had nothing to show the page with
};

inline constexpr char kUsDate[] = "20261129";
inline constexpr std::uint32_t kOntario = 14;

inline dbfiles::UsRecord us_licence(const char* call, std::string name, std::string street,
                                    std::string city, const char* state, std::uint32_t zip,
                                    bool po_box = false) {
  std::uint32_t index = 0;
  for (int i = 1; i < dbfiles::kStateCount; ++i) {
    if (std::strcmp(dbfiles::StateCodes[i], state) == 0) index = static_cast<std::uint32_t>(i);
  }
  return dbfiles::UsRecord{dbfiles::encode_call(call), std::move(name), std::move(street),
                           std::move(city), index, zip, po_box};
}

// The i-th of 175,760 distinct five-character US callsigns: W0AAA, W1AAA, ... W9ZZZ.
inline std::string numbered_call(int i) {
  std::string call = "W0AAA";
  call[1] = static_cast<char>('0' + i % 10);
  i /= 10;
  for (int k = 4; k >= 2; --k, i /= 26) call[k] = static_cast<char>('A' + i % 26);
  return call;
}

inline bool write_call_db(const std::string& folder, std::vector<dbfiles::UsRecord> records) {
  std::sort(records.begin(), records.end(),
            [](const dbfiles::UsRecord& a, const dbfiles::UsRecord& b) { return a.key < b.key; });
  return dbfiles::write_call_db(folder + "/" + dbfiles::kCallDbName, kUsDate, records) == 0;
}

// callprev.db saying that KB1OLD is now K1ABC.
inline bool write_prev_db(const std::string& folder) {
  const std::vector<dbfiles::PrevEntry> entries = {
      {dbfiles::encode_call("KB1OLD"), dbfiles::encode_call("K1ABC")}};
  return dbfiles::write_prev_db(folder + "/" + dbfiles::kCallPrevDbName, kUsDate, entries) == 0;
}

// cancall.db with VE3ABC alone.
inline bool write_can_db(const std::string& folder) {
  dbfiles::CanDbWriter writer;
  dbfiles::CanKey key = 0;
  return writer.open(folder + "/" + dbfiles::kCanCallDbName, "20261127") == 0 &&
         dbfiles::encode_can_call("VE3ABC", &key) == 0 &&
         writer.add(dbfiles::CanEntry::make_word0(key, kOntario), "MARCHBANK", "ELOISE R",
                    "88 BYTOWN CRES", "OTTAWA", "K2P 1A4") == 0 &&
         writer.finish() == 0;
}

// The direct child widgets of `parent`, in the order they were made.
inline std::vector<QWidget*> child_widgets(const QWidget* parent) {
  std::vector<QWidget*> out;
  for (QObject* o : parent->children()) {
    if (auto* w = qobject_cast<QWidget*>(o)) out.push_back(w);
  }
  return out;
}

template <class T>
T* control(const QWidget* root, int id) {
  for (T* w : root->findChildren<T*>()) {
    if (lookup::control_id(w) == id) return w;
  }
  return nullptr;
}

// Puts the current directory back when the test ends.
class CurrentDirectoryGuard {
 public:
  CurrentDirectoryGuard() : saved_(QDir::currentPath()) {}
  ~CurrentDirectoryGuard() { QDir::setCurrent(saved_); }
  CurrentDirectoryGuard(const CurrentDirectoryGuard&) = delete;
  CurrentDirectoryGuard& operator=(const CurrentDirectoryGuard&) = delete;

 private:
  QString saved_;
};

// The window opened on a data folder, shown and started as the program does.
class Session {
 public:
  explicit Session(const std::string& data_folder = {}, bool fall_back = false)
      : window(boxes, help, QString::fromStdString(data_folder), fall_back) {
    window.show();
    window.activateWindow();
    if (!QTest::qWaitForWindowActive(&window)) qWarning("window not active");
    window.start();
    callsign = control<QLineEdit>(&window, lookup::kIdCallsign);
    output = control<QPlainTextEdit>(&window, lookup::kIdOutput);
  }

  QPushButton* button(int id) { return control<QPushButton>(&window, id); }
  QString shown() const { return output->toPlainText(); }
  // Types into the callsign box (over its selection, as a user does) and presses Enter.
  void look_up(const char* typed) {
    QTest::keyClicks(callsign, QString::fromLatin1(typed));
    QTest::keyClick(callsign, Qt::Key_Return);
  }

  CurrentDirectoryGuard cwd;
  FakeMessageBoxes boxes;
  FakeHelpOpener help;
  lookup::MainWindow window;
  QLineEdit* callsign = nullptr;
  QPlainTextEdit* output = nullptr;
};

// Runs `act` on the modal dialog that the next command opens, once it is up and active.
// Watches for as long as it lives, at most five seconds. A dialog that `act` left open (a
// failed check returns early) is closed, so that the test goes on.
class ModalWatch {
 public:
  explicit ModalWatch(std::function<void(QWidget*)> act) : act_(std::move(act)) {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      const bool ready = modal != nullptr && modal->isActiveWindow();
      if (!ready && ++ticks_ < 1000) return;
      timer_.stop();
      if (modal == nullptr) return;
      ran_ = true;
      act_(modal);
      if (QApplication::activeModalWidget() == modal) modal->close();
    });
    timer_.start();
  }
  ModalWatch(const ModalWatch&) = delete;
  ModalWatch& operator=(const ModalWatch&) = delete;

  bool ran() const { return ran_; }

 private:
  std::function<void(QWidget*)> act_;
  QTimer timer_;
  int ticks_ = 0;
  bool ran_ = false;
};

}  // namespace uitest
