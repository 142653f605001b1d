// The harness itself: every service it promises answers, and stops again.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include "harness/test_desktop.h"
#include "platform/xcb.h"

using namespace moxi::test;

TEST(DesktopHarness, StartsAndStopsEveryService) {
  std::string display;
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
  }
  moxi::xcb::Connection gone(display.c_str());
  EXPECT_FALSE(gone.ok()) << "Xvfb still answers after the desktop was destroyed";
}
