#pragma once

namespace moxi {

// One logged pointer sample over the captured window.
struct MouseEvent {
  double x = 0;          // points from the window's left edge
  double y = 0;          // points from the window's bottom edge (grows upwards)
  bool down = false;     // a left or right button press
  double timestamp = 0;  // seconds since the recording's first frame
  bool operator==(const MouseEvent&) const = default;
};

}  // namespace moxi
