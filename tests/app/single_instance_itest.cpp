// Launches as a user makes them, from the menu, a terminal or a key binding:
// one instance per user and display, later launches hand their request to
// it, and the command line reaches a running instance or starts one; the
// notices of what it did reach a real notification server (dunst on a
// private session bus).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <csignal>
#include <thread>
#include <tuple>

#include "app/program_support.h"
#include "harness/session_bus.h"

using namespace moxi::test;

static auto* env = ::testing::AddGlobalTestEnvironment(
    new DesktopEnvironment({.windowManager = true, .tray = true, .sound = true, .notifications = true}));

namespace {

bool exitedWith(std::optional<int> status, int code) { return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code; }

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
  ASSERT_TRUE(eventually([] { return trayIcons().size() == 1; })) << program.log();
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

// --toggle as a key binding runs it: the instance starts without the alert
// and records; the next one exports, and the notice of the saved movie
// reaches a real notification server, whose "Open" opens the movie; a window
// that goes mid-recording is told once.
TEST(SingleInstance, ToggleStartsWithoutTheAlertRecordsExportsAndTheUserHearsOfIt) {
  NotificationServer& server = DesktopEnvironment::desktop().notifications();
  auto picture = std::make_unique<TestPicture>("Toggle picture", 300, 250);
  output({"xdotool", "mousemove", std::to_string(picture->rect().center().x()),
          std::to_string(picture->rect().center().y())});
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
