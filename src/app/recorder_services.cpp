#include "app/recorder_services.h"

#include <QCursor>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScreen>

#include "app/desktop_notifications.h"
#include "handoff/clipboard_handoff.h"
#include "platform/pulseaudio/pulse_microphone.h"

namespace moxi {

namespace {

// The open question, so that a quit can close it.
QPointer<QMessageBox> openQuestion;

bool askToCopyWithDialog() {
  QMessageBox alert;
  openQuestion = &alert;
  alert.setIcon(QMessageBox::Information);
  alert.setWindowTitle(QStringLiteral("Moxiscope"));
  alert.setText(QStringLiteral("Video is ready!"));
  alert.setInformativeText(
      QStringLiteral("Would you like to copy the video to your clipboard so you can paste it into Moxiscope?"));
  QPushButton* copy = alert.addButton(QStringLiteral("Copy"), QMessageBox::AcceptRole);
  alert.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
  alert.setDefaultButton(copy);
  alert.exec();
  return alert.clickedButton() == copy;
}

std::optional<double> primaryScreenHeight() {
  QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return std::nullopt;
  return screen->geometry().height();
}

}  // namespace

RecorderServices RecorderServices::common() {
  RecorderServices s;
  s.makeWriter = [](const std::string& path, std::string& error) { return RecordingWriter::create(path, error); };
  s.microphoneAccess = makeMicrophoneAccess();
  s.microphoneSession = makeMicrophoneSession();
  s.askToCopy = askToCopyWithDialog;
  s.dismissAskToCopy = [] {
    if (openQuestion) openQuestion->reject();  // as "Cancel"
  };
  s.copyToClipboard = copyFileURLToClipboard;
  s.openURL = openWithDefaultApplication;
  auto notifications = std::make_shared<DesktopNotifications>(openWithDefaultApplication);
  s.notifyUser = [notifications](const UserNotice& notice) { notifications->show(notice); };
  s.mainScreenHeight = primaryScreenHeight;
  return s;
}

RecorderServices RecorderServices::platform(DesktopPlatform desktop) {
  return desktop == DesktopPlatform::wayland ? wayland(common()) : x11(common());
}

}  // namespace moxi
