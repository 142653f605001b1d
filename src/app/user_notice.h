#pragma once
#include <QString>
#include <QStringList>
#include <QUrl>
#include <cstdint>
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
  // `why` where the desktop said more than that it is gone.
  static UserNotice windowGone(const std::string& why = {});
  // A recording that ended before the user stopped it, or could not be
  // completed: `summary` says why ("Recording stopped: the disk is full").
  // `kept` holds what was recorded: the movie when `exported`, else the raw
  // recording (`exportProblem` says why it is no movie); empty when nothing
  // could be kept (`detail` says why).
  static UserNotice stoppedEarly(const QString& summary, const QUrl& kept, bool exported,
                                 const std::string& exportProblem, const std::string& detail);
  // Too little room where recordings go to start one.
  static UserNotice tooLittleSpace(const QString& dir, uint64_t freeBytes, uint64_t neededBytes);
  // Files go elsewhere than usual: `what` ("Recordings"), to `dir`, because `usual` cannot be used.
  static UserNotice relocated(const QString& what, const QString& usual, const QString& problem, const QString& dir);
  static UserNotice microphoneLost(const std::string& reason);
  // How to record without the icon: the hot key, or on Wayland the command.
  static UserNotice trayGone(bool wayland);
  // A switch flipped in the popover could not be kept in `file`.
  static UserNotice settingNotSaved(const QString& file);
  // Recordings of a run that ended without a stop, made into movies at the
  // next start; `movie` is the last one, `kept` the raw files that could not be.
  static UserNotice recovered(const QUrl& movie, int movies, const QStringList& kept);
  // `raw` is offered to open when it is still there.
  static UserNotice exportFailed(const std::string& reason, const QUrl& raw);
};

}  // namespace moxi
