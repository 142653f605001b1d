// The controller's recording half: frames on videoSampleBufferQueue, sound
// on audioSampleBufferQueue, and the stop, finish and export of each
// recording.
#if __has_include(<malloc.h>)
#include <malloc.h>  // malloc_trim, where the C library is glibc
#endif

#include <QCoreApplication>
#include <QFile>
#include <QPointer>
#include <QThreadPool>
#include <thread>

#include "app/toggler.h"
#include "app/toggler_recording.h"
#include "capture/microphone/microphone_permission.h"
#include "capture/writer/recording_file.h"
#include "common/clock.h"
#include "common/log.h"
#include "handoff/click_description.h"
#include "handoff/movie_export.h"
#include "handoff/storage.h"
#include "handoff/video_file.h"

namespace moxi {

// ---------------------------------------------------------------- frames (videoSampleBufferQueue)

void Toggler::streamDidOutputSampleBuffer(uint64_t generation, const SampleBuffer& sampleBuffer) {
  if (!sampleBuffer.valid) return;
  if (generation != acceptedGeneration_) return;  // a stream that was replaced or abandoned
  if (sampleBuffer.outputType != SampleOutputType::screen) {
    logLine("default");
    return;
  }
  auto frame = completeFrame(sampleBuffer);
  if (!frame) return;
  appendRecordingFrame(generation, *frame);
}

void Toggler::appendRecordingFrame(uint64_t generation, const CompleteFrame& frame) {
  std::shared_ptr<Recording> recording;
  bool first = false;
  {
    std::lock_guard lock(stateMutex_);
    if (generation != acceptedGeneration_) return;  // called off meanwhile
    if (doneRecording_) {
      logLine("doneRecording, not adding frame");
      return;
    }
    if (recording_) {
      recording = current_;
    } else {
      // The first complete frame: the recording begins here. A stop from now
      // on finds this recording and finishes it after the writer has opened
      // (both run on this queue).
      recording = std::make_shared<Recording>();
      recording->generation = generation;
      recording->videoURL = makeVideoFileURL();
      recording_ = true;
      startTime_ = secondsSinceReferenceDate();
      current_ = recording;
      first = true;
    }
  }
  if (first) {
    QPointer<Toggler> self(this);
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [self, recording] { if (self) self->beginJournal(recording); },
        Qt::QueuedConnection);
    return openRecordingWriter(recording, frame);
  }
  if (!recording || !recording->videoWriterInput) return;
  if (recording->videoWriterInput->isReadyForMoreMediaData()) {
    recording->videoWriterInput->append(*frame.image, frame.sample.presentationTimeNs);
  } else {
    checkWriter(recording);
  }
}

void Toggler::checkWriter(const std::shared_ptr<Recording>& recording) {
  const auto& writer = recording->videoWriter;
  if (!writer || recording->abandoned || recording->finishing || !recording->stopCause.empty()) return;
  const int storage = writer->storageError();
  if (!storage && writer->status() != WriterStatus::failed) return;
  // A full disk, say: recording on would only lose more. What was written
  // up to here is finished and exported as usual, and the user hears of it
  // once that is done.
  recording->stopCause = storage ? writeFailureCause(storage) : "it could not be written";
  logLine("the recording stopped: " + writer->error());
  QMetaObject::invokeMethod(
      this,
      [this, recording] {
        bool stillCurrent = false;
        {
          std::lock_guard lock(stateMutex_);
          stillCurrent = current_ == recording;
        }
        if (stillCurrent) stopRecording();
      },
      Qt::QueuedConnection);
}

