// The outline on a real X server with openbox: what is on screen around a
// client window, where clicks go, and the stacking order.
#include <gtest/gtest.h>
#include <xcb/shape.h>
#include <xcb/xcb.h>

#include <QApplication>
#include <QWidget>
#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "harness/qt_environment.h"
#include "harness/test_desktop.h"
#include "harness/test_window.h"
#include "platform/xcb.h"
#include "ui/highlight_window_controller.h"

using namespace std::chrono_literals;
using moxi::HighlightWindowController;
using moxi::Rect;
using moxi::test::DesktopEnvironment;
using moxi::test::runCommand;
using moxi::test::waitUntil;

namespace {

auto* const desktopEnv =
    ::testing::AddGlobalTestEnvironment(new DesktopEnvironment({.windowManager = true, .tray = false, .sound = false}));

auto* const qtEnv = ::testing::AddGlobalTestEnvironment(new moxi::test::QtEnvironment<QApplication>("highlight_itest"));

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

// A managed client window of one solid colour at a requested position.
class ClientWindow : public moxi::test::TestWindow {
 public:
  ClientWindow(moxi::xcb::Connection& x, int left, int top, int width, int height, uint32_t colour)
      : TestWindow(x, moxi::test::TestWindowOptions()
                          .at(left, top)
                          .size(uint16_t(width), uint16_t(height))
                          .paint(colour)
                          .events(XCB_EVENT_MASK_BUTTON_PRESS)),
        x_(x) {}

  xcb_window_t frameWindow() const {
    xcb_window_t w = id();
    for (;;) {
      auto tree = moxi::xcb::reply(x_.get(), xcb_query_tree(x_.get(), w), xcb_query_tree_reply);
      if (!tree || tree->parent == tree->root) return w;
      w = tree->parent;
    }
  }
  // Where the client is on the root window, in X pixels (top-left origin).
  std::optional<QRect> frame() const {
    auto g = moxi::xcb::reply(x_.get(), xcb_get_geometry(x_.get(), id()), xcb_get_geometry_reply);
    auto t = moxi::xcb::reply(x_.get(), xcb_translate_coordinates(x_.get(), id(), x_.root(), 0, 0),
                              xcb_translate_coordinates_reply);
    if (!g || !t) return std::nullopt;
    return QRect(t->dst_x, t->dst_y, g->width, g->height);
  }
  // The same frame in screen coordinates (bottom-left origin), as callers pass it.
  Rect screenFrame() const {
    const QRect r = *frame();
    const double screenHeight = x_.screen()->height_in_pixels;
    return {double(r.x()), screenHeight - (r.y() + r.height()), double(r.width()), double(r.height())};
  }
  // The next button press delivered to this window, if one comes.
  std::optional<QPoint> waitForButtonPress() {
    std::optional<QPoint> press;
    waitUntil(
        [&] {
          while (moxi::xcb::Event e{xcb_poll_for_event(x_.get())}) {
            if ((e->response_type & 0x7f) != XCB_BUTTON_PRESS) continue;
            auto* b = reinterpret_cast<xcb_button_press_event_t*>(e.get());
            if (b->event == id()) press = QPoint(b->event_x, b->event_y);
          }
          return press.has_value();
        },
        5s);
    return press;
  }

 private:
  moxi::xcb::Connection& x_;
};

// The screen's pixels (24-bit colour) in root coordinates.
class Screenshot {
 public:
  explicit Screenshot(moxi::xcb::Connection& x) {
    const auto* s = x.screen();
    width_ = s->width_in_pixels;
    height_ = s->height_in_pixels;
    auto image = moxi::xcb::reply(x.get(),
                                  xcb_get_image(x.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, x.root(), 0, 0, uint16_t(width_),
                                                uint16_t(height_), ~0u),
                                  xcb_get_image_reply);
    if (!image) return;
    const auto* data = reinterpret_cast<const uint32_t*>(xcb_get_image_data(image.get()));
    pixels_.assign(data, data + size_t(width_) * height_);
  }
  bool ok() const { return !pixels_.empty(); }
  uint32_t at(int x, int y) const { return pixels_[size_t(y) * width_ + x] & 0xFFFFFF; }
  // Pixels of `r` that differ from `colour`.
  int countNot(QRect r, uint32_t colour) const {
    int n = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
      for (int x = r.left(); x <= r.right(); ++x) n += at(x, y) != colour;
    return n;
  }
  int count(QRect r, uint32_t colour) const { return r.width() * r.height() - countNot(r, colour); }

