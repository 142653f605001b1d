#pragma once
// What the overlay controller needs from the window that draws the outline,
// so that its rules can be exercised without a display.
#include <cstdint>

#include "common/geometry.h"

class QWidget;

namespace moxi {

class HighlightSurface {
 public:
  virtual ~HighlightSurface() = default;

  // Places the window at `frame`, in screen coordinates with a bottom-left
  // origin; does not repaint by itself.
  virtual void setFrame(Rect frame) = 0;
  // 0 makes the window invisible, 1 shows it.
  virtual void setAlpha(double alpha) = 0;
  virtual double alpha() const = 0;
  // Stacks the window directly above the window numbered `windowNumber`;
  // does nothing when that window does not exist.
  virtual void orderAbove(std::int64_t windowNumber) = 0;
  // The window itself, when there is a real one.
  virtual QWidget* widget() const { return nullptr; }
};

}  // namespace moxi
