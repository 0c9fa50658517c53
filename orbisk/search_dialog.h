// The Extended Search dialog: US licensees by name, city, state and ZIP code. The work is done
// by lookup::extended_search(); the dialog holds the criteria boxes, the status line and the
// result box, and shows the search's progress and message boxes.
#pragma once

#include <QDialog>
#include <QElapsedTimer>

#include "lookup/extended_search.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace lookup {

class MessageBoxes;
class SearchDialog;

// The search's status line and boxes, shown by the dialog.
class DialogSearchView final : public SearchView {
 public:
  DialogSearchView(SearchDialog* dialog, MessageBoxes& boxes) : dialog_(dialog), boxes_(boxes) {}
  void set_status(std::string_view text) override;
  void message_box(std::string_view text, std::string_view caption, SearchIcon icon) override;

 private:
  SearchDialog* dialog_;
  MessageBoxes& boxes_;
  QElapsedTimer since_paint_;
};

class SearchDialog : public QDialog {
  Q_OBJECT
 public:
  // `index` is the index copy to search with; when it is not made yet, opening makes it.
  SearchDialog(const dbfiles::UsDatabase& db, IndexCopy* index, MessageBoxes& boxes,
               QWidget* parent);

  // Makes the index copy when needed and puts the focus in the Name box. False when the index
  // could not be read (its box was shown): the dialog must not open.
  bool prepare();
  // prepare() and then the dialog, modal. Returns QDialog::Rejected when it did not open.
  int run();

  // The Search button.
  void search();

  QLabel* status_line() const { return status_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void place_results();

  const dbfiles::UsDatabase& db_;
  IndexCopy* index_;
  SearchCache cache_;  // the name table, made by the first name search of this opening
  DialogSearchView view_;
  QLineEdit* name_ = nullptr;
  QLineEdit* city_ = nullptr;
  QComboBox* state_ = nullptr;
  QLineEdit* zip_ = nullptr;
  QLabel* status_ = nullptr;
  QPlainTextEdit* results_ = nullptr;
  int results_top_ = 0;
};

}  // namespace lookup
