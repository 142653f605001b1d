#pragma once
// The windows that draw the blue outline: top-level Qt widgets, one for each
// edge, override-redirect on X11 (no window-manager frame, no taskbar or
// pager entry, no focus, placed and stacked by us alone), that let every
// mouse event through and show nothing but the border.
#include <QColor>
#include <array>
#include <memory>

#include "ui/highlight_surface.h"
#include "ui/highlight_window_controller.h"

namespace moxi {

class HighlightWindow final : public HighlightSurface {
 public:
  // `cornerRadius` and `borderWidth` in points; a border width of 0 draws
  // nothing at all. `onTop` keeps the window above every other window
  // instead of above the captured one.
  HighlightWindow(QColor color, int cornerRadius, int borderWidth, bool onTop);
  ~HighlightWindow() override;
  HighlightWindow(const HighlightWindow&) = delete;
  HighlightWindow& operator=(const HighlightWindow&) = delete;

  void setFrame(Rect frame) override;
  void setAlpha(double alpha) override;
  double alpha() const override { return alpha_; }
  void orderAbove(std::int64_t windowNumber) override;
  QWidget* widget() const override;  // the top edge

 private:
  class Widget;
  std::array<std::unique_ptr<Widget>, 4> edges_;  // top, bottom, left, right
  bool onTop_;
  int radius_;
  int border_;
  // The border is cut out with the X SHAPE extension because no compositing
  // manager blends transparent windows.
  bool shaped_ = false;
  double alpha_ = 0;
};

// The outline of the captured window `windowNumber` (an X id): `withoutBorder`
// draws nothing; `aboveAll` puts it on the window's edge, with square
// corners, above every other window.
std::unique_ptr<HighlightWindowController> makeHighlightOverlay(std::int64_t windowNumber, bool withoutBorder,
                                                                bool aboveAll);

}  // namespace moxi
