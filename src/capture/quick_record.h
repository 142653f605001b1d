#pragma once
#include <cstddef>
#include <optional>
#include <vector>

#include "common/geometry.h"

namespace moxi {

// The pointer, read in screen coordinates (origin bottom left), in the
// convention of window frames (origin top left). Without a main screen the
// y coordinate is used as it is.
Point pointerInWindowFrames(Point bottomLeftPointer, std::optional<double> mainScreenHeight);

// The first frame, front-most first, that contains the point (left and top
// edges inside, right and bottom edges outside).
std::optional<size_t> firstFrameContaining(const std::vector<Rect>& framesFrontToBack, Point point);

}  // namespace moxi
