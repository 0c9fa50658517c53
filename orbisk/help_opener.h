// Help › Contents hands the help file to the desktop through this interface, so that tests can
// see what would be opened without launching anything.
#pragma once

#include <QUrl>

namespace lookup {

class HelpOpener {
 public:
  virtual ~HelpOpener() = default;
  virtual void open(const QUrl& url) = 0;
};

// Opens the file with the desktop's viewer for its type (QDesktopServices).
class DesktopHelpOpener final : public HelpOpener {
 public:
  void open(const QUrl& url) override;
};

}  // namespace lookup
