// The catalogue's filter, order, titles and thumbnails, and the window
// lookups, over a fake window server.
#include "capture/window_catalogue.h"

#include <gtest/gtest.h>

#include <QPainter>
#include <cmath>
#include <limits>

#include "fake_window_server_support.h"

using namespace moxi;
using moxi::test::FakeWindowServer;

namespace {

std::vector<uint32_t> ids(const std::vector<CapturableWindow>& list) {
  std::vector<uint32_t> out;
  for (const auto& w : list) out.push_back(w.windowID);
  return out;
}

std::vector<CapturableWindow> listed(FakeWindowServer& server) {
  std::optional<CaptureDisplay> display;
  auto list = listWindows(server, display);
  EXPECT_TRUE(list.has_value());
  return list.value_or(std::vector<CapturableWindow>{});
}

}  // namespace

TEST(WindowCatalogue, KeepsWindowsOfLayerTwoOrBelowAndAtLeast64By16) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  FakeWindowServer server;
  server.addWindow(1, {0, 0, 63.9, 100});
  server.addWindow(2, {0, 0, 64, 16});
  server.addWindow(3, {0, 0, 100, 15.9});
  server.addWindow(4, {0, 0, 100, 100}, 3);
  server.addWindow(5, {0, 0, 100, 100}, 2);
  server.addWindow(6, {0, 0, 100, 100}, -1);
  server.addWindow(7, {0, 0, nan, 100});
  server.addWindow(8, {0, 0, 100, nan});
  server.addWindow(9, {0, 0, 100, 100}, 20);
  EXPECT_EQ(ids(listed(server)), (std::vector<uint32_t>{2, 5, 6}));
}

TEST(WindowCatalogue, OrdersFrontToBackAndPlacesUnlistedWindowsStably) {
  FakeWindowServer server;
  for (uint32_t id : {10, 11, 12}) server.addWindow(id, {0, 0, 200, 200});  // A, B, C
  server.order = {12, 10, 11};
  EXPECT_EQ(ids(listed(server)), (std::vector<uint32_t>{12, 10, 11}));

  // A window the window server does not list keeps its place; one the
  // capture service does not report is not listed at all.
  server.addWindow(13, {0, 0, 200, 200});
  server.content->windows.insert(server.content->windows.begin(), server.content->windows.back());
  server.content->windows.pop_back();  // content: 13, 10, 11, 12
  server.order = {99, 11, 12, 10, 11};
  EXPECT_EQ(ids(listed(server)), (std::vector<uint32_t>{13, 11, 12, 10}));

  server.order.clear();  // no on-screen list: the capture service's order stays
  EXPECT_EQ(ids(listed(server)), (std::vector<uint32_t>{13, 10, 11, 12}));
}

TEST(WindowCatalogue, TitlesNameTheApplicationAndTheWindow) {
  FakeWindowServer server;
  server.addWindow(1, {0, 0, 100, 100}) = {1, {0, 0, 100, 100}, 0, "Report", OwningApplication{"Editor", 7}};
  server.addWindow(2, {0, 0, 100, 100}) = {2, {0, 0, 100, 100}, 0, std::nullopt, OwningApplication{"Editor", 7}};
  server.addWindow(3, {0, 0, 100, 100}) = {3, {0, 0, 100, 100}, 0, "", OwningApplication{"Editor", 7}};
  server.addWindow(4, {0, 0, 100, 100}) = {4, {0, 0, 100, 100}, 0, "Report", std::nullopt};
  server.addWindow(5, {0, 0, 100, 100}) = {5, {0, 0, 100, 100}, 0, std::nullopt, std::nullopt};
  auto list = listed(server);
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list[0].title, "Editor - Report");
  EXPECT_EQ(list[1].title, "Editor - notitle");
  EXPECT_EQ(list[2].title, "Editor - ");
  EXPECT_EQ(list[3].title, "Report");
  EXPECT_EQ(list[4].title, "notitle");
  EXPECT_EQ(list[0].window.owningApplication->processID, 7);
}

