#include "lookup/text_boxes.h"

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

UpperCaseValidator::UpperCaseValidator(QObject* parent, FittedLineEdit* fit)
    : QValidator(parent), fit_(fit) {}

QValidator::State UpperCaseValidator::validate(QString& input, int& pos) const {
  // Letter by letter, so the text keeps its length and the cursor its place.
  for (QChar& c : input) c = c.toUpper();
  if (pos > input.size()) pos = static_cast<int>(input.size());
  if (fit_ != nullptr && !fit_->fits(input)) return Invalid;
  return Acceptable;
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

QLineEdit* make_upper_case_box(QWidget* parent, int max_length) {
  auto* box = new QLineEdit(parent);
  box->setMaxLength(max_length);
  box->setValidator(new UpperCaseValidator(box));
  return box;
}

}  // namespace lookup
