#include "app/recorder_services.h"

#include <QCursor>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>

#include "app/desktop_notifications.h"
#include "capture/portal_capture_stream.h"
#include "capture/portal_window_server.h"
#include "capture/x11_capture_stream.h"
#include "capture/x11_window_server.h"
#include "handoff/clipboard_handoff.h"
#include "handoff/pipewire_pointer_monitor.h"
#include "handoff/x11_pointer_monitor.h"
#include "hotkey/portal_global_shortcut.h"

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

// What both desktops share: the writer, the microphone and the hand-over.
RecorderServices commonServices() {
  RecorderServices s;
  s.makeWriter = [](const std::string& path, std::string& error) { return RecordingWriter::create(path, error); };
  s.microphoneAccess = makeMicrophoneAccess();
  s.microphoneSession = makeMicrophoneSession();
  s.askToCopy = askToCopyWithDialog;
  s.copyToClipboard = copyFileURLToClipboard;
  s.openURL = openWithDefaultApplication;
  auto notifications = std::make_shared<DesktopNotifications>(openWithDefaultApplication);
  s.notifyUser = [notifications](const UserNotice& notice) { notifications->show(notice); };
  s.mainScreenHeight = primaryScreenHeight;
  return s;
}

}  // namespace

RecorderServices RecorderServices::platform(DesktopPlatform desktop) {
  return desktop == DesktopPlatform::wayland ? wayland() : x11();
}

RecorderServices RecorderServices::x11() {
  RecorderServices s = commonServices();
  s.windowServer = std::make_shared<X11WindowServer>();
  s.makeCaptureStream = [](const ContentFilter& filter, const StreamConfiguration& configuration) {
    return std::make_unique<X11CaptureStream>(filter, configuration);
  };
  s.pointerMonitor = std::make_shared<X11PointerMonitor>();
  s.makeOverlay = [](int64_t windowNumber) {
    return std::make_unique<HighlightWindowController>(windowNumber, false, false);
  };
  s.pointerLocation = [] {
    QPoint p = QCursor::pos();
    double height = primaryScreenHeight().value_or(0);
    return Point{static_cast<double>(p.x()), height - p.y()};
  };
  return s;
}

RecorderServices RecorderServices::wayland() {
  RecorderServices s = commonServices();
  auto server = std::make_shared<PortalWindowServer>();
  auto monitor = std::make_shared<PipeWirePointerMonitor>();
  s.windowServer = server;
  s.sourcePicker = server;
  s.pointerMonitor = monitor;
  s.makeCaptureStream = [server, monitor](const ContentFilter& filter, const StreamConfiguration& configuration) {
    const uint32_t id = filter.windowID;
    return std::make_unique<PortalCaptureStream>(server, id, configuration, [monitor, id](const StreamCursor& c) {
      monitor->cursorMoved(id, c.visible, c.x, c.y, c.streamHeight);
    });
  };
  // The compositor marks the shared window itself.
  s.makeOverlay = nullptr;
  s.helpText = QStringLiteral(
      "Choose the window you'd like to record below: your desktop asks which one.\n"
      "To start and stop with a key, bind the command \"moxiscope --toggle\" in your desktop's keyboard "
      "settings.\nYour desktop marks the window while it is shared.");
  s.popoverNote = [server, monitor] {
    QStringList notes;
    if (QString offer = server->offerNote(); !offer.isEmpty()) notes << offer;
    if (!monitor->clicksUnavailableReason().empty()) notes << QString::fromStdString(monitor->clicksUnavailableReason());
    return notes.join(QLatin1Char(' '));
  };
  // Ctrl+F1 cannot be grabbed here: the desktop binds it, or the user binds --toggle.
  s.createHotKey = false;
  s.bindShortcut = [](std::function<void()> pressed) -> std::shared_ptr<QObject> {
    return std::make_shared<PortalGlobalShortcut>(std::move(pressed));
  };
  return s;
}

}  // namespace moxi
