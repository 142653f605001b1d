// The stop of a recording: its writer is finished on videoSampleBufferQueue
// after the frames already queued, with the last of its sound.
#include <QThreadPool>
#include <thread>

#include "app/toggler.h"
#include "app/toggler_handoff.h"
#include "common/clock.h"
#include "common/log.h"
#include "handoff/storage.h"

namespace moxi {

// ---------------------------------------------------------------- stopping

void Toggler::stopRecording() {
  // Input the program has not read yet happened before the stop: it belongs in the log.
  if (recording_ && mouseEventsRegistered_ && services_.pointerMonitor) services_.pointerMonitor->catchUp();
  if (hv_) hv_->hide();
  hv_.reset();
  std::shared_ptr<Recording> recording;
  {
    std::lock_guard lock(stateMutex_);
    recording_ = false;
    doneRecording_ = true;
    recording = std::move(current_);
  }
  removePointerMonitor();
  finishRawRecording(std::move(recording));
  timer_.reset();
  restoreButtonIcon();
}

std::string Toggler::finishWithoutDisplay(int timeoutMs) {
  quitting_ = true;  // nothing is offered or opened
  acceptedGeneration_ = 0;
  std::shared_ptr<Recording> recording;
  {
    std::lock_guard lock(stateMutex_);
    recording_ = false;
    doneRecording_ = true;
    recording = std::move(current_);
  }
  // A recording the desktop ended a moment before the display went is
  // still being handed over: it is the one finished here.
  const QUrl rawURL = recording ? recording->videoURL : handoff_->latestUnderWay();
  const std::string raw = rawURL.toLocalFile().toStdString();
  finishRawRecording(std::move(recording));
  // The finish and the export run on the queues and the pool; only their
  // last word waits for the main thread, which is this one.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (handoff_->finishing() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  QThreadPool::globalInstance()->waitForDone(static_cast<int>(std::max<int64_t>(0, left.count())));
  return raw;
}

void Toggler::finishRawRecording(std::shared_ptr<Recording> recording) {
  if (!recording && services_.microphoneSession && services_.microphoneSession->isRunning())
    services_.microphoneSession->stopRunning();
  if (recording) {
    keepJournal(recording);
    journal_.reset();
    journaled_.reset();
    handoff_->saveSideFile(
        [&](bool caches) { return Storage::saveSideFile(recording->videoURL, caches, QStringLiteral("video.json")); });
    handoff_->saveSideFile(
        [&](bool caches) { return Storage::saveSideFile(mouseEvents_, caches, QStringLiteral("mouse.json")); });
  }
  stopStream();
  int64_t end = monotonicNanos();
  if (!recording) return;

  LogSnapshot log{videoSize_, mouseEvents_};
  handoff_->beginFinish(recording);
  // The writer is finished on its own queue, after the frames already queued,
  // so no frame is cut off and nothing touches it from two threads.
  videoSampleBufferQueue_.async([this, recording, end, log] {
    if (recording->microphoneStarted) {
      // The sound of the last moments may still be on its way (some sources
      // hand it over in large blocks): wait for it a little, so the track
      // does not end early.
      recording->audioStopNs = end;
      auto& session = services_.microphoneSession;
      auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
      while (recording->audioEndNs < end && session->isRunning() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      const bool lost = !session->isRunning();
      if (lost) audioSampleBufferQueue_.drain();  // the sound from before the loss goes in first
      stopMicrophone(recording);
      if (lost) endSoundWithSilence(recording, end);
    }
    // The microphone stops whatever the switches say by now.
    if (services_.microphoneSession && services_.microphoneSession->isRunning())
      services_.microphoneSession->stopRunning();
    recording->finishing = true;
    auto writer = recording->videoWriter;
    if (!writer || recording->abandoned) {
      handoff_->dropFinish(recording);
      return;
    }
    writer->endSession(end);
    if (recording->videoWriterInput) recording->videoWriterInput->markAsFinished();
    logLine("mark as finished");
    writer->finishWriting([this, recording, log](bool ok, std::string error) {
      handoff_->rawRecordingFinished(recording, ok, std::move(error), log);
    });
  });
}

// A microphone lost for good leaves the end of the track silent rather than
// missing: a last silent block at the end, and the writer fills the time
// before it (a gap it counts as real from a tenth of a second on).
void Toggler::endSoundWithSilence(const std::shared_ptr<Recording>& recording, int64_t end) {
  constexpr int kFrames = 1024;  // one block, as the microphone delivers them
  if (recording->audioEndNs >= end - 100'000'000) return;
  std::shared_ptr<AudioWriterInput> input;
  {
    std::lock_guard lock(recording->audioMutex);
    input = recording->audioWriterInput;
  }
  if (!input || !input->isReadyForMoreMediaData()) return;
  AudioBuffer silence;  // the microphone's rate and channels
  silence.samples.assign(kFrames * silence.channels, 0);
  silence.presentationTimeNs = end - int64_t{kFrames} * 1'000'000'000 / silence.sampleRate;
  input->append(silence);
}

}  // namespace moxi
