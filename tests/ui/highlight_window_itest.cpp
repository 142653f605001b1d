// The outline on a real X server with openbox: what is on screen around a
// client window, where clicks go, and the stacking order.
#include <gtest/gtest.h>
#include <xcb/shape.h>

#include <QApplication>
#include <QWidget>
#include <algorithm>
#include <functional>

#include "harness/qt_environment.h"
#include "harness/test_desktop.h"
#include "harness/test_window.h"
#include "ui/highlight_window_controller.h"

using namespace std::chrono_literals;
using namespace moxi::test;
using moxi::HighlightWindowController;
using moxi::Rect;

namespace {

auto* const desktopEnv =
    ::testing::AddGlobalTestEnvironment(new DesktopEnvironment({.windowManager = true, .tray = false, .sound = false}));
auto* const qtEnv = ::testing::AddGlobalTestEnvironment(new QtEnvironment<QApplication>("highlight_itest"));

constexpr uint32_t kRed = 0xFF0000, kGreen = 0x00FF00;
constexpr uint32_t kBlue = 0x007AFF;  // the outline colour on a 24-bit visual

bool pumpUntil(const std::function<bool()>& condition) {
  return waitUntil(
      [&] {
        QCoreApplication::processEvents();
        return condition();
      },
      5s);
}

uint32_t at(const QImage& shot, int x, int y) { return shot.pixel(x, y) & 0xFFFFFF; }
int count(const QImage& shot, QRect r, uint32_t colour) {
  int n = 0;
  for (int y = r.top(); y <= r.bottom(); ++y)
    for (int x = r.left(); x <= r.right(); ++x) n += at(shot, x, y) == colour;
  return n;
}

// The four straight 4-pixel bands just outside `w`, leaving out the rounded corners.
std::vector<QRect> bandsAround(QRect w) {
  const int corner = 15 - 4;
  return {QRect(w.left() - 4, w.top() + corner, 4, w.height() - 2 * corner),
          QRect(w.right() + 1, w.top() + corner, 4, w.height() - 2 * corner),
          QRect(w.left() + corner, w.top() - 4, w.width() - 2 * corner, 4),
          QRect(w.left() + corner, w.bottom() + 1, w.width() - 2 * corner, 4)};
}

class HighlightOnDesktop : public ::testing::Test {
 protected:
  moxi::xcb::Connection x{DesktopEnvironment::desktop().display().c_str()};

  TestWindowOptions clientAt(int left, int top, int width, int height, uint32_t colour) {
    return TestWindowOptions().at(left, top).size(uint16_t(width), uint16_t(height)).paint(colour)
        .events(XCB_EVENT_MASK_BUTTON_PRESS);
  }
  // The client's frame in screen coordinates (bottom-left origin), as callers pass it.
  Rect screenFrame(const TestWindow& w) {
    const QRect r = w.rootFrame();
    return {double(r.x()), 1080.0 - (r.y() + r.height()), double(r.width()), double(r.height())};
  }
  bool outlined(QRect w) {
    const QImage shot = screenshot(x);
    if (shot.isNull()) return false;
    for (QRect band : bandsAround(w))
      if (count(shot, band, kBlue) != band.width() * band.height()) return false;
    return true;
  }
  bool noBlueAround(QRect w) { return count(screenshot(x), bandsAround(w)[0], kBlue) == 0; }
  // The ring and nothing else: the window's own colour inside, corners too,
  // nothing blue one pixel beyond, round outer corners.
  void expectOnlyTheRing(QRect w) {
    const QImage shot = screenshot(x);
    EXPECT_EQ(count(shot, w, kRed), w.width() * w.height());
    const QRect b = w.adjusted(-5, -5, 5, 5);
    for (QRect edge : {QRect(b.left(), b.top(), b.width(), 1), QRect(b.left(), b.top(), 1, b.height()),
                       QRect(b.right(), b.top(), 1, b.height()), QRect(b.left(), b.bottom(), b.width(), 1)})
      EXPECT_EQ(count(shot, edge, kBlue), 0);
    EXPECT_NE(at(shot, w.left() - 4, w.top() - 4), kBlue);
  }
  // The next button press delivered to `w`, if one comes.
  std::optional<QPoint> pressOn(const TestWindow& w) {
    std::optional<QPoint> press;
    waitUntil(
        [&] {
          while (moxi::xcb::Event e{xcb_poll_for_event(x.get())}) {
            auto* b = reinterpret_cast<xcb_button_press_event_t*>(e.get());
            if ((e->response_type & 0x7f) == XCB_BUTTON_PRESS && b->event == w.id()) press = QPoint(b->event_x, b->event_y);
          }
          return press.has_value();
        },
        5s);
    return press;
  }
  std::vector<xcb_window_t> bottomToTop() {
    auto tree = moxi::xcb::reply(x.get(), xcb_query_tree(x.get(), x.root()), xcb_query_tree_reply);
    if (!tree) return {};
    const xcb_window_t* c = xcb_query_tree_children(tree.get());
    return {c, c + xcb_query_tree_children_length(tree.get())};
  }
};

xcb_window_t overlayId(const HighlightWindowController& hv) { return xcb_window_t(hv.window()->winId()); }

}  // namespace

