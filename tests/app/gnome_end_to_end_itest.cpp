// The whole program against GNOME's own ScreenCast portal: gnome-shell,
// xdg-desktop-portal-gnome and its real "Share Screen" picker, answered as a
// user would (a click on the window's row, then Share), recording GTK 4
// windows, which draw their own shadows around what the user sees.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "app/program_support.h"
#include "harness/wayland_desktop.h"

using namespace moxi::test;

static auto* env = ::testing::AddGlobalTestEnvironment(new WaylandEnvironment("gnome"));

namespace {

const char* const kSettings = "showDialog=false\ncaptureMicrophone=false\n";

std::map<std::string, std::string> gnomeDesktop() {
  auto e = WaylandEnvironment::desktop().environment();
  e["QT_QPA_PLATFORM"] = "wayland";
  return e;
}

bool near(QRgb pixel, uint32_t rgb) {
  for (int shift : {0, 8, 16})
    if (std::abs(int((pixel >> shift) & 0xff) - int((rgb >> shift) & 0xff)) > 40) return false;
  return true;
}

std::string hex(QRgb pixel) {
  char text[16];
  std::snprintf(text, sizeof text, "#%06x", pixel & 0xffffff);
  return text;
}

// Points at these fractions of the window's frame, each long enough to be cast.
void pointAt(WaylandDesktop& desktop, const QRect& frame, std::initializer_list<std::pair<double, double>> at) {
  for (auto [fx, fy] : at) {
    desktop.movePointer(frame.x() + fx * frame.width(), frame.y() + fy * frame.height());
    std::this_thread::sleep_for(500ms);
  }
}

// Whether the pointer log holds a sample at this fraction of the movie
// (measured from its top left; the log's y counts from the bottom).
bool logged(const std::vector<LoggedSample>& log, int width, int height, double fx, double fy) {
  for (const auto& s : log)
    if (std::abs(s.x - fx * width) <= 3 && std::abs(s.y - (1 - fy) * height) <= 3) return true;
  return false;
}

struct Recorded {
  std::string movie;
  int width = 0, height = 0;
};

// Starts a recording with --toggle and answers the picker with this window.
void startWithPicker(Program& program, const std::string& title) {
  WaylandEnvironment::desktop().answerPicker(title);
  ASSERT_TRUE(program.waitFor("START RECORDING")) << program.log();
}

// The user's view of the window is what the movie must hold: the bottom
// corners' squares sit in the movie's bottom corners (not shadow, not a
// magnified part of the window), and the pointer is placed within it.
void expectTheWholeWindow(Program& program, const Recorded& r, const std::vector<std::pair<double, double>>& points) {
  // The movie is the window grown to even sizes, as 4:2:0 needs.
  int width = 0, height = 0;
  EXPECT_EQ(std::sscanf(readFile(program.documents() + "/videosize.json").c_str(), "[%d,%d]", &width, &height), 2);
  EXPECT_EQ(QSize((width + 1) & ~1, (height + 1) & ~1), QSize(r.width, r.height));
  const std::vector<QImage> pictures = frames(r.movie, 10);
  ASSERT_FALSE(pictures.empty());
  const QImage& last = pictures.back();
  const int inset = 8;
  EXPECT_TRUE(near(last.pixel(inset, last.height() - inset), WaylandTestWindow::kLeftCorner))
      << hex(last.pixel(inset, last.height() - inset));
  EXPECT_TRUE(near(last.pixel(last.width() - inset, last.height() - inset), WaylandTestWindow::kRightCorner))
      << hex(last.pixel(last.width() - inset, last.height() - inset));
  EXPECT_TRUE(near(last.pixel(last.width() / 2, last.height() / 2), WaylandTestWindow::kColour) ||
              near(last.pixel(last.width() / 2, last.height() / 2), 0xffffff))
      << hex(last.pixel(last.width() / 2, last.height() / 2));
  const std::vector<LoggedSample> mouse = program.pointerLog();
  for (auto [fx, fy] : points)
    EXPECT_TRUE(logged(mouse, r.width, r.height, fx, fy))
        << "no pointer sample at " << fx * r.width << "," << (1 - fy) * r.height << " of " << r.width << "x" << r.height
        << ": " << readFile(program.documents() + "/mouse.json");
  // The shell's virtual pointer presses no evdev device: no clicks, and so no size, to describe.
  EXPECT_EQ(formatTag(r.movie, "description"), "moxiscope:");
}

Recorded stopAndRead(Program& program, int times = 1) {
  EXPECT_EQ(program.launch({"--toggle"}).exitCode, 0);
  EXPECT_TRUE(program.waitFor("exported as ", times)) << program.log();
  Recorded r{program.exported()};
  Probe probe = probeFile(r.movie);
  EXPECT_TRUE(probe.video()) << probe.error;
  if (probe.video()) {
    r.width = probe.video()->width;
    r.height = probe.video()->height;
    EXPECT_GT(probe.video()->frames, 10);
  }
  return r;
}

}  // namespace

