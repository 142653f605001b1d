#include "capture/quick_record.h"

namespace moxi {

Point pointerInWindowFrames(Point p, std::optional<double> mainScreenHeight) {
  if (mainScreenHeight) p.y = *mainScreenHeight - p.y;
  return p;
}

std::optional<size_t> firstFrameContaining(const std::vector<Rect>& frames, Point point) {
  for (size_t i = 0; i < frames.size(); ++i)
    if (frames[i].contains(point)) return i;
  return std::nullopt;
}

}  // namespace moxi
