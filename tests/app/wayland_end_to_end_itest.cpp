// The whole program on a real headless Wayland desktop (mutter, PipeWire,
// WirePlumber and the desktop portal), started and stopped with --toggle as
// a user's key binding runs it, recording a native Wayland window through
// the ScreenCast portal; the results are read back from what it leaves.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <csignal>
#include <thread>

#include "app/program_support.h"
#include "harness/wayland_desktop.h"

using namespace moxi::test;

static auto* env = ::testing::AddGlobalTestEnvironment(new WaylandEnvironment);

namespace {

// No question after the export (nobody could answer it here), no sound.
const char* const kSettings = "showDialog=false\ncaptureMicrophone=false\n";

std::map<std::string, std::string> waylandDesktop() {
  auto e = WaylandEnvironment::desktop().environment();
  e["QT_QPA_PLATFORM"] = "wayland";
  return e;
}

// The most common colour of a picture, as 0xRRGGBB.
uint32_t dominantColour(const QImage& image) {
  std::map<uint32_t, int> counts;
  for (int y = 0; y < image.height(); y += 4)
    for (int x = 0; x < image.width(); x += 4) ++counts[image.pixel(x, y) & 0xffffff];
  return std::max_element(counts.begin(), counts.end(), [](auto& a, auto& b) { return a.second < b.second; })->first;
}

bool near(uint32_t a, uint32_t b) {
  for (int shift : {0, 8, 16})
    if (std::abs(int((a >> shift) & 0xff) - int((b >> shift) & 0xff)) > 24) return false;
  return true;
}

std::string toggle(const Program& program) {
  CommandResult r = program.launch({"--toggle"});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  return r.out;
}

}  // namespace

TEST(WaylandEndToEnd, ToggleRecordsTheWindowThroughThePortalAgainWithoutAPickerUntilTheCastEnds) {
  WaylandDesktop& desktop = WaylandEnvironment::desktop();
  auto window = desktop.startTestWindow();  // the newest window has the focus: the picker takes it
  Program program(kSettings, {"--toggle"}, waylandDesktop());
  ASSERT_TRUE(program.waitFor("START RECORDING")) << program.log();
  EXPECT_EQ(program.count("platform: Wayland (WAYLAND_DISPLAY is set)"), 1) << program.log();
  // The session's shortcuts backend answers as KDE Plasma does: accepted, no key assigned.
  EXPECT_TRUE(program.waitFor("Moxiscope asked the desktop for a recording shortcut; no key is assigned to it yet: "
                              "assign one in System Settings \u2192 Shortcuts"))
      << program.log();
  // Inside the window, wherever mutter put it on the 1280x720 monitor.
  for (auto [x, y] : {std::pair{600, 300}, {700, 400}, {640, 360}}) {
    desktop.movePointer(x, y);
    std::this_thread::sleep_for(400ms);
  }
  std::this_thread::sleep_for(1500ms);
  toggle(program);
  ASSERT_TRUE(program.waitFor("exported as ")) << program.log();
  const std::string movie = program.exported();

  // The movie: the window's own size and pixels, the hand-over's metadata.
  Probe probe = probeFile(movie);
  ASSERT_TRUE(probe.video()) << probe.error;
  EXPECT_EQ(probe.video()->width, 640);
  EXPECT_EQ(probe.video()->height, 480);
  EXPECT_GT(probe.video()->frames, 30);
  EXPECT_EQ(formatTag(movie, "title"), "Moxiscope");
  // The pointer's positions come from the cast; presses need input devices
  // this machine does not have, so the description lists no click.
  EXPECT_EQ(formatTag(movie, "description"), "moxiscope:");
  const std::vector<QImage> pictures = frames(movie, 15);
  ASSERT_GE(pictures.size(), 3u);
  for (const QImage& picture : pictures) EXPECT_TRUE(near(dominantColour(picture), WaylandTestWindow::kColour));
  EXPECT_NE(pictures.front(), pictures.back()) << "the stripe moves";
  EXPECT_EQ(readFile(program.documents() + "/videosize.json"), "[640,480]");
  const std::vector<LoggedSample> mouse = program.pointerLog();
  ASSERT_GE(mouse.size(), 2u) << readFile(program.documents() + "/mouse.json") << program.log();
  for (const auto& sample : mouse) {
    EXPECT_FALSE(sample.down);
    EXPECT_GE(sample.x, 0);
    EXPECT_LE(sample.x, 640);
  }
  EXPECT_EQ(program.opened(), fileURL(movie) + "\n");

  // The desktop kept the choice: the next --toggle records the same window
  // without a picker (a picker now would be cancelled). The user stops
  // sharing from the desktop's side: what was recorded is finished and
  // handed over as on a stop, and the program says why.
  desktop.cancelNextPicker();
  toggle(program);
  ASSERT_TRUE(program.waitFor("START RECORDING", 2)) << program.log();
  std::this_thread::sleep_for(1500ms);
  EXPECT_GE(desktop.stopScreenCasts(), 1u);
  ASSERT_TRUE(program.waitFor("exported as ", 2)) << program.log();
  EXPECT_EQ(program.count("the desktop stopped sharing the window; finishing its recording"), 1) << program.log();
  EXPECT_EQ(program.count("the picker was cancelled; nothing is recorded"), 0);
  const Probe ended = probeFile(program.exported());
  ASSERT_TRUE(ended.video()) << ended.error;
  EXPECT_GT(ended.video()->frames, 10);
}

// Last: it ends the session. A cancelled picker leaves the program idle;
// then, as with the X server, the compositor dying finishes and exports the
// recording before the program ends with one line of its own.
TEST(WaylandEndToEnd, ACancelledPickerRecordsNothingAndTheCompositorDyingFinishesTheRecording) {
  WaylandDesktop& desktop = WaylandEnvironment::desktop();
  auto window = desktop.startTestWindow();
  desktop.cancelNextPicker();
  Program program(kSettings, {"--toggle"}, waylandDesktop());
  ASSERT_TRUE(program.waitFor("the picker was cancelled; nothing is recorded")) << program.log();
  EXPECT_EQ(program.count("START RECORDING"), 0);
  EXPECT_TRUE(program.movies().empty());
  // Idle again: the next --toggle asks the desktop anew and records.
  toggle(program);
  ASSERT_TRUE(program.waitFor("START RECORDING")) << program.log();
  std::this_thread::sleep_for(1500ms);
  ASSERT_EQ(::kill(desktop.servicePid("mutter"), SIGKILL), 0);
  auto status = program.waitForExit(30s);
  ASSERT_TRUE(status) << "the program hangs\n" << program.log();
  EXPECT_TRUE(exitedWith(status, 1)) << *status << program.log();
  // The cast often ends a moment before the connection does; only a movie
  // already opened by then was handed over before the end.
  const std::string last = program.opened().empty()
                               ? "moxiscope: lost the connection to the Wayland compositor; "
                                 "the recording was finished in " + program.raw()
                               : "moxiscope: lost the connection to the Wayland compositor";
  EXPECT_EQ(program.count(last), 1) << program.log();
  ASSERT_EQ(program.movies().size(), 2u) << program.log();
  EXPECT_EQ(topLevelBoxes(program.raw()).back().type, "mfra");
  Probe probe = probeFile(program.exported());
  ASSERT_TRUE(probe.video()) << program.log();
  EXPECT_EQ(probe.video()->frames, probe.video()->packets);
}
