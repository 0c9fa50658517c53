// Edit boxes of the lookup windows: boxes that turn typed letters to upper case, and the
// callsign box, whose text never grows past what its width shows.
#pragma once

#include <QLineEdit>
#include <QValidator>

#include <string>

namespace lookup {

class FittedLineEdit;

// Turns every letter to upper case as it is typed or pasted. With `fit` set, refuses any text
// wider than the box can show without scrolling.
class UpperCaseValidator : public QValidator {
  Q_OBJECT
 public:
  explicit UpperCaseValidator(QObject* parent, FittedLineEdit* fit = nullptr);
  State validate(QString& input, int& pos) const override;

 private:
  FittedLineEdit* fit_;
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

// An upper-case box of at most `max_length` characters.
QLineEdit* make_upper_case_box(QWidget* parent, int max_length);

}  // namespace lookup
