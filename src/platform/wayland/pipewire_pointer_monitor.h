#pragma once
// The pointer monitor of a Wayland session. A client there sees the pointer
// only over its own windows, so positions come from the screen cast's cursor
// metadata (over the shared window, in its pixels) and clicks from the
// kernel's pointer devices where this user may read them.
#include <QObject>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "handoff/pointer_monitor.h"
#include "platform/wayland/evdev_buttons.h"

namespace moxi {

class PipeWirePointerMonitor final : public PointerMonitor {
 public:
  // Built on the main thread; events are delivered there.
  PipeWirePointerMonitor();
  ~PipeWirePointerMonitor() override;

  std::optional<Token> install(Handler handler) override;
  void remove(Token token) override;

  // From any thread: the pointer over shared window `windowID`, at (x, y) of
  // its pixels from the top left, in a picture `height` pixels high; not
  // `visible` when it left the window.
  void cursorMoved(uint32_t windowID, bool visible, double x, double y, double height);
  // From any thread: a button went down or up (BTN_LEFT or BTN_RIGHT).
  void buttonChanged(int button, bool down);

  // Empty when clicks are logged; else how to enable it, in plain words.
  const std::string& clicksUnavailableReason() const { return clicksUnavailable_; }

 private:
  struct Pointer {
    uint32_t windowID = 0;
    bool visible = false;
    Point location;  // bottom-left origin, in the window's pixels
    bool leftDown = false;
    bool rightDown = false;
  };
  void deliver(const PointerEvent& event);

  QObject context_;  // deliveries are queued to it, and dropped with it
  std::mutex mutex_;
  Pointer pointer_;
  std::map<Token, Handler> handlers_;  // main thread only
  Token nextToken_ = 1;
  std::string clicksUnavailable_;
  std::unique_ptr<EvdevButtons> buttons_;  // last: its thread calls buttonChanged
};

}  // namespace moxi
