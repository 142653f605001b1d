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

TEST(WindowCatalogue, AWindowWithoutAPictureIsLeftOutAndTheSharedDisplayIsTheFirst) {
  FakeWindowServer server;
  server.addWindow(1, {0, 0, 160, 80});
  server.addWindow(2, {0, 0, 100, 100});
  server.pictures.erase(2);
  // No display reported shares nothing, not the one shared before.
  std::optional<CaptureDisplay> display = CaptureDisplay{5, {0, 0, 800, 600}};
  EXPECT_EQ(listWindows(server, display)->size(), 1u);
  EXPECT_FALSE(display.has_value());
  server.content->displays = {{8, {0, 0, 1920, 1080}}, {9, {1920, 0, 1280, 1024}}};
  listWindows(server, display);
  EXPECT_EQ(display->displayID, 8u);
}

TEST(WindowLookups, FlipAboutThePrimaryScreenAndFindTheWindowUnderThePointer) {
  FakeWindowServer server;
  server.bounds[4] = {100, 150, 400, 300};
  EXPECT_EQ(currentWindowFrame(server, 4), (Rect{100, 450, 400, 300}));

  EXPECT_EQ(pointerInWindowFrames({100, 700}, 900.0), (Point{100, 200}));
  // The front-most containing frame wins; left and top edges are inside.
  const std::vector<Rect> frames{{50, 150, 400, 300}, {0, 0, 1000, 1000}};
  const std::pair<Point, std::optional<size_t>> hits[] = {
      {{100, 200}, 0}, {{50, 150}, 0}, {{450, 200}, 1}, {{100, 450}, 1}, {{2000, 2000}, std::nullopt}};
  for (const auto& [point, index] : hits) EXPECT_EQ(firstFrameContaining(frames, point), index) << point.x;
}
