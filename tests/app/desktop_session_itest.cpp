// The program in a user's desktop session (Xvfb with two monitors side by
// side, openbox, trayer, PulseAudio, dunst on a private session bus).
// Launches as a user makes them, from the menu, a terminal or a key binding:
// one instance per user and display, later launches hand their request to
// it, and the command line reaches a running instance or starts one; the
// notices of what it did reach the notification server. Then the program
// recording while the window and the desktop change under it: the window
// resized, moved to the other monitor, minimised and its owner killed; the
// window manager replaced or gone, the tray host and the sound server
// restarted, and at last the X server killed.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <csignal>
#include <filesystem>
#include <thread>
#include <tuple>

#include "app/program_support.h"
#include "harness/session_bus.h"

using namespace moxi::test;

static auto* env = ::testing::AddGlobalTestEnvironment(new DesktopEnvironment(
    {.windowManager = true, .tray = true, .sound = true, .notifications = true, .monitors = 2}));

namespace {

TestDesktop& desktop() { return DesktopEnvironment::desktop(); }


// The 4-pixel blue ring just outside the window, on its left edge.
bool outlined(const QRect& window) {
  return isOutlineColour(screenshot().pixelColor(window.left() - 2, window.center().y()));
}

// Presentation times of the video packets, in file order.
std::vector<double> videoTimes(const std::string& path) {
  std::vector<double> out;
  auto all = packets(path);
  if (!all.empty())
    for (const auto& p : all[0]) out.push_back(std::stod(p.substr(0, p.find(','))));
  return out;
}

// The sound track as loud (true) or silent 1024-sample blocks.
std::vector<bool> loudBlocks(const std::string& path) {
  std::string pcm = output({"ffmpeg", "-v", "error", "-i", path, "-map", "0:a:0", "-f", "s16le", "-ac", "1", "-"});
  std::vector<bool> loud;
  const auto* s = reinterpret_cast<const int16_t*>(pcm.data());
  const size_t n = pcm.size() / 2;
  for (size_t at = 0; at + 1024 <= n; at += 1024)
    loud.push_back(std::any_of(s + at, s + at + 1024, [](int16_t v) { return std::abs(v) > 500; }));
  return loud;
}

}  // namespace