TEST_F(HighlightOnDesktop, RingsTheWindowLetsClicksThroughFollowsItAndOutlivesIt) {
  ASSERT_TRUE(x.ok());
  auto client = std::make_unique<TestWindow>(x, clientAt(300, 250, 400, 300, kRed));
  HighlightWindowController hv(client->id(), false, false);
  const QRect w = client->rootFrame();
  QCoreApplication::processEvents();
  EXPECT_TRUE(noBlueAround(w)) << "visible before the first updateFrame";
  hv.updateFrame(screenFrame(*client));
  ASSERT_TRUE(pumpUntil([&] { return outlined(w); })) << "no blue ring around the window";
  expectOnlyTheRing(w);

  auto input = moxi::xcb::reply(x.get(), xcb_shape_get_rectangles(x.get(), overlayId(hv), XCB_SHAPE_SK_INPUT),
                                xcb_shape_get_rectangles_reply);
  ASSERT_TRUE(input);
  EXPECT_EQ(input->rectangles_len, 0) << "the overlay accepts pointer input somewhere";
  for (QPoint p : {w.topLeft() + QPoint(1, 1), w.center()}) {
    xdotool({"mousemove", std::to_string(p.x()), std::to_string(p.y()), "click", "1"});
    EXPECT_EQ(pressOn(*client), p - w.topLeft());
  }

  hv.hide();
  ASSERT_TRUE(pumpUntil([&] { return noBlueAround(w); }));
  auto attributes = moxi::xcb::reply(x.get(), xcb_get_window_attributes(x.get(), overlayId(hv)),
                                     xcb_get_window_attributes_reply);
  ASSERT_TRUE(attributes);
  EXPECT_NE(attributes->map_state, XCB_MAP_STATE_VIEWABLE);

  xdotool({"windowmove", std::to_string(client->id()), "700", "500"});
  ASSERT_TRUE(waitUntil([&] { return client->rootFrame().topLeft() != w.topLeft(); }, 5s));
  const QRect moved = client->rootFrame();
  hv.updateFrame(screenFrame(*client));
  EXPECT_TRUE(pumpUntil([&] { return outlined(moved); })) << "not shown again, or not moved";
  EXPECT_TRUE(noBlueAround(w)) << "the old outline is still there";

  // The window closes under its outline: updates and hides do no harm.
  const Rect frame = screenFrame(*client);
  client.reset();
  hv.updateFrame({frame.x + 10, frame.y, frame.width, frame.height});
  hv.hide();
  hv.hide();
  QCoreApplication::processEvents();
  EXPECT_TRUE(hv.hidden);
  EXPECT_EQ(hv.alpha(), 0.0);
}

