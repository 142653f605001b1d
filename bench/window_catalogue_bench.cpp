// How long one catalogue listing takes with 50 windows of 800 x 600 on a
// private desktop, and how long drawing their 50 thumbnails at 64 points
// takes (as the popover's rows draw them).
#include <QImage>
#include <QPainter>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "capture/window_catalogue.h"
#include "harness/test_desktop.h"
#include "harness/test_window.h"
#include "platform/x11/x11_window_server.h"
#include "platform/x11/xcb.h"

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

}  // namespace

int main() {
  moxi::test::TestDesktop desktop({.windowManager = true, .tray = false, .sound = false});
  xcb::Connection c;
  X11WindowServer server;
  if (!server.captureAvailable()) {
    std::printf("window_catalogue_bench: screen capture is unavailable on the test desktop\n");
    return 1;
  }
  std::vector<std::unique_ptr<test::TestWindow>> windows;
  try {
    for (int i = 0; i < kWindows; ++i)
      windows.push_back(std::make_unique<test::TestWindow>(
          c, test::TestWindowOptions()
                 .at((i * 23) % 1100, (i * 11) % 450)
                 .size(800, 600)
                 .paint(0x204060u + uint32_t(i) * 0x030507u)
                 .netName("bench window " + std::to_string(i))));
  } catch (const std::exception& e) {
    std::printf("window_catalogue_bench: %s\n", e.what());
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
