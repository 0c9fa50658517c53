// What the updater's window asks of the desktop goes through these interfaces, so that tests can
// answer message boxes and see which help page would open without showing or launching anything.
#pragma once

#include <QString>
#include <QUrl>

#include "updater/worker_link.h"
#include "widgets/help_opener.h"

class QWidget;

namespace fernwick {

class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  // A modal box over `parent` with the given buttons; returns the button pressed. `text` is as
  // the caller wrote it: its lines are parted by "\r" or "\r\n".
  virtual updater::Answer show(QWidget* parent, const QString& text, const QString& caption,
                               updater::Buttons buttons, updater::Icon icon) = 0;
};

// The real boxes: QMessageBox.
class QtMessageBoxes final : public MessageBoxes {
 public:
  updater::Answer show(QWidget* parent, const QString& text, const QString& caption,
                       updater::Buttons buttons, updater::Icon icon) override;
};

using widgets::DesktopHelpOpener;
using widgets::HelpOpener;

}  // namespace fernwick