// A GTK 4 window is recorded as the user sees it: its frame, without the
// shadow around it. Then the desktop kept the choice: the next --toggle
// records without a picker, until the user stops sharing from the top bar.
TEST(GnomeEndToEnd, AGtkWindowIsRecordedWithoutItsShadowAgainWithoutAPickerUntilTheDesktopStopsIt) {
  WaylandDesktop& desktop = WaylandEnvironment::desktop();
  const std::string title = "Moxiscope GTK window";
  auto window = desktop.startGtkWindow(title, 640, 480);
  const auto rects = desktop.windowRects(title);
  ASSERT_EQ(rects.frame.size(), QSize(640, 480));
  EXPECT_GT(rects.buffer.width(), rects.frame.width()) << "the window has no shadow to leave out";

  Program program(kSettings, {"--toggle"}, gnomeDesktop());
  startWithPicker(program, title);
  EXPECT_EQ(program.count("platform: Wayland (WAYLAND_DISPLAY is set)"), 1) << program.log();
  const std::vector<std::pair<double, double>> points{{0.25, 0.5}, {0.75, 0.25}};
  pointAt(desktop, rects.frame, {points[0], points[1]});
  std::this_thread::sleep_for(1s);
  const Recorded first = stopAndRead(program);
  EXPECT_EQ(QSize(first.width, first.height), rects.frame.size()) << "the shadow is in the movie";
  expectTheWholeWindow(program, first, points);
  EXPECT_EQ(program.opened(), fileURL(first.movie) + "\n");

  // No picker now: one would wait for an answer that never comes.
  EXPECT_EQ(program.launch({"--toggle"}).exitCode, 0);
  ASSERT_TRUE(program.waitFor("START RECORDING", 2)) << "a picker was shown again?\n" << program.log();
  std::this_thread::sleep_for(1500ms);
  ASSERT_EQ(desktop.stopScreenCasts(), 1u) << "no stop button in the top bar";
  ASSERT_TRUE(program.waitFor("exported as ", 2)) << program.log();
  EXPECT_EQ(program.count("the desktop stopped sharing the window; finishing its recording"), 1) << program.log();
  const Probe stopped = probeFile(program.exported());
  ASSERT_TRUE(stopped.video()) << stopped.error;
  EXPECT_GT(stopped.video()->frames, 10);
  EXPECT_EQ(QSize(stopped.video()->width, stopped.video()->height), rects.frame.size());
}

// Last: it leaves the monitor scaled. At a fractional scale mutter draws
// the window at the next whole scale but reports its crop and the pointer
// at the fractional one: the movie must still show the whole window, with
// the pointer where it was over it.
TEST(GnomeEndToEnd, AtAFractionalScaleTheWholeWindowIsRecorded) {
  WaylandDesktop& desktop = WaylandEnvironment::desktop();
  const double scale = desktop.setScale(1.5);
  ASSERT_GT(scale, 1.4);
  ASSERT_LT(scale, 1.6);
  const std::string title = "Moxiscope scaled GTK window";
  auto window = desktop.startGtkWindow(title, 400, 300);
  const auto rects = desktop.windowRects(title);
  ASSERT_EQ(rects.frame.size(), QSize(400, 300));

  Program program(kSettings, {"--toggle"}, gnomeDesktop());
  startWithPicker(program, title);
  const std::vector<std::pair<double, double>> points{{0.5, 0.5}, {0.75, 0.75}};
  pointAt(desktop, rects.frame, {points[0], points[1]});
  std::this_thread::sleep_for(1s);
  const Recorded r = stopAndRead(program);
  // The window's own pixels, at the fractional scale or as drawn.
  EXPECT_NEAR(double(r.width) / r.height, 4.0 / 3.0, 0.02) << r.width << "x" << r.height;
  EXPECT_GE(r.width, std::floor(400 * scale) - 2) << r.width << "x" << r.height;
  expectTheWholeWindow(program, r, points);
}
