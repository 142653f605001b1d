// The overlay's rules (frame, alpha, stacking calls) on a recording surface,
// and its geometry helpers.
#include <gtest/gtest.h>

#include "ui/highlight_geometry.h"
#include "ui/highlight_window_controller.h"
#include "ui/recording_surface_support.h"

using moxi::HighlightWindowController;
using moxi::Rect;
using moxi::test::RecordingSurface;

TEST(HighlightWindowController, ShowsAndRestacksOnEveryUpdateButResizesOnlyOnChange) {
  RecordingSurface::Calls calls;
  HighlightWindowController hv(0x1234, false, std::make_unique<RecordingSurface>(&calls));
  hv.hide();  // never shown: nothing to do
  hv.updateFrame({100, 200, 800, 600});
  hv.updateFrame({100, 200, 800, 600});
  hv.hide();
  hv.hide();
  hv.updateFrame({100, 200, 800, 600});  // shown again, same frame
  hv.updateFrame({101, 200, 800, 600});  // any change of any value counts
  // The ring sits 4 points outside the window.
  EXPECT_EQ(calls.frames, (std::vector<Rect>{{96, 196, 808, 608}, {97, 196, 808, 608}}));
  EXPECT_EQ(calls.orders, std::vector<std::int64_t>(4, 0x1234));
  EXPECT_EQ(calls.alphas, (std::vector<double>{0, 1, 1, 0, 1, 1}));
}

TEST(HighlightGeometry, FlipsAgainstThePrimaryScreenRoundsEdgesAndRingsTheBorderOnly) {
  EXPECT_EQ(moxi::rootRectFromScreenFrame({96, 196, 808, 608}, 1080), (Rect{96, 276, 808, 608}));
  EXPECT_EQ(moxi::pixelRect({10.4, 20.6, 30.2, 40}), QRect(10, 21, 31, 40));  // right edge 40.6 -> 41
  const QRegion round = moxi::ringRegion({808, 608}, 15, 4);
  // The corners are cut, the band follows them, and nothing of the window is
  // covered (the end-to-end run finds the band on the screen).
  const std::pair<QPoint, bool> points[] = {{{0, 0}, false}, {{807, 607}, false}, {{5, 3}, true}};
  for (auto [p, in] : points) EXPECT_EQ(round.contains(p), in) << p.x() << "," << p.y();
  EXPECT_TRUE(round.intersected(QRect(4, 4, 800, 600)).isEmpty());
}
