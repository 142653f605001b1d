// Arming a recording on the main thread: the capture stream, the outline and
// the pointer log, up to the first frame; the elapsed timer and following the
// window while it records; and the way back to idle.
#include <QPointer>

#include "app/elapsed_title.h"
#include "app/status_button.h"
#include "app/toggler.h"
#include "app/toggler_handoff.h"
#include "capture/window_catalogue.h"
#include "common/clock.h"
#include "common/log.h"
#include "handoff/pointer_log.h"
#include "handoff/storage.h"

namespace moxi {

namespace {
// What every configuration of the recording stream shares: the window's size,
// at most 60 frames a second, 5 frames in flight, scaled to fit, converted
// for the encoder.
StreamConfiguration streamConfiguration(Size size, bool showsCursor) {
  StreamConfiguration configuration;
  configuration.width = static_cast<int>(size.width);
  configuration.height = static_cast<int>(size.height);
  configuration.minimumFrameInterval = std::chrono::nanoseconds(1'000'000'000 / 60);
  configuration.showsCursor = showsCursor;
  configuration.queueDepth = 5;
  configuration.pixelFormat = kPixelFormatI420;
  configuration.scalesToFit = true;
  return configuration;
}
}  // namespace

// ---------------------------------------------------------------- starting

void Toggler::startElapsedTimer() {
  // The icon stays until the first frame: a start may still be called off.
  startDate_ = secondsSinceReferenceDate();
  // A second start replaces the running timer rather than adding one.
  timer_ = std::make_unique<QTimer>();
  timer_->setInterval(100);
  connect(timer_.get(), &QTimer::timeout, this, &Toggler::update);
  timer_->start();
}

void Toggler::startRecording(const CaptureWindow& window) {
  if (!onMainThread()) {
    QMetaObject::invokeMethod(this, [this, window] { startRecording(window); }, Qt::QueuedConnection);
    return;
  }
  // Never two recordings at once: a running one is finished and exported
  // first, a stream still waiting for its first frame is dropped.
  if (recording_) {
    bool timerWasRunning = timer_ != nullptr;
    stopRecording();
    if (timerWasRunning) startElapsedTimer();
  } else if (stream_) {
    stopStream();
    if (hv_) hv_->hide();
    hv_.reset();
  }

  if (!roomToRecord()) return returnToIdle("");

  {
    std::lock_guard lock(stateMutex_);
    doneRecording_ = false;
    recording_ = false;
  }
  uint64_t generation = ++generation_;
  acceptedGeneration_ = generation;

  activateOwningApplication(*services_.windowServer, static_cast<int32_t>(window.windowID));
  showHighlight(window);
  mouseEvents_.clear();
  capturedWindow_ = window;
  videoSize_ = window.frame.size();
  handoff_->startSideFiles();

  bool popups = capturePopups();
  std::optional<CaptureDisplay> display = sharedDisplay();
  if (popups && (!display || !window.owningApplication || window.owningApplication->processID == 0)) {
    logLine("cannot tell this window's application or display; recording the window without its pop-ups");
    popups = false;
  }
  ContentFilter filter = popups ? ContentFilter::display(display->displayID,
                                                         {static_cast<pid_t>(window.owningApplication->processID)},
                                                         window.windowID)
                                : ContentFilter::desktopIndependentWindow(window.windowID);
  StreamConfiguration configuration = streamConfiguration(window.frame.size(), cursorOn());
  configuration.capturesAudio = windowAudioOn();
  if (popups) configuration.sourceRect = window.frame;

  stream_ = services_.makeCaptureStream(filter, configuration);
  bool added = stream_ && stream_->addStreamOutput(
                              [this, generation](const SampleBuffer& sample) {
                                streamDidOutputSampleBuffer(generation, sample);
                              },
                              videoSampleBufferQueue_);
  if (!added) {
    logLine("error starting stream");
    tellUser(UserNotice::streamRefused());
    returnToIdle("");
    return;
  }
  stream_->startCapture();

  if (!mouseEventsRegistered_ && services_.pointerMonitor) {
    mouseEventsRegistered_ = true;
    globalMonitor_ = services_.pointerMonitor->install([this](const PointerEvent& event) {
      // The window's frame is asked of the X server only for events over the
      // captured window: moves over other windows are many and log nothing.
      if (!recording_ || !capturedWindow_ || event.windowNumber != capturedWindow_->windowID) return;
      auto sample = pointerSample(event.type, event.windowNumber, capturedWindow_->windowID,
                                  currentWindowFrame(*services_.windowServer, capturedWindow_->windowID),
                                  event.location, startTime_, event.time.value_or(secondsSinceReferenceDate()));
      if (sample) mouseEvents_.push_back(*sample);
    });
  }
}

void Toggler::showHighlight(const CaptureWindow& window) {
  hv_ = services_.makeOverlay ? services_.makeOverlay(window.windowID) : nullptr;
  if (hv_) hv_->updateFrame(flippedRect(window.frame, *services_.windowServer));
}

void Toggler::stopStream() {
  if (!stream_) return;
  CaptureStream* stopping = stream_.get();
  stoppingStreams_.push_back(std::move(stream_));
  QPointer<Toggler> self(this);
  stopping->stopCapture([self, stopping] {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self, stopping] {
          if (!self) return;
          auto& list = self->stoppingStreams_;
          std::erase_if(list, [stopping](const auto& s) { return s.get() == stopping; });
        },
        Qt::QueuedConnection);
  });
}

