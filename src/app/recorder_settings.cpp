#include "app/recorder_settings.h"

#include <QSettings>

namespace moxi {

namespace {
QSettings store() { return QSettings(QStringLiteral("Moxiscope"), QStringLiteral("Moxiscope")); }
}  // namespace

bool RecorderSettings::read(const QString& key) { return store().value(key, defaultValue(key)).toBool(); }

void RecorderSettings::write(const QString& key, bool value) {
  QSettings s = store();
  s.setValue(key, value);
  s.sync();
}

}  // namespace moxi