 private:
  int width_ = 0, height_ = 0;
  std::vector<uint32_t> pixels_;
};

// The four straight 4-pixel bands just outside `w`, leaving out the rounded corners.
std::vector<QRect> bandsAround(QRect w) {
  const int corner = 15 - 4;
  return {QRect(w.left() - 4, w.top() + corner, 4, w.height() - 2 * corner),
          QRect(w.right() + 1, w.top() + corner, 4, w.height() - 2 * corner),
          QRect(w.left() + corner, w.top() - 4, w.width() - 2 * corner, 4),
          QRect(w.left() + corner, w.bottom() + 1, w.width() - 2 * corner, 4)};
}

bool outlinedBlue(moxi::xcb::Connection& x, QRect w) {
  Screenshot shot(x);
  if (!shot.ok()) return false;
  for (QRect band : bandsAround(w))
    if (shot.countNot(band, kBlue) != 0) return false;
  return true;
}

// The ring and nothing else: the window's own colour inside, corners too,
// nothing blue one pixel beyond, round outer corners.
void expectOnlyTheRing(const Screenshot& shot, QRect w) {
  EXPECT_EQ(shot.countNot(w, kRed), 0);
  const QRect b = w.adjusted(-5, -5, 5, 5);
  for (QRect edge : {QRect(b.left(), b.top(), b.width(), 1), QRect(b.left(), b.top(), 1, b.height()),
                     QRect(b.right(), b.top(), 1, b.height()), QRect(b.left(), b.bottom(), b.width(), 1)})
    EXPECT_EQ(shot.count(edge, kBlue), 0);
  EXPECT_NE(shot.at(w.left() - 4, w.top() - 4), kBlue);
}

std::vector<xcb_window_t> rootChildrenBottomToTop(moxi::xcb::Connection& x) {
  auto tree = moxi::xcb::reply(x.get(), xcb_query_tree(x.get(), x.root()), xcb_query_tree_reply);
  if (!tree) return {};
  const xcb_window_t* c = xcb_query_tree_children(tree.get());
  return {c, c + xcb_query_tree_children_length(tree.get())};
}

xcb_window_t overlayId(const HighlightWindowController& hv) { return xcb_window_t(hv.window()->winId()); }

class HighlightOnDesktop : public ::testing::Test {
 protected:
  moxi::xcb::Connection x{DesktopEnvironment::desktop().display().c_str()};
};

}  // namespace

TEST_F(HighlightOnDesktop, OutlinesTheWindowAndCoversNoneOfIt) {
  ASSERT_TRUE(x.ok());
  ClientWindow client(x, 300, 250, 400, 300, kRed);
  HighlightWindowController hv(client.id(), false, false);
  const QRect w = *client.frame();
  QCoreApplication::processEvents();
  EXPECT_EQ(Screenshot(x).count(bandsAround(w)[0], kBlue), 0) << "visible before the first updateFrame";
  hv.updateFrame(client.screenFrame());
  ASSERT_TRUE(pumpUntil([&] { return outlinedBlue(x, w); })) << "no blue ring around the window";

  expectOnlyTheRing(Screenshot(x), w);

  hv.hide();
  ASSERT_TRUE(pumpUntil([&] { return Screenshot(x).count(bandsAround(w)[0], kBlue) == 0; }));
  auto attributes = moxi::xcb::reply(x.get(), xcb_get_window_attributes(x.get(), overlayId(hv)),
                                     xcb_get_window_attributes_reply);
  ASSERT_TRUE(attributes);
  EXPECT_NE(attributes->map_state, XCB_MAP_STATE_VIEWABLE);
  hv.updateFrame(client.screenFrame());
  EXPECT_TRUE(pumpUntil([&] { return outlinedBlue(x, w); })) << "not shown again after hide";
}

