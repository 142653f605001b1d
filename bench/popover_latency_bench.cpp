// From a click on the tray icon to the popover being mapped, on a private
// desktop (Xvfb, openbox, trayer) with the program as a user starts it. The
// click is a synthetic button press (XTest, as xdotool sends it) from this
// bench's own connection, so that starting a process does not count; the
// time ends at the MapNotify of the 400 x 400 popover. Prints the first
// opening (nothing of the popover has been shown before) and the median of
// the later ones. Twelve other windows are open, so each opening lists them.
// The pointer rests on the icon 0.2 s before each click, as a hand does (the
// popover's content loads when the pointer first comes over the icon);
// `popover_latency_bench at-once` clicks the moment it arrives.
// QT_QUICK_BACKEND is handed to the program: "rhi" measures the GL renderer
// it used before.
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness/test_desktop.h"
#include "harness/test_files.h"
#include "harness/test_window.h"
#include "platform/x11/xcb.h"

using namespace moxi;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kOpenings = 15;
constexpr int kWindows = 12;  // listed in the popover, each with its thumbnail

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

struct Geometry {
  int x = 0, y = 0, width = 0, height = 0;
};

std::optional<Geometry> geometry(xcb::Connection& c, xcb_window_t w) {
  auto g = xcb::reply(c.get(), xcb_get_geometry(c.get(), w), xcb_get_geometry_reply);
  if (!g) return std::nullopt;
  auto t = xcb::reply(c.get(), xcb_translate_coordinates(c.get(), w, c.root(), 0, 0), xcb_translate_coordinates_reply);
  if (!t) return std::nullopt;
  return Geometry{t->dst_x, t->dst_y, g->width, g->height};
}

bool viewable(xcb::Connection& c, xcb_window_t w) {
  auto a = xcb::reply(c.get(), xcb_get_window_attributes(c.get(), w), xcb_get_window_attributes_reply);
  return a && a->map_state == XCB_MAP_STATE_VIEWABLE;
}

// The program's windows (by class), as xdotool finds them.
std::vector<xcb_window_t> programWindows() {
  std::vector<xcb_window_t> out;
  for (const auto& id : lines(test::runCommand({"xdotool", "search", "--class", "moxiscope"}).out))
    out.push_back(static_cast<xcb_window_t>(std::stoul(id)));
  return out;
}

void moveTo(xcb::Connection& c, int x, int y) {
  xcb_test_fake_input(c.get(), XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, c.root(), int16_t(x), int16_t(y), 0);
  xcb_flush(c.get());
}

void click(xcb::Connection& c, int x, int y) {
  xcb_test_fake_input(c.get(), XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, c.root(), int16_t(x), int16_t(y), 0);
  xcb_test_fake_input(c.get(), XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, XCB_WINDOW_NONE, 0, 0, 0);
  xcb_test_fake_input(c.get(), XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, XCB_WINDOW_NONE, 0, 0, 0);
  xcb_flush(c.get());
}

// Waits for the map of a window of the popover's size, or the unmap of
// `shown`; the window, or none after `timeout`.
std::optional<xcb_window_t> waitForPopover(xcb::Connection& c, uint8_t type, Clock::duration timeout,
                                           xcb_window_t shown = XCB_WINDOW_NONE) {
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    xcb::Event e(xcb_poll_for_event(c.get()));
    if (!e) {
      pollfd p{c.fd(), POLLIN, 0};
      poll(&p, 1, 5);
      continue;
    }
    if (xcb::eventType(e.get()) != type) continue;
    xcb_window_t w = type == XCB_MAP_NOTIFY ? reinterpret_cast<xcb_map_notify_event_t*>(e.get())->window
                                            : reinterpret_cast<xcb_unmap_notify_event_t*>(e.get())->window;
    if (type == XCB_UNMAP_NOTIFY) {
      if (w == shown) return w;
      continue;
    }
    auto g = geometry(c, w);
    if (g && g->width == 400 && g->height == 400) return w;
  }
  return std::nullopt;
}

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

