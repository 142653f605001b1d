#include "app/recorder_settings.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <atomic>
#include <cstdio>
#include <optional>

#include "common/log.h"

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

// How a bad value is named in the log.
std::string shown(const QVariant& value) {
  if (value.typeId() != QMetaType::QString)
    return std::string("a value of type ") + value.typeName() + " (not true or false)";
  QString text = value.toString();
  if (text.size() > 40) text = text.left(40) + QStringLiteral("...");
  return "\"" + text.toStdString() + "\" (not true or false)";
}

// Set once the settings file was found unreadable or damaged: Qt reads such
// a file once and then answers from what it salvaged, as if all were well.
std::atomic<bool> damaged{false};

// No file yet, or one that can be read.
bool readableOrAbsent(const QFileInfo& info) { return !info.exists() || (info.isFile() && info.isReadable()); }

bool unreadable(const QSettings& s) {
  if (s.status() == QSettings::NoError && readableOrAbsent(QFileInfo(s.fileName()))) return false;
  damaged = true;
  return true;
}

}  // namespace

const std::vector<QString>& RecorderSettings::switchKeys() {
  static const std::vector<QString> keys{showDialogKey, cursorOnKey, captureMicrophoneKey, windowAudioOnKey,
                                         capturePopupsKey};
  return keys;
}

bool RecorderSettings::read(const QString& key) {
  QSettings s = store();
  if (damaged || unreadable(s)) return defaultValue(key);
  return parseSwitch(s.value(key)).value_or(defaultValue(key));
}

QString RecorderSettings::fileName() { return store().fileName(); }

bool RecorderSettings::write(const QString& key, bool value) {
  if (damaged || unreadable(store())) {
    // Writing over it would lose what the user may still mend: it is kept
    // beside the new one.
    const QString file = store().fileName();
    const QString aside = file + QStringLiteral(".damaged");
    QFile::remove(aside);
    if (std::rename(QFile::encodeName(file).constData(), QFile::encodeName(aside).constData()) != 0) {
      logLine("the setting " + key.toStdString() + " is not saved: " + file.toStdString() + " cannot be replaced");
      return false;
    }
    logLine("the settings file that could not be read is kept as " + aside.toStdString());
    damaged = false;
  }
  // QSettings writes a new file and renames it over the old one.
  QSettings s = store();
  s.setValue(key, value);
  s.sync();
  if (s.status() == QSettings::NoError) return true;
  logLine("the setting " + key.toStdString() + " could not be saved in " + s.fileName().toStdString());
  return false;
}

std::vector<std::string> RecorderSettings::check() {
  std::vector<std::string> lines;
  QSettings s = store();
  const std::string file = s.fileName().toStdString();
  if (unreadable(s)) {
    const bool damagedFile = readableOrAbsent(QFileInfo(s.fileName()));
    lines.push_back("the settings file " + file + (damagedFile ? " is damaged" : " cannot be read") +
                    "; every setting has its default");
  } else {
    for (const QString& key : switchKeys()) {
      const QVariant value = s.value(key);
      if (value.isValid() && !parseSwitch(value))
        lines.push_back("ignoring the setting " + key.toStdString() + ": " + shown(value) + "; it is " +
                        (defaultValue(key) ? "true" : "false"));
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
