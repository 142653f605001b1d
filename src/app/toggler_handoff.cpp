// The hand-off of a stopped recording: its side files, the export of the
// movie once the writer has finished, the user's notice, the clipboard
// dialog and the opening.
#if __has_include(<malloc.h>)
#include <malloc.h>  // malloc_trim, where the C library is glibc
#endif

#include <QCoreApplication>
#include <QFile>
#include <QPointer>
#include <QStandardPaths>
#include <QThreadPool>

#include "app/toggler_handoff.h"
#include "capture/writer/recording_file.h"
#include "common/log.h"
#include "handoff/click_description.h"
#include "handoff/movie_export.h"
#include "handoff/storage.h"
#include "handoff/video_file.h"

namespace moxi {

void Toggler::Handoff::saveSideFile(const std::function<bool(bool caches)>& save) {
  // Once moved, the rest of the recording's side files follow.
  if (sideFilesRelocatedTold_) {
    save(true);
    return;
  }
  if (save(false)) return;
  const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  const QString problem = Storage::unusableBecause(documents);
  // A sound folder: that one file failed, and the log says why.
  if (problem.isEmpty() || !save(true) || sideFilesRelocatedTold_) return;
  sideFilesRelocatedTold_ = true;
  const QString dir = Storage::directory(true).value_or(QString());
  logLine("side files go to " + dir.toStdString() + ": " + documents.toStdString() + " cannot be used, " +
          problem.toStdString());
  toggler_.tellUser(UserNotice::relocated(QStringLiteral("Side files"), documents, problem, dir));
}

void Toggler::Handoff::beginFinish(const std::shared_ptr<Recording>& recording) {
  ++pending_;
  std::lock_guard lock(finishingMutex_);
  finishing_.push_back(recording);
  underWay_.push_back(recording->videoURL);
}

void Toggler::Handoff::dropFinish(const std::shared_ptr<Recording>& recording) {
  {
    std::lock_guard lock(finishingMutex_);
    std::erase(finishing_, recording);
  }
  handedOver(recording->videoURL);
}

void Toggler::Handoff::handedOver(const QUrl& raw) {
  {
    std::lock_guard lock(finishingMutex_);
    std::erase(underWay_, raw);  // names are unique
  }
  --pending_;
}

QUrl Toggler::Handoff::latestUnderWay() {
  std::lock_guard lock(finishingMutex_);
  return underWay_.empty() ? QUrl() : underWay_.back();
}

bool Toggler::Handoff::finishing() {
  std::lock_guard lock(finishingMutex_);
  return !finishing_.empty();
}

void Toggler::Handoff::rawRecordingFinished(std::shared_ptr<Recording> recording, bool ok, std::string error,
                                            LogSnapshot log) {
  // Everything used here is a copy: dropping the writer below may destroy the
  // completion that called this.
  QUrl raw = recording->videoURL;
  std::optional<Trouble> trouble;
  std::string cause = recording->stopCause;
  if (!ok) {
    logLine("the recording " + raw.toLocalFile().toStdString() + " could not be completed: " + error);
    // The disk may have filled while the last second was written.
    if (int storage = cause.empty() && recording->videoWriter ? recording->videoWriter->storageError() : 0)
      cause = writeFailureCause(storage);
  }
  if (!cause.empty()) trouble = Trouble{QStringLiteral("Recording stopped: ") + QString::fromStdString(cause), error};
  else if (!ok) trouble = Trouble{QStringLiteral("Recording incomplete"), error};
  QThreadPool::globalInstance()->start([this, raw, log, trouble] { exportRecording(raw, log, trouble); });
  {
    std::lock_guard lock(finishingMutex_);
    std::erase(finishing_, recording);
  }
  {
    std::lock_guard lock(recording->audioMutex);
    recording->audioWriterInput.reset();
  }
  recording->videoWriterInput.reset();
  recording->videoWriter.reset();
}

void Toggler::Handoff::exportRecording(QUrl raw, LogSnapshot log, std::optional<Trouble> trouble) {
  std::string description = clickDescription(log.videoSize, log.mouseEvents);
  const QUrl movie = makeVideoFileURL();
  const std::string rawPath = raw.toLocalFile().toStdString();
  const QString journal = journalPath(raw.toLocalFile());
  RecordingJournal::noteExport(journal, movie.toLocalFile());
  ExportResult result = exportMovie(rawPath, movie.toLocalFile().toStdString(), description);
  // Exported, or found unreadable and said so: no later start does it again.
  QFile::remove(journal);
  QUrl exported;
  if (result.status == ExportStatus::noSession) {
    logLine(std::string(kNoExportSessionMessage) + ": " + result.reason + "; the recording is kept at " + rawPath);
  } else if (!result.ok()) {
    logLine("export failed: " + result.reason + "; the recording is kept at " + rawPath);
  } else {
    logLine("exported as " + movie.toString().toStdString());
    exported = movie;
  }
  if (trouble) {
    // One notice, naming the file that holds what was recorded: never a
    // partial movie (a failed export leaves none).
    const QUrl kept = result.ok() ? movie : QFile::exists(raw.toLocalFile()) ? raw : QUrl();
    logLine(trouble->summary.toStdString() +
            (kept.isEmpty() ? "; nothing was kept" : "; kept " + kept.toLocalFile().toStdString()));
    toggler_.tellUser(UserNotice::stoppedEarly(trouble->summary, kept, result.ok(), result.reason, trouble->detail));
  } else if (!result.ok()) {
    toggler_.tellUser(UserNotice::exportFailed(result.reason, raw));
  }
#ifdef __GLIBC__
  // A recording's frames, sound blocks and packets, freed on several threads,
  // leave free pages in the allocator's arenas: hand them back, or the
  // resident size of a long session creeps up recording after recording.
  malloc_trim(0);
#endif
  QPointer<Toggler> self(&toggler_);
  const bool told = trouble.has_value();
  QMetaObject::invokeMethod(
      QCoreApplication::instance(),
      [self, raw, exported, told] {
        if (!self) return;
        if (!exported.isEmpty() && !told && !self->showDialog()) self->tellUser(UserNotice::saved(exported));
        if (!exported.isEmpty()) self->handoff_->offerAndOpen(raw, exported);
        emit self->exportFinished(raw, exported);
        self->handoff_->handedOver(raw);
      },
      Qt::QueuedConnection);
}

void Toggler::Handoff::offerAndOpen(const QUrl&, const QUrl& movie) {
  if (toggler_.quitting_) return;
  const RecorderServices& services = toggler_.services_;
  bool copy = false;
  if (toggler_.showDialog() && services.askToCopy) {
    toggler_.askingToCopy_ = true;
    copy = services.askToCopy();
    toggler_.askingToCopy_ = false;
  }
  // A quit that closed the question answered it "Cancel"; the movie still opens.
  if (copy && !toggler_.quitting_) {
    bool copied = services.copyToClipboard && services.copyToClipboard(movie);
    logLine(copied ? "true" : "false");
  }
  if (services.openURL) services.openURL(movie);
}

}  // namespace moxi
