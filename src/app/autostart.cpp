#include "app/autostart.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include "common/log.h"

namespace moxi {

namespace {

// The program's own path, quoted as a desktop entry's Exec wants it, so the
// entry starts this program also when it is not on PATH.
QString execLine() {
  QString path = QCoreApplication::applicationFilePath();
  if (path.isEmpty()) return QStringLiteral("moxiscope");
  bool plain = true;
  for (QChar c : path)
    if (!(c.isLetterOrNumber() || QStringLiteral("/._-+").contains(c))) plain = false;
  if (plain) return path;
  QString quoted;
  for (QChar c : path) {
    if (QStringLiteral("\"`$\\").contains(c)) quoted += u'\\';
    quoted += c == u'%' ? QStringLiteral("%%") : QString(c);
  }
  // Inside a desktop entry's string a backslash is itself escaped once more.
  return u'"' + quoted.replace(QStringLiteral("\\"), QStringLiteral("\\\\")) + u'"';
}

}  // namespace

Autostart::Autostart(QObject* parent) : QObject(parent) {}

QString Autostart::entryPath() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
         QStringLiteral("/autostart/moxiscope.desktop");
}

bool Autostart::enabled() const { return QFileInfo::exists(entryPath()); }

void Autostart::setEnabled(bool on) {
  const QString path = entryPath();
  error_.clear();
  if (on) {
    QDir().mkpath(QFileInfo(path).path());
    QSaveFile file(path);
    const QByteArray entry = "[Desktop Entry]\n"
                             "Type=Application\n"
                             "Name=Moxiscope\n"
                             "Comment=Record one window to a video, with the clicks in its metadata\n"
                             "Exec=" + execLine().toUtf8() + "\n"
                             "Icon=moxiscope\n"
                             "Terminal=false\n"
                             "StartupNotify=false\n"
                             "X-GNOME-Autostart-enabled=true\n";
    if (!file.open(QIODevice::WriteOnly) || file.write(entry) != entry.size() || !file.commit())
      error_ = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
  } else if (QFileInfo::exists(path) && !QFile::remove(path)) {
    error_ = QStringLiteral("cannot remove %1").arg(path);
  }
  if (!error_.isEmpty()) logLine(error_.toStdString());
  emit enabledChanged();
}

}  // namespace moxi
