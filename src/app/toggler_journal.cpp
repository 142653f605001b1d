// The controller's safety net against a crash: each recording's journal
// (its size and pointer log, kept beside the raw file while it is written)
// and, at the next start, the export of what a crash left without a movie.
#include <QCoreApplication>
#include <QFile>
#include <QPointer>
#include <QThreadPool>

#include "app/toggler.h"
#include "app/toggler_handoff.h"
#include "app/toggler_recording.h"
#include "common/log.h"
#include "handoff/storage.h"
#include "handoff/video_file.h"

namespace moxi {

void Toggler::beginJournal(const std::shared_ptr<Recording>& recording) {
  {
    std::lock_guard lock(stateMutex_);
    if (current_ != recording) return;  // stopped or abandoned meanwhile: the stop saw to it
  }
  // Written once the recording exists: a start called off leaves none.
  handoff_->saveSideFile(
      [this](bool caches) { return Storage::saveSideFile(videoSize_, caches, QStringLiteral("videosize.json")); });
  keepJournal(recording);
}

void Toggler::keepJournal(const std::shared_ptr<Recording>& recording) {
  if (recording->videoURL.isEmpty()) return;
  if (journaled_ != recording) {
    dropJournal();
    journaled_ = recording;
    std::string error;
    journal_ = RecordingJournal::create(recording->videoURL.toLocalFile(), videoSize_, &error);
    // The recording goes on; only a crash would lose its clicks now.
    if (!journal_) logLine("the recording has no journal: " + error);
  }
  if (!journal_) return;
  if (!journal_->append(mouseEvents_, journaledEvents_)) logLine("cannot write " + journal_->path().toStdString());
  journaledEvents_ = mouseEvents_.size();
}

void Toggler::dropJournal() {
  // Only a recording that was never kept: a stopped one's export removes its journal.
  if (journal_) QFile::remove(journal_->path());
  journal_.reset();
  journaled_.reset();
  journaledEvents_ = 0;
}

void Toggler::recoverInterrupted() {
  const std::optional<Storage::Folder> folder = Storage::cachesFolder();
  if (!folder) return;
  handoff_->beginRecovery();
  QPointer<Toggler> self(this);
  QThreadPool::globalInstance()->start([self, dir = folder->path] {
    auto recovered = recoverInterruptedRecordings(dir, [] { return makeVideoFileURL(); });
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self, recovered = std::move(recovered)]() mutable {
          if (!self) return;
          self->finishRecovery(std::move(recovered));
          self->handoff_->recoveryDone();
        },
        Qt::QueuedConnection);
  });
}

void Toggler::finishRecovery(std::vector<RecoveredRecording> recovered) {
  QUrl last;
  int movies = 0;
  QStringList kept;
  const RecoveredRecording* sideFiles = nullptr;
  for (const auto& r : recovered) {
    if (r.movie.isEmpty()) {
      kept << r.raw;
      continue;
    }
    ++movies;
    last = r.movie;
    sideFiles = &r;
  }
  if (recovered.empty()) return;
  // The side files are those of the last one, as after its stop; a
  // recording started since has its own.
  if (sideFiles && generation_ == 0) {
    const Size size = sideFiles->journal.videoSize.value_or(Size{0, 0});
    const QUrl raw = QUrl::fromLocalFile(sideFiles->raw);
    handoff_->startSideFiles();
    handoff_->saveSideFile(
        [&](bool caches) { return Storage::saveSideFile(size, caches, QStringLiteral("videosize.json")); });
    handoff_->saveSideFile(
        [&](bool caches) { return Storage::saveSideFile(raw, caches, QStringLiteral("video.json")); });
    handoff_->saveSideFile([&](bool caches) {
      return Storage::saveSideFile(sideFiles->journal.mouseEvents, caches, QStringLiteral("mouse.json"));
    });
  } else if (sideFiles) {
    logLine("a recording started meanwhile; the recovered recording's side files are not written");
  }
  tellUser(UserNotice::recovered(last, movies, kept));
}

}  // namespace moxi
