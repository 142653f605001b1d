// The window catalogue and lookups on a real X server with openbox, over
// client windows that the test makes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <thread>

#include "capture/window_catalogue.h"
#include "capture/x11_window_server.h"
#include "harness/test_desktop.h"
#include "harness/test_window.h"

using namespace moxi;
using namespace moxi::test;
using namespace std::chrono_literals;

static auto* env = ::testing::AddGlobalTestEnvironment(
    new DesktopEnvironment({.windowManager = true, .tray = false, .sound = false}));

namespace {

class WindowCatalogueOnX11 : public ::testing::Test {
 protected:
  xcb::Connection x{};
  const uint32_t pid = static_cast<uint32_t>(getpid());

  std::vector<uint32_t> listedIDs(X11WindowServer& server) {
    std::optional<CaptureDisplay> display;
    std::vector<uint32_t> ids;
    for (const auto& w : listWindows(server, display).value_or(std::vector<CapturableWindow>{}))
      ids.push_back(w.windowID);
    return ids;
  }
};

uint32_t colourAt(const QImage& image, int x, int y) { return image.pixel(x, y) & 0xFFFFFF; }

std::string ownProcessName() {
  std::ifstream comm("/proc/self/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

// Position and size of a client area on the root window.
Rect rootFrame(const TestWindow& w) {
  const QRect r = w.rootFrame();
  return {double(r.x()), double(r.y()), double(r.width()), double(r.height())};
}

}  // namespace

TEST_F(WindowCatalogueOnX11, ListsRecordableWindowsFrontToBackWithTitlesAndPictures) {
  X11WindowServer server;
  ASSERT_TRUE(server.captureAvailable());
  using O = TestWindowOptions;
  TestWindow a(x, O().at(50, 50).size(300, 200).paint(0xCC2020).netName("R\xc3\xa9port \xe2\x9c\x93")
                      .name("ignored").wmClass("alpha", "Alpha").pid(pid));
  TestWindow b(x, O().at(400, 50).size(64, 16).paint(0x20CC20).name("Caf\xe9").pid(pid));
  TestWindow c(x, O().at(600, 50).size(400, 300).paint(0x2020CC).wmClass("gamma", "Gamma"));
  TestWindow narrow(x, O().at(50, 400).size(63, 100).netName("narrow"));
  TestWindow low(x, O().at(200, 400).size(200, 15).netName("low"));
  TestWindow floating(x, O().at(500, 400).size(200, 200).netName("floating").state("_NET_WM_STATE_ABOVE"));
  TestWindow below(x, O().at(800, 400).size(200, 200).netName("below").state("_NET_WM_STATE_BELOW"));
  TestWindow dock(x, O().at(0, 1000).size(1920, 40).type("_NET_WM_WINDOW_TYPE_DOCK"));
  TestWindow desktop(x, O().at(0, 0).size(1920, 1080).paint(0x101010).type("_NET_WM_WINDOW_TYPE_DESKTOP"));

  auto content = server.shareableContent();
  ASSERT_TRUE(content.has_value());
  std::map<uint32_t, int> layers;
  for (const auto& w : content->windows) layers[w.windowID] = w.windowLayer;
  EXPECT_EQ(layers.count(desktop.id()), 0u) << "desktop windows are not shareable";
  EXPECT_EQ(layers[floating.id()], 3);
  EXPECT_EQ(layers[below.id()], -1);
  EXPECT_EQ(layers[dock.id()], 20);
  EXPECT_EQ(layers[a.id()], 0);

  // Mapped in the order a, b, c: the window manager stacks each new one on top.
  std::optional<CaptureDisplay> display;
  auto list = listWindows(server, display);
  ASSERT_TRUE(list.has_value());
  std::vector<uint32_t> ids;
  for (const auto& w : *list) ids.push_back(w.windowID);
  EXPECT_EQ(ids, (std::vector<uint32_t>{c.id(), b.id(), a.id(), below.id()}));
  ASSERT_TRUE(display.has_value());
  EXPECT_EQ(display->frame, (Rect{0, 0, 1920, 1080}));

  ASSERT_EQ(list->size(), 4u);
  const CapturableWindow& gamma = (*list)[0];
  const CapturableWindow& cafe = (*list)[1];
  const CapturableWindow& alpha = (*list)[2];
  EXPECT_EQ(alpha.title, "Alpha - R\xc3\xa9port \xe2\x9c\x93");
  EXPECT_EQ(alpha.window.owningApplication->processID, int32_t(pid));
  EXPECT_EQ(cafe.title, ownProcessName() + " - Caf\xc3\xa9");
  EXPECT_EQ(gamma.title, "Gamma - notitle");
  EXPECT_EQ(gamma.window.owningApplication->processID, 0);
  EXPECT_EQ(rootFrame(a), alpha.window.frame);
  EXPECT_EQ(alpha.window.frame.size(), (Size{300, 200}));
  EXPECT_EQ(cafe.window.frame.size(), (Size{64, 16}));

  // Pictures are the client area alone, at its own size.
  ASSERT_EQ(alpha.img.picture()->size(), QSize(300, 200));
  EXPECT_EQ(colourAt(*alpha.img.picture(), 0, 0), 0xCC2020u);
  EXPECT_EQ(colourAt(*alpha.img.picture(), 299, 199), 0xCC2020u);
  EXPECT_EQ(colourAt(*gamma.img.picture(), 200, 150), 0x2020CCu);

  a.raise();
  EXPECT_TRUE(waitUntil([&] { return listedIDs(server) == std::vector<uint32_t>{a.id(), c.id(), b.id(), below.id()}; },
                        5s));
}

TEST_F(WindowCatalogueOnX11, ListingsAndLookupsMayOverlap) {
  X11WindowServer server;
  TestWindow small(x, TestWindowOptions().at(100, 100).size(300, 200).paint(0x112233).netName("small"));
  TestWindow large(x, TestWindowOptions().at(400, 300).size(900, 600).paint(0x445566).netName("large"));
  std::atomic<int> wrong{0};
  auto list = [&] {
    for (int i = 0; i < 5; ++i) {
      std::optional<CaptureDisplay> display;
      auto l = listWindows(server, display);
      if (!l || l->size() != 2 || l->at(0).windowID != large.id() ||
          l->at(0).img.picture()->size() != QSize(900, 600) || colourAt(*l->at(1).img.picture(), 5, 5) != 0x112233u)
        ++wrong;
    }
  };
  std::thread first(list), second(list);
  for (int i = 0; i < 50; ++i) {
    if (currentWindowFrame(server, small.id())->size() != Size{300, 200}) ++wrong;
  }
  first.join();
  second.join();
  EXPECT_EQ(wrong, 0);
}