TEST_F(HighlightOnDesktop, ClicksUnderTheOutlineReachTheWindow) {
  ClientWindow client(x, 200, 200, 300, 200, kRed);
  HighlightWindowController hv(client.id(), false, false);
  hv.updateFrame(client.screenFrame());
  const QRect w = *client.frame();
  ASSERT_TRUE(pumpUntil([&] { return outlinedBlue(x, w); }));

  auto input = moxi::xcb::reply(x.get(), xcb_shape_get_rectangles(x.get(), overlayId(hv), XCB_SHAPE_SK_INPUT),
                                xcb_shape_get_rectangles_reply);
  ASSERT_TRUE(input);
  EXPECT_EQ(input->rectangles_len, 0) << "the overlay accepts pointer input somewhere";

  ASSERT_EQ(runCommand({"xdotool", "mousemove", std::to_string(w.left() + 1), std::to_string(w.top() + 1), "click",
                        "1"})
                .exitCode,
            0);
  EXPECT_EQ(client.waitForButtonPress(), QPoint(1, 1));
  ASSERT_EQ(runCommand({"xdotool", "mousemove", std::to_string(w.center().x()), std::to_string(w.center().y()),
                        "click", "1"})
                .exitCode,
            0);
  EXPECT_EQ(client.waitForButtonPress(), w.center() - w.topLeft());
}

TEST_F(HighlightOnDesktop, StacksDirectlyAboveTheWindowAndStaysOutOfTheClientList) {
  ClientWindow captured(x, 100, 100, 400, 300, kRed);
  ClientWindow cover(x, 350, 150, 300, 300, kGreen);  // mapped later, so in front
  HighlightWindowController hv(captured.id(), false, false);
  hv.updateFrame(captured.screenFrame());
  const xcb_window_t overlay = overlayId(hv);
  ASSERT_TRUE(pumpUntil([&] {
    auto order = rootChildrenBottomToTop(x);
    auto frame = std::ranges::find(order, captured.frameWindow());
    return frame != order.end() && frame + 1 != order.end() && frame[1] == overlay;
  })) << "the overlay is not directly above the captured window's frame";
  auto order = rootChildrenBottomToTop(x);
  EXPECT_LT(std::ranges::find(order, overlay), std::ranges::find(order, cover.frameWindow()));

  // The window in front also covers the outline.
  const QRect w = *captured.frame();
  ASSERT_TRUE(pumpUntil([&] { return Screenshot(x).at(w.left() - 2, w.center().y()) == kBlue; }));
  EXPECT_EQ(Screenshot(x).at(w.right() + 2, w.center().y()), kGreen);

  auto attributes =
      moxi::xcb::reply(x.get(), xcb_get_window_attributes(x.get(), overlay), xcb_get_window_attributes_reply);
  ASSERT_TRUE(attributes);
  EXPECT_TRUE(attributes->override_redirect);
  auto clients = moxi::xcb::cardinalProperty(x, x.root(), "_NET_CLIENT_LIST");
  ASSERT_TRUE(clients);
  EXPECT_EQ(std::ranges::count(*clients, overlay), 0);
  EXPECT_EQ(std::ranges::count(*clients, captured.id()), 1);
}

