#pragma once
#include <QString>
#include <QUrl>
#include <string>

namespace moxi {

// Something the user should hear about although no window of the program
// is open: a saved movie, or a failure they did not cause.
struct UserNotice {
  enum class Kind { saved, failure };
  Kind kind = Kind::failure;
  QString summary;
  QString body;
  QUrl file;  // opened by the notice's "Open" action; none when empty

  static UserNotice saved(const QUrl& movie);
  static UserNotice streamRefused();
  static UserNotice recordingFailed(const std::string& reason);
  static UserNotice windowClosedBeforeStart();
  static UserNotice windowGone();
  static UserNotice writeFailed(const std::string& error);
  static UserNotice microphoneLost(const std::string& reason);
  // How to record without the icon: the hot key, or on Wayland the command.
  static UserNotice trayGone(bool wayland);
  static UserNotice incomplete(const std::string& error, const QUrl& raw);
  // `raw` is offered to open when it is still there.
  static UserNotice exportFailed(const std::string& reason, const QUrl& raw);
};

}  // namespace moxi