TEST(SingleInstance, LaterLaunchesHandOverAndAKilledInstanceBlocksNoStart) {
  Program program;
  program.answerAlert();
  ASSERT_TRUE(eventually([] { return trayIcons().size() == 1; })) << program.log();

  // From the menu again: the first one opens its popover, the second ends.
  CommandResult second = program.launch({});
  EXPECT_EQ(second.exitCode, 0);
  EXPECT_EQ(second.out, "Moxiscope is already running\n");
  EXPECT_TRUE(eventually([] { return !popoverWindow().empty(); })) << program.log();
  pressKeys("Escape");
  EXPECT_EQ(trayIcons().size(), 1u);
  EXPECT_EQ(program.count("START RECORDING"), 0);

  // Not recording: --stop has nothing to stop and the instance stays; a
  // toggle over the bare desktop says there is nothing to record.
  EXPECT_EQ(program.launch({"--stop"}).exitCode, 0);
  EXPECT_TRUE(program.process().running());
  pointAt({960, 700});
  EXPECT_EQ(program.launch({"--toggle"}).exitCode, 1);
  pressKeys("ctrl+F1");
  EXPECT_TRUE(program.waitFor("no window to record under the pointer", 2)) << program.log();

  // Killed mid-recording: it leaves its socket behind and a recording
  // without a movie; the next start is normal and makes the movie, with the
  // click of its journal, and says so without a question or the clipboard.
  runCommand({"xclip", "-selection", "clipboard", "-i", "/dev/null"});
  auto picture = std::make_unique<TestPicture>("Killed picture", 300, 250);
  const QRect window = picture->rect();
  program.recordWithHotKey(window.center());
  const QPoint click = window.topLeft() + QPoint(30, 40);
  clickAt(click);
  ASSERT_TRUE(programCaughtUp());
  const std::string raw = program.movies().at(0), journal = raw + ".journal";
  ASSERT_TRUE(eventually([&] { return readFile(journal).find("\"down\":true") != std::string::npos; }))
      << readFile(journal);
  program.waitForFrames(30);
  program.process().kill(SIGKILL);
  ASSERT_TRUE(program.waitForExit().has_value());
  picture.reset();
  for (const auto& args : {std::vector<std::string>{"--stop"}, {"--quit"}}) {
    CommandResult none = program.launch(args);
    EXPECT_EQ(none.exitCode, 1) << args[0];
    EXPECT_EQ(none.out, "") << args[0];  // the note goes to standard error
  }
  program.restart();
  program.answerAlert();
  ASSERT_TRUE(eventually([] { return trayIcons().size() == 1; })) << program.log();
  NotificationServer& server = DesktopEnvironment::desktop().notifications();
  ASSERT_TRUE(eventually([&] { return server.notices("Recovered an interrupted recording") == 1; }))
      << server.calls() << program.log();
  ASSERT_EQ(program.movies().size(), 2u) << program.log();
  EXPECT_EQ(program.raw(), raw);
  EXPECT_FALSE(std::filesystem::exists(journal));
  EXPECT_EQ(formatTag(program.exported(), "description"),
            expectedDescription(program.pointerLog(), 640, 480));
  EXPECT_EQ(formatTag(program.exported(), "description").find("moxiscope:640,480,30,440,"), 0u);
  EXPECT_EQ(readFile(program.documents() + "/videosize.json"), "[640,480]");
  EXPECT_EQ(program.opened(), "");
  EXPECT_EQ(alertWindow(), "");
  EXPECT_EQ(runCommand({"xclip", "-selection", "clipboard", "-o"}).out, "");
  runCommand({"dunstctl", "close-all"});
  EXPECT_EQ(program.launch({}).out, "Moxiscope is already running\n");

  // --quit ends the running instance cleanly; afterwards nothing answers,
  // bad options are refused and --help and --version need no instance.
  EXPECT_EQ(program.launch({"--quit"}).exitCode, 0);
  EXPECT_TRUE(exitedWith(program.waitForExit(), 0)) << program.log();
  const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
      {{"--quit"}, 1, ""},           {{"--help"}, 0, "Usage: "},    {{"--version"}, 0, "moxiscope "},
      {{"--no-such-option"}, 2, ""}, {{"stray-argument"}, 2, ""}, {{"--toggle", "--stop"}, 2, ""},
  };
  for (const auto& [args, exitCode, outStart] : cases) {
    CommandResult r = program.launch(args);
    EXPECT_EQ(r.exitCode, exitCode) << args[0];
    EXPECT_TRUE(r.out.starts_with(outStart)) << args[0] << ": " << r.out;
  }
  EXPECT_TRUE(trayIcons().empty());
}

// Without a tray, the launch says what to do instead of pointing at the tray.
TEST(SingleInstance, WithoutATrayTheLaunchAlertGivesWayToTheNoTrayNotice) {
  desktop().stopTray();
  Program program;
  ASSERT_TRUE(eventually([] { return !alertWindow().empty(); })) << program.log();
  EXPECT_EQ(program.count("No system tray was found, so Moxiscope has no icon. Press Ctrl+F1 over a window to start "
                          "recording it, and Ctrl+F1 again to stop."),
            1)
      << program.log();
  program.answerAlert();
  desktop().startTray();
}

// --toggle as a key binding runs it: the instance starts without the alert
// and records; the next one exports, and the notice of the saved movie
// reaches a real notification server, whose "Open" opens the movie; a window
// that goes mid-recording is told once.
TEST(SingleInstance, ToggleStartsWithoutTheAlertRecordsExportsAndTheUserHearsOfIt) {
  NotificationServer& server = DesktopEnvironment::desktop().notifications();
  auto picture = std::make_unique<TestPicture>("Toggle picture", 300, 250);
  pointAt(picture->rect().center());
  Program program("showDialog=false\n", {"--toggle"});
  ASSERT_TRUE(program.waitFor("START RECORDING")) << program.log();
  EXPECT_EQ(alertWindow(), "");
  std::this_thread::sleep_for(1s);
  ASSERT_EQ(program.launch({"--toggle"}).exitCode, 0);
  ASSERT_TRUE(program.waitFor("exported as ")) << program.log();
  const std::string movie = program.exported();
  ASSERT_TRUE(eventually([&] { return server.notices("Recording saved") == 1; })) << server.calls();
  const std::string calls = server.calls();
  EXPECT_NE(calls.find("string \"" + movie.substr(movie.rfind('/') + 1) + "\""), std::string::npos) << calls;
  EXPECT_NE(calls.find("string \"open\""), std::string::npos) << calls;
  ASSERT_TRUE(eventually([&] { return program.opened() == fileURL(movie) + "\n"; })) << program.opened();
  ASSERT_EQ(runCommand({"dunstctl", "action", "0"}).exitCode, 0);
  EXPECT_TRUE(eventually([&] { return program.opened() == fileURL(movie) + "\n" + fileURL(movie) + "\n"; }))
      << program.opened() << server.calls();
  runCommand({"dunstctl", "close-all"});

  ASSERT_EQ(program.launch({"--toggle"}).exitCode, 0);
  ASSERT_TRUE(program.waitFor("START RECORDING", 2)) << program.log();
  picture.reset();
  EXPECT_TRUE(eventually([&] { return server.notices("The recorded window is gone") == 1; })) << server.calls();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(server.notices("The recorded window is gone"), 1);
  EXPECT_EQ(program.count("START RECORDING"), 2);
  // Each notice was a Notify call the server answered; the program saw no D-Bus error.
  EXPECT_EQ(program.log().find("org.freedesktop.DBus.Error"), std::string::npos) << program.log();
}

