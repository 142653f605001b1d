#include "app/recorder_settings.h"

#include <QSettings>
#include <optional>

#include "platform/log.h"

namespace moxi {

namespace {

QSettings store() { return QSettings(QStringLiteral("Moxiscope"), QStringLiteral("Moxiscope")); }

const QString kRestoreTokenKey = QStringLiteral("screenCastRestoreToken");

// A switch as the settings file holds it: true or false (as Qt writes it),
// or 1 or 0. Anything else is not a switch's value.
std::optional<bool> parseSwitch(const QVariant& value) {
  switch (value.typeId()) {
    case QMetaType::Bool:
      return value.toBool();
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong: {
      const qlonglong n = value.toLongLong();
      if (n == 0 || n == 1) return n == 1;
      return std::nullopt;
    }
    case QMetaType::QString: {
      const QString text = value.toString().trimmed().toLower();
      if (text == QLatin1String("true") || text == QLatin1String("1")) return true;
      if (text == QLatin1String("false") || text == QLatin1String("0")) return false;
      return std::nullopt;
    }
    default:
      return std::nullopt;
  }
}

// The desktop's restore token is a short printable text.
bool validToken(const QVariant& value) {
  if (value.typeId() != QMetaType::QString) return false;
  const QString text = value.toString();
  if (text.isEmpty() || text.size() > 256) return false;
  for (QChar c : text)
    if (c.unicode() < 0x21 || c.unicode() > 0x7e) return false;
  return true;
}

QString shown(const QVariant& value) {
  QString text = value.typeId() == QMetaType::QStringList ? value.toStringList().join(QStringLiteral(", "))
                                                           : value.toString();
  if (text.isEmpty() && value.isValid()) text = QString::fromLatin1(value.typeName());
  return text.size() > 40 ? text.left(40) + QStringLiteral("...") : text;
}

}  // namespace

const std::vector<QString>& RecorderSettings::switchKeys() {
  static const std::vector<QString> keys{showDialogKey, cursorOnKey, captureMicrophoneKey, windowAudioOnKey,
                                         capturePopupsKey};
  return keys;
}

bool RecorderSettings::read(const QString& key) {
  QSettings s = store();
  if (s.status() != QSettings::NoError) return defaultValue(key);
  return parseSwitch(s.value(key)).value_or(defaultValue(key));
}

void RecorderSettings::write(const QString& key, bool value) {
  QSettings s = store();
  // A file Qt cannot read would be replaced by one without the rest of it.
  if (s.status() != QSettings::NoError) {
    logLine("the setting " + key.toStdString() + " is not saved: the settings file " + s.fileName().toStdString() +
            " cannot be read");
    return;
  }
  // QSettings writes a new file and renames it over the old one.
  s.setValue(key, value);
  s.sync();
  if (s.status() != QSettings::NoError)
    logLine("the setting " + key.toStdString() + " could not be saved in " + s.fileName().toStdString());
}

std::vector<std::string> RecorderSettings::check() {
  std::vector<std::string> lines;
  QSettings s = store();
  const std::string file = s.fileName().toStdString();
  if (s.status() == QSettings::AccessError) {
    lines.push_back("the settings file " + file + " cannot be read; every setting has its default");
  } else if (s.status() == QSettings::FormatError) {
    lines.push_back("the settings file " + file + " is damaged; every setting has its default");
  } else {
    for (const QString& key : switchKeys()) {
      const QVariant value = s.value(key);
      if (value.isValid() && !parseSwitch(value))
        lines.push_back("ignoring the setting " + key.toStdString() + ": \"" + shown(value).toStdString() +
                        "\" is not true or false; it is " + (defaultValue(key) ? "true" : "false"));
    }
    const QVariant token = s.value(kRestoreTokenKey);
    if (token.isValid() && !validToken(token))
      lines.push_back("ignoring the setting " + kRestoreTokenKey.toStdString() +
                      ": it is not a token; the desktop will ask for the window again");
  }
  for (const auto& line : lines) logLine(line);
  return lines;
}

}  // namespace moxi
