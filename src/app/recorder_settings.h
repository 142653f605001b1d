#pragma once
#include <QString>

namespace moxi {

// The five persisted switches, read from the user's settings at the moment
// of use so that a change takes effect with the next operation.
struct RecorderSettings {
  static inline const QString showDialogKey = QStringLiteral("showDialog");
  static inline const QString cursorOnKey = QStringLiteral("cursorOn");
  static inline const QString captureMicrophoneKey = QStringLiteral("captureMicrophone");
  static inline const QString windowAudioOnKey = QStringLiteral("windowAudioOn");
  static inline const QString capturePopupsKey = QStringLiteral("capturePopups");

  static bool read(const QString& key);
  static void write(const QString& key, bool value);
  static bool defaultValue(const QString& key) { return key != capturePopupsKey; }
};

}  // namespace moxi
