// The Extended Search dialog: its controls, each kind of criterion typed as a user types it,
// and the index copy made once per run. What a search finds is the search's own test.

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QtTest>

#include <unistd.h>

#include <memory>

#include "orbisk/search_dialog.h"
#include "tests/support/orbisk_ui_support.h"
#include "tests/test_util.h"

using namespace uitest;

namespace {

std::vector<dbfiles::UsRecord> small_db() {
  return {
      us_licence("K1ABC", "SMITH, JANE", "1 ELM ST", "BOSTON", "MA", 2101),
      us_licence("W1AW", "SMITH, JOHN A", "225 MAIN ST", "SPRINGFIELD", "MA", 1101),
      us_licence("N0XYZ", "SMITHSON, ROY", "9", "SPRINGFIELD", "FL", 32801, true),
      us_licence("AA1A", "DOE, SPRINGFIELD", "2 OAK", "BURLINGTON", "VT", 501),
      us_licence("KC4Q", "JONES, AMY", "3 PINE", "FIELDSTONE", "FL", 32802),
  };
}

// The dialog over a call.db of `records`, opened as the program opens it, but not modal.
class Dialog {
 public:
  explicit Dialog(std::vector<dbfiles::UsRecord> records) {
    ok = write_call_db(dir.path(), std::move(records)) &&
         dbfiles::open_call_db(dir.file("call.db"), &db) == 0;
    dialog = std::make_unique<lookup::SearchDialog>(db, &index, boxes, nullptr);
    ok = ok && dialog->prepare();
    dialog->show();
    dialog->activateWindow();
    if (!QTest::qWaitForWindowActive(dialog.get())) qWarning("dialog not active");
    name = control<QLineEdit>(dialog.get(), lookup::kIdName);
    city = control<QLineEdit>(dialog.get(), lookup::kIdCity);
    state = control<QComboBox>(dialog.get(), lookup::kIdState);
    zip = control<QLineEdit>(dialog.get(), lookup::kIdZip);
    status = control<QLabel>(dialog.get(), lookup::kIdStatus);
    results = control<QPlainTextEdit>(dialog.get(), lookup::kIdResults);
    search = control<QPushButton>(dialog.get(), lookup::kIdSearchButton);
  }

  // Types into a box and presses Enter there, which the default button takes.
  void type_and_enter(QLineEdit* box, const char* text) {
    box->clear();
    QTest::keyClicks(box, QString::fromLatin1(text));
    QTest::keyClick(box, Qt::Key_Return);
  }

  testutil::TempDir dir;
  dbfiles::UsDatabase db;
  lookup::IndexCopy index;
  FakeMessageBoxes boxes;
  std::unique_ptr<lookup::SearchDialog> dialog;
  bool ok = false;
  QLineEdit* name = nullptr;
  QLineEdit* city = nullptr;
  QComboBox* state = nullptr;
  QLineEdit* zip = nullptr;
  QLabel* status = nullptr;
  QPlainTextEdit* results = nullptr;
  QPushButton* search = nullptr;
};

}  // namespace

class SearchDialogTest : public QObject {
  Q_OBJECT

 private slots:
  // Each control in template order with its text, wide enough to show it whole at the default
  // font; the dialog grows by its result box, whose lines never wrap.
  void controlsInOrderWithTheirTextsShownWhole() {
    Dialog d(small_db());
    QVERIFY(d.ok);
    QCOMPARE(d.dialog->windowTitle(), QStringLiteral("Extended Search (US only)"));
    struct Expected {
      const char* type;
      int id;
      QStringList texts;  // the first is the control's own, the others it shows later
    };
    const std::vector<Expected> expected = {
        {"QLabel", 0, {"Search for one or more of the following criteria:"}},
        {"QLabel", 0, {"Name"}}, {"QLabel", 0, {"City"}}, {"QLabel", 0, {"State"}},
        {"QLabel", 0, {"Zip"}}, {"QLineEdit", 107, {""}}, {"QLineEdit", 108, {""}},
        {"QComboBox", 109, {"(all)"}}, {"QLineEdit", 110, {""}},
        {"QLabel", 0, {"(last, first ...)"}}, {"QPushButton", 1, {"Search"}},
        {"QPushButton", 2, {"Close window"}},
        {"QLabel", 112, {"", "Searching names/cities...", "Found 8192, 100% done"}},
        {"QPlainTextEdit", 111, {""}},
    };
    const std::vector<QWidget*> c = child_widgets(d.dialog.get());
    QCOMPARE(c.size(), expected.size());
    for (std::size_t i = 0; i < c.size(); ++i) {
      const Expected& e = expected[i];
      const QString where = QStringLiteral("control %1").arg(i);
      QVERIFY2(c[i]->inherits(e.type), qPrintable(where));
      QCOMPARE(lookup::control_id(c[i]), e.id);
      QVERIFY2(d.dialog->rect().contains(c[i]->geometry()), qPrintable(where));
      // Where the control draws its text.
      QRect room;
      QString own = c[i]->property("text").toString();
      QStringList texts = e.texts;
      if (auto* label = qobject_cast<QLabel*>(c[i])) {
        room = label->contentsRect();
      } else if (auto* b = qobject_cast<QPushButton*>(c[i])) {
        QStyleOptionButton option;
        option.initFrom(b);
        if (b->isDefault()) option.features |= QStyleOptionButton::DefaultButton;
        room = b->style()->subElementRect(QStyle::SE_PushButtonContents, &option, b);
      } else if (auto* list = qobject_cast<QComboBox*>(c[i])) {
        own = list->currentText();
        QStyleOptionComboBox option;
        option.initFrom(list);
        room = list->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                             QStyle::SC_ComboBoxEditField, list);
        for (int n = 1; n < list->count(); ++n) texts << list->itemText(n);
        QCOMPARE(texts.size(), 61);
        QCOMPARE(QStringList({texts[1], texts[56], texts[60]}), QStringList({"AA", "VT", "WY"}));
      }
      QCOMPARE(own, e.texts.front());
      for (const QString& text : room.isNull() ? QStringList() : texts) {
        QVERIFY2(room.width() >= qCeil(QFontMetricsF(c[i]->font()).horizontalAdvance(text)),
                 qPrintable(where + ": " + text));
        QVERIFY2(room.height() >= c[i]->fontMetrics().height(), qPrintable(where));
      }
    }
    for (int i = 1; i < 5; ++i) {
      QVERIFY(qobject_cast<QLabel*>(c[i])->alignment() & Qt::AlignRight);
    }

