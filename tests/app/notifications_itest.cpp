// Notices on a real desktop: a private session bus with dunst on it. A saved
// movie and a failure reach the notification server, and the notice's
// "Open" action opens the movie.
#include <gtest/gtest.h>

#include <QUrl>
#include <thread>

#include "app/program_support.h"
#include "harness/session_bus.h"

using namespace moxi::test;

static auto* env = ::testing::AddGlobalTestEnvironment(
    new NotifyingDesktopEnvironment({.windowManager = true, .tray = true, .sound = true}));

namespace {

void pointAt(QPoint p) { output({"xdotool", "mousemove", std::to_string(p.x()), std::to_string(p.y())}); }

std::string fileURL(const std::string& path) {
  return QUrl::fromLocalFile(QString::fromStdString(path)).toString().toStdString();
}

}  // namespace

TEST(Notifications, ASavedMovieAndAVanishedWindowReachTheServerAndOpenOpensTheMovie) {
  NotificationServer& server = NotifyingDesktopEnvironment::server();
  auto picture = std::make_unique<TestPicture>("Notice picture", 300, 250);
  pointAt(picture->rect().center());
  Program program("showDialog=false\n", {"--toggle"});
  ASSERT_TRUE(program.waitFor("START RECORDING")) << program.log();
  std::this_thread::sleep_for(1s);
  ASSERT_EQ(program.launch({"--toggle"}).exitCode, 0);
  ASSERT_TRUE(program.waitFor("exported as ")) << program.log();
  const std::string movie = program.exported();
  ASSERT_TRUE(eventually([&] { return server.notices("Recording saved") == 1; })) << server.calls();
  const std::string calls = server.calls();
  EXPECT_NE(calls.find("string \"" + movie.substr(movie.rfind('/') + 1) + "\""), std::string::npos) << calls;
  EXPECT_NE(calls.find("string \"open\""), std::string::npos) << calls;

  // The movie was opened once after the export; the notice's action opens it again.
  ASSERT_TRUE(eventually([&] { return program.opened() == fileURL(movie) + "\n"; })) << program.opened();
  ASSERT_EQ(runCommand({"dunstctl", "action", "0"}).exitCode, 0);
  EXPECT_TRUE(eventually([&] { return program.opened() == fileURL(movie) + "\n" + fileURL(movie) + "\n"; }))
      << program.opened() << server.calls();
  runCommand({"dunstctl", "close-all"});

  // The recorded window goes away mid-recording: the user hears of it once.
  ASSERT_EQ(program.launch({"--toggle"}).exitCode, 0);
  ASSERT_TRUE(program.waitFor("START RECORDING", 2)) << program.log();
  picture.reset();
  EXPECT_TRUE(eventually([&] { return server.notices("The recorded window is gone") == 1; })) << server.calls();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(server.notices("The recorded window is gone"), 1);
  ASSERT_EQ(program.launch({"--quit"}).exitCode, 0);
  EXPECT_TRUE(program.waitForExit().has_value());
  // Each notice was a Notify call the server answered; the program saw no D-Bus error.
  EXPECT_EQ(program.log().find("org.freedesktop.DBus.Error"), std::string::npos) << program.log();
}
