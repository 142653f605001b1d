#include "ui/highlight_window_controller.h"

namespace moxi {

const QColor& HighlightWindowController::highlightColor() {
  static const QColor color(0x00, 0x7A, 0xFF, 0xFF);
  return color;
}

HighlightWindowController::HighlightWindowController(std::int64_t windowNumber, bool aboveAll,
                                                     std::unique_ptr<HighlightSurface> surface)
    : windowNumber(windowNumber), frameOffset(aboveAll ? 0.0 : defaultFrameOffset), surface_(std::move(surface)) {
  surface_->setAlpha(0.0);
}

HighlightWindowController::~HighlightWindowController() = default;

void HighlightWindowController::updateFrame(Rect frame) {
  hidden = false;
  if (frame != existingFrame) {
    existingFrame = frame;
    surface_->setFrame(frame.insetBy(frameOffset));
  }
  surface_->setAlpha(1.0);
  surface_->orderAbove(windowNumber);
}

void HighlightWindowController::hide() {
  if (hidden) return;
  hidden = true;
  surface_->setAlpha(0.0);
}

}  // namespace moxi