TEST(WindowCatalogue, ThumbnailsFitA64PointBoxAndAreScaledOnlyWhenDrawn) {
  EXPECT_EQ(thumbnailSize({1600, 800}), (Size{64, 32}));
  const Size tall = thumbnailSize({300, 900});
  EXPECT_DOUBLE_EQ(tall.width, 64.0 / 3);
  EXPECT_DOUBLE_EQ(tall.height, 64);
  EXPECT_EQ(thumbnailSize({32, 32}), (Size{64, 64}));

  // A window without a picture gets no entry; the entry keeps the full picture.
  FakeWindowServer server;
  server.addWindow(1, {0, 0, 1600, 800});
  server.addWindow(2, {0, 0, 300, 900});
  server.pictures.erase(2);
  server.pictures[1].fill(QColor(200, 30, 40));
  auto list = listed(server);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].img.size(), (Size{64, 32}));
  EXPECT_EQ(list[0].img.picture()->size(), QSize(1600, 800));

  // Drawing replaces what is below (copy), scaled into the target.
  QImage canvas(100, 50, QImage::Format_ARGB32_Premultiplied);
  canvas.fill(Qt::white);
  {
    QPainter painter(&canvas);
    painter.setOpacity(0.3);
    list[0].img.draw(painter, QRectF(10, 5, 64, 32));
    EXPECT_DOUBLE_EQ(painter.opacity(), 0.3);  // the painter's state is kept
  }
  EXPECT_EQ(canvas.pixel(42, 20), QColor(200, 30, 40).rgb());
  EXPECT_EQ(canvas.pixel(5, 20), QColor(Qt::white).rgb());
  const QImage small = list[0].img.render();
  EXPECT_EQ(small.size(), QSize(64, 32));
  EXPECT_EQ(small.pixel(0, 0), QColor(200, 30, 40).rgb());
  EXPECT_EQ(list[0].img.render(QSize(128, 64)).pixel(127, 63), QColor(200, 30, 40).rgb());
}

TEST(WindowCatalogue, RefusalLeavesTheSharedDisplayAlone) {
  FakeWindowServer server;
  server.addWindow(1, {0, 0, 100, 100});
  std::optional<CaptureDisplay> display = CaptureDisplay{5, {0, 0, 800, 600}};

  server.content.reset();
  testing::internal::CaptureStdout();
  EXPECT_FALSE(listWindows(server, display).has_value());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "error listWindows, no permission\n");
  ASSERT_TRUE(display.has_value());
  EXPECT_EQ(display->displayID, 5u);

  // No display reported: nothing shared, the windows are still listed.
  server.content = ShareableContent{};
  server.addWindow(1, {0, 0, 100, 100});
  auto list = listWindows(server, display);
  EXPECT_FALSE(display.has_value());
  ASSERT_TRUE(list.has_value());
  EXPECT_EQ(list->size(), 1u);

  server.content->displays = {{8, {0, 0, 1920, 1080}}, {9, {1920, 0, 1280, 1024}}};
  listWindows(server, display);
  EXPECT_EQ(display->displayID, 8u);
}

TEST(WindowLookups, FlipBetweenTopLeftAndBottomLeftAboutThePrimaryScreen) {
  FakeWindowServer server;
  server.screen = Rect{0, 0, 1440, 900};
  EXPECT_EQ(flippedRect(Rect{100, 150, 400, 300}, server), (Rect{100, 450, 400, 300}));
  EXPECT_EQ(flippedRect(Rect{100, 450, 400, 300}, server), (Rect{100, 150, 400, 300}));
  server.screen.reset();
  EXPECT_EQ(flippedRect(Rect{100, 150, 400, 300}, server), (Rect{100, -450, 400, 300}));

  server.screen = Rect{0, 0, 1440, 900};
  server.bounds[4] = {100, 150, 400, 300};
  EXPECT_EQ(currentWindowFrame(server, 4), (Rect{100, 450, 400, 300}));
  EXPECT_FALSE(currentWindowFrame(server, 5).has_value());
}

TEST(WindowLookups, ActivatesOnlyAnOnScreenWindowWhoseProcessRuns) {
  FakeWindowServer server;
  server.owners = {{1, 100}, {2, 200}};
  server.runningProcesses = {100};
  activateOwningApplication(server, 1);
  activateOwningApplication(server, 2);  // its process has ended
  activateOwningApplication(server, 3);  // not on screen
  EXPECT_EQ(server.activated, (std::vector<uint32_t>{1}));
}
