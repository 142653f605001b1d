// A recording's frames on videoSampleBufferQueue, where the first one opens
// the writer, and its sound on audioSampleBufferQueue.
#include <QCoreApplication>
#include <QFile>
#include <QPointer>

#include "app/toggler.h"
#include "app/toggler_recording.h"
#include "capture/writer/recording_file.h"
#include "common/clock.h"
#include "common/log.h"
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
    recording->videoWriterInput->appendKeeping(frame.image, frame.sample.presentationTimeNs);
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
  recording->videoWriterInput->appendKeeping(first.image, first.sample.presentationTimeNs);
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
  if (!recording->videoURL.isEmpty()) {
    QFile::remove(recording->videoURL.toLocalFile());
    QFile::remove(journalPath(recording->videoURL.toLocalFile()));
  }
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

}  // namespace moxi
