// Handing the movie over on a real X display: what another client reads from
// the clipboard, and which program opens the file.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QProcess>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "handoff/clipboard_handoff.h"
#include "handoff/handoff_support.h"
#include "harness/qt_environment.h"
#include "harness/test_desktop.h"

using namespace moxi;
using namespace moxi::test;
using namespace std::chrono_literals;

static auto* env = ::testing::AddGlobalTestEnvironment(
    new DesktopEnvironment({.windowManager = true, .tray = false, .sound = false}));
static auto* qt = ::testing::AddGlobalTestEnvironment(new QtEnvironment<QGuiApplication>("clipboard_itest"));

namespace {

class Handoff : public testing::Test {
 protected:
  // Runs a command while this program's event loop keeps serving the
  // clipboard to it.
  static std::string output(const QString& program, const QStringList& args) {
    QProcess process;
    process.start(program, args);
    auto end = std::chrono::steady_clock::now() + 10s;
    while (process.state() != QProcess::NotRunning && std::chrono::steady_clock::now() < end) {
      QCoreApplication::processEvents();
      process.waitForFinished(5);
    }
    EXPECT_EQ(process.exitCode(), 0) << program.toStdString() << ": " << process.readAllStandardError().toStdString();
    return process.readAllStandardOutput().toStdString();
  }

  static std::string clipboard(const QString& target) {
    return output("xclip", {"-selection", "clipboard", "-o", "-t", target});
  }
};

}  // namespace

TEST_F(Handoff, TheClipboardOffersTheFileURLToOtherClients) {
  QUrl url = QUrl::fromLocalFile("/root/.cache/Moxiscope/a b/tmp-725000000123.mp4");
  ASSERT_TRUE(copyFileURLToClipboard(url));
  std::string text = "file:///root/.cache/Moxiscope/a%20b/tmp-725000000123.mp4";
  EXPECT_EQ(clipboard("text/uri-list"), text + "\r\n");
  EXPECT_EQ(clipboard("x-special/gnome-copied-files"), "copy\n" + text);
  EXPECT_EQ(clipboard("UTF8_STRING"), text);
}

TEST_F(Handoff, OpensTheFileWithTheDesktopsLauncher) {
  // A stand-in xdg-open first on PATH records what it was asked to open.
  PrivateHome home;
  std::string bin = home.path() + "/bin", record = home.path() + "/opened";
  std::filesystem::create_directories(bin);
  writeFile(bin + "/xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > " + record + ".part && mv " + record + ".part " +
                                   record + "\n");
  std::filesystem::permissions(bin + "/xdg-open", std::filesystem::perms::owner_all);
  std::string path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
  setenv("PATH", (bin + ":" + path).c_str(), 1);

  QUrl url = QUrl::fromLocalFile(QString::fromStdString(home.path() + "/tmp-1.mp4"));
  EXPECT_TRUE(openWithDefaultApplication(url));
  EXPECT_TRUE(waitUntil([&] { return std::filesystem::exists(record); }, 10s));
  EXPECT_EQ(readFile(record), url.toString().toStdString());
  setenv("PATH", path.c_str(), 1);
}