void Toggler::openRecordingWriter(const std::shared_ptr<Recording>& recording, const CompleteFrame& first) {
  logLine("START RECORDING");
  if (recording->videoURL.isEmpty()) return abandonRecording(recording, "cannot name the recording file");
  const std::string path = recording->videoURL.toLocalFile().toStdString();
  std::string error;
  std::shared_ptr<RecordingWriter> writer = services_.makeWriter(path, error);
  if (!writer) return abandonRecording(recording, "cannot create the recording " + path + ": " + error);
  recording->videoWriter = writer;

  VideoSettings settings{VideoCodec::h264, static_cast<float>(first.image->width),
                         static_cast<float>(first.image->height)};
  if (!writer->canApplyVideoSettings(settings))
    return abandonRecording(recording, "Negative : Can't apply the Output settings...");
  recording->videoWriterInput = writer->addVideoInput(settings);
  if (!recording->videoWriterInput)
    return abandonRecording(recording, "Negative : Can't apply the Output settings...");

  auto& session = services_.microphoneSession;
  bool microphoneReady = false;
  if (session && captureMicrophone() && micPermissionForQueues_) {
    MicrophoneConfiguration configuration = session->configure();
    for (const auto& line : microphoneSetupMessages(configuration)) logLine(line);
    session->setSampleBufferDelegate([this](AudioBuffer buffer) { captureOutputDidOutputAudio(buffer); },
                                     audioSampleBufferQueue_);
    // Without a microphone to feed it, a sound track would stay empty: the
    // file would claim sound it never gets, so none is added.
    if (configuration.inputAdded && configuration.outputAdded) {
      auto audioInput = writer->addAudioInput(AudioSettings{}, true);
      if (!audioInput) logLine("No audio Input");
      {
        std::lock_guard lock(recording->audioMutex);
        recording->audioWriterInput = audioInput;
      }
      microphoneReady = audioInput != nullptr;
    }
    if (configuration.noDevice) logLine("no microphone found; recording without sound");
  }
  // Not the switches again: flipped in between, they would leave a sound
  // track that no microphone feeds.
  if (microphoneReady) {
    {
      std::lock_guard lock(audioMutex_);
      audioRecording_ = recording;
    }
    session->startRunning();
    recording->microphoneStarted = true;
  }

  if (!writer->startWriting())
    return abandonRecording(recording, "cannot start writing " + path + ": " + writer->error());
  writer->startSession(first.sample.presentationTimeNs);
  // The first frame is written too: a window that never changes again still
  // gives a video with its picture.
  recording->videoWriterInput->append(*first.image, first.sample.presentationTimeNs);
}

void Toggler::abandonRecording(const std::shared_ptr<Recording>& recording, const std::string& reason) {
  logLine(reason);
  tellUser(UserNotice::recordingFailed(reason));
  recording->abandoned = true;
  if (recording->microphoneStarted) stopMicrophone(recording);
  {
    std::lock_guard lock(recording->audioMutex);
    recording->audioWriterInput.reset();
  }
  recording->videoWriterInput.reset();
  recording->videoWriter.reset();
  // Nothing usable was written; leave no half file behind.
  if (!recording->videoURL.isEmpty()) QFile::remove(recording->videoURL.toLocalFile());
  if (!recording->videoURL.isEmpty()) QFile::remove(journalPath(recording->videoURL.toLocalFile()));
  bool stillCurrent = false;
  {
    std::lock_guard lock(stateMutex_);
    if (current_ == recording) {
      current_.reset();
      stillCurrent = true;
    }
  }
  if (!stillCurrent) return;  // already stopped by the user
  uint64_t generation = recording->generation;
  acceptedGeneration_ = 0;
  QPointer<Toggler> self(this);
  QMetaObject::invokeMethod(
      QCoreApplication::instance(),
      [self, generation] {
        if (self && self->generation_ == generation) self->returnToIdle("the recording was abandoned");
      },
      Qt::QueuedConnection);
}

// ---------------------------------------------------------------- sound (audioSampleBufferQueue)

void Toggler::captureOutputDidOutputAudio(const AudioBuffer& buffer) {
  // Sound goes to the recording the microphone was started for, from its
  // first frame until the stop time, also when it arrives after the stop.
  std::shared_ptr<Recording> recording;
  {
    std::lock_guard lock(audioMutex_);
    recording = audioRecording_;
  }
  if (!recording || buffer.presentationTimeNs >= recording->audioStopNs) return;
  std::shared_ptr<AudioWriterInput> input;
  {
    std::lock_guard lock(recording->audioMutex);
    input = recording->audioWriterInput;
  }
  if (input && input->isReadyForMoreMediaData()) input->append(buffer);
  int channels = std::max(1, buffer.channels);
  int64_t frames = static_cast<int64_t>(buffer.samples.size()) / channels;
  recording->audioEndNs = buffer.presentationTimeNs + frames * 1'000'000'000 / std::max(1, buffer.sampleRate);
}

