#include "capture/quick_record.h"

#include <gtest/gtest.h>

using namespace moxi;

TEST(QuickRecord, ConvertsThePointerAgainstTheMainScreen) {
  EXPECT_EQ(pointerInWindowFrames({100, 700}, 900.0), (Point{100, 200}));
  EXPECT_EQ(pointerInWindowFrames({100, 700}, std::nullopt), (Point{100, 700}));
}

TEST(QuickRecord, FrontMostContainingFrameWinsWithLeftAndTopEdgesInside) {
  std::vector<Rect> frames{{50, 150, 400, 300}, {0, 0, 1000, 1000}};
  EXPECT_EQ(firstFrameContaining(frames, {100, 200}), 0u);
  EXPECT_EQ(firstFrameContaining(frames, {50, 150}), 0u);   // left/top edge: inside
  EXPECT_EQ(firstFrameContaining(frames, {450, 200}), 1u);  // right edge: outside, falls to the one behind
  EXPECT_EQ(firstFrameContaining(frames, {100, 450}), 1u);  // bottom edge: outside
  EXPECT_EQ(firstFrameContaining(frames, {2000, 2000}), std::nullopt);
  EXPECT_EQ(firstFrameContaining({}, {1, 1}), std::nullopt);
}