TEST_F(HighlightOnDesktop, FollowsAMovedWindow) {
  ClientWindow client(x, 150, 150, 300, 200, kRed);
  HighlightWindowController hv(client.id(), false, false);
  hv.updateFrame(client.screenFrame());
  const QRect before = *client.frame();
  ASSERT_TRUE(pumpUntil([&] { return outlinedBlue(x, before); }));

  ASSERT_EQ(runCommand({"xdotool", "windowmove", std::to_string(client.id()), "700", "500"}).exitCode, 0);
  ASSERT_TRUE(waitUntil([&] { return client.frame()->topLeft() != before.topLeft(); }, 5s));
  const QRect after = *client.frame();
  hv.updateFrame(client.screenFrame());
  EXPECT_TRUE(pumpUntil([&] { return outlinedBlue(x, after); })) << "the outline did not move";
  EXPECT_EQ(Screenshot(x).count(bandsAround(before)[0], kBlue), 0) << "the old outline is still there";
}

TEST_F(HighlightOnDesktop, BorderlessShowsNothingAndAboveAllGoesOnTop) {
  ClientWindow captured(x, 100, 100, 300, 200, kRed);
  ClientWindow cover(x, 600, 600, 100, 100, kGreen);
  HighlightWindowController bare(captured.id(), true, false);
  HighlightWindowController top(captured.id(), false, true);
  bare.updateFrame(captured.screenFrame());
  top.updateFrame(captured.screenFrame());
  const QRect w = *captured.frame();
  // The above-all outline lies on the window's own edge pixels, square.
  ASSERT_TRUE(pumpUntil([&] {
    Screenshot shot(x);
    return shot.at(w.left(), w.top()) == kBlue && shot.at(w.right() - 3, w.bottom() - 3) == kBlue;
  }));
  EXPECT_EQ(rootChildrenBottomToTop(x).back(), overlayId(top));

  top.hide();
  ASSERT_TRUE(pumpUntil([&] { return Screenshot(x).at(w.left(), w.top()) == kRed; }));
  QCoreApplication::processEvents();
  Screenshot shot(x);
  EXPECT_EQ(shot.count(w.adjusted(-8, -8, 8, 8), kBlue), 0) << "a border-less overlay shows something";
}

TEST_F(HighlightOnDesktop, AClosedWindowIsHarmless) {
  std::unique_ptr<ClientWindow> client = std::make_unique<ClientWindow>(x, 100, 100, 200, 200, kRed);
  HighlightWindowController hv(client->id(), false, false);
  const Rect frame = client->screenFrame();
  hv.updateFrame(frame);
  client.reset();
  hv.updateFrame({frame.x + 10, frame.y, frame.width, frame.height});
  hv.hide();
  hv.hide();
  QCoreApplication::processEvents();
  EXPECT_TRUE(hv.hidden);
  EXPECT_EQ(hv.alpha(), 0.0);
}

TEST_F(HighlightOnDesktop, BlendsTheRingUnderACompositingManager) {
  auto compositorRunning = [&] {
    const xcb_atom_t selection = x.atom("_NET_WM_CM_S0");
    auto owner = moxi::xcb::reply(x.get(), xcb_get_selection_owner(x.get(), selection), xcb_get_selection_owner_reply);
    return owner && owner->owner != XCB_WINDOW_NONE;
  };
  {
    moxi::test::ChildProcess compositor({"xcompmgr"});
    ASSERT_TRUE(waitUntil(compositorRunning, 5s)) << "xcompmgr did not start (package xcompmgr)";
    ClientWindow client(x, 400, 300, 320, 240, kRed);
    HighlightWindowController hv(client.id(), false, false);
    hv.updateFrame(client.screenFrame());
    const QRect w = *client.frame();
    ASSERT_TRUE(pumpUntil([&] { return outlinedBlue(x, w); })) << "no blue ring with a compositing manager";
    expectOnlyTheRing(Screenshot(x), w);
    // Transparency does the work here, not a shape.
    auto extents = moxi::xcb::reply(x.get(), xcb_shape_query_extents(x.get(), overlayId(hv)),
                                    xcb_shape_query_extents_reply);
    ASSERT_TRUE(extents);
    EXPECT_FALSE(extents->bounding_shaped);
  }
  EXPECT_TRUE(waitUntil([&] { return !compositorRunning(); }, 5s));
}