void Toggler::stopMicrophone(const std::shared_ptr<Recording>& recording) {
  auto& session = services_.microphoneSession;
  if (session) session->stopRunning();
  recording->microphoneStarted = false;
  std::lock_guard lock(audioMutex_);
  if (audioRecording_ == recording) audioRecording_.reset();
}

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
  const std::string raw = recording ? recording->videoURL.toLocalFile().toStdString() : std::string();
  finishRawRecording(std::move(recording));
  // The finish and the export run on the queues and the pool; only their
  // last word waits for the main thread, which is this one.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  auto finishing = [this] {
    std::lock_guard lock(finishingMutex_);
    return !finishing_.empty();
  };
  while (finishing() && std::chrono::steady_clock::now() < deadline)
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
    saveSideFile(
        [&](bool caches) { return Storage::saveSideFile(recording->videoURL, caches, QStringLiteral("video.json")); });
    saveSideFile(
        [&](bool caches) { return Storage::saveSideFile(mouseEvents_, caches, QStringLiteral("mouse.json")); });
  }
  stopStream();
  int64_t end = monotonicNanos();
  if (!recording) return;

  LogSnapshot log{videoSize_, mouseEvents_};
  ++pendingFinishes_;
  {
    std::lock_guard lock(finishingMutex_);
    finishing_.push_back(recording);
  }
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
      finishDone();
      return;
    }
    writer->endSession(end);
    if (recording->videoWriterInput) recording->videoWriterInput->markAsFinished();
    logLine("mark as finished");
    writer->finishWriting([this, recording, log](bool ok, std::string error) {
      rawRecordingFinished(recording, ok, std::move(error), log);
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

void Toggler::rawRecordingFinished(std::shared_ptr<Recording> recording, bool ok, std::string error,
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

void Toggler::exportRecording(QUrl raw, LogSnapshot log, std::optional<Trouble> trouble) {
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
    tellUser(UserNotice::stoppedEarly(trouble->summary, kept, result.ok(), result.reason, trouble->detail));
  } else if (!result.ok()) {
    tellUser(UserNotice::exportFailed(result.reason, raw));
  }
#ifdef __GLIBC__
  // A recording's frames, sound blocks and packets, freed on several threads,
  // leave free pages in the allocator's arenas: hand them back, or the
  // resident size of a long session creeps up recording after recording.
  malloc_trim(0);
#endif
  QPointer<Toggler> self(this);
  const bool told = trouble.has_value();
  QMetaObject::invokeMethod(
      QCoreApplication::instance(),
      [self, raw, exported, told] {
        if (!self) return;
        if (!exported.isEmpty() && !told && !self->showDialog()) self->tellUser(UserNotice::saved(exported));
        if (!exported.isEmpty()) self->offerAndOpen(raw, exported);
        emit self->exportFinished(raw, exported);
        self->finishDone();
      },
      Qt::QueuedConnection);
}

void Toggler::offerAndOpen(const QUrl&, const QUrl& movie) {
  if (quitting_) return;
  bool copy = false;
  if (showDialog() && services_.askToCopy) {
    askingToCopy_ = true;
    copy = services_.askToCopy();
    askingToCopy_ = false;
  }
  // A quit that closed the question answered it "Cancel"; the movie still opens.
  if (copy && !quitting_) {
    bool copied = services_.copyToClipboard && services_.copyToClipboard(movie);
    logLine(copied ? "true" : "false");
  }
  if (services_.openURL) services_.openURL(movie);
}

void Toggler::finishDone() { --pendingFinishes_; }

}  // namespace moxi
