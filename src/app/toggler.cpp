// The controller's construction, published state and persisted switches, and
// the wait for the recordings still finishing when the program ends.
#include "app/toggler.h"
#include "app/toggler_handoff.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThreadPool>
#include <cctype>
#include <thread>

#include "app/status_button.h"
#include "capture/microphone/microphone_permission.h"
#include "common/log.h"
#include "hotkey/hot_key.h"
#include "ui/popover.h"
#include "ui/window_list_model.h"

namespace moxi {

Toggler::Toggler(Popover* popover, StatusButton* button, RecorderServices services, QObject* parent)
    : QObject(parent),
      services_(std::move(services)),
      windowListModel_(std::make_unique<WindowListModel>()),
      handoff_(std::make_unique<Handoff>(*this)),
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
  if (!RecorderSettings::write(RecorderSettings::showDialogKey, v))
    tellUser(UserNotice::settingNotSaved(RecorderSettings::fileName()));
  emit showDialogChanged();
}
void Toggler::setCursorOn(bool v) {
  if (!RecorderSettings::write(RecorderSettings::cursorOnKey, v))
    tellUser(UserNotice::settingNotSaved(RecorderSettings::fileName()));
  emit cursorOnChanged();
}
void Toggler::setCaptureMicrophone(bool v) {
  if (!RecorderSettings::write(RecorderSettings::captureMicrophoneKey, v))
    tellUser(UserNotice::settingNotSaved(RecorderSettings::fileName()));
  emit captureMicrophoneChanged();
}
void Toggler::setWindowAudioOn(bool v) {
  if (!RecorderSettings::write(RecorderSettings::windowAudioOnKey, v))
    tellUser(UserNotice::settingNotSaved(RecorderSettings::fileName()));
  emit windowAudioOnChanged();
}
void Toggler::setCapturePopups(bool v) {
  if (!RecorderSettings::write(RecorderSettings::capturePopupsKey, v))
    tellUser(UserNotice::settingNotSaved(RecorderSettings::fileName()));
  emit capturePopupsChanged();
}

bool Toggler::popoverShown() const { return popOver_ && popOver_->isShown(); }

QString Toggler::helpText() const {
  if (services_.helpText) return services_.helpText();
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

bool Toggler::waitForPendingFinishes(int timeoutMs) {
  QElapsedTimer clock;
  clock.start();
  while (handoff_->pending() > 0 && clock.elapsed() < timeoutMs) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return handoff_->pending() == 0;
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

}  // namespace moxi
