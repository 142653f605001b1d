#include "app/recorder_services.h"

#include <QCursor>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>

#include "app/desktop_notifications.h"
#include "capture/x11_capture_stream.h"
#include "capture/x11_window_server.h"
#include "handoff/clipboard_handoff.h"
#include "handoff/x11_pointer_monitor.h"

namespace moxi {

namespace {

bool askToCopyWithDialog() {
  QMessageBox alert;
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

RecorderServices RecorderServices::platform() {
  RecorderServices s;
  s.windowServer = std::make_shared<X11WindowServer>();
  s.makeCaptureStream = [](const ContentFilter& filter, const StreamConfiguration& configuration) {
    return std::make_unique<X11CaptureStream>(filter, configuration);
  };
  s.makeWriter = [](const std::string& path, std::string& error) { return RecordingWriter::create(path, error); };
  s.microphoneAccess = makeMicrophoneAccess();
  s.microphoneSession = makeMicrophoneSession();
  s.pointerMonitor = std::make_shared<X11PointerMonitor>();
  s.makeOverlay = [](int64_t windowNumber) {
    return std::make_unique<HighlightWindowController>(windowNumber, false, false);
  };
  s.askToCopy = askToCopyWithDialog;
  s.copyToClipboard = copyFileURLToClipboard;
  s.openURL = openWithDefaultApplication;
  auto notifications = std::make_shared<DesktopNotifications>(openWithDefaultApplication);
  s.notifyUser = [notifications](const UserNotice& notice) { notifications->show(notice); };
  s.pointerLocation = [] {
    QPoint p = QCursor::pos();
    double height = primaryScreenHeight().value_or(0);
    return Point{static_cast<double>(p.x()), height - p.y()};
  };
  s.mainScreenHeight = primaryScreenHeight;
  return s;
}

}  // namespace moxi
