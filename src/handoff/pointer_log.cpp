#include "handoff/pointer_log.h"

namespace moxi {

std::optional<MouseEvent> pointerSample(int eventType, uint32_t eventWindow, uint32_t capturedWindow,
                                        const std::optional<Rect>& frame, Point location, double startTime,
                                        double now) {
  if (eventType < 0 || eventType >= 32 || !(kPointerEventMask & (1u << eventType))) return std::nullopt;
  if (eventWindow != capturedWindow || !frame) return std::nullopt;
  // Input from before the first frame, handled late, is not the recording's.
  if (now < startTime) return std::nullopt;
  double x = location.x - frame->minX();
  double y = location.y - frame->minY();
  // Written so that NaN coordinates fall outside as well.
  if (!(x >= 0 && x <= frame->width && y >= 0 && y <= frame->height)) return std::nullopt;
  bool down = eventType == kLeftMouseDown || eventType == kRightMouseDown;
  return MouseEvent{x, y, down, now - startTime};
}

}  // namespace moxi
