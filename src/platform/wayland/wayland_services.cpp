// The recorder's services in a Wayland session: the ScreenCast portal and
// PipeWire for the window and its pointer, the GlobalShortcuts portal for the key.
#include "app/recorder_services.h"
#include "platform/wayland/pipewire_pointer_monitor.h"
#include "platform/wayland/portal_capture_stream.h"
#include "platform/wayland/portal_global_shortcut.h"
#include "platform/wayland/portal_window_server.h"

namespace moxi {

RecorderServices RecorderServices::wayland(RecorderServices s) {
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
  // Some desktops share whole screens only: then the popover speaks of screens.
  s.helpText = [server] {
    const QString what = server->sharesWindows() ? QStringLiteral("window") : QStringLiteral("screen");
    return QStringLiteral(
               "Choose the %1 you'd like to record below: your desktop asks which one.\n"
               "To start and stop with a key, bind the command \"moxiscope --toggle\" in your desktop's keyboard "
               "settings.\nYour desktop marks the %1 while it is shared.")
        .arg(what);
  };
  // Set on the main thread by the shortcut's binding, read there by the popover.
  auto shortcutNote = std::make_shared<QString>();
  s.popoverNote = [server, monitor, shortcutNote] {
    QStringList notes;
    if (QString offer = server->offerNote(); !offer.isEmpty()) notes << offer;
    if (!monitor->clicksUnavailableReason().empty()) notes << QString::fromStdString(monitor->clicksUnavailableReason());
    if (!shortcutNote->isEmpty()) notes << *shortcutNote;
    return notes.join(QLatin1Char(' '));
  };
  // Ctrl+F1 cannot be grabbed here: the desktop binds it, or the user binds --toggle.
  s.bindShortcut = [shortcutNote](std::function<void()> pressed) -> std::shared_ptr<QObject> {
    return std::make_shared<PortalGlobalShortcut>(std::move(pressed),
                                                  [shortcutNote](const QString& note) { *shortcutNote = note; });
  };
  return s;
}

}  // namespace moxi
