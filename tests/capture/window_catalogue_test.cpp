// The catalogue's filter, order, titles and thumbnails, and the window
// lookups, over a fake window server.
#include "capture/window_catalogue.h"

#include <gtest/gtest.h>

#include "capture/quick_record.h"
#include "fake_window_server_support.h"

using namespace moxi;
using moxi::test::FakeWindowServer;

namespace {

std::vector<CapturableWindow> listed(FakeWindowServer& server) {
  std::optional<CaptureDisplay> display;
  return listWindows(server, display).value_or(std::vector<CapturableWindow>{});
}

std::vector<uint32_t> ids(FakeWindowServer& server) {
  std::vector<uint32_t> out;
  for (const auto& w : listed(server)) out.push_back(w.windowID);
  return out;
}

}  // namespace

// A window the window server does not list keeps its place; one the
// capture service does not report is not listed at all.
TEST(WindowCatalogue, ListsFrontToBackTheWindowsTheCaptureServiceReports) {
  FakeWindowServer server;
  for (uint32_t id : {13, 10, 11, 12}) server.addWindow(id, {0, 0, 200, 200});
  server.order = {99, 11, 12, 10, 11};
  EXPECT_EQ(ids(server), (std::vector<uint32_t>{13, 11, 12, 10}));
  server.order.clear();  // no on-screen list: the capture service's order stays
  EXPECT_EQ(ids(server), (std::vector<uint32_t>{13, 10, 11, 12}));
}

TEST(WindowCatalogue, AWindowWithoutAPictureIsLeftOutThumbnailsScaleWhenDrawnAndTheSharedDisplayIsTheFirst) {
  FakeWindowServer server;
  server.addWindow(1, {0, 0, 160, 80});
  server.addWindow(2, {0, 0, 100, 100});
  server.pictures.erase(2);
  server.pictures[1].fill(QColor(200, 30, 40));
  const auto list = listed(server);
  ASSERT_EQ(list.size(), 1u);
  // An entry keeps the full picture and scales it only when drawn.
  EXPECT_EQ(list[0].img.render(QSize(128, 64)).pixel(127, 63), QColor(200, 30, 40).rgb());

  // A refusal leaves the display alone; no display reported shares nothing.
  std::optional<CaptureDisplay> display = CaptureDisplay{5, {0, 0, 800, 600}};
  auto content = std::exchange(server.content, std::nullopt);
  EXPECT_FALSE(listWindows(server, display).has_value());
  EXPECT_EQ(display->displayID, 5u);
  server.content = content;
  EXPECT_EQ(listWindows(server, display)->size(), 1u);
  EXPECT_FALSE(display.has_value());
  server.content->displays = {{8, {0, 0, 1920, 1080}}, {9, {1920, 0, 1280, 1024}}};
  listWindows(server, display);
  EXPECT_EQ(display->displayID, 8u);
}

TEST(WindowLookups, FlipAboutThePrimaryScreenActivateRunningOwnersAndFindTheWindowUnderThePointer) {
  FakeWindowServer server;
  server.bounds[4] = {100, 150, 400, 300};
  EXPECT_EQ(currentWindowFrame(server, 4), (Rect{100, 450, 400, 300}));

  server.owners = {{1, 100}, {2, 200}};
  server.runningProcesses = {100};
  for (int32_t id : {1, 2, 3}) activateOwningApplication(server, id);  // 2's process ended, 3 is not on screen
  EXPECT_EQ(server.activated, (std::vector<uint32_t>{1}));

  EXPECT_EQ(pointerInWindowFrames({100, 700}, 900.0), (Point{100, 200}));
  // The front-most containing frame wins; left and top edges are inside.
  const std::vector<Rect> frames{{50, 150, 400, 300}, {0, 0, 1000, 1000}};
  const std::pair<Point, std::optional<size_t>> hits[] = {
      {{100, 200}, 0}, {{50, 150}, 0}, {{450, 200}, 1}, {{100, 450}, 1}, {{2000, 2000}, std::nullopt}};
  for (const auto& [point, index] : hits) EXPECT_EQ(firstFrameContaining(frames, point), index) << point.x;
}
