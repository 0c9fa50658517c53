#include "widgets/help_opener.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

namespace widgets {

namespace {

// xdg-open's status when no program could show the page.
constexpr int kNoMethod = 3;

QString why_ended(QProcess::ExitStatus status, int code) {
  if (status != QProcess::NormalExit) return QStringLiteral("xdg-open ended abnormally.");
  if (code == kNoMethod) {
    return QStringLiteral("No web browser is installed (xdg-open found no program to show it "
                          "with). Install one, for example with: sudo apt install firefox-esr");
  }
  return QStringLiteral("xdg-open ended with status %1.").arg(code);
}

}  // namespace

DesktopHelpOpener::~DesktopHelpOpener() {
  for (QProcess* process : processes_.findChildren<QProcess*>()) {
    process->disconnect();
    process->kill();
    process->waitForFinished(1000);
  }
}

void DesktopHelpOpener::open(const QUrl& url, QObject* context,
                             std::function<void(const QString& why)> failed) {
  auto* process = new QProcess(&processes_);
  // What it starts gets our terminal (or the session's log), never a pipe that closes with us.
  process->setStandardInputFile(QProcess::nullDevice());
  process->setProcessChannelMode(QProcess::ForwardedChannels);
  QObject::connect(process, &QProcess::finished, context,
                   [process, failed](int code, QProcess::ExitStatus status) {
                     process->deleteLater();
                     if (status != QProcess::NormalExit || code != 0) {
                       failed(why_ended(status, code));
                     }
                   });
  QObject::connect(process, &QProcess::errorOccurred, context,
                   [process, failed](QProcess::ProcessError error) {
                     if (error != QProcess::FailedToStart) return;
                     process->deleteLater();
                     failed(QStringLiteral("xdg-open, which hands the page to the browser, is "
                                           "missing. Install it with: sudo apt install "
                                           "xdg-utils"));
                   });
  process->start(QStringLiteral("xdg-open"), {url.toString(QUrl::FullyEncoded)});
}

void open_help_page(HelpOpener& opener, QObject* context, const QString& name,
                    const QString& data_folder, const QString& installed,
                    const std::function<void(const QString& text)>& box) {
  const QString program = QCoreApplication::applicationDirPath();
  for (const QString& folder : {data_folder, program, installed}) {
    const QString path = QDir(folder).absoluteFilePath(name);
    if (!QFileInfo(path).isFile()) continue;
    opener.open(QUrl::fromLocalFile(path), context, [box, path](const QString& why) {
      box(QStringLiteral("Could not open the help page %1\r%2").arg(path, why));
    });
    return;
  }
  box(QStringLiteral("%1 is not in %2 nor in %3").arg(name, data_folder, program));
}

}  // namespace widgets
