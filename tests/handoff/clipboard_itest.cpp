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

// Another client reads each form while this program's event loop serves the clipboard.
TEST(Clipboard, OffersTheFileURLToOtherClientsInEachForm) {
  ASSERT_TRUE(copyFileURLToClipboard(QUrl::fromLocalFile("/root/.cache/Moxiscope/a b/tmp-725000000123.mp4")));
  const std::string text = "file:///root/.cache/Moxiscope/a%20b/tmp-725000000123.mp4";
  const std::pair<QString, std::string> forms[] = {
      {"text/uri-list", text + "\r\n"}, {"x-special/gnome-copied-files", "copy\n" + text}, {"UTF8_STRING", text}};
  for (const auto& [target, expected] : forms) {
    QProcess xclip;
    xclip.start("xclip", {"-selection", "clipboard", "-o", "-t", target});
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         xclip.state() != QProcess::NotRunning && std::chrono::steady_clock::now() < end;)
      QCoreApplication::processEvents(), xclip.waitForFinished(5);
    EXPECT_EQ(xclip.exitCode(), 0) << target.toStdString() << ": " << xclip.readAllStandardError().toStdString();
    EXPECT_EQ(xclip.readAllStandardOutput().toStdString(), expected) << target.toStdString();
  }
}
