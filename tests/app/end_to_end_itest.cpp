// The whole program as a user drives it on a real desktop (Xvfb, openbox,
// trayer, PulseAudio): keys and clicks from xdotool, the results read back
// from the files, the clipboard and the opener it leaves behind.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QColor>
#include <csignal>
#include <thread>

#include "app/program_support.h"

using namespace moxi::test;

static auto* env =
    ::testing::AddGlobalTestEnvironment(new DesktopEnvironment({.windowManager = true, .tray = true, .sound = true}));

namespace {

// The pointer stays where it clicked until the program has logged the
// click; and ffplay takes two left clicks within half a second for a double
// click (and goes full screen), so clicks are more than that apart.
void clickSlowly(QPoint at) {
  clickAt(at);
  ASSERT_TRUE(programCaughtUp());
  std::this_thread::sleep_for(600ms);
}

std::string clipboardText() { return runCommand({"xclip", "-selection", "clipboard", "-o"}, 5s).out; }

// The movie is the raw recording's packets re-wrapped as M4V, header first.
void expectRewrapped(const std::string& movie, const std::string& raw) {
  EXPECT_EQ(formatTag(movie, "major_brand"), "M4V ");
  std::vector<std::string> boxes;
  for (const auto& box : topLevelBoxes(movie)) boxes.push_back(box.type);
  auto moov = std::find(boxes.begin(), boxes.end(), "moov"), mdat = std::find(boxes.begin(), boxes.end(), "mdat");
  EXPECT_TRUE(moov < mdat && mdat != boxes.end());
  EXPECT_EQ(packets(movie), packets(raw));
}

}  // namespace

TEST(EndToEnd, TheHotKeyRecordsAWindowWhoseClicksTravelWithTheCopiedAndOpenedMovieAndCancelCopiesNothing) {
  Program program;
  program.answerAlert();
  TestPicture picture("E2E", 200, 150);
  const QRect window = picture.rect();
  // Off the screen's middle row, so that a pointer read upside down misses.
  program.recordWithHotKey(window.center() + QPoint(0, window.center().y() < 540 ? -150 : 150));

  const std::vector<QPoint> clicks = {window.topLeft() + QPoint(40, 60), window.center() + QPoint(17, -9),
                                      window.bottomRight() - QPoint(50, 30)};
  clickSlowly(clicks[0]);
  clickSlowly(window.topLeft() - QPoint(100, 60));  // on the desktop: not logged
  clickSlowly(clicks[1]);
  clickSlowly(clicks[2]);
  pressKeys("ctrl+F1");
  ASSERT_TRUE(program.waitFor("mark as finished")) << program.log();
  program.answerAlert();  // "Video is ready!": Return picks "Copy"
  ASSERT_TRUE(program.waitFor("true")) << program.log();

  const std::string movie = program.exported();
  ASSERT_FALSE(movie.empty()) << program.log();
  EXPECT_EQ(output({"xclip", "-selection", "clipboard", "-o", "-t", "text/uri-list"}), fileURL(movie) + "\r\n");
  ASSERT_TRUE(eventually([&] { return !program.opened().empty(); }));
  EXPECT_EQ(program.opened(), fileURL(movie) + "\n");
  ASSERT_EQ(program.movies().size(), 2u);
  const std::string raw = program.raw();
  expectRewrapped(movie, raw);
  EXPECT_EQ(sineFault(raw), "") << "the microphone's sine in " << raw;  // and one video track
  // The sound reaches the stop, which its source hands over up to two seconds
  // later: the track ends within a block (1024 samples) of the frames' end.
  const Probe tracks = probeFile(raw, false);
  ASSERT_TRUE(tracks.audio() && tracks.video());
  EXPECT_GE(tracks.audio()->duration, tracks.video()->duration - 1024.0 / 44100) << "the sound stops short";

  // The side files, and the description built from them.
  EXPECT_EQ(readFile(program.documents() + "/videosize.json"), "[640,480]");
  std::string rawURL = fileURL(raw);
  for (size_t at = 0; (at = rawURL.find('/', at)) != std::string::npos; at += 2) rawURL.insert(at, "\\");
  EXPECT_EQ(readFile(program.documents() + "/video.json"), "\"" + rawURL + "\"");
  const std::vector<LoggedSample> mouse = program.pointerLog();
  std::vector<QPoint> logged;
  double last = 0;
  for (const auto& e : mouse) {
    if (!e.down) continue;
    logged.emplace_back(int(e.x), int(e.y));
    EXPECT_GE(e.timestamp, last);
    last = e.timestamp;
  }
  EXPECT_EQ(formatTag(movie, "title"), "Moxiscope");
  EXPECT_EQ(formatTag(movie, "description"), expectedDescription(mouse, 640, 480));
  // Window-relative, y up from the window's bottom edge.
  std::vector<QPoint> expected;
  for (QPoint p : clicks) expected.emplace_back(p.x() - window.x(), window.y() + window.height() - p.y());
  EXPECT_EQ(logged, expected) << readFile(program.documents() + "/mouse.json");

  // Again, answered with Cancel: the clipboard keeps the first movie, the second is opened.
  program.recordWithHotKey(window.center(), 2);
  pressKeys("ctrl+F1");
  ASSERT_TRUE(program.waitFor("exported as ", 2)) << program.log();
  program.answerAlert("Escape");  // the dialog's escape button is "Cancel"
  ASSERT_TRUE(eventually([&] { return program.opened() != fileURL(movie) + "\n"; })) << program.log();
  EXPECT_EQ(program.opened(), fileURL(movie) + "\n" + fileURL(program.exported()) + "\n");
  EXPECT_EQ(clipboardText(), fileURL(movie));
  EXPECT_EQ(program.count("true") + program.count("false"), 1);

  // A third, and --quit while its question is open: answered as "Cancel",
  // the movie still opens, and the program ends without waiting.
  program.recordWithHotKey(window.center(), 3);
  pressKeys("ctrl+F1");
  ASSERT_TRUE(program.waitFor("exported as ", 3)) << program.log();
  ASSERT_TRUE(eventually([] { return !alertWindow().empty(); })) << program.log();
  EXPECT_EQ(program.launch({"--quit"}).exitCode, 0);
  EXPECT_TRUE(exitedWith(program.waitForExit(), 0)) << program.log();
  EXPECT_TRUE(program.opened().ends_with(fileURL(program.exported()) + "\n")) << program.opened();
  EXPECT_EQ(program.count("true") + program.count("false"), 1);
  EXPECT_EQ(program.count("quitting before the last recording was exported"), 0) << program.log();
}

