// Launches as a user makes them, from the menu or a terminal: one instance
// per user and display, later launches hand their request to it, and the
// command line reaches a running instance or starts one.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <csignal>
#include <filesystem>
#include <thread>

#include "app/program_support.h"

using namespace moxi::test;

static auto* env =
    ::testing::AddGlobalTestEnvironment(new DesktopEnvironment({.windowManager = true, .tray = true, .sound = true}));

namespace {

int trayIcons() {
  int n = 0;
  for (const auto& id : visibleWindows("moxiscope", true)) {
    QRect r = windowRect(id);
    n += r.width() >= 8 && r.width() <= 32 && r.height() >= 8 && r.height() <= 32;
  }
  return n;
}

bool popoverShown() {
  for (const auto& id : visibleWindows("moxiscope", true))
    if (windowRect(id).size() == QSize(400, 400)) return true;
  return false;
}

bool exitedWith(std::optional<int> status, int code) { return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code; }

}  // namespace

TEST(SingleInstance, LaterLaunchesHandOverAndAKilledInstanceBlocksNoStart) {
  Program program;
  program.answerAlert();
  ASSERT_TRUE(eventually([] { return trayIcons() == 1; })) << program.log();

  // From the menu again: the first one opens its popover, the second ends.
  CommandResult second = program.launch({});
  EXPECT_EQ(second.exitCode, 0);
  EXPECT_EQ(second.out, "Moxiscope is already running\n");
  EXPECT_TRUE(eventually([] { return popoverShown(); })) << program.log();
  pressKeys("Escape");
  EXPECT_EQ(trayIcons(), 1);
  EXPECT_EQ(program.count("START RECORDING"), 0);

  // Not recording: --stop has nothing to stop and the instance stays.
  EXPECT_EQ(program.launch({"--stop"}).exitCode, 0);
  EXPECT_TRUE(program.process().running());

  // A killed instance leaves its socket behind; the next start is normal.
  program.process().kill(SIGKILL);
  ASSERT_TRUE(program.waitForExit().has_value());
  for (const auto& args : {std::vector<std::string>{"--stop"}, {"--quit"}}) {
    CommandResult none = program.launch(args);
    EXPECT_EQ(none.exitCode, 1) << args[0];
    EXPECT_EQ(none.out, "") << args[0];  // the note goes to standard error
  }
  program.restart();
  program.answerAlert();
  ASSERT_TRUE(eventually([] { return trayIcons() == 1; })) << program.log();
  EXPECT_EQ(program.launch({}).out, "Moxiscope is already running\n");

  // --quit ends the running instance cleanly; afterwards nothing answers.
  EXPECT_EQ(program.launch({"--quit"}).exitCode, 0);
  EXPECT_TRUE(exitedWith(program.waitForExit(), 0)) << program.log();
  EXPECT_EQ(program.launch({"--quit"}).exitCode, 1);
}

TEST(SingleInstance, ToggleStartsTheInstanceWithoutTheAlertRecordsAndASecondToggleExports) {
  TestPicture picture("Toggle picture", 300, 250);
  const QPoint centre = picture.rect().center();
  output({"xdotool", "mousemove", std::to_string(centre.x()), std::to_string(centre.y())});

  Program program("showDialog=false\n", {"--toggle"});
  ASSERT_TRUE(program.waitFor("START RECORDING")) << program.log();
  EXPECT_EQ(alertWindow(), "");
  std::this_thread::sleep_for(1s);

  CommandResult second = program.launch({"--toggle"});
  EXPECT_EQ(second.exitCode, 0);
  ASSERT_TRUE(program.waitFor("exported as ")) << program.log();
  const std::string movie = program.exported();
  EXPECT_TRUE(std::filesystem::exists(movie)) << movie;
  Probe probe = probeFile(movie);
  ASSERT_TRUE(probe.ok && probe.video()) << probe.error;
  EXPECT_EQ(probe.video()->width, 640);
  EXPECT_EQ(program.count("START RECORDING"), 1);
}

TEST(SingleInstance, BadOptionsAreRefusedAndHelpAndVersionNeedNoInstance) {
  Program program("", {"--version"});
  ASSERT_TRUE(exitedWith(program.waitForExit(), 0));
  EXPECT_TRUE(program.log().starts_with("moxiscope ")) << program.log();
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string outStart;
  } cases[] = {
      {{"--help"}, 0, "Usage: "},
      {{"--version"}, 0, "moxiscope "},
      {{"--no-such-option"}, 2, ""},
      {{"stray-argument"}, 2, ""},
      {{"--toggle", "--stop"}, 2, ""},
  };
  for (const auto& c : cases) {
    CommandResult r = program.launch(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.args[0];
    EXPECT_TRUE(r.out.starts_with(c.outStart)) << c.args[0] << ": " << r.out;
  }
  EXPECT_EQ(trayIcons(), 0);
}
