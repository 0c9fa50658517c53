// fernwick's Settings dialog: the US source (the FCC's own files, or a club's update server),
// the Canadian server, the folder that stands for A: and the data folder, as the settings file
// keeps them (settings/settings.h). OK checks every value and saves the file; a bad value is
// refused with what to write instead, and the dialog stays open.
#pragma once

#include <QDialog>

#include <string>

#include "settings/settings.h"

class QLabel;
class QLineEdit;
class QRadioButton;

namespace fernwick {

class SettingsDialog : public QDialog {
  Q_OBJECT
 public:
  // Shows the values of the settings file `file` (the build's where it has none, or when it is
  // damaged: then the dialog says so, and OK writes it anew).
  explicit SettingsDialog(std::string file, QWidget* parent = nullptr);

  // The values as the dialog opened, and as OK saved them.
  const settings::Settings& before() const { return before_; }
  const settings::Settings& saved() const { return saved_; }

  void accept() override;

 private:
  std::string file_;
  std::string home_;
  settings::Settings before_;
  settings::Settings saved_;
  QRadioButton* fcc_ = nullptr;
  QRadioButton* club_ = nullptr;
  QLineEdit* club_server_ = nullptr;
  QLineEdit* canada_server_ = nullptr;
  QLineEdit* floppy_folder_ = nullptr;
  QLineEdit* data_folder_ = nullptr;
  QLabel* message_ = nullptr;  // what was refused, or what was wrong with the file
};

}  // namespace fernwick