TEST(EndToEnd, TrayClicksOpenAndCloseThePopoverARowRecordsAndATrayClickStopsWithoutTheDialog) {
  TestPicture picture("E2E popover", 300, 250);
  Program program("showDialog=false\n");
  program.answerAlert();

  std::optional<QPoint> icon;
  ASSERT_TRUE(eventually([&] { return (icon = trayIcon()).has_value(); })) << "no tray icon";
  std::string popover;
  auto popoverOpens = [&] {
    clickAt(*icon);
    return eventually([&] { return !(popover = popoverWindow()).empty(); });
  };
  ASSERT_TRUE(popoverOpens()) << "the popover did not open";
  // A second click closes it, and must not reach the icon again and reopen it.
  clickAt(*icon);
  ASSERT_TRUE(eventually([&] { return windowRect(popover).isEmpty(); })) << "the popover stayed open";
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(windowRect(popover).isEmpty()) << "the popover opened again";
  ASSERT_TRUE(popoverOpens()) << "the popover did not open again";

  // The only listed window is the test picture: its row is the first, with
  // the picture's colourful thumbnail at its left (the switches below are
  // blue too, but centred and further down).
  QPoint row;
  ASSERT_TRUE(eventually([&] {
    QRect area = windowRect(popover);
    QImage shot = screenshot();
    int n = 0, sx = 0, sy = 0;
    for (int y = area.top() + 30; y < area.top() + 280; ++y)
      for (int x = area.left(); x < area.left() + 72; ++x) {
        QColor c = shot.pixelColor(x, y);
        if (c.hsvSaturation() > 120 && c.value() > 80) ++n, sx += x, sy += y;
      }
    if (n < 20) return false;
    row = QPoint(sx / n, sy / n);
    return true;
  })) << "no row in the popover";
  clickAt(row);
  EXPECT_TRUE(eventually([&] { return windowRect(popover).isEmpty(); })) << "the popover stayed open";
  ASSERT_TRUE(program.waitFor("START RECORDING")) << program.log();

  clickAt(*icon);
  ASSERT_TRUE(program.waitFor("exported as ")) << program.log();
  // The movie is opened without a question (a dialog would hold the opener back).
  ASSERT_TRUE(eventually([&] { return !program.opened().empty(); })) << program.log();
  EXPECT_EQ(program.opened(), fileURL(program.exported()) + "\n");
  EXPECT_EQ(alertWindow(), "");
  EXPECT_EQ(clipboardText().find("tmp-"), std::string::npos) << "copied without being asked";
  EXPECT_EQ(program.count("true") + program.count("false"), 0);
}

