#pragma once
// A global pointer monitor: reports pointer events anywhere on the screen,
// whichever window they go to. The X11 backend is X11PointerMonitor; tests
// of its users implement this interface with a fake.
#include <cstdint>
#include <functional>
#include <optional>

#include "common/geometry.h"

namespace moxi {

struct PointerEvent {
  int type = 0;               // a PointerEventType (handoff/pointer_log.h)
  uint32_t windowNumber = 0;  // the top-level client window under the pointer, 0 for none
  Point location;             // the pointer, bottom-left-origin screen convention
  // When it happened (seconds since the reference date), when the platform
  // tells; otherwise it happened as it is handled.
  std::optional<double> time = std::nullopt;
};

class PointerMonitor {
 public:
  using Handler = std::function<void(const PointerEvent&)>;
  using Token = uint64_t;

  virtual ~PointerMonitor() = default;

  // Starts delivering the event types of kPointerEventMask to `handler`, on
  // the thread that owns the monitor. Nothing, after one log line, when the
  // platform cannot monitor the pointer.
  virtual std::optional<Token> install(Handler handler) = 0;
  // Stops the handler named by `token`; unknown tokens are ignored. Safe to
  // call from inside a handler.
  virtual void remove(Token token) = 0;
  // Hands every event that happened before this call to the handlers now
  // (input the program has not read yet), so that a stop loses none.
  virtual void catchUp() {}
};

}  // namespace moxi
