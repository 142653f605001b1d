#include "handoff/clipboard_handoff.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QMimeData>
#include <memory>

#include "common/log.h"

namespace moxi {

bool copyFileURLToClipboard(const QUrl& fileUrl) {
  QClipboard* clipboard = qGuiApp ? QGuiApplication::clipboard() : nullptr;
  if (!clipboard || !fileUrl.isValid()) return false;
  auto data = std::make_unique<QMimeData>();
  data->setUrls({fileUrl});
  data->setData(QStringLiteral("x-special/gnome-copied-files"), "copy\n" + fileUrl.toEncoded());
  data->setText(fileUrl.toString(QUrl::FullyEncoded));
  clipboard->setMimeData(data.release(), QClipboard::Clipboard);  // the clipboard takes it
  return clipboard->ownsClipboard();
}

bool openWithDefaultApplication(const QUrl& url) {
  if (QDesktopServices::openUrl(url)) return true;
  logLine("error opening " + url.toString(QUrl::FullyEncoded).toStdString() +
          ": no default application could be started (is xdg-open installed?)");
  return false;
}

}  // namespace moxi
