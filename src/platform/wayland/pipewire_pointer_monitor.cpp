#include "platform/wayland/pipewire_pointer_monitor.h"

#include <QMetaObject>

#include "common/log.h"
#include "handoff/pointer_log.h"

namespace moxi {

PipeWirePointerMonitor::PipeWirePointerMonitor() {
  buttons_ = EvdevButtons::open([this](int button, bool down) { buttonChanged(button, down); }, clicksUnavailable_);
  if (!buttons_) logLine(clicksUnavailable_);
}

PipeWirePointerMonitor::~PipeWirePointerMonitor() { buttons_.reset(); }

std::optional<PointerMonitor::Token> PipeWirePointerMonitor::install(Handler handler) {
  Token token = nextToken_++;
  handlers_.emplace(token, std::move(handler));
  return token;
}

void PipeWirePointerMonitor::remove(Token token) { handlers_.erase(token); }

void PipeWirePointerMonitor::cursorMoved(uint32_t windowID, bool visible, double x, double y, double height) {
  PointerEvent event;
  {
    std::lock_guard lock(mutex_);
    Point location{x, height - y};
    if (pointer_.windowID == windowID && pointer_.visible == visible && pointer_.location == location) return;
    pointer_.windowID = windowID;
    pointer_.visible = visible;
    pointer_.location = location;
    event.type = pointer_.leftDown ? kLeftMouseDragged : pointer_.rightDown ? kRightMouseDragged : kMouseMoved;
    event.windowNumber = visible ? windowID : 0;
    event.location = location;
  }
  QMetaObject::invokeMethod(&context_, [this, event] { deliver(event); }, Qt::QueuedConnection);
}

void PipeWirePointerMonitor::buttonChanged(int button, bool down) {
  PointerEvent event;
  {
    std::lock_guard lock(mutex_);
    bool& held = button == BTN_LEFT ? pointer_.leftDown : pointer_.rightDown;
    if (held == down) return;
    held = down;
    // A right release leaves no trace in the log.
    if (button == BTN_RIGHT && !down) return;
    event.type = button == BTN_LEFT ? (down ? kLeftMouseDown : kLeftMouseUp) : kRightMouseDown;
    event.windowNumber = pointer_.visible ? pointer_.windowID : 0;
    event.location = pointer_.location;
  }
  QMetaObject::invokeMethod(&context_, [this, event] { deliver(event); }, Qt::QueuedConnection);
}

void PipeWirePointerMonitor::deliver(const PointerEvent& event) {
  // A handler may remove itself (or another) while it runs.
  std::vector<Token> tokens;
  for (const auto& [token, handler] : handlers_) tokens.push_back(token);
  for (Token token : tokens)
    if (auto it = handlers_.find(token); it != handlers_.end()) {
      Handler handler = it->second;
      handler(event);
    }
}

}  // namespace moxi
