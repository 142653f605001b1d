#pragma once
// The rule that turns one global pointer event into at most one sample of
// the pointer log.
#include <cstdint>
#include <optional>

#include "common/geometry.h"
#include "handoff/mouse_event.h"

namespace moxi {

// Pointer event types, numbered as the log's consumers expect them.
enum PointerEventType : int {
  kLeftMouseDown = 1,
  kLeftMouseUp = 2,
  kRightMouseDown = 3,
  kRightMouseUp = 4,  // not monitored: a right release leaves no trace
  kMouseMoved = 5,
  kLeftMouseDragged = 6,
  kRightMouseDragged = 7,
  kFlagsChanged = 12,
};

// The event types the pointer log listens to (bit n set for type n).
inline constexpr uint32_t kPointerEventMask = (1u << kLeftMouseDown) | (1u << kLeftMouseUp) |
                                              (1u << kRightMouseDown) | (1u << kMouseMoved) |
                                              (1u << kLeftMouseDragged) | (1u << kRightMouseDragged) |
                                              (1u << kFlagsChanged);

// The sample for one event, or nothing when the event is not kept: a type
// outside the mask, another window, a window that is gone (no frame), or a
// pointer outside the window's frame (its edges count as inside), or an
// event from before the recording's start.
// `frame` and `location` are in the bottom-left-origin screen convention;
// `startTime` and `now` (when the event happened) are seconds since the reference date.
std::optional<MouseEvent> pointerSample(int eventType, uint32_t eventWindow, uint32_t capturedWindow,
                                        const std::optional<Rect>& frame, Point location, double startTime,
                                        double now);

}  // namespace moxi
