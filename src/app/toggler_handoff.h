#pragma once
// What follows a recording's stop: its side files, the export once its writer
// has finished, the user's notice, the clipboard dialog and the opening. The
// count of finishes under way is kept here, for the waits at the program's end.
#include <QUrl>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/toggler.h"
#include "app/toggler_recording.h"

namespace moxi {

class Toggler::Handoff {
 public:
  explicit Handoff(Toggler& toggler) : toggler_(toggler) {}

  // A new recording's side files try the documents folder again.
  void startSideFiles() { sideFilesRelocatedTold_ = false; }
  // A side file into the documents folder, or the caches folder when that
  // folder cannot be used (the user hears where, once a recording).
  void saveSideFile(const std::function<bool(bool caches)>& save);

  // A stopped recording whose writer is about to be finished.
  void beginFinish(const std::shared_ptr<Recording>& recording);
  // One that never had a writer: nothing follows.
  void dropFinish(const std::shared_ptr<Recording>& recording);
  // A writer is still finishing.
  bool finishing();
  // Raw recordings still finishing, and exports under way (recoveries too).
  int pending() const { return pending_; }
  void beginRecovery() { ++pending_; }
  void recoveryDone() { --pending_; }
  // The raw file of the latest stopped recording whose hand-off is still
  // under way; empty when there is none.
  QUrl latestUnderWay();
  // videoSampleBufferQueue (or the writer's completion): hands the file on to
  // its export on the pool.
  void rawRecordingFinished(std::shared_ptr<Recording> recording, bool ok, std::string error, LogSnapshot log);

 private:
  // Why a recording ended before its time or is incomplete: one notice,
  // naming what was kept, once its export is known.
  struct Trouble {
    QString summary;
    std::string detail;
  };

  void exportRecording(QUrl raw, LogSnapshot log, std::optional<Trouble> trouble);
  void offerAndOpen(const QUrl& raw, const QUrl& movie);
  void handedOver(const QUrl& raw);

  Toggler& toggler_;
  bool sideFilesRelocatedTold_ = false;
  std::mutex finishingMutex_;
  std::vector<std::shared_ptr<Recording>> finishing_;
  std::vector<QUrl> underWay_;  // raw files, oldest first
  std::atomic<int> pending_{0};
};

}  // namespace moxi