    QVERIFY(d.search->isDefault());
    QVERIFY(d.results->isReadOnly());
    QCOMPARE(d.results->lineWrapMode(), QPlainTextEdit::NoWrap);
    QCOMPARE(d.results->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QVERIFY(d.dialog->maximumSize() != d.dialog->minimumSize());
    const QRect results = d.results->geometry();
    d.dialog->resize(d.dialog->size() + QSize(120, 90));
    QCOMPARE(d.results->geometry(), results.adjusted(0, 0, 120, 90));

    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(d.name));
    QTest::keyClicks(d.name, QStringLiteral("smith, j"));
    QTest::keyClicks(d.city, QStringLiteral("boston"));
    QCOMPARE(d.name->text(), QStringLiteral("SMITH, J"));
    QCOMPARE(d.city->text(), QStringLiteral("BOSTON"));
    // Name, City and Zip take only what their width shows: they never scroll sideways.
    for (QLineEdit* box : {d.name, d.city, d.zip}) {
      box->clear();
      QTest::keyClicks(box, QString(40, QLatin1Char('W')));
      QVERIFY(!box->text().isEmpty());
      QVERIFY(box->fontMetrics().horizontalAdvance(box->text()) < box->width());
    }
  }

  // What each box holds reaches the search as typed; without any, the search only asks and
  // the earlier results stay.
  void eachBoxGivesItsCriterion() {
    Dialog d(small_db());
    const struct {
      const char *name, *city, *state, *zip;
      QString shown;
    } cases[] = {
        {"smith,j", "", "(all)", "",
         "K1ABC  - SMITH, JANE - 1 ELM ST - BOSTON MA 02101\n"
         "W1AW   - SMITH, JOHN A - 225 MAIN ST - SPRINGFIELD MA 01101\n"},
        {"", "field", "FL", "", "N0XYZ  - SMITHSON, ROY - PO BOX 9 - SPRINGFIELD FL 32801\n"},
        {"", "", "FL", "032802", "KC4Q   - JONES, AMY - 3 PINE - FIELDSTONE FL 32802\n"},
        {"", "", "(all)", "", "KC4Q   - JONES, AMY - 3 PINE - FIELDSTONE FL 32802\n"},
    };
    for (const auto& c : cases) {
      d.name->clear();
      QTest::keyClicks(d.name, QString::fromLatin1(c.name));
      d.city->clear();
      QTest::keyClicks(d.city, QString::fromLatin1(c.city));
      d.state->setCurrentIndex(d.state->findText(QString::fromLatin1(c.state)));
      d.type_and_enter(d.zip, c.zip);
      QCOMPARE(d.results->toPlainText(), c.shown);
    }
    QCOMPARE(d.boxes.lines(), QStringList({"Search: No search criteria were specified"}));
    QCOMPARE(d.status->text(), QString());
  }

  void closeWindowAndEscapeEndIt() {
    Dialog d(small_db());
    QTest::mouseClick(control<QPushButton>(d.dialog.get(), lookup::kIdCloseButton), Qt::LeftButton);
    QVERIFY(!d.dialog->isVisible());
    QCOMPARE(d.dialog->result(), int(QDialog::Rejected));
    d.dialog->show();
    QTest::keyClick(d.name, Qt::Key_Escape);
    QVERIFY(!d.dialog->isVisible());
  }

  // The full edition reads the index at the first opening only, and keeps it.
  void secondOpeningSearchesTheIndexReadAtTheFirst() {
    testutil::TempDir dir;
    QVERIFY(write_call_db(dir.path(), small_db()));
    Session s(dir.path());
    QStringList found;
    for (int opening = 0; opening < 2; ++opening) {
      ModalWatch watch([&](QWidget* dialog) {
        auto* name = control<QLineEdit>(dialog, lookup::kIdName);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(name));
        QTest::keyClicks(name, QStringLiteral("smith, j"));
        QTest::keyClick(name, Qt::Key_Return);
        found << control<QLabel>(dialog, lookup::kIdStatus)->text();
        QTest::keyClick(dialog, Qt::Key_Escape);
      });
      QTest::mouseClick(s.button(lookup::kIdExtendedSearch), Qt::LeftButton);
      QVERIFY(watch.ran());
      const std::string path = dir.file("call.db");
      QCOMPARE(truncate(path.c_str(), testutil::word_at(testutil::read_bytes(path), 8) + 20), 0);
    }
    QCOMPARE(found, QStringList({"Done - found 2", "Done - found 2"}));
    QVERIFY(s.boxes.shown.empty());
  }
};

QTEST_MAIN(SearchDialogTest)
#include "search_dialog_test.moc"
