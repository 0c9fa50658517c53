// Both windows hand their help page to the desktop through this interface, so that tests can
// see what would be opened without launching anything.
#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>

namespace widgets {

class HelpOpener {
 public:
  virtual ~HelpOpener() = default;
  // Hands the page to the desktop. When nothing there can show it, calls `failed` with the
  // reason, on `context`'s thread: during the call, or once the desktop has given up, unless
  // `context` is gone by then.
  virtual void open(const QUrl& url, QObject* context,
                    std::function<void(const QString& why)> failed) = 0;
};

// Opens the page with xdg-open, the freedesktop opener, which hands it to the user's browser.
// xdg-open missing, or ending with a failure (on a system without a browser it ends with status
// 3), is a failure; while it runs (it may run a browser in the foreground) the page is taken to
// be shown. Still running when the opener goes, it is stopped, not what it started.
class DesktopHelpOpener final : public HelpOpener {
 public:
  DesktopHelpOpener() = default;
  ~DesktopHelpOpener() override;
  DesktopHelpOpener(const DesktopHelpOpener&) = delete;
  DesktopHelpOpener& operator=(const DesktopHelpOpener&) = delete;

  void open(const QUrl& url, QObject* context,
            std::function<void(const QString& why)> failed) override;

 private:
  QObject processes_;  // the xdg-open processes still running
};

// A window's help: the page `name` from `data_folder`, else from beside the program, else from
// `installed` (the folder the build installs the documents to), handed to `opener`. A page that
// is in none of them, or that the desktop cannot show, is told to `box`, the text of an error
// box.
void open_help_page(HelpOpener& opener, QObject* context, const QString& name,
                    const QString& data_folder, const QString& installed,
                    const std::function<void(const QString& text)>& box);

}  // namespace widgets
