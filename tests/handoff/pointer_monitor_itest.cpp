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
#include "platform/xcb.h"

using namespace moxi;
using namespace moxi::test;
using namespace std::chrono_literals;

static auto* env = ::testing::AddGlobalTestEnvironment(
    new DesktopEnvironment({.windowManager = true, .tray = false, .sound = false}));
static auto* qt = ::testing::AddGlobalTestEnvironment(new QtEnvironment<QCoreApplication>("pointer_monitor_itest"));

namespace {

struct ClientWindow {
  std::unique_ptr<ChildProcess> process;
  uint32_t id = 0;
  Rect rootFrame;  // top-left convention, without decorations
};

// An xev window, once the window manager shows it.
ClientWindow openWindow(const std::string& name, const std::string& geometry) {
  ClientWindow w;
  w.process = std::make_unique<ChildProcess>(std::vector<std::string>{"xev", "-name", name, "-geometry", geometry});
  xcb::Connection x;
  auto c = x.get();
  int polls = 0;
  auto shown = [&] {
    for (uint32_t id : xcb::cardinalProperty(x, x.root(), "_NET_CLIENT_LIST").value_or(std::vector<uint32_t>{})) {
      auto a = xcb::reply(c, xcb_get_window_attributes(c, id), xcb_get_window_attributes_reply);
      if (a && a->map_state == XCB_MAP_STATE_VIEWABLE && xcb::stringProperty(x, id, "WM_NAME") == name) {
        w.id = id;
        return true;
      }
    }
    // A freshly started openbox now and then drops a map request: ask again.
    auto tree = ++polls % 50 ? nullptr : xcb::reply(c, xcb_query_tree(c, x.root()), xcb_query_tree_reply);
    for (int i = 0; tree && i < xcb_query_tree_children_length(tree.get()); ++i)
      if (xcb::stringProperty(x, xcb_query_tree_children(tree.get())[i], "WM_NAME") == name)
        xcb_map_window(c, xcb_query_tree_children(tree.get())[i]);
    xcb_flush(c);
    return false;
  };
  EXPECT_TRUE(waitUntil(shown, 15s)) << name << " did not appear";
  auto g = xcb::reply(c, xcb_get_geometry(c, w.id), xcb_get_geometry_reply);
  auto t = xcb::reply(c, xcb_translate_coordinates(c, w.id, x.root(), 0, 0), xcb_translate_coordinates_reply);
  if (g && t) w.rootFrame = {double(t->dst_x), double(t->dst_y), double(g->width), double(g->height)};
  return w;
}

class PointerMonitorTest : public testing::Test {
 protected:
  // The types that came while the event loop ran until `count` events were
  // there, and a little longer so that extra events show up too.
  std::vector<int> collect(size_t count) {
    auto end = std::chrono::steady_clock::now() + 10s;
    while (events_.size() < count && std::chrono::steady_clock::now() < end) {
      QCoreApplication::processEvents();
      std::this_thread::sleep_for(5ms);
    }
    for (int i = 0; i < 60; ++i, std::this_thread::sleep_for(5ms)) QCoreApplication::processEvents();
    std::vector<int> types;
    for (const auto& e : events_) types.push_back(e.type);
    return types;
  }
  static std::string str(double v) { return std::to_string(int(v)); }

  std::vector<PointerEvent> events_;
};

}  // namespace

TEST_F(PointerMonitorTest, ReportsTypesWindowAndBottomLeftPositionOfEveryEvent) {
  ClientWindow target = openWindow("handoff-target", "400x300+300+200");
  ClientWindow other = openWindow("handoff-other", "300x200+1000+500");
  X11PointerMonitor monitor;
  auto token = monitor.install([this](const PointerEvent& e) { events_.push_back(e); });
  ASSERT_TRUE(token);

  // A warp makes no raw motion; the relative move after it does.
  Point inside{target.rootFrame.x + 60, target.rootFrame.y + 45};
  xdotool({"mousemove", str(inside.x - 10), str(inside.y - 5)});
  xdotool({"mousemove_relative", "10", "5"});
  xdotool({"click", "1"});
  xdotool({"click", "3"});  // the right release reports nothing
  xdotool({"key", "shift"});
  EXPECT_EQ(collect(6), (std::vector<int>{kMouseMoved, kLeftMouseDown, kLeftMouseUp, kRightMouseDown, kFlagsChanged,
                                          kFlagsChanged}));
  for (const auto& e : events_) {
    EXPECT_EQ(e.windowNumber, target.id);
    EXPECT_EQ(e.location, (Point{inside.x, 1080 - inside.y}));
  }

  events_.clear();
  for (const char* button : {"1", "3"}) {
    xdotool({"mousedown", button});
    xdotool({"mousemove_relative", "4", "0"});
    xdotool({"mouseup", button});
  }
  EXPECT_EQ(collect(5), (std::vector<int>{kLeftMouseDown, kLeftMouseDragged, kLeftMouseUp, kRightMouseDown,
                                          kRightMouseDragged}));

  // Over the window manager's title bar the events name the client too.
  events_.clear();
  xdotool({"mousemove", str(target.rootFrame.x + 50), str(target.rootFrame.y - 8)});
  xdotool({"mousemove_relative", "1", "0"});
  ASSERT_EQ(collect(1), std::vector<int>{kMouseMoved});
  EXPECT_EQ(events_[0].windowNumber, target.id);

  // Over another client the events carry that window's number.
  events_.clear();
  xdotool({"mousemove", str(other.rootFrame.x + 20), str(other.rootFrame.y + 20)});
  xdotool({"click", "1"});
  ASSERT_EQ(collect(2), (std::vector<int>{kLeftMouseDown, kLeftMouseUp}));
  EXPECT_EQ(events_[0].windowNumber, other.id);
  EXPECT_EQ(events_[0].location, (Point{other.rootFrame.x + 20, 1080 - (other.rootFrame.y + 20)}));

  // A handler that removes itself hears its event; the other handler goes on.
  events_.clear();
  std::vector<int> once;
  std::optional<PointerMonitor::Token> second;
  second = monitor.install([&](const PointerEvent& e) {
    once.push_back(e.type);
    monitor.remove(*second);
  });
  xdotool({"click", "1"});
  EXPECT_EQ(collect(2), (std::vector<int>{kLeftMouseDown, kLeftMouseUp}));
  EXPECT_EQ(once, std::vector<int>{kLeftMouseDown});

  // Removed, the handler hears nothing more.
  events_.clear();
  monitor.remove(*token);
  xdotool({"click", "1"});
  EXPECT_TRUE(collect(0).empty());
}
