#pragma once
// The blue outline around the window being recorded. The recorder creates
// one per recording, moves it whenever the captured window's frame changes
// and hides it when the recording stops. Main thread only.
#include <QColor>
#include <cstdint>
#include <memory>

#include "common/geometry.h"
#include "ui/highlight_surface.h"

class QWidget;

namespace moxi {

class HighlightWindowController {
 public:
  static constexpr double defaultFrameOffset = -4.0;
  // The system blue, opaque.
  static const QColor& highlightColor();

  // Drives `surface` (the desktop's overlay window, or a fake in tests),
  // invisible (alpha 0) until the first updateFrame. `windowNumber` is the
  // captured client window's id; `aboveAll` puts the outline on the captured
  // window's edge, with square corners, above every other window.
  HighlightWindowController(std::int64_t windowNumber, bool aboveAll, std::unique_ptr<HighlightSurface> surface);
  ~HighlightWindowController();
  HighlightWindowController(const HighlightWindowController&) = delete;
  HighlightWindowController& operator=(const HighlightWindowController&) = delete;

  // Shows the outline around `frame`, the captured window's frame in screen
  // coordinates with a bottom-left origin, and stacks it directly above
  // that window.
  void updateFrame(Rect frame);
  // Makes the outline invisible without closing it.
  void hide();

  double alpha() const { return surface_->alpha(); }
  // The overlay window; null on a surface without one.
  QWidget* window() const { return surface_->widget(); }

  const std::int64_t windowNumber;
  // Inset applied to the captured frame; negative makes the overlay larger.
  const double frameOffset;
  // The captured-window frame last applied.
  Rect existingFrame;
  // True until shown, and again after hide.
  bool hidden = true;

 private:
  std::unique_ptr<HighlightSurface> surface_;
};

}  // namespace moxi
