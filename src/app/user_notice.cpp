#include "app/user_notice.h"

#include <QFile>

namespace moxi {

namespace {
UserNotice failure(const QString& summary, const QString& body, QUrl file = {}) {
  return {UserNotice::Kind::failure, summary, body, std::move(file)};
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

UserNotice UserNotice::windowGone(const std::string& why) {
  QString summary = why.empty() ? QStringLiteral("The recorded window is gone") : text(why);
  if (!summary.isEmpty()) summary[0] = summary[0].toUpper();
  return failure(summary,
                 QStringLiteral("Its recording was finished with what it holds."));
}

UserNotice UserNotice::stoppedEarly(const QString& summary, const QUrl& kept, bool exported,
                                    const std::string& exportProblem, const std::string& detail) {
  if (kept.isEmpty())
    return failure(summary, QStringLiteral("Nothing of the recording could be kept: %1.").arg(text(detail)));
  const QString body = exported ? QStringLiteral("What was recorded until then is saved as %1.").arg(kept.toLocalFile())
                                : QStringLiteral(
                                      "What was recorded until then is kept at %1; it could not be made "
                                      "into a movie: %2.")
                                      .arg(kept.toLocalFile(), text(exportProblem));
  return failure(summary, body, kept);
}

UserNotice UserNotice::tooLittleSpace(const QString& dir, uint64_t freeBytes, uint64_t neededBytes) {
  return failure(QStringLiteral("Recording could not start: the disk is almost full"),
                 QStringLiteral("Only %1 MB are free in %2; a recording needs at least %3 MB.")
                     .arg(freeBytes >> 20)
                     .arg(dir)
                     .arg(neededBytes >> 20));
}

UserNotice UserNotice::relocated(const QString& what, const QString& usual, const QString& problem,
                                 const QString& dir) {
  return failure(what + QStringLiteral(" are written to ") + dir,
                 QStringLiteral("%1 cannot be used: %2.")
                     .arg(usual.isEmpty() ? QStringLiteral("The usual folder") : usual, problem));
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

UserNotice UserNotice::settingNotSaved(const QString& file) {
  return failure("The setting could not be saved",
                 QStringLiteral("%1 cannot be written; the switch keeps its old value.").arg(file));
}

UserNotice UserNotice::recovered(const QUrl& movie, int movies, const QStringList& kept) {
  QStringList body;
  if (movies > 0)
    body << (movies == 1 ? QStringLiteral("The recording that was running when Moxiscope ended is saved as %1.")
                         : QStringLiteral("%2 recordings that were running when Moxiscope ended are saved; the last "
                                          "is %1."))
                .arg(movie.toLocalFile())
                .arg(movies);
  if (!kept.isEmpty())
    body << QStringLiteral("These could not be read and are kept as they are: %1.").arg(kept.join(QStringLiteral(", ")));
  if (movies == 0) return failure("An interrupted recording could not be recovered", body.join(u' '));
  return {Kind::saved, QStringLiteral("Recovered an interrupted recording"), body.join(u' '), movie};
}

UserNotice UserNotice::exportFailed(const std::string& reason, const QUrl& raw) {
  return failure("Export failed",
                 QStringLiteral("%1. The recording is kept at %2").arg(text(reason), raw.toLocalFile()),
                 QFile::exists(raw.toLocalFile()) ? raw : QUrl());
}

}  // namespace moxi
