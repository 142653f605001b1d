#pragma once
#include <QString>
#include <string>
#include <vector>

namespace moxi {

// The five persisted switches, read from the user's settings at the moment
// of use so that a change takes effect with the next operation.
struct RecorderSettings {
  static inline const QString showDialogKey = QStringLiteral("showDialog");
  static inline const QString cursorOnKey = QStringLiteral("cursorOn");
  static inline const QString captureMicrophoneKey = QStringLiteral("captureMicrophone");
  static inline const QString windowAudioOnKey = QStringLiteral("windowAudioOn");
  static inline const QString capturePopupsKey = QStringLiteral("capturePopups");

  // A stored value that is not a Boolean (true/false or 1/0), or a settings
  // file that cannot be read, gives the default.
  static bool read(const QString& key);
  // False, after one log line, when the settings file cannot be written.
  static bool write(const QString& key, bool value);
  static QString fileName();
  // Logs, one line each, which settings are ignored and why (a bad value, a
  // settings file that cannot be read); returns those lines. Run at start.
  static std::vector<std::string> check();
  static const std::vector<QString>& switchKeys();
  static bool defaultValue(const QString& key) { return key != capturePopupsKey; }
};

}  // namespace moxi
