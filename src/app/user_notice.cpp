#include "app/user_notice.h"

#include <QFile>

namespace moxi {

namespace {
UserNotice failure(const char* summary, const QString& body, QUrl file = {}) {
  return {UserNotice::Kind::failure, QString::fromUtf8(summary), body, std::move(file)};
}
QString text(const std::string& s) { return QString::fromStdString(s); }
}  // namespace

UserNotice UserNotice::saved(const QUrl& movie) { return {Kind::saved, QStringLiteral("Recording saved"), movie.fileName(), movie}; }

UserNotice UserNotice::streamRefused() {
  return failure("Recording could not start", QStringLiteral("This window cannot be captured."));
}

UserNotice UserNotice::recordingFailed(const std::string& reason) { return failure("Recording failed", text(reason)); }

UserNotice UserNotice::windowClosedBeforeStart() {
  return failure("Recording did not start", QStringLiteral("The window closed before its recording could start."));
}

UserNotice UserNotice::windowGone() {
  return failure("The recorded window is gone",
                 QStringLiteral("Its recording was finished with what it holds."));
}

UserNotice UserNotice::writeFailed(const std::string& error) {
  return failure("Recording stopped", QStringLiteral("Writing the recording failed: %1. What was written is kept.")
                                          .arg(text(error)));
}

UserNotice UserNotice::microphoneLost(const std::string& reason) {
  return failure("The microphone was lost",
                 QStringLiteral("%1. The recording goes on, silent until the sound comes back.").arg(text(reason)));
}

UserNotice UserNotice::trayGone(bool wayland) {
  return failure("The tray icon is gone",
                 QStringLiteral("The desktop's tray went away. %1 to start or stop recording; the icon comes back with "
                                "the tray.")
                     .arg(wayland ? QStringLiteral("Run \"moxiscope --toggle\"") : QStringLiteral("Press Ctrl+F1")));
}

UserNotice UserNotice::incomplete(const std::string& error, const QUrl& raw) {
  return failure("Recording incomplete", QStringLiteral("The recording could not be completed: %1").arg(text(error)),
                 raw);
}

UserNotice UserNotice::exportFailed(const std::string& reason, const QUrl& raw) {
  return failure("Export failed",
                 QStringLiteral("%1. The recording is kept at %2").arg(text(reason), raw.toLocalFile()),
                 QFile::exists(raw.toLocalFile()) ? raw : QUrl());
}

}  // namespace moxi
