#include "orbisk/about_box.h"

#include <algorithm>

#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>

#include "orbisk/control_ids.h"
#include "orbisk/dialog_units.h"
#include "orbisk/edition.h"

namespace lookup {

namespace {

constexpr const char* kProgramText = kUsOnly ? "orbisk" : "Orbisk+ US/Canadian Callsign lookup 007";
constexpr int kProgramTextTop = kUsOnly ? 12 : 24;

QLabel* centred_text(QWidget* parent, const char* text) {
  auto* label = new QLabel(QString::fromLatin1(text), parent);
  label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  return label;
}

}  // namespace

// The texts are centred across the box: 160 dialog units, or more where a text in the font
// at hand needs it, so that no line is cut at either end.
AboutBox::AboutBox(QWidget* parent, const QWidget* client)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint) {
  setModal(true);
  const DialogUnits du(font());
  struct Line {
    QLabel* label;
    int top, height;
  };
  const Line lines[] = {
      {centred_text(this, kProgramText), kProgramTextTop, 80},
      {centred_text(this, "Callsign lookup program"), 36, 8},
      {centred_text(this, "For amateur radio operators"), 48, 8},
  };
  int width = du.x(160);
  for (const Line& line : lines) {
    const QFontMetrics metrics = line.label->fontMetrics();
    width = std::max(width, metrics.horizontalAdvance(line.label->text()) + 2 * du.x(4));
  }
  for (const Line& line : lines) {
    line.label->setGeometry(0, du.y(line.top), width, du.y(line.height));
  }
  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  set_control_id(ok, kIdAboutOk);
  ok->setGeometry((width - du.x(32)) / 2, du.y(60), du.x(32), du.y(14));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  ok->setFocus();

  setFixedSize(width, du.y(80));
  const QPoint origin = client != nullptr ? client->mapToGlobal(QPoint(0, 0)) : QPoint(0, 0);
  move(origin + QPoint(du.x(20), du.y(20)));
}

}  // namespace lookup
