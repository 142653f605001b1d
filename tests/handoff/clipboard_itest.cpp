// The movie on a real X clipboard: what another client reads from it.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QProcess>
#include <chrono>

#include "handoff/clipboard_handoff.h"
#include "harness/qt_environment.h"
#include "harness/test_desktop.h"

using namespace moxi;
using namespace moxi::test;

static auto* env = ::testing::AddGlobalTestEnvironment(
    new DesktopEnvironment({.windowManager = true, .tray = false, .sound = false}));
static auto* qt = ::testing::AddGlobalTestEnvironment(new QtEnvironment<QGuiApplication>("clipboard_itest"));

namespace {

// Reads the clipboard with xclip while this program's event loop serves it.
std::string clipboard(const QString& target) {
  QProcess process;
  process.start("xclip", {"-selection", "clipboard", "-o", "-t", target});
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (process.state() != QProcess::NotRunning && std::chrono::steady_clock::now() < end) {
    QCoreApplication::processEvents();
    process.waitForFinished(5);
  }
  EXPECT_EQ(process.exitCode(), 0) << target.toStdString() << ": " << process.readAllStandardError().toStdString();
  return process.readAllStandardOutput().toStdString();
}

}  // namespace

TEST(Clipboard, OffersTheFileURLToOtherClientsInEachForm) {
  ASSERT_TRUE(copyFileURLToClipboard(QUrl::fromLocalFile("/root/.cache/Moxiscope/a b/tmp-725000000123.mp4")));
  std::string text = "file:///root/.cache/Moxiscope/a%20b/tmp-725000000123.mp4";
  EXPECT_EQ(clipboard("text/uri-list"), text + "\r\n");
  EXPECT_EQ(clipboard("x-special/gnome-copied-files"), "copy\n" + text);
  EXPECT_EQ(clipboard("UTF8_STRING"), text);
}
