// How long one catalogue listing takes with 50 windows of 800 x 600 on a
// private desktop, and how long drawing their 50 thumbnails at 64 points
// takes (as the popover's rows draw them).
#include <xcb/xcb.h>
#include <xcb/xcb_icccm.h>

#include <QImage>
#include <QPainter>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "capture/window_catalogue.h"
#include "capture/x11_window_server.h"
#include "harness/test_desktop.h"
#include "platform/xcb.h"

using namespace moxi;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kWindows = 50;
constexpr int kRuns = 9;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Figures {
  double median, min, max;
};

Figures figures(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v[v.size() / 2], v.front(), v.back()};
}

xcb_window_t openWindow(xcb::Connection& c, int i) {
  xcb_connection_t* x = c.get();
  xcb_window_t w = xcb_generate_id(x);
  const uint32_t colour = 0x204060u + uint32_t(i) * 0x030507u;
  const int px = (i * 23) % 1100, py = (i * 11) % 450;
  xcb_create_window(x, XCB_COPY_FROM_PARENT, w, c.root(), int16_t(px), int16_t(py), 800, 600, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, c.screen()->root_visual, XCB_CW_BACK_PIXEL, &colour);
  xcb_size_hints_t hints{};
  xcb_icccm_size_hints_set_position(&hints, 1, px, py);
  xcb_icccm_size_hints_set_size(&hints, 1, 800, 600);
  xcb_icccm_set_wm_normal_hints(x, w, &hints);
  const std::string title = "bench window " + std::to_string(i);
  xcb_change_property(x, XCB_PROP_MODE_REPLACE, w, c.atom("_NET_WM_NAME"), c.atom("UTF8_STRING"), 8,
                      uint32_t(title.size()), title.data());
  xcb_map_window(x, w);
  return w;
}

}  // namespace

int main() {
  moxi::test::TestDesktop desktop({.windowManager = true, .tray = false, .sound = false});
  xcb::Connection c;
  X11WindowServer server;
  if (!server.captureAvailable()) {
    std::printf("window_catalogue_bench: screen capture is unavailable on the test desktop\n");
    return 1;
  }
  std::vector<xcb_window_t> windows;
  for (int i = 0; i < kWindows; ++i) windows.push_back(openWindow(c, i));
  xcb_flush(c.get());
  const bool shown = moxi::test::waitUntil(
      [&] {
        auto order = server.onScreenWindowOrder();
        return std::all_of(windows.begin(), windows.end(),
                           [&](xcb_window_t w) { return std::find(order.begin(), order.end(), w) != order.end(); });
      },
      std::chrono::seconds(30));
  if (!shown) {
    std::printf("window_catalogue_bench: the window manager did not show the %d windows\n", kWindows);
    return 1;
  }

  std::optional<CaptureDisplay> display;
  std::vector<CapturableWindow> list = listWindows(server, display).value_or(std::vector<CapturableWindow>{});
  std::vector<double> listing;
  for (int run = 0; run < kRuns; ++run) {
    const auto start = Clock::now();
    list = listWindows(server, display).value_or(std::vector<CapturableWindow>{});
    listing.push_back(ms(Clock::now() - start));
  }
  if (list.size() != size_t(kWindows)) {
    std::printf("window_catalogue_bench: listed %zu windows, expected %d\n", list.size(), kWindows);
    return 1;
  }

  // The popover's rows: one thumbnail each, 64 points high at most.
  QImage rows(400, kWindows * 72, QImage::Format_ARGB32_Premultiplied);
  std::vector<double> drawing;
  for (int run = 0; run < kRuns; ++run) {
    rows.fill(Qt::white);
    QPainter painter(&rows);
    const auto start = Clock::now();
    for (int i = 0; i < kWindows; ++i) {
      const Size size = list[size_t(i)].img.size();
      list[size_t(i)].img.draw(painter, QRectF(8, i * 72 + 4, size.width, size.height));
    }
    drawing.push_back(ms(Clock::now() - start));
  }

  const Figures l = figures(listing), d = figures(drawing);
  std::printf("window catalogue, %d windows of 800x600 on Xvfb with openbox, %d runs each\n", kWindows, kRuns);
  std::printf("  listWindows:           median %7.2f ms  (min %.2f, max %.2f)  = %.3f ms per window\n", l.median,
              l.min, l.max, l.median / kWindows);
  std::printf("  draw %d thumbnails 64 pt: median %7.2f ms  (min %.2f, max %.2f)  = %.3f ms per thumbnail\n", kWindows,
              d.median, d.min, d.max, d.median / kWindows);
  return 0;
}
