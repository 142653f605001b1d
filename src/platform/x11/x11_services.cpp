// The recorder's services on an X11 desktop.
#include <QCursor>

#include "app/recorder_services.h"
#include "platform/x11/highlight_window.h"
#include "platform/x11/x11_capture_stream.h"
#include "platform/x11/x11_hot_key_service.h"
#include "platform/x11/x11_pointer_monitor.h"
#include "platform/x11/x11_window_server.h"

namespace moxi {

RecorderServices RecorderServices::x11(RecorderServices s) {
  s.windowServer = std::make_shared<X11WindowServer>();
  s.makeCaptureStream = [](const ContentFilter& filter, const StreamConfiguration& configuration) {
    return std::make_unique<X11CaptureStream>(filter, configuration);
  };
  s.pointerMonitor = std::make_shared<X11PointerMonitor>();
  s.makeOverlay = [](int64_t windowNumber) {
    return makeHighlightOverlay(windowNumber, false, false);
  };
  s.pointerLocation = [screenHeight = s.mainScreenHeight] {
    QPoint p = QCursor::pos();
    double height = screenHeight ? screenHeight().value_or(0) : 0;
    return Point{static_cast<double>(p.x()), height - p.y()};
  };
  s.makeHotKeyService = [] { return std::make_unique<hotkey::X11HotKeyService>(); };
  return s;
}

}  // namespace moxi
