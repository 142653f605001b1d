#include "app/toggler.h"
#include "app/toggler_recording.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <QThreadPool>
#include <cctype>
#include <thread>

#include "app/elapsed_title.h"
#include "app/status_button.h"
#include "capture/microphone/microphone_permission.h"
#include "capture/quick_record.h"
#include "capture/window_catalogue.h"
#include "common/clock.h"
#include "common/log.h"
#include "handoff/pointer_log.h"
#include "handoff/storage.h"
#include "hotkey/hot_key.h"
#include "ui/popover.h"
#include "ui/window_list_model.h"

namespace moxi {



namespace {
bool onMainThread() { return QThread::currentThread() == QCoreApplication::instance()->thread(); }

// What every configuration of the recording stream shares: the window's size,
// at most 60 frames a second, 5 frames in flight, BGRA scaled to fit.
StreamConfiguration streamConfiguration(Size size, bool showsCursor) {
  StreamConfiguration configuration;
  configuration.width = static_cast<int>(size.width);
  configuration.height = static_cast<int>(size.height);
  configuration.minimumFrameInterval = std::chrono::nanoseconds(1'000'000'000 / 60);
  configuration.showsCursor = showsCursor;
  configuration.queueDepth = 5;
  configuration.pixelFormat = kPixelFormatBGRA;
  configuration.scalesToFit = true;
  return configuration;
}
}  // namespace

Toggler::Toggler(Popover* popover, StatusButton* button, RecorderServices services, QObject* parent)
    : QObject(parent),
      services_(std::move(services)),
      windowListModel_(std::make_unique<WindowListModel>()),
      popOver_(popover),
      button_(button) {
  if (popOver_) connect(popOver_, &Popover::shownChanged, this, &Toggler::popoverShownChanged);
  if (services_.microphoneSession) {
    QPointer<Toggler> self(this);
    services_.microphoneSession->setInterruptionHandler([self](bool lost, const std::string& what) {
      if (!lost) return;  // the log says it is back; the user is told of what needs them
      std::string reason = what;
      if (!reason.empty()) reason[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(reason[0])));
      QMetaObject::invokeMethod(
          QCoreApplication::instance(),
          [self, reason] {
            if (self) self->tellUser(UserNotice::microphoneLost(reason));
          },
          Qt::QueuedConnection);
    });
  }
  // Last: the hot key, whose handler may use everything above.
  if (services_.makeHotKeyService) {
    hotkey::HotKeysController::setService(services_.makeHotKeyService());
    hotKey_ = hotkey::HotKey::create(hotkey::Key::f1, hotkey::ModifierFlags::command, [this] { hotKeyPressed(); });
  }
  if (services_.bindShortcut) shortcut_ = services_.bindShortcut([this] { hotKeyPressed(); });
}

Toggler::~Toggler() {
  if (services_.microphoneSession) services_.microphoneSession->setInterruptionHandler(nullptr);
  hotKey_.reset();
  shortcut_.reset();
  timer_.reset();
  if (recording_) stopRecording();
  waitForPendingFinishes(30000);
  QThreadPool::globalInstance()->waitForDone();
  if (services_.microphoneSession) services_.microphoneSession->stopRunning();
  stream_.reset();
  stoppingStreams_.clear();
  removePointerMonitor();
  videoSampleBufferQueue_.drain();
  audioSampleBufferQueue_.drain();
}

QObject* Toggler::allwindowsModel() const { return windowListModel_.get(); }

std::optional<CaptureDisplay> Toggler::sharedDisplay() const {
  std::lock_guard lock(sharedDisplayMutex_);
  return sharedDisplay_;
}

void Toggler::setAllwindows(std::vector<CapturableWindow> windows) {
  allwindows_ = windows;
  windowListModel_->setWindows(std::move(windows));
}

void Toggler::setShowingAlert(bool value) {
  if (showingAlert_ == value) return;
  showingAlert_ = value;
  emit showingAlertChanged();
}

void Toggler::setPermissionError(bool value) {
  if (permissionError_ == value) return;
  permissionError_ = value;
  emit permissionErrorChanged();
}

void Toggler::setHasMicPermission(bool value) {
  micPermissionForQueues_ = value;
  if (hasMicPermission_ == value) return;
  hasMicPermission_ = value;
  emit hasMicPermissionChanged();
}

void Toggler::setShowDialog(bool v) {
  RecorderSettings::write(RecorderSettings::showDialogKey, v);
  emit showDialogChanged();
}
void Toggler::setCursorOn(bool v) {
  RecorderSettings::write(RecorderSettings::cursorOnKey, v);
  emit cursorOnChanged();
}
void Toggler::setCaptureMicrophone(bool v) {
  RecorderSettings::write(RecorderSettings::captureMicrophoneKey, v);
  emit captureMicrophoneChanged();
}
void Toggler::setWindowAudioOn(bool v) {
  RecorderSettings::write(RecorderSettings::windowAudioOnKey, v);
  emit windowAudioOnChanged();
}
void Toggler::setCapturePopups(bool v) {
  RecorderSettings::write(RecorderSettings::capturePopupsKey, v);
  emit capturePopupsChanged();
}

bool Toggler::popoverShown() const { return popOver_ && popOver_->isShown(); }

QString Toggler::helpText() const {
  if (!services_.helpText.isEmpty()) return services_.helpText;
  return QStringLiteral(
      "Pick the window you'd like to record from the list below.\n"
      "Or press Ctrl+F1 to start/stop recording the window under your cursor.\n"
      "The captured window will be highlighted in blue.");
}

QString Toggler::buttonTitle() const { return button_ ? button_->title() : QString(); }

void Toggler::setButtonTitle(const QString& title) {
  if (!button_ || button_->title() == title) return;
  button_->setTitle(title);
  emit buttonTitleChanged();
}

void Toggler::restoreButtonIcon() {
  setButtonTitle(QString());
  if (button_) button_->setImage(appIcon());
}

void Toggler::closePopover() {
  if (popOver_) popOver_->performClose();
}

// ---------------------------------------------------------------- the shell

void Toggler::handleStatusItemClick() {
  if (popoverShown()) {
    closePopover();
    return;
  }
  if (recording_) {
    stopRecording();
    return;
  }
  QThreadPool::globalInstance()->start([this] { refreshWindows(); });
  if (popOver_) popOver_->showRelativeTo(button_ ? button_->geometry() : QRect());
}

void Toggler::openPermissionsPanel() {
  logLine("open permissions");
  // X11 desktops have no screen-recording permission page; the closest is the
  // desktop's privacy settings, where there are some.
  const std::pair<const char*, QStringList> panels[] = {{"gnome-control-center", {"privacy"}},
                                                        {"systemsettings", {}}};
  for (const auto& [program, args] : panels) {
    if (!QStandardPaths::findExecutable(program).isEmpty()) {
      QProcess::startDetached(program, args);
      return;
    }
  }
}

void Toggler::quit() {
  quitting_ = true;
  if (recording_) stopRecording();
  if (!waitForPendingFinishes(60000)) logLine("quitting before the last recording was exported");
  QCoreApplication::quit();
}

bool Toggler::waitForPendingFinishes(int timeoutMs) {
  QElapsedTimer clock;
  clock.start();
  while (pendingFinishes_ > 0 && clock.elapsed() < timeoutMs) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pendingFinishes_ == 0;
}

// ---------------------------------------------------------------- catalogue

std::optional<std::vector<CapturableWindow>> Toggler::listWindowsSharingDisplay() {
  std::optional<CaptureDisplay> display = sharedDisplay();
  auto list = listWindows(*services_.windowServer, display);
  if (list) {
    std::lock_guard lock(sharedDisplayMutex_);
    sharedDisplay_ = display;
  }
  return list;
}

void Toggler::refreshWindows() {
  auto list = listWindowsSharingDisplay();
  QMetaObject::invokeMethod(
      this,
      [this, list = std::move(list)]() mutable {
        if (list) {
          setAllwindows(std::move(*list));
          setPermissionError(false);
        } else {
          setPermissionError(true);
        }
        QString note = services_.popoverNote ? services_.popoverNote() : QString();
        if (note != popoverNote_) {
          popoverNote_ = note;
          emit popoverNoteChanged();
        }
      },
      Qt::QueuedConnection);
}

// ---------------------------------------------------------------- microphone access

void Toggler::checkMicrophonePermission(bool showAlert) {
  if (!services_.microphoneAccess) return;
  MicrophonePermissionAction action =
      microphonePermissionAction(services_.microphoneAccess->authorizationStatus(), showAlert);
  if (action.requestAccess) {
    QPointer<Toggler> self(this);
    services_.microphoneAccess->requestAccess([self](bool granted) {
      QMetaObject::invokeMethod(
          QCoreApplication::instance(),
          [self, granted] {
            if (Toggler* toggler = self.data()) toggler->setHasMicPermission(granted);
          },
          Qt::QueuedConnection);
    });
  }
  if (action.hasMicPermission) setHasMicPermission(*action.hasMicPermission);
  if (action.raiseAlert) setShowingAlert(true);
}

// ---------------------------------------------------------------- starting

void Toggler::startElapsedTimer() {
  if (button_) button_->clearImage();
  setButtonTitle(QStringLiteral("00:00"));
  startDate_ = secondsSinceReferenceDate();
  // A second start replaces the running timer rather than adding one.
  timer_ = std::make_unique<QTimer>();
  timer_->setInterval(100);
  connect(timer_.get(), &QTimer::timeout, this, &Toggler::update);
  timer_->start();
}

void Toggler::startRecordingWindow(double windowID) {
  if (services_.sourcePicker)
    if (std::optional<bool> again = services_.sourcePicker->entryPicksAgain(static_cast<uint32_t>(windowID)))
      return pickAndRecord(*again);
  for (const auto& entry : allwindows_)
    if (entry.windowID == static_cast<uint32_t>(windowID)) return startRecording(entry.window);
  logLine("the picked window is no longer in the list");
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
  sideFilesRelocatedTold_ = false;
  saveSideFile(
      [this](bool caches) { return Storage::saveSideFile(videoSize_, caches, QStringLiteral("videosize.json")); });

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

bool Toggler::roomToRecord() {
  // Less than this, and a recording would stop a few minutes in; better to
  // say so before it starts.
  constexpr uint64_t kMinimumFreeBytes = 100ull << 20;
  std::optional<Storage::Folder> folder = Storage::cachesFolder();
  if (!folder) {
    logLine("cannot start recording: no folder for recordings can be written");
    tellUser({UserNotice::Kind::failure, QStringLiteral("Recording could not start"),
              QStringLiteral("No folder for recordings can be written (the temporary folder neither)."), {}});
    return false;
  }
  const std::optional<uint64_t> free = Storage::freeBytes(folder->path);
  if (free && *free < kMinimumFreeBytes) {
    logLine("cannot start recording: only " + std::to_string(*free >> 20) + " MB are free in " +
            folder->path.toStdString());
    tellUser(UserNotice::tooLittleSpace(folder->path, *free, kMinimumFreeBytes));
    return false;
  }
  if (!folder->problem.isEmpty()) {
    logLine("recordings go to " + folder->path.toStdString() + ": " + folder->usual.toStdString() +
            " cannot be used, " + folder->problem.toStdString());
    tellUser(UserNotice::relocated(QStringLiteral("Recordings"), folder->usual, folder->problem, folder->path));
  }
  return true;
}

void Toggler::saveSideFile(const std::function<bool(bool caches)>& save) {
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
  tellUser(UserNotice::relocated(QStringLiteral("Side files"), documents, problem, dir));
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

void Toggler::tellUser(UserNotice notice) {
  if (onMainThread()) {
    if (services_.notifyUser) services_.notifyUser(notice);
    return;
  }
  QMetaObject::invokeMethod(this, [this, notice] { tellUser(notice); }, Qt::QueuedConnection);
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
    logLine("the recorded window is gone; finishing its recording");
    tellUser(UserNotice::windowGone());
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
  auto elapsed = static_cast<int64_t>(secondsSinceReferenceDate() - startDate_);
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

// ---------------------------------------------------------------- quick record

void Toggler::hotKeyPressed() {
  if (recording_) {
    stopRecording();
    return;
  }
  // A search or a stream still waiting for its first frame: this press would
  // start a second recording, so it is ignored.
  if (quickRecordSearching_ || armed()) {
    logLine("a recording is already starting");
    return;
  }
  if (services_.sourcePicker) return pickAndRecord(services_.sourcePicker->canPickAgain());
  quickRecordSearching_ = true;
  Point pointer = services_.pointerLocation ? services_.pointerLocation() : Point{};
  QThreadPool::globalInstance()->start([this, pointer] { recordWindowUnderPointer(pointer); });
}

void Toggler::recordWindowUnderPointer(Point bottomLeftPointer) {
  std::optional<double> height = services_.mainScreenHeight ? services_.mainScreenHeight() : std::nullopt;
  Point pointer = pointerInWindowFrames(bottomLeftPointer, height);
  auto list = listWindowsSharingDisplay();
  std::optional<CaptureWindow> found;
  if (list) {
    std::vector<Rect> frames;
    for (const auto& entry : *list) frames.push_back(entry.window.frame);
    if (auto index = firstFrameContaining(frames, pointer)) found = (*list)[*index].window;
  }
  QMetaObject::invokeMethod(
      this,
      [this, found] {
        if (found) {
          startElapsedTimer();
          startRecording(*found);
        }
        quickRecordSearching_ = false;
      },
      Qt::QueuedConnection);
}

void Toggler::pickAndRecord(bool again) {
  if (quickRecordSearching_ || armed() || recording_) {
    logLine("a recording is already starting");
    return;
  }
  quickRecordSearching_ = true;
  QPointer<Toggler> self(this);
  services_.sourcePicker->pick(again, cursorOn(), [self](PickResult result) {
    if (!self) return;
    self->quickRecordSearching_ = false;
    if (result.outcome == PickResult::Outcome::picked && result.window) {
      self->startElapsedTimer();
      return self->startRecording(*result.window);
    }
    // A row click started the timer before the picker opened.
    self->timer_.reset();
    self->restoreButtonIcon();
    if (result.outcome == PickResult::Outcome::cancelled) logLine("the picker was cancelled; nothing is recorded");
    else {
      logLine("cannot start recording: " + result.reason);
      self->tellUser({UserNotice::Kind::failure, QStringLiteral("Recording could not start"),
                      QString::fromStdString(result.reason), {}});
    }
  });
}

}  // namespace moxi