TEST(DesktopFaults, AWindowResizedMovedMinimisedAndKilledGivesOneSizedMovieThatIsExported) {
  // Another moving picture where the window goes on the second monitor: while
  // the window is minimised, frames of that place would be frames of it.
  TestPicture behind("Faults behind", 2350, 250);
  for (const char* popups : {"false", "true"}) {
    SCOPED_TRACE(std::string("capturePopups=") + popups);
    auto picture = std::make_unique<TestPicture>("Faults window", 200, 150);
    const std::string id = picture->id();
    Program program(std::string("showDialog=false\ncaptureMicrophone=false\ncapturePopups=") + popups + "\n");
    program.answerAlert();
    program.recordWithHotKey(picture->rect().center());

    // Clicked while small: the click is placed in the window as it is then.
    for (QSize size : {QSize(900, 700), QSize(320, 240), QSize(640, 480)}) {
      xdotool({"windowsize", id, std::to_string(size.width()), std::to_string(size.height())});
      ASSERT_TRUE(eventually([&] { return picture->rect().size() == size; })) << size.width();
      std::this_thread::sleep_for(400ms);
      if (size.width() == 320) clickAt(picture->rect().topLeft() + QPoint(10, 10));
    }
    ASSERT_TRUE(programCaughtUp());
    xdotool({"windowmove", id, "2300", "200"});
    ASSERT_TRUE(eventually([&] { return picture->rect().left() >= 2300; })) << "not on the second monitor";
    const QRect there = picture->rect();
    EXPECT_TRUE(eventually([&] { return outlined(there); })) << "no outline on the second monitor";
    xdotool({"windowminimize", id});
    ASSERT_TRUE(eventually([&] { return picture->rect().isEmpty(); })) << "not minimised";
    EXPECT_TRUE(eventually([&] { return !outlined(there); })) << "an outline around a minimised window";
    std::this_thread::sleep_for(1500ms);
    xdotool({"windowactivate", id});
    ASSERT_TRUE(eventually([&] { return !picture->rect().isEmpty(); })) << "not restored";
    std::this_thread::sleep_for(700ms);

    // Its owner killed: the recording is finished and exported as on a stop.
    ASSERT_EQ(::kill(std::stoi(output({"xdotool", "getwindowpid", id})), SIGKILL), 0);
    ASSERT_TRUE(program.waitFor("exported as ")) << program.log();
    EXPECT_EQ(program.count("the recorded window is gone; finishing its recording"), 1) << program.log();

    const std::string raw = program.raw();
    EXPECT_EQ(readFile(program.documents() + "/videosize.json"), "[640,480]");
    EXPECT_EQ(formatTag(program.exported(), "description").rfind("moxiscope:640,480,10,230,", 0), 0u)
        << formatTag(program.exported(), "description");
    // Every frame is 640x480, and decodes.
    auto sizes = lines(output({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                               "frame=width,height", "-of", "csv=p=0", raw}));
    std::erase_if(sizes, [](const std::string& l) { return l.empty(); });
    ASSERT_GT(sizes.size(), 60u);
    for (const auto& size : sizes) EXPECT_EQ(size.substr(0, 7), "640,480");
    const Probe probe = probeFile(raw);
    ASSERT_TRUE(probe.video());
    EXPECT_EQ(probe.video()->frames, probe.video()->packets);
    // No frames while it was minimised, and frames again once restored.
    const std::vector<double> video = videoTimes(raw);
    auto gap = std::adjacent_find(video.begin(), video.end(), [](double a, double b) { return b - a > 1.0; });
    ASSERT_NE(gap, video.end()) << "frames while minimised";
    EXPECT_GT(video.end() - gap, 10) << "no frames once restored";
  }
}

