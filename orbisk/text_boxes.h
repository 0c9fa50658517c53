// Edit boxes of the lookup windows: the callsign box and the Extended Search's Name, City and
// Zip boxes never scroll sideways (their text never grows past what their width shows), and
// all but the Zip box turn typed letters to upper case.
#pragma once

#include <QLineEdit>
#include <QValidator>

#include <string>

namespace lookup {

class FittedLineEdit;

// Refuses any text wider than `box` can show without scrolling; with `upper_case`, turns every
// letter to upper case as it is typed or pasted.
class FittedValidator : public QValidator {
  Q_OBJECT
 public:
  FittedValidator(FittedLineEdit* box, bool upper_case);
  State validate(QString& input, int& pos) const override;

 private:
  FittedLineEdit* box_;
  bool upper_case_;
};

// A line edit that can tell whether a text fits in it unscrolled.
class FittedLineEdit : public QLineEdit {
  Q_OBJECT
 public:
  explicit FittedLineEdit(QWidget* parent) : QLineEdit(parent) {}
  bool fits(const QString& text) const;
};

// A text with "\r\n" line ends as a text box shows it: each "\r\n" a line break.
QString shown_text(const std::string& text);

// A box of at most `max_length` characters that never scrolls sideways.
FittedLineEdit* make_fitted_box(QWidget* parent, int max_length, bool upper_case);

}  // namespace lookup
