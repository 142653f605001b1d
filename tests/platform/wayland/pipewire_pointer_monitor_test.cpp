// The Wayland pointer monitor: which input devices it may read, and the
// pointer events it makes of the cast's positions and the buttons.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <tuple>
#include <vector>

#include "handoff/pointer_log.h"
#include "platform/wayland/pipewire_pointer_monitor.h"

using namespace moxi;

TEST(EvdevButtons, ReadsPointersAndNeverAKeyboard) {
  auto device = [](std::vector<int> keys, std::vector<int> rel, std::vector<int> abs) {
    InputCapabilities c;
    for (int k : keys) c.keys.set(k);
    for (int r : rel) c.relative.set(r);
    for (int a : abs) c.absolute.set(a);
    return c;
  };
  const std::tuple<const char*, InputCapabilities, bool> rows[] = {
      {"mouse", device({BTN_LEFT, BTN_RIGHT}, {REL_X, REL_Y, REL_WHEEL}, {}), true},
      {"touchpad", device({BTN_LEFT, BTN_TOUCH}, {}, {ABS_X, ABS_Y}), true},
      // A keyboard with a pointing stick types letters: never opened.
      {"keyboard with a stick", device({KEY_A, KEY_M, BTN_LEFT}, {REL_X, REL_Y}, {}), false},
      {"keyboard", device({KEY_A, KEY_Q, KEY_ENTER}, {}, {}), false},
      {"buttons without motion", device({BTN_LEFT}, {}, {}), false},
  };
  for (const auto& [name, caps, pointer] : rows) EXPECT_EQ(isPointerDevice(caps), pointer) << name;
  std::string why;
  EXPECT_EQ(EvdevButtons::open([](int, bool) {}, why, "/nonexistent"), nullptr);
  EXPECT_NE(why.find("Clicks are not logged"), std::string::npos) << why;
}

TEST(PipeWirePointerMonitor, PlacesButtonsAtTheLastPositionAndFlipsToTheBottomLeft) {
  int argc = 0;
  QCoreApplication app(argc, nullptr);
  PipeWirePointerMonitor monitor;
  std::vector<std::tuple<int, uint32_t, Point>> got;
  ASSERT_TRUE(monitor.install([&](const PointerEvent& e) { got.emplace_back(e.type, e.windowNumber, e.location); }));
  monitor.cursorMoved(36, true, 100, 30, 480);  // 30 from the top of 480: 450 from the bottom
  monitor.buttonChanged(BTN_LEFT, true);
  monitor.buttonChanged(BTN_LEFT, true);  // no change: no event
  monitor.cursorMoved(36, true, 120, 40, 480);
  monitor.buttonChanged(BTN_LEFT, false);
  monitor.buttonChanged(BTN_RIGHT, true);
  monitor.buttonChanged(BTN_RIGHT, false);  // a right release leaves no trace
  monitor.cursorMoved(36, false, 700, 40, 480);  // left the window
  QCoreApplication::processEvents();
  EXPECT_EQ(got, (std::vector<std::tuple<int, uint32_t, Point>>{
                     {kMouseMoved, 36, {100, 450}},       {kLeftMouseDown, 36, {100, 450}},
                     {kLeftMouseDragged, 36, {120, 440}}, {kLeftMouseUp, 36, {120, 440}},
                     {kRightMouseDown, 36, {120, 440}},   {kMouseMoved, 0, {700, 440}}}));
}
