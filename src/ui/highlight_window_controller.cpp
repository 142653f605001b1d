#include "ui/highlight_window_controller.h"

#include "ui/highlight_window.h"

namespace moxi {

namespace {
constexpr int kBorderWidth = 4;
constexpr int kCornerRadius = 15;
}  // namespace

const QColor& HighlightWindowController::highlightColor() {
  static const QColor color(0x00, 0x7A, 0xFF, 0xFF);
  return color;
}

HighlightWindowController::HighlightWindowController(std::int64_t windowNumber, bool withoutBorder, bool aboveAll)
    : HighlightWindowController(windowNumber, aboveAll,
                                std::make_unique<HighlightWindow>(highlightColor(), aboveAll ? 0 : kCornerRadius,
                                                                  withoutBorder ? 0 : kBorderWidth, aboveAll)) {}

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
