#include "orbisk/text_boxes.h"

#include <QFontMetricsF>
#include <QStyle>
#include <QStyleOptionFrame>

#include <cmath>

namespace lookup {

namespace {

// QLineEdit keeps this many pixels free on either side of its text, and one more for the
// cursor after the last character.
constexpr int kLineEditMargin = 2;
constexpr int kCursorRoom = 1;

}  // namespace

FittedValidator::FittedValidator(FittedLineEdit* box, bool upper_case)
    : QValidator(box), box_(box), upper_case_(upper_case) {}

QValidator::State FittedValidator::validate(QString& input, int& pos) const {
  // Letter by letter, so the text keeps its length and the cursor its place.
  if (upper_case_) {
    for (QChar& c : input) c = c.toUpper();
  }
  if (pos > input.size()) pos = static_cast<int>(input.size());
  return box_->fits(input) ? Acceptable : Invalid;
}

bool FittedLineEdit::fits(const QString& text) const {
  QStyleOptionFrame option;
  initStyleOption(&option);
  const QRect contents = style()->subElementRect(QStyle::SE_LineEditContents, &option, this);
  const QMargins margins = textMargins();
  const int room = contents.width() - margins.left() - margins.right() - 2 * kLineEditMargin;
  const double width = QFontMetricsF(font()).horizontalAdvance(text);
  return static_cast<int>(std::ceil(width)) + kCursorRoom <= room;
}

QString shown_text(const std::string& text) {
  QString shown = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
  shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  return shown;
}

FittedLineEdit* make_fitted_box(QWidget* parent, int max_length, bool upper_case) {
  auto* box = new FittedLineEdit(parent);
  box->setMaxLength(max_length);
  box->setValidator(new FittedValidator(box, upper_case));
  return box;
}

}  // namespace lookup