TEST(DesktopFaults, TheWindowManagerTrayAndSoundServerComingAndGoingLoseNothing) {
  NotificationServer& notices = DesktopEnvironment::desktop().notifications();
  TestPicture picture("Faults desktop", 300, 250);
  Program program("showDialog=false\ncaptureMicrophone=true\n");
  program.answerAlert();
  program.recordWithHotKey(picture.rect().center());
  desktop().replaceWindowManager();
  EXPECT_TRUE(eventually([&] { return outlined(picture.rect()); })) << "no outline under the new window manager";
  desktop().stopWindowManager();
  EXPECT_TRUE(eventually([&] { return outlined(picture.rect()); })) << "no outline without a window manager";

  // The sound server goes for a while and comes back. Its sine source hands
  // sound over every two seconds: some has come before it goes.
  std::this_thread::sleep_for(2500ms);
  desktop().stopSoundServer();
  ASSERT_TRUE(program.waitFor("Microphone lost: ")) << program.log();
  std::this_thread::sleep_for(1s);
  desktop().startSoundServer();
  ASSERT_TRUE(program.waitFor("Microphone back: ")) << program.log();
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(notices.notices("The microphone was lost"), 1) << notices.calls();

  desktop().replaceWindowManager();
  desktop().stopTray();
  EXPECT_TRUE(eventually([&] { return notices.notices("The tray icon is gone") == 1; })) << notices.calls();
  desktop().startTray();
  std::optional<QPoint> icon;
  ASSERT_TRUE(eventually([&] { return (icon = trayIcon()).has_value(); })) << "the tray icon did not come back";
  // Gone again, and still gone at the stop.
  desktop().stopSoundServer();
  ASSERT_TRUE(program.waitFor("Microphone lost: ", 2)) << program.log();
  std::this_thread::sleep_for(1s);
  clickAt(*icon);
  ASSERT_TRUE(program.waitFor("exported as ")) << program.log();
  desktop().startSoundServer();

  // Video and sound end together; the first outage is silence between sound.
  const std::string raw = program.raw();
  const Probe probe = probeFile(raw);
  ASSERT_TRUE(probe.video() && probe.audio()) << raw;
  EXPECT_NEAR(probe.audio()->duration, probe.video()->duration, 0.25);
  const std::vector<bool> loud = loudBlocks(raw);
  auto silence = std::search_n(loud.begin(), loud.end(), 22, false);  // half a second
  std::string shape;
  for (bool b : loud) shape += b ? '#' : '.';
  ASSERT_NE(silence, loud.end()) << "no silence where the sound server was gone: " << shape;
  EXPECT_TRUE(std::find(loud.begin(), silence, true) != silence) << "no sound before the outage: " << shape;
  EXPECT_TRUE(std::find(silence, loud.end(), true) != loud.end()) << "no sound after the outage: " << shape;
}

// Last: it ends the desktop.
TEST(DesktopFaults, TheXServerKilledFinishesTheRecordingAndEndsTheProgramWithOneLine) {
  TestPicture picture("Faults display", 250, 200);
  Program program("showDialog=false\ncaptureMicrophone=false\n");
  program.answerAlert();
  program.recordWithHotKey(picture.rect().center());
  std::this_thread::sleep_for(1500ms);
  ::kill(desktop().servicePids().front(), SIGKILL);
  auto status = program.waitForExit(20s);
  ASSERT_TRUE(status) << "the program hangs\n" << program.log();
  EXPECT_TRUE(exitedWith(status, 1)) << *status << program.log();
  // Standard error (in the same log) has the program's one line and nothing of Qt's.
  int said = 0;
  for (const auto& line : lines(program.log())) {
    said += line.rfind("moxiscope: ", 0) == 0;
    EXPECT_EQ(line.find("X11 connection"), std::string::npos) << line;
  }
  EXPECT_EQ(said, 1) << program.log();
  // The recording was finished: its index closes it, and it was exported.
  const auto movies = program.movies();
  ASSERT_EQ(movies.size(), 2u) << program.log();
  const auto boxes = topLevelBoxes(program.raw());
  ASSERT_FALSE(boxes.empty());
  EXPECT_EQ(boxes.back().type, "mfra");
  const Probe probe = probeFile(program.exported());
  ASSERT_TRUE(probe.video()) << program.log();
  EXPECT_EQ(probe.video()->frames, probe.video()->packets);
}
