// The window catalogue and lookups on a real X server with openbox, over
// client windows that the test makes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "capture/window_catalogue.h"
#include "harness/test_desktop.h"
#include "harness/test_window.h"
#include "platform/x11/x11_window_server.h"

using namespace moxi;
using namespace moxi::test;
using namespace std::chrono_literals;

static auto* env = ::testing::AddGlobalTestEnvironment(
    new DesktopEnvironment({.windowManager = true, .tray = false, .sound = false}));

TEST(WindowCatalogueOnX11, ListsRecordableWindowsFrontToBackWithTitlesAndPicturesAlsoFromSeveralThreadsAtOnce) {
  xcb::Connection x{};
  const uint32_t pid = static_cast<uint32_t>(getpid());
  std::string processName;  // a window without a class is named after its process
  std::ifstream("/proc/self/comm") >> processName;
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

  // Mapped in the order a, b, c: the window manager stacks each new one on top.
  // Desktops, docks and windows kept above are not listed.
  auto listed = [&server] {
    std::optional<CaptureDisplay> display;
    auto list = listWindows(server, display);
    EXPECT_EQ(display ? display->frame : Rect{}, (Rect{0, 0, 1920, 1080}));
    std::vector<uint32_t> ids;
    for (const auto& w : list.value_or(std::vector<CapturableWindow>{})) ids.push_back(w.windowID);
    return std::pair(list.value_or(std::vector<CapturableWindow>{}), ids);
  };
  const auto [list, ids] = listed();
  ASSERT_EQ(ids, (std::vector<uint32_t>{c.id(), b.id(), a.id(), below.id()}));
  std::vector<std::string> titles;
  for (const auto& w : list) titles.push_back(w.title);
  EXPECT_EQ(titles, (std::vector<std::string>{"Gamma - notitle", processName + " - Caf\xc3\xa9",
                                               "Alpha - R\xc3\xa9port \xe2\x9c\x93", "below"}));
  EXPECT_EQ(list[2].window.owningApplication->processID, int32_t(pid));
  EXPECT_EQ(list[0].window.owningApplication->processID, 0);
  const QRect frame = a.rootFrame();
  EXPECT_EQ(list[2].window.frame, (Rect{double(frame.x()), double(frame.y()), 300, 200}));

  // Pictures are the client area alone, at its own size.
  ASSERT_EQ(list[2].img.picture()->size(), QSize(300, 200));
  EXPECT_EQ(list[2].img.picture()->pixel(299, 199) & 0xFFFFFF, 0xCC2020u);

  // Listings and lookups may overlap.
  std::atomic<int> wrong{0};
  auto listAndLookUp = [&] {
    for (int i = 0; i < 5; ++i)
      if (listed().second != ids || currentWindowFrame(server, a.id())->size() != Size{300, 200}) ++wrong;
  };
  std::thread other(listAndLookUp);
  listAndLookUp();
  other.join();
  EXPECT_EQ(wrong, 0);

  a.raise();
  const std::vector<uint32_t> raised{a.id(), c.id(), b.id(), below.id()};
  EXPECT_TRUE(waitUntil([&] { return listed().second == raised; }, 5s));
}
