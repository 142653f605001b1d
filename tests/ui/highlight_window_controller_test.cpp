// The overlay's rules (frame, alpha, stacking calls) on a recording surface,
// and its geometry helpers.
#include <gtest/gtest.h>

#include <vector>

#include "ui/highlight_geometry.h"
#include "ui/highlight_window_controller.h"

using moxi::HighlightWindowController;
using moxi::Rect;

namespace {

struct Calls {
  std::vector<Rect> frames;
  std::vector<double> alphas;
  std::vector<std::int64_t> orders;
};

class RecordingSurface : public moxi::HighlightSurface {
 public:
  explicit RecordingSurface(Calls& calls) : calls_(calls) {}
  void setFrame(Rect frame) override { calls_.frames.push_back(frame); }
  void setAlpha(double alpha) override {
    alpha_ = alpha;
    calls_.alphas.push_back(alpha);
  }
  double alpha() const override { return alpha_; }
  void orderAbove(std::int64_t windowNumber) override { calls_.orders.push_back(windowNumber); }

 private:
  Calls& calls_;
  double alpha_ = -1;
};

HighlightWindowController recorded(Calls& calls, bool aboveAll = false) {
  return HighlightWindowController(0x1234, aboveAll, std::make_unique<RecordingSurface>(calls));
}

}  // namespace

TEST(HighlightWindowController, StartsHiddenAndTransparent) {
  Calls calls;
  auto hv = recorded(calls);
  EXPECT_TRUE(hv.hidden);
  EXPECT_EQ(hv.alpha(), 0.0);
  EXPECT_EQ(hv.frameOffset, -4.0);
  EXPECT_EQ(hv.existingFrame, Rect{});
  EXPECT_EQ(HighlightWindowController::highlightColor().alphaF(), 1.0);
}

TEST(HighlightWindowController, SameFrameResizesOnceButShowsAndRestacksEveryTime) {
  Calls calls;
  auto hv = recorded(calls);
  hv.updateFrame({100, 200, 800, 600});
  hv.updateFrame({100, 200, 800, 600});
  ASSERT_EQ(calls.frames.size(), 1u);
  EXPECT_EQ(calls.frames[0], (Rect{96, 196, 808, 608}));
  EXPECT_EQ(hv.existingFrame, (Rect{100, 200, 800, 600}));
  EXPECT_EQ(calls.alphas, (std::vector<double>{0.0, 1.0, 1.0}));
  EXPECT_EQ(calls.orders, (std::vector<std::int64_t>{0x1234, 0x1234}));
  EXPECT_FALSE(hv.hidden);

  hv.updateFrame({101, 200, 800, 600});  // any change of any value counts
  EXPECT_EQ(calls.frames.size(), 2u);
}

TEST(HighlightWindowController, HideOnceThenShowAgain) {
  Calls calls;
  auto hv = recorded(calls);
  hv.hide();  // never shown: nothing to do
  EXPECT_EQ(calls.alphas.size(), 1u);
  hv.updateFrame({10, 10, 50, 50});
  hv.hide();
  hv.hide();
  EXPECT_EQ(calls.alphas, (std::vector<double>{0.0, 1.0, 0.0}));
  EXPECT_TRUE(hv.hidden);

  hv.updateFrame({10, 10, 50, 50});
  EXPECT_EQ(hv.alpha(), 1.0);
  EXPECT_FALSE(hv.hidden);
  EXPECT_EQ(calls.frames.size(), 1u);  // same frame as before the hide
}

TEST(HighlightWindowController, AboveAllSitsOnTheWindowEdge) {
  Calls calls;
  auto hv = recorded(calls, true);
  EXPECT_EQ(hv.frameOffset, 0.0);
  hv.updateFrame({100, 200, 800, 600});
  EXPECT_EQ(calls.frames.at(0), (Rect{100, 200, 800, 600}));
}

TEST(HighlightGeometry, FlipsAgainstThePrimaryScreenAndRoundsEdges) {
  EXPECT_EQ(moxi::rootRectFromScreenFrame({96, 196, 808, 608}, 1080), (Rect{96, 276, 808, 608}));
  const Rect r{10, 20, 30, 40};
  EXPECT_EQ(moxi::rootRectFromScreenFrame(moxi::rootRectFromScreenFrame(r, 768), 768), r);
  EXPECT_EQ(moxi::pixelRect({10.4, 20.6, 30.2, 40}), QRect(10, 21, 31, 40));  // right edge 40.6 -> 41
  EXPECT_EQ(moxi::pixelRect({5, 5, 0, 0}), QRect(5, 5, 1, 1));
}

TEST(HighlightGeometry, RingCoversTheBorderOnly) {
  auto area = [](const QRegion& region) {
    long sum = 0;
    for (const QRect& r : region) sum += long(r.width()) * r.height();
    return sum;
  };
  const QRegion square = moxi::ringRegion({808, 608}, 0, 4);
  EXPECT_EQ(area(square), 808L * 608 - 800L * 600);
  EXPECT_TRUE(square.contains(QPoint(0, 0)));

  const QRegion round = moxi::ringRegion({808, 608}, 15, 4);
  for (QPoint p : {QPoint(0, 300), QPoint(3, 300), QPoint(804, 300), QPoint(807, 300), QPoint(400, 0),
                   QPoint(400, 607), QPoint(5, 3), QPoint(3, 5)})
    EXPECT_TRUE(round.contains(p)) << p.x() << "," << p.y();
  for (QPoint p : {QPoint(4, 300), QPoint(803, 300), QPoint(400, 4), QPoint(0, 0), QPoint(807, 607), QPoint(400, 300), QPoint(7, 7)})
    EXPECT_FALSE(round.contains(p)) << p.x() << "," << p.y();
  // Nothing of the window inside, not even its corners.
  EXPECT_TRUE(round.intersected(QRect(4, 4, 800, 600)).isEmpty());
  EXPECT_TRUE(moxi::ringRegion({808, 608}, 15, 0).isEmpty());
}