// A client-side-decorated window under a compositing manager has its shadow
// inside its X window: the movie, the side files and the pointer log are of
// the window the user sees, without the shadow.
TEST(EndToEnd, AGtkWindowIsRecordedWithoutItsShadow) {
  ShadowedGtkWindow gtk("E2E GTK", 400, 300);
  const QRect frame = gtk.frame();
  Program program("showDialog=false\n");
  program.answerAlert();
  program.recordWithHotKey(frame.center());
  const QPoint click = frame.topLeft() + QPoint(30, 200);
  clickSlowly(click);
  pressKeys("ctrl+F1");
  ASSERT_TRUE(program.waitFor("exported as ")) << program.log();

  EXPECT_EQ(readFile(program.documents() + "/videosize.json"), "[400,300]");
  const std::vector<LoggedSample> mouse = program.pointerLog();
  EXPECT_EQ(formatTag(program.exported(), "description"), expectedDescription(mouse, 400, 300));
  const auto down = std::find_if(mouse.begin(), mouse.end(), [](const LoggedSample& e) { return e.down; });
  ASSERT_NE(down, mouse.end());
  EXPECT_EQ(QPoint(int(down->x), int(down->y)), QPoint(30, 100));
  // GTK's light background reaches every edge; a shadow there would be dark.
  auto pictures = frames(program.raw(), 1);
  ASSERT_FALSE(pictures.empty());
  for (const QImage& picture : pictures) {
    ASSERT_EQ(picture.size(), QSize(400, 300));
    const QPoint c = picture.rect().center();
    for (QPoint edge : {QPoint(0, c.y()), QPoint(399, c.y()), QPoint(c.x(), 299)})
      EXPECT_GT(picture.pixelColor(edge).value(), 200) << edge.x() << "," << edge.y();
  }
}

// Stopped by the hot key, by SIGTERM (with pop-ups), which finishes and
// exports the recording before the program ends, and killed, after which
// what was written stays readable.
TEST(EndToEnd, TheOutlineIsOnTheScreenButNeverInTheRecordingAndEveryEndKeepsIt) {
  // A grey window: any blue at the edge of a frame would be the outline.
  TestPicture picture("E2E outline", 250, 200, "color=c=0x808080");
  const QRect window = picture.rect();
  auto isOutline = isOutlineColour;
  const std::pair<const char*, int> ends[] = {{"false", 0}, {"true", SIGTERM}, {"false", SIGKILL}};
  for (auto [popups, signal] : ends) {
    SCOPED_TRACE(std::string("capturePopups=") + popups + " signal " + std::to_string(signal));
    Program program(std::string("capturePopups=") + popups + "\nshowDialog=false\n");
    program.answerAlert();
    program.recordWithHotKey(window.center());
    // The outline is a 4-pixel ring just outside the window.
    ASSERT_TRUE(eventually([&] {
      QImage shot = screenshot();
      QPoint c = window.center();
      return isOutline(shot.pixelColor(window.left() - 2, c.y())) &&
             isOutline(shot.pixelColor(window.right() + 3, c.y())) &&
             isOutline(shot.pixelColor(c.x(), window.top() - 2)) &&
             isOutline(shot.pixelColor(c.x(), window.bottom() + 3));
    })) << "the outline is not on the screen";
    const int written = program.waitForFrames(30);
    if (signal) {
      program.process().kill(signal);
      auto status = program.waitForExit();
      ASSERT_TRUE(status) << program.log();
      if (signal == SIGTERM) {
        EXPECT_TRUE(exitedWith(status, 0)) << program.log();
      }
    } else {
      pressKeys("ctrl+F1");
    }
    if (signal == SIGKILL) {
      ASSERT_EQ(program.movies().size(), 1u);
      EXPECT_GE(videoPackets(program.raw()), written);
    } else {
      ASSERT_TRUE(program.waitFor("exported as ")) << program.log();
      ASSERT_EQ(program.movies().size(), 2u);
      expectRewrapped(program.exported(), program.raw());
    }

    auto pictures = frames(program.raw(), 5);
    ASSERT_GT(pictures.size(), 5u);
    int outlined = 0;
    for (const QImage& frame : pictures) {
      ASSERT_EQ(frame.size(), QSize(640, 480));
      for (int i = 0; i < 2; ++i) {
        for (int x = 0; x < frame.width(); ++x)
          outlined += isOutline(frame.pixelColor(x, i)) + isOutline(frame.pixelColor(x, frame.height() - 1 - i));
        for (int y = 0; y < frame.height(); ++y)
          outlined += isOutline(frame.pixelColor(i, y)) + isOutline(frame.pixelColor(frame.width() - 1 - i, y));
      }
    }
    EXPECT_EQ(outlined, 0);
  }
}