void Toggler::removePointerMonitor() {
  if (!mouseEventsRegistered_) return;
  if (globalMonitor_ && services_.pointerMonitor) services_.pointerMonitor->remove(*globalMonitor_);
  mouseEventsRegistered_ = false;
}

void Toggler::returnToIdle(const std::string& reason) {
  if (!reason.empty()) logLine(reason);
  acceptedGeneration_ = 0;
  {
    std::lock_guard lock(stateMutex_);
    recording_ = false;
    doneRecording_ = false;
  }
  if (hv_) hv_->hide();
  hv_.reset();
  removePointerMonitor();
  stopStream();
  timer_.reset();
  restoreButtonIcon();
  dropJournal();
}

// ---------------------------------------------------------------- following

void Toggler::update() {
  if (capturedWindow_ && (armed() || recording_) && !services_.windowServer->windowBounds(capturedWindow_->windowID)) {
    // A window that closed before its first frame will never give one.
    if (armed()) {
      tellUser(UserNotice::windowClosedBeforeStart());
      return returnToIdle("the window closed before its recording could start");
    }
    // What was recorded until the window went is kept and handed over.
    const std::string why = services_.windowServer->goneReason(capturedWindow_->windowID);
    logLine(why.empty() ? "the recorded window is gone; finishing its recording" : why + "; finishing its recording");
    tellUser(UserNotice::windowGone(why));
    return stopRecording();
  }
  if (recording_) {
    // A file that stopped taking data is found here even when no frame comes.
    std::shared_ptr<Recording> recording;
    {
      std::lock_guard lock(stateMutex_);
      recording = current_;
    }
    if (recording) videoSampleBufferQueue_.async([this, recording] { checkWriter(recording); });
  }
  followCapturedWindow();
  if (!recording_) return;
  {
    std::shared_ptr<Recording> recording;
    {
      std::lock_guard lock(stateMutex_);
      recording = current_;
    }
    if (recording) keepJournal(recording);
  }
  if (button_ && button_->hasImage()) button_->clearImage();
  // Counted from the first frame, when the recording began.
  auto elapsed = static_cast<int64_t>(secondsSinceReferenceDate() - startTime_);
  QString suffix = (captureMicrophone() && hasMicPermission_) ? QStringLiteral(" MIC") : QString();
  setButtonTitle(QString::fromStdString(elapsedTitle(elapsed)) + suffix);
}

void Toggler::followCapturedWindow() {
  if (!recording_ || !hv_ || !capturedWindow_) return;
  WindowServer& server = *services_.windowServer;
  const std::optional<Rect> bounds = server.windowBounds(capturedWindow_->windowID);
  if (!bounds) return;
  // A minimised window has no outline on the screen, and gets it back once shown.
  if (!server.windowShown(capturedWindow_->windowID)) return hv_->hide();
  const Rect frame = flippedRect(*bounds, server);
  // Also when nothing changed: a click raises the captured window over its
  // outline, and this puts the outline back on top of it.
  hv_->updateFrame(frame);
  if (frame == lastFrame_) return;
  lastFrame_ = frame;
  if (capturePopups() && stream_) {
    StreamConfiguration configuration = streamConfiguration(frame.size(), cursorOn());
    configuration.sourceRect = *bounds;
    stream_->updateConfiguration(configuration);
  }
}

}  // namespace moxi
