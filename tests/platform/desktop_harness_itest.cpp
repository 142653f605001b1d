// The harness itself: every service it promises answers, and stops again.
#include <gtest/gtest.h>
#include <signal.h>
#include <xcb/xcb.h>

#include "harness/test_desktop.h"
#include "platform/xcb.h"

using namespace moxi::test;

TEST(DesktopHarness, StartsAndStopsEveryService) {
  std::string display;
  std::vector<pid_t> services;
  {
    TestDesktop desktop({.windowManager = true, .tray = true, .sound = true});
    display = desktop.display();

    moxi::xcb::Connection x(display.c_str());
    ASSERT_TRUE(x.ok());
    EXPECT_EQ(x.screen()->width_in_pixels, 1920);
    EXPECT_EQ(x.screen()->height_in_pixels, 1080);
    EXPECT_TRUE(moxi::xcb::cardinalProperty(x, x.root(), "_NET_SUPPORTING_WM_CHECK").has_value());

    auto info = runCommand({"pactl", "info"});
    ASSERT_EQ(info.exitCode, 0);
    EXPECT_NE(info.out.find("Default Source: sine"), std::string::npos) << info.out;

    desktop.stopSoundServer();
    EXPECT_NE(runCommand({"pactl", "info"}).exitCode, 0);
    desktop.startSoundServer();
    EXPECT_EQ(runCommand({"pactl", "info"}).exitCode, 0);
    services = desktop.servicePids();
    EXPECT_EQ(services.size(), 4u);
  }
  // Another test program may already own the display number again, so ask
  // the processes, not the display.
  for (pid_t pid : services) EXPECT_NE(kill(pid, 0), 0) << "service " << pid << " outlived the desktop";
}