TEST_F(HighlightOnDesktop, StacksDirectlyAboveTheWindowOrAboveAllAndStaysOutOfTheClientList) {
  TestWindow captured(x, clientAt(100, 100, 400, 300, kRed));
  TestWindow cover(x, clientAt(350, 150, 300, 300, kGreen));  // mapped later, so in front
  HighlightWindowController hv(captured.id(), false, false);
  hv.updateFrame(screenFrame(captured));
  const xcb_window_t overlay = overlayId(hv);
  ASSERT_TRUE(pumpUntil([&] {
    auto order = bottomToTop();
    auto frame = std::ranges::find(order, captured.frameWindow());
    return frame != order.end() && frame + 1 != order.end() && frame[1] == overlay;
  })) << "the overlay is not directly above the captured window's frame";
  auto order = bottomToTop();
  EXPECT_LT(std::ranges::find(order, overlay), std::ranges::find(order, cover.frameWindow()));
  // The window in front also covers the outline.
  const QRect w = captured.rootFrame();
  ASSERT_TRUE(pumpUntil([&] { return at(screenshot(x), w.left() - 2, w.center().y()) == kBlue; }));
  EXPECT_EQ(at(screenshot(x), w.right() + 2, w.center().y()), kGreen);
  auto attributes =
      moxi::xcb::reply(x.get(), xcb_get_window_attributes(x.get(), overlay), xcb_get_window_attributes_reply);
  ASSERT_TRUE(attributes);
  EXPECT_TRUE(attributes->override_redirect);
  auto clients = moxi::xcb::cardinalProperty(x, x.root(), "_NET_CLIENT_LIST");
  ASSERT_TRUE(clients);
  EXPECT_EQ(std::ranges::count(*clients, overlay), 0);
  EXPECT_EQ(std::ranges::count(*clients, captured.id()), 1);
  hv.hide();

  // Above all: on the window's own edge pixels, square, on top of everything;
  // border-less: nothing at all.
  HighlightWindowController bare(captured.id(), true, false);
  HighlightWindowController top(captured.id(), false, true);
  bare.updateFrame(screenFrame(captured));
  top.updateFrame(screenFrame(captured));
  ASSERT_TRUE(pumpUntil([&] {
    const QImage shot = screenshot(x);
    return at(shot, w.left(), w.top()) == kBlue && at(shot, w.right() - 3, w.bottom() - 3) == kBlue;
  }));
  EXPECT_EQ(bottomToTop().back(), overlayId(top));
  top.hide();
  ASSERT_TRUE(pumpUntil([&] { return at(screenshot(x), w.left(), w.top()) == kRed; }));
  QCoreApplication::processEvents();
  EXPECT_EQ(count(screenshot(x), w.adjusted(-8, -8, 8, 8), kBlue), 0) << "a border-less overlay shows something";
}

TEST_F(HighlightOnDesktop, BlendsTheRingUnderACompositingManager) {
  auto compositorRunning = [&] {
    auto owner = moxi::xcb::reply(x.get(), xcb_get_selection_owner(x.get(), x.atom("_NET_WM_CM_S0")),
                                  xcb_get_selection_owner_reply);
    return owner && owner->owner != XCB_WINDOW_NONE;
  };
  {
    ChildProcess compositor({"xcompmgr"});
    ASSERT_TRUE(waitUntil(compositorRunning, 5s)) << "xcompmgr did not start (package xcompmgr)";
    TestWindow client(x, clientAt(400, 300, 320, 240, kRed));
    HighlightWindowController hv(client.id(), false, false);
    hv.updateFrame(screenFrame(client));
    const QRect w = client.rootFrame();
    ASSERT_TRUE(pumpUntil([&] { return outlined(w); })) << "no blue ring with a compositing manager";
    expectOnlyTheRing(w);
    // Transparency does the work here, not a shape.
    auto extents = moxi::xcb::reply(x.get(), xcb_shape_query_extents(x.get(), overlayId(hv)),
                                    xcb_shape_query_extents_reply);
    ASSERT_TRUE(extents);
    EXPECT_FALSE(extents->bounding_shaped);
  }
  EXPECT_TRUE(waitUntil([&] { return !compositorRunning(); }, 5s));
}
