#include "app/toggler.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QThreadPool>

#include "app/elapsed_title.h"
#include "app/status_button.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "ui/popover.h"

namespace moxi {

Toggler::Toggler(Popover* popover, StatusButton* button, QObject* parent)
    : QObject(parent), popOver_(popover), button_(button) {
  if (popOver_) connect(popOver_, &Popover::shownChanged, this, &Toggler::popoverShownChanged);
}

Toggler::~Toggler() = default;

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

QString Toggler::buttonTitle() const { return button_ ? button_->title() : QString(); }

void Toggler::setButtonTitle(const QString& title) {
  if (!button_) return;
  button_->setTitle(title);
  emit buttonTitleChanged();
}

void Toggler::closePopover() {
  if (popOver_) popOver_->performClose();
}

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

void Toggler::update() {
  auto elapsed = static_cast<int64_t>(secondsSinceReferenceDate() - startDate_);
  QString suffix = (captureMicrophone() && hasMicPermission_) ? QStringLiteral(" MIC") : QString();
  setButtonTitle(QString::fromStdString(elapsedTitle(elapsed)) + suffix);
}

void Toggler::restoreButtonIcon() {
  setButtonTitle(QString());
  if (button_) button_->setImage(scaledImage(QImage(QStringLiteral(":/moxiscope/favicon-32x32.png")), 16, 16));
}

void Toggler::stopRecording() {
  recording_ = false;
  doneRecording_ = true;
  timer_.reset();
  restoreButtonIcon();
}

void Toggler::refreshWindows() {}

void Toggler::startRecordingWindow(double) {}

void Toggler::checkMicrophonePermission(bool) {}

void Toggler::openPermissionsPanel() {
  logLine("open permissions");
  // X11 desktops have no screen-recording permission page; the closest is the
  // desktop's privacy settings, where one exists.
  for (const auto& [program, args] :
       {std::pair<QString, QStringList>{"gnome-control-center", {"privacy"}}, {"systemsettings", {"kcm_screenlocker"}}}) {
    if (!QStandardPaths::findExecutable(program).isEmpty()) {
      QProcess::startDetached(program, args);
      return;
    }
  }
}

void Toggler::quit() { QCoreApplication::quit(); }

}  // namespace moxi
