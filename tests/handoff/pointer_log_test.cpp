// Which pointer events become samples of the log, and with what values.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "handoff/click_description.h"
#include "handoff/pointer_log.h"

using namespace moxi;

namespace {
constexpr uint32_t kWindow = 0x1200007;
const Rect kFrame{100, 200, 640, 480};  // bottom-left convention

std::optional<MouseEvent> sample(int type, Point p, uint32_t window = kWindow, std::optional<Rect> frame = kFrame) {
  return pointerSample(type, window, kWindow, frame, p, 1000.0, 1002.5);
}
}  // namespace

TEST(PointerSample, KeepsEventsOverTheWindowEdgesIncluded) {
  EXPECT_EQ(sample(kMouseMoved, {150.5, 260}), (MouseEvent{50.5, 60, false, 2.5}));
  EXPECT_EQ(sample(kLeftMouseDown, {100, 200}), (MouseEvent{0, 0, true, 2.5}));
  EXPECT_EQ(sample(kRightMouseDown, {740, 680}), (MouseEvent{640, 480, true, 2.5}));
  for (int type : {kLeftMouseUp, kLeftMouseDragged, kRightMouseDragged, kFlagsChanged})
    EXPECT_EQ(sample(type, {740, 200}), (MouseEvent{640, 0, false, 2.5})) << type;
}

TEST(PointerSample, DropsEventsOutsideFromOtherWindowsOrOfOtherTypes) {
  EXPECT_FALSE(sample(kLeftMouseDown, {99, 300}));
  EXPECT_FALSE(sample(kLeftMouseDown, {740.001, 300}));
  EXPECT_FALSE(sample(kLeftMouseDown, {300, 199.5}));
  EXPECT_FALSE(sample(kLeftMouseDown, {300, 681}));
  EXPECT_FALSE(sample(kLeftMouseDown, {300, 300}, kWindow + 1));
  EXPECT_FALSE(sample(kLeftMouseDown, {300, 300}, kWindow, std::nullopt));  // window gone
  EXPECT_FALSE(sample(kRightMouseUp, {300, 300}));
  EXPECT_FALSE(sample(0, {300, 300}));
  EXPECT_FALSE(sample(40, {300, 300}));
}

TEST(ClickDescription, PrefixAloneWithoutClicks) {
  EXPECT_EQ(clickDescription({1064, 860}, {}), "moxiscope:");
  EXPECT_EQ(clickDescription({1064, 860}, {{5, 5, false, 1}, {6, 6, false, 2}}), "moxiscope:");
}

TEST(ClickDescription, SizeThenOneGroupPerClickTruncatedTowardsZero) {
  EXPECT_EQ(clickDescription({1064.9, 860.2}, {{99.9, 300.7, true, 0.0009}}), "moxiscope:1064,860,99,300,0");
  std::vector<MouseEvent> log{{512.4, 300.9, true, 1.534}, {1, 1, false, 2}, {80.99, 122.5, true, 4.0109}};
  EXPECT_EQ(clickDescription({1064, 860}, log), "moxiscope:1064,860,512,300,1534,80,122,4010");
  EXPECT_EQ(clickDescription({10, 10}, {{-0.5, -1.7, true, -0.0025}}), "moxiscope:10,10,0,-1,-2");
}

TEST(ClickDescription, UnrepresentableValuesAreLeftOut) {
  double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(clickDescription({10, 10}, {{std::nan(""), 1, true, 1}, {1, 2, true, 1e300}, {3, 4, true, 0.5}}),
            "moxiscope:10,10,3,4,500");
  EXPECT_EQ(clickDescription({inf, 1e19}, {{1, 2, true, 0}}), "moxiscope:0,0,1,2,0");
  EXPECT_EQ(clickDescription({1, 1}, {{-9.2e18, 0, true, 0}}), "moxiscope:1,1,-9200000000000000000,0,0");
}