int fail(const char* what) {
  std::printf("popover_latency_bench: %s\n", what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  // A hand rests on the icon for a moment before it clicks; "at-once" clicks
  // the moment the pointer arrives.
  const bool atOnce = argc > 1 && std::string(argv[1]) == "at-once";
  test::TestDesktop desktop({.windowManager = true, .tray = true, .sound = true});
  xcb::Connection windowsConnection;
  std::vector<std::unique_ptr<test::TestWindow>> windows;
  for (int i = 0; i < kWindows; ++i)
    windows.push_back(std::make_unique<test::TestWindow>(
        windowsConnection, test::TestWindowOptions()
                               .at(100 + (i * 37) % 900, 200 + (i * 23) % 400)
                               .size(640, 480)
                               .paint(0x305070u + uint32_t(i) * 0x050301u)
                               .netName("bench window " + std::to_string(i))));
  // Its own home, with a stand-in opener that only logs.
  const test::PrivateHome home(false);
  const std::string program =
      std::filesystem::canonical(argv[0]).parent_path().parent_path().string() + "/moxiscope";
  std::map<std::string, std::string> env = home.environment();
  env["QT_QPA_PLATFORM"] = "xcb";
  if (const char* backend = getenv("QT_QUICK_BACKEND")) env["QT_QUICK_BACKEND"] = backend;
  std::optional<test::ChildProcess> moxiscope;
  moxiscope.emplace(std::vector<std::string>{program}, env, home.path() + "/moxiscope.log");

  // The launch alert: answered with Return once the window manager has given it the focus.
  bool answered = test::waitUntil(
      [] {
        for (const auto& id : lines(test::runCommand({"xdotool", "search", "--onlyvisible", "--name", "^Moxiscope$"}).out)) {
          test::runCommand({"xdotool", "windowactivate", "--sync", id, "key", "Return"}, 5s);
          return true;
        }
        return false;
      },
      30s);
  if (!answered) return fail("the launch alert did not appear");

  xcb::Connection c;
  std::optional<Geometry> icon;
  test::waitUntil(
      [&] {
        for (xcb_window_t w : programWindows()) {
          auto g = geometry(c, w);
          if (g && viewable(c, w) && g->width >= 8 && g->width <= 32 && g->height >= 8 && g->height <= 32) icon = g;
        }
        return icon.has_value();
      },
      30s);
  if (!icon) return fail("no tray icon");
  const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
  xcb_change_window_attributes(c.get(), c.root(), XCB_CW_EVENT_MASK, &mask);
  xcb_flush(c.get());
  std::this_thread::sleep_for(1s);  // the alert's last events settle; the program is idle
  while (xcb::Event(xcb_poll_for_event(c.get()))) {
  }

  std::vector<double> openings;
  for (int i = 0; i < kOpenings; ++i) {
    if (!atOnce) {
      moveTo(c, icon->x + icon->width / 2, icon->y + icon->height / 2);
      std::this_thread::sleep_for(200ms);
    }
    const auto start = Clock::now();
    click(c, icon->x + icon->width / 2, icon->y + icon->height / 2);
    auto shown = waitForPopover(c, XCB_MAP_NOTIFY, 10s);
    if (!shown) return fail("the popover did not open");
    openings.push_back(ms(Clock::now() - start));
    // More than a double-click interval apart, and the popover drawn.
    std::this_thread::sleep_for(600ms);
    click(c, icon->x + icon->width / 2, icon->y + icon->height / 2);
    if (!waitForPopover(c, XCB_UNMAP_NOTIFY, 10s, *shown)) return fail("the popover did not close");
    std::this_thread::sleep_for(600ms);
  }
  moxiscope->stop();

  const double first = openings.front();
  std::vector<double> later(openings.begin() + 1, openings.end());
  std::sort(later.begin(), later.end());
  std::printf("popover_latency_bench: tray click to popover mapped, %d openings, %s\n", kOpenings,
              atOnce ? "clicked as the pointer arrived" : "the pointer on the icon 0.2 s before the click");
  std::printf("  first   %7.1f ms\n", first);
  std::printf("  median  %7.1f ms (later openings; min %.1f, max %.1f)\n", later[later.size() / 2], later.front(),
              later.back());
  return 0;
}
