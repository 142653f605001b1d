// The XInput 2 pointer monitor on a real X server with openbox: xdotool's
// moves, clicks and modifier keys over two client windows.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <chrono>
#include <thread>

#include "handoff/pointer_log.h"
#include "handoff/x11_pointer_monitor.h"
#include "harness/test_desktop.h"
#include "platform/xcb.h"

using namespace moxi;
using namespace moxi::test;
using namespace std::chrono_literals;

static auto* env = ::testing::AddGlobalTestEnvironment(
    new DesktopEnvironment({.windowManager = true, .tray = false, .sound = false}));

namespace {

struct ClientWindow {
  std::unique_ptr<ChildProcess> process;
  uint32_t id = 0;
  Rect rootFrame;  // top-left convention
};

ClientWindow openWindow(const std::string& name, const std::string& geometry) {
  ClientWindow w;
  w.process = std::make_unique<ChildProcess>(std::vector<std::string>{"xev", "-name", name, "-geometry", geometry});
  xcb::Connection x;
  int polls = 0;
  // Managed by the window manager (listed) and on screen.
  auto find = [&] {
    for (uint32_t id : xcb::cardinalProperty(x, x.root(), "_NET_CLIENT_LIST").value_or(std::vector<uint32_t>{})) {
      auto a = xcb::reply(x.get(), xcb_get_window_attributes(x.get(), id), xcb_get_window_attributes_reply);
      if (xcb::stringProperty(x, id, "WM_NAME") == name && a && a->map_state == XCB_MAP_STATE_VIEWABLE) {
        w.id = id;
        return true;
      }
    }
    // A freshly started openbox now and then drops a map request: ask again.
    if (++polls % 50 == 0) {
      auto tree = xcb::reply(x.get(), xcb_query_tree(x.get(), x.root()), xcb_query_tree_reply);
      const xcb_window_t* children = tree ? xcb_query_tree_children(tree.get()) : nullptr;
      for (int i = 0; tree && i < xcb_query_tree_children_length(tree.get()); ++i)
        if (xcb::stringProperty(x, children[i], "WM_NAME") == name) xcb_map_window(x.get(), children[i]);
      xcb_flush(x.get());
    }
    return false;
  };
  EXPECT_TRUE(waitUntil(find, 15s)) << name << " did not appear";
  auto g = xcb::reply(x.get(), xcb_get_geometry(x.get(), w.id), xcb_get_geometry_reply);
  auto t = xcb::reply(x.get(), xcb_translate_coordinates(x.get(), w.id, x.root(), 0, 0),
                      xcb_translate_coordinates_reply);
  EXPECT_TRUE(g && t);
  if (g && t) w.rootFrame = {static_cast<double>(t->dst_x), static_cast<double>(t->dst_y),
                             static_cast<double>(g->width), static_cast<double>(g->height)};
  return w;
}

void xdotool(std::vector<std::string> args) {
  args.insert(args.begin(), "xdotool");
  ASSERT_EQ(runCommand(args).exitCode, 0) << args[1];
}

class PointerMonitorTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { app_ = new QCoreApplication(argc_, argv_); }
  static void TearDownTestSuite() {
    delete app_;
    app_ = nullptr;
  }

  // Runs the event loop until `count` events came, then a little longer so
  // that extra events show up too.
  void collect(size_t count) {
    auto spin = [&](std::chrono::milliseconds d) {
      auto end = std::chrono::steady_clock::now() + d;
      while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents();
        if (events_.size() >= count && d > 1s) return;
        std::this_thread::sleep_for(5ms);
      }
    };
    spin(10s);
    spin(300ms);
  }

  std::vector<int> types() const {
    std::vector<int> t;
    for (const auto& e : events_) t.push_back(e.type);
    return t;
  }

  std::vector<PointerEvent> events_;
  static inline int argc_ = 1;
  static inline char arg0_[] = "pointer_monitor_itest";
  static inline char* argv_[] = {arg0_, nullptr};
  static inline QCoreApplication* app_ = nullptr;
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
  xdotool({"mousemove", std::to_string(int(inside.x) - 10), std::to_string(int(inside.y) - 5)});
  xdotool({"mousemove_relative", "10", "5"});
  collect(1);
  ASSERT_EQ(types(), std::vector<int>{kMouseMoved});
  EXPECT_EQ(events_[0].windowNumber, target.id);
  EXPECT_EQ(events_[0].location, (Point{inside.x, 1080 - inside.y}));

  events_.clear();
  xdotool({"click", "1"});
  xdotool({"click", "3"});  // the right release reports nothing
  xdotool({"key", "shift"});
  collect(5);
  EXPECT_EQ(types(), (std::vector<int>{kLeftMouseDown, kLeftMouseUp, kRightMouseDown, kFlagsChanged, kFlagsChanged}));
  for (const auto& e : events_) {
    EXPECT_EQ(e.windowNumber, target.id);
    EXPECT_EQ(e.location, (Point{inside.x, 1080 - inside.y}));
  }

  events_.clear();
  xdotool({"mousedown", "1"});
  xdotool({"mousemove_relative", "4", "0"});
  xdotool({"mouseup", "1"});
  xdotool({"mousedown", "3"});
  xdotool({"mousemove_relative", "4", "0"});
  xdotool({"mouseup", "3"});
  collect(5);
  EXPECT_EQ(types(), (std::vector<int>{kLeftMouseDown, kLeftMouseDragged, kLeftMouseUp, kRightMouseDown,
                                       kRightMouseDragged}));

  // Over the window manager's title bar the events name the client too.
  events_.clear();
  xdotool({"mousemove", std::to_string(int(target.rootFrame.x) + 50), std::to_string(int(target.rootFrame.y) - 8)});
  xdotool({"mousemove_relative", "1", "0"});
  collect(1);
  ASSERT_EQ(types(), std::vector<int>{kMouseMoved});
  EXPECT_EQ(events_[0].windowNumber, target.id);

  // Over another client the events carry that window's number.
  events_.clear();
  xdotool({"mousemove", std::to_string(int(other.rootFrame.x) + 20), std::to_string(int(other.rootFrame.y) + 20)});
  xdotool({"click", "1"});
  collect(2);
  ASSERT_EQ(types(), (std::vector<int>{kLeftMouseDown, kLeftMouseUp}));
  EXPECT_EQ(events_[0].windowNumber, other.id);
  EXPECT_EQ(events_[0].location, (Point{other.rootFrame.x + 20, 1080 - (other.rootFrame.y + 20)}));

  // Removed, the handler hears nothing more.
  events_.clear();
  monitor.remove(*token);
  xdotool({"click", "1"});
  collect(0);
  EXPECT_TRUE(events_.empty());
}

TEST_F(PointerMonitorTest, HandlersComeAndGoIndependently) {
  X11PointerMonitor monitor;
  std::vector<int> first, second;
  auto a = monitor.install([&](const PointerEvent& e) { first.push_back(e.type); });
  std::optional<PointerMonitor::Token> b;
  b = monitor.install([&](const PointerEvent& e) {
    second.push_back(e.type);
    monitor.remove(*b);  // removing itself from inside a handler
  });
  ASSERT_TRUE(a && b && *a != *b);
  xdotool({"mousemove", "900", "900"});
  xdotool({"click", "1"});
  auto end = std::chrono::steady_clock::now() + 10s;
  while (first.size() < 2 && std::chrono::steady_clock::now() < end) {
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(first, (std::vector<int>{kLeftMouseDown, kLeftMouseUp}));
  EXPECT_EQ(second, std::vector<int>{kLeftMouseDown});
}
