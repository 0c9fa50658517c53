// Both windows hand their help page to the desktop through this interface, so that tests can
// see what would be opened without launching anything.
#pragma once

#include <QUrl>

namespace widgets {

class HelpOpener {
 public:
  virtual ~HelpOpener() = default;
  // Returns false when nothing on the desktop could show the page.
  virtual bool open(const QUrl& url) = 0;
};

// Opens the page with the desktop's viewer for its type (QDesktopServices).
class DesktopHelpOpener final : public HelpOpener {
 public:
  bool open(const QUrl& url) override;
};

}  // namespace widgets
