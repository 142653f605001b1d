// Pure pieces of the application shell: the elapsed title, the icon scaling,
// the tray icon's two-line title, where the popover opens and which
// platform the environment names.
#include <gtest/gtest.h>

#include <QGuiApplication>

#include "app/elapsed_title.h"
#include "app/platform_choice.h"
#include "app/status_button.h"
#include "ui/popover.h"

using namespace moxi;

TEST(Shell, ElapsedTitleIconAndTitleLines) {
  const std::pair<int, const char*> titles[] = {{0, "00:00"},      {59, "00:59"},      {60, "01:00"},
                                                {3599, "59:59"},   {3600, "1:00:00"},  {3723, "1:02:03"},
                                                {36000, "10:00:00"}};
  for (const auto& [seconds, title] : titles) EXPECT_EQ(elapsedTitle(seconds), title) << seconds;
  EXPECT_EQ(scaledImage(QImage(64, 32, QImage::Format_ARGB32), 16, 16).size(), QSize(16, 8));
  EXPECT_EQ(scaledImage(QImage(20, 80, QImage::Format_ARGB32), 16, 16).size(), QSize(4, 16));
  EXPECT_TRUE(scaledImage(QImage(), 16, 16).isNull());
  EXPECT_EQ(StatusButton::iconLines("12:34"), std::make_pair(QString("12"), QString("34")));
  EXPECT_EQ(StatusButton::iconLines("1:02:03 MIC"), std::make_pair(QString("1:02"), QString("03")));
}

TEST(Popover, HangsBelowTheIconAndStaysOnTheScreen) {
  QRect screen(0, 0, 1920, 1080);
  // Icon at the top right: centred under it, then pushed left to stay whole.
  EXPECT_EQ(Popover::placement({400, 400}, QRect(1897, 1, 22, 22), {}, screen), QRect(1520, 23, 400, 400));
  EXPECT_EQ(Popover::placement({400, 400}, QRect(990, 0, 20, 24), {}, screen), QRect(800, 24, 400, 400));
  // Icon at the bottom: opens upwards.
  EXPECT_EQ(Popover::placement({400, 400}, QRect(990, 1056, 20, 24), {}, screen).bottom(), 1055);
  // No icon rectangle: next to the pointer, kept on the pointer's screen.
  EXPECT_EQ(Popover::placement({400, 400}, QRect(), {100, 100}, screen).topLeft(), QPoint(108, 108));
  EXPECT_EQ(Popover::placement({400, 400}, QRect(), {1900, 1070}, screen), QRect(1520, 680, 400, 400));
  QRect second(1920, 0, 1280, 1024);
  EXPECT_TRUE(second.contains(Popover::placement({400, 400}, QRect(), {3190, 10}, second)));
}

TEST(PlatformChoice, EnvironmentDecidesOnce) {
  using Env = std::map<std::string, std::string>;
  const std::pair<Env, DesktopPlatform> rows[] = {
      {{}, DesktopPlatform::x11},
      {{{"DISPLAY", ":0"}, {"WAYLAND_DISPLAY", "wayland-0"}}, DesktopPlatform::wayland},
      {{{"WAYLAND_DISPLAY", ""}, {"XDG_SESSION_TYPE", "x11"}}, DesktopPlatform::x11},
      {{{"XDG_SESSION_TYPE", "wayland"}}, DesktopPlatform::wayland},
      {{{"WAYLAND_DISPLAY", "wayland-0"}, {"MOXISCOPE_PLATFORM", "x11"}}, DesktopPlatform::x11},
      {{{"DISPLAY", ":0"}, {"MOXISCOPE_PLATFORM", "wayland"}}, DesktopPlatform::wayland},
      {{{"WAYLAND_DISPLAY", "w"}, {"MOXISCOPE_PLATFORM", "mir"}}, DesktopPlatform::wayland},
  };
  for (const auto& [env, expected] : rows) {
    PlatformChoice choice = choosePlatform([&](const char* name) -> std::optional<std::string> {
      auto it = env.find(name);
      return it == env.end() ? std::nullopt : std::optional(it->second);
    });
    EXPECT_EQ(choice.platform, expected) << choice.reason;
  }
}

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);  // images and fonts need a GUI application
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
