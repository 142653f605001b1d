// The XInput 2 pointer monitor on a real X server with openbox: xdotool's
// moves, clicks and modifier keys over two client windows.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <chrono>
#include <thread>

#include "handoff/pointer_log.h"
#include "handoff/x11_pointer_monitor.h"
#include "harness/qt_environment.h"
#include "harness/test_desktop.h"
#include "harness/test_window.h"

using namespace moxi;
using namespace moxi::test;
using namespace std::chrono_literals;

static auto* env = ::testing::AddGlobalTestEnvironment(
    new DesktopEnvironment({.windowManager = true, .tray = false, .sound = false}));
static auto* qt = ::testing::AddGlobalTestEnvironment(new QtEnvironment<QCoreApplication>("pointer_monitor_itest"));

namespace {

std::vector<PointerEvent> events, batch;  // coming in, and the last collected

// The types that came while the event loop ran until `count` events were
// there, and a little longer so that extra events show up too.
std::vector<int> collect(size_t count) {
  auto end = std::chrono::steady_clock::now() + 10s;
  while (events.size() < count && std::chrono::steady_clock::now() < end) {
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(5ms);
  }
  for (int i = 0; i < 60; ++i, std::this_thread::sleep_for(5ms)) QCoreApplication::processEvents();
  std::vector<int> types;
  for (const auto& e : events) types.push_back(e.type);
  batch = std::move(events);
  events.clear();
  return types;
}

std::string str(int v) { return std::to_string(v); }

}  // namespace

TEST(PointerMonitor, ReportsTypesWindowAndBottomLeftPositionOfEveryEvent) {
  xcb::Connection x;
  TestWindow target(x, TestWindowOptions().at(300, 200).size(400, 300).netName("target"));
  TestWindow other(x, TestWindowOptions().at(1000, 500).size(300, 200).netName("other"));
  const QRect t = target.rootFrame(), o = other.rootFrame();
  X11PointerMonitor monitor;
  auto token = monitor.install([](const PointerEvent& e) { events.push_back(e); });
  ASSERT_TRUE(token);

  // A warp makes no raw motion; the relative move after it does.
  const QPoint inside = t.topLeft() + QPoint(60, 45);
  xdotool({"mousemove", str(inside.x() - 10), str(inside.y() - 5)});
  xdotool({"mousemove_relative", "10", "5"});
  xdotool({"click", "1"});
  xdotool({"click", "3"});  // the right release reports nothing
  xdotool({"key", "shift"});
  EXPECT_EQ(collect(6), (std::vector<int>{kMouseMoved, kLeftMouseDown, kLeftMouseUp, kRightMouseDown, kFlagsChanged,
                                          kFlagsChanged}));
  for (const auto& e : batch) {
    EXPECT_EQ(e.windowNumber, target.id());
    EXPECT_EQ(e.location, (Point{double(inside.x()), double(1080 - inside.y())}));
  }

  for (const char* button : {"1", "3"})
    xdotool({"mousedown", button, "mousemove_relative", "4", "0", "mouseup", button});
  EXPECT_EQ(collect(5), (std::vector<int>{kLeftMouseDown, kLeftMouseDragged, kLeftMouseUp, kRightMouseDown,
                                          kRightMouseDragged}));

  // Over the window manager's title bar the events name the client too.
  xdotool({"mousemove", str(t.x() + 50), str(t.y() - 8)});
  xdotool({"mousemove_relative", "1", "0"});
  ASSERT_EQ(collect(1), std::vector<int>{kMouseMoved});
  EXPECT_EQ(batch[0].windowNumber, target.id());

  // Over another client the events carry that window's number and position.
  xdotool({"mousemove", str(o.x() + 20), str(o.y() + 20)});
  xdotool({"click", "1"});
  ASSERT_EQ(collect(2), (std::vector<int>{kLeftMouseDown, kLeftMouseUp}));
  EXPECT_EQ(batch[0].windowNumber, other.id());
  EXPECT_EQ(batch[0].location, (Point{double(o.x() + 20), double(1080 - (o.y() + 20))}));

  // A handler that removes itself hears its event; the other handler goes on
  // until it is removed too.
  std::vector<int> once;
  std::optional<PointerMonitor::Token> second;
  second = monitor.install([&](const PointerEvent& e) { once.push_back(e.type), monitor.remove(*second); });
  xdotool({"click", "1"});
  EXPECT_EQ(collect(2), (std::vector<int>{kLeftMouseDown, kLeftMouseUp}));
  monitor.remove(*token);
  xdotool({"click", "1"});
  EXPECT_TRUE(collect(0).empty());
  EXPECT_EQ(once, std::vector<int>{kLeftMouseDown});
}
