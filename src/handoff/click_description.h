#pragma once
// The movie description that carries the window size and the clicks for the
// receiving application: "moxiscope:" W,H then x,y,t per click, where every
// number is truncated towards zero and t is in milliseconds.
#include <string>
#include <string_view>
#include <vector>

#include "common/geometry.h"
#include "handoff/mouse_event.h"

namespace moxi {

inline constexpr std::string_view kDescriptionPrefix = "moxiscope:";

// Only samples with `down` set are clicks; without any the text is the
// prefix alone. A value that is not finite or does not fit a signed 64-bit
// integer cannot be written: such a click is left out, and such a size is
// written as 0.
std::string clickDescription(Size videoSize, const std::vector<MouseEvent>& events);

}  // namespace moxi
