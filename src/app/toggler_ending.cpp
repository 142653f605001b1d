// The ways out of every state: a start called off before its first frame,
// a recording stopped, and the program's quit, which never waits for a
// question nobody answers.
#include <QCoreApplication>

#include "app/toggler.h"
#include "app/toggler_handoff.h"
#include "common/clock.h"
#include "common/log.h"

namespace moxi {

void Toggler::quit() {
  if (quitting_.exchange(true)) return;  // a second quit changes nothing
  stopOrCancel();
  // An open "Video is ready!" question is answered "Cancel": its movie
  // still opens, and nothing waits for the user.
  if (askingToCopy_ && services_.dismissAskToCopy) services_.dismissAskToCopy();
  // Waited for from the event loop, not in a loop of its own: a question's
  // loop below this call must end before its recording is done.
  quitDeadline_ = monotonicNanos() + 60'000'000'000;
  quitTimer_ = std::make_unique<QTimer>();
  quitTimer_->setInterval(20);
  connect(quitTimer_.get(), &QTimer::timeout, this, &Toggler::quitWhenDone);
  quitTimer_->start();
}

void Toggler::quitWhenDone() {
  if (handoff_->pending() > 0 && monotonicNanos() < quitDeadline_) return;
  quitTimer_->stop();
  if (handoff_->pending() > 0) logLine("quitting before the last recording was exported");
  QCoreApplication::quit();
}

void Toggler::stopOrCancel() {
  if (recording_) return stopRecording();
  if (armed()) cancelStart();
}

void Toggler::cancelStart() {
  {
    // The first frame may be on its way: either it started the recording,
    // which is then stopped as usual, or it finds its stream refused.
    std::lock_guard lock(stateMutex_);
    if (!recording_) acceptedGeneration_ = 0;
  }
  if (recording_) return stopRecording();
  returnToIdle("the recording was called off before its first frame");
}

}  // namespace moxi
