// The hand-off on a real X server with openbox: the pointer monitor under
// xdotool's moves, clicks and modifier keys over two client windows, and the
// movie on the clipboard as another client reads it.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QProcess>
#include <QTest>

#include "handoff/clipboard_handoff.h"
#include "handoff/pointer_log.h"
#include "harness/qt_environment.h"
#include "harness/test_desktop.h"
#include "harness/test_window.h"
#include "platform/x11/x11_pointer_monitor.h"

using namespace moxi;
using namespace moxi::test;

static auto* env = ::testing::AddGlobalTestEnvironment(
    new DesktopEnvironment({.windowManager = true, .tray = false, .sound = false}));
static auto* qt = ::testing::AddGlobalTestEnvironment(new QtEnvironment<QGuiApplication>("platform_x11_desktop_itest"));

namespace {

std::vector<PointerEvent> events, batch;  // coming in, and the last collected

// The types that came while the event loop ran until `count` events were
// there, and a little longer so that extra events show up too.
std::vector<int> collect(size_t count) {
  (void)QTest::qWaitFor([&] { return events.size() >= count; }, 10000);  // a shortfall shows in the types
  QTest::qWait(300);
  std::vector<int> types;
  for (const auto& e : events) types.push_back(e.type);
  batch = std::move(events);
  events.clear();
  return types;
}

std::string str(int v) { return std::to_string(v); }

}  // namespace

TEST(PointerMonitor, ReportsTypesWindowAndBottomLeftPositionOfEveryEvent) {
  xcb::Connection x;
  TestWindow target(x, TestWindowOptions().at(300, 200).size(400, 300).netName("target"));
  TestWindow other(x, TestWindowOptions().at(1000, 500).size(300, 200).netName("other"));
  const QRect t = target.rootFrame(), o = other.rootFrame();
  X11PointerMonitor monitor;
  auto token = monitor.install([](const PointerEvent& e) { events.push_back(e); });
  ASSERT_TRUE(token);

  // A warp makes no input; the relative move after it does.
  const QPoint inside = t.topLeft() + QPoint(60, 45);
  xdotool({"mousemove", str(inside.x() - 10), str(inside.y() - 5)});
  xdotool({"mousemove_relative", "10", "5", "click", "1", "key", "shift"});
  EXPECT_EQ(collect(5), (std::vector<int>{kMouseMoved, kLeftMouseDown, kLeftMouseUp, kFlagsChanged, kFlagsChanged}));
  for (const auto& e : batch)
    EXPECT_EQ(std::pair(e.windowNumber, e.location),
              std::pair(target.id(), Point{double(inside.x()), double(1080 - inside.y())}));

  // A drag with the right button; its release reports nothing.
  xdotool({"mousedown", "3", "mousemove_relative", "4", "0", "mouseup", "3"});
  EXPECT_EQ(collect(2), (std::vector<int>{kRightMouseDown, kRightMouseDragged}));

  // Over the window manager's title bar of another client the events name
  // that client.
  xdotool({"mousemove", str(o.x() + 20), str(o.y() - 8), "click", "1"});
  ASSERT_EQ(collect(2), (std::vector<int>{kLeftMouseDown, kLeftMouseUp}));
  EXPECT_EQ(std::pair(batch[0].windowNumber, batch[0].location),
            std::pair(other.id(), Point{double(o.x() + 20), double(1080 - (o.y() - 8))}));

  monitor.remove(*token);
  xdotool({"click", "1"});
  EXPECT_TRUE(collect(0).empty());
}

// A file manager reads its form while this program's event loop serves the
// clipboard (the end-to-end run reads the URI list and the text).
TEST(Clipboard, OffersTheFileURLToFileManagers) {
  ASSERT_TRUE(copyFileURLToClipboard(QUrl::fromLocalFile("/root/a b/tmp-725000000123.mp4")));
  QProcess xclip;
  xclip.start("xclip", {"-selection", "clipboard", "-o", "-t", "x-special/gnome-copied-files"});
  EXPECT_TRUE(QTest::qWaitFor([&] { return xclip.state() == QProcess::NotRunning; }, 10000));
  EXPECT_EQ(xclip.readAllStandardOutput().toStdString(), "copy\nfile:///root/a%20b/tmp-725000000123.mp4")
      << xclip.readAllStandardError().toStdString();
}
