#include "orbisk/about_box.h"

#include <QLabel>
#include <QPushButton>

#include "orbisk/control_ids.h"
#include "orbisk/dialog_units.h"
#include "orbisk/edition.h"

namespace lookup {

namespace {

constexpr const char* kProgramText = kUsOnly ? "orbisk" : "Orbisk+ US/Canadian Callsign lookup 007";
constexpr int kProgramTextTop = kUsOnly ? 12 : 24;

QLabel* centred_text(QWidget* parent, const char* text, const QRect& rect) {
  auto* label = new QLabel(QString::fromLatin1(text), parent);
  label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  label->setGeometry(rect);
  return label;
}

}  // namespace

AboutBox::AboutBox(QWidget* parent, const QWidget* client)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint) {
  setModal(true);
  const DialogUnits du(font());
  centred_text(this, kProgramText, du.rect(0, kProgramTextTop, 160, 80));
  centred_text(this, "Callsign lookup program", du.rect(0, 36, 160, 8));
  centred_text(this, "For amateur radio operators", du.rect(0, 48, 160, 8));
  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  set_control_id(ok, kIdAboutOk);
  ok->setGeometry(du.rect(64, 60, 32, 14));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  ok->setFocus();

  setFixedSize(du.size(160, 80));
  const QPoint origin = client != nullptr ? client->mapToGlobal(QPoint(0, 0)) : QPoint(0, 0);
  move(origin + QPoint(du.x(20), du.y(20)));
}

}  // namespace lookup
