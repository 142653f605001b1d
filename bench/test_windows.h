#pragma once
// Windows to capture on the test desktop: an animated one (ffplay showing a
// test pattern), one drawing on a strict clock, and an unchanging one
// painted once; and a counter of how often a window draws. Header only;
// the benchmarks record them.
#include <poll.h>
#include <xcb/damage.h>
#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <signal.h>
#include <stdexcept>
#include <string>
#include <thread>
#include <time.h>
#include <vector>

#include "harness/test_desktop.h"
#include "platform/x11/xcb.h"
#include "platform/x11/xcb_owners.h"

namespace moxi::test {

// The client window whose name is exactly `title`, or 0.
inline uint32_t findWindowByTitle(const std::string& title) {
  auto r = runCommand({"xdotool", "search", "--name", "^" + title + "$"}, std::chrono::seconds(5));
  if (r.exitCode != 0) return 0;
  return static_cast<uint32_t>(std::strtoul(r.out.c_str(), nullptr, 10));
}

// ffplay showing testsrc at width x height and `rate` frames per second.
class AnimatedWindow {
 public:
  AnimatedWindow(int width, int height, int rate, const std::string& title)
      : process_({"ffplay", "-loglevel", "error", "-an", "-noborder", "-left", "0", "-top", "0", "-window_title",
                  title, "-f", "lavfi", "-i",
                  "testsrc=size=" + std::to_string(width) + "x" + std::to_string(height) +
                      ":rate=" + std::to_string(rate)},
                 {{"SDL_AUDIODRIVER", "dummy"}, {"SDL_RENDER_DRIVER", "software"}}) {
    waitUntil([&] { return (id_ = findWindowByTitle(title)) != 0; }, std::chrono::seconds(15));
    if (!id_) throw std::runtime_error("ffplay's window did not appear");
  }
  // ffplay sits out SIGTERM for seconds; its window may as well vanish at once.
  ~AnimatedWindow() { close(); }
  uint32_t id() const { return id_; }
  pid_t pid() const { return process_.pid(); }
  void close() { process_.stop(SIGKILL); }

 private:
  ChildProcess process_;
  uint32_t id_ = 0;
};

// A window of our own on its own connection, drawn with the server's fills.
// No background: the server never paints over what we drew.
class DrawnWindow {
 public:
  uint32_t id() const { return window_.get(); }

 protected:
  DrawnWindow(int x, int y, int width, int height, const std::string& title, uint32_t events = 0) {
    if (!conn_.ok()) throw std::runtime_error("no X display");
    xcb_connection_t* c = conn_.get();
    const uint32_t id = xcb_generate_id(c);
    const uint32_t values[] = {XCB_BACK_PIXMAP_NONE, events};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, id, conn_.root(), static_cast<int16_t>(x), static_cast<int16_t>(y),
                      static_cast<uint16_t>(width), static_cast<uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      conn_.screen()->root_visual, XCB_CW_BACK_PIXMAP | XCB_CW_EVENT_MASK, values);
    window_ = xcb::OwnedId<xcb_destroy_window>(c, id);
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, id, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                        static_cast<uint32_t>(title.size()), title.data());
    const uint32_t gcId = xcb_generate_id(c);
    const uint32_t black[] = {0};
    xcb_create_gc(c, gcId, id, XCB_GC_FOREGROUND, black);
    gc_ = xcb::OwnedId<xcb_free_gc>(c, gcId);
  }
  // Maps the window and waits until it is viewable. A window manager that has
  // only just started can drop the first map request, so it is repeated.
  void mapAndWait() {
    xcb_connection_t* c = conn_.get();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (int attempt = 0;; ++attempt) {
      if (attempt % 25 == 0) xcb_map_window(c, id());
      auto a = xcb::reply(c, xcb_get_window_attributes(c, id()), xcb_get_window_attributes_reply);
      if (a && a->map_state == XCB_MAP_STATE_VIEWABLE) return;
      if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("the window was never mapped");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  void fill(uint32_t rgb, int x, int y, int w, int h) {
    xcb_connection_t* c = conn_.get();
    xcb_change_gc(c, gc_.get(), XCB_GC_FOREGROUND, &rgb);
    const xcb_rectangle_t r{static_cast<int16_t>(x), static_cast<int16_t>(y), static_cast<uint16_t>(w),
                            static_cast<uint16_t>(h)};
    xcb_poly_fill_rectangle(c, window_.get(), gc_.get(), 1, &r);
  }

  xcb::Connection conn_;

 private:
  xcb::OwnedId<xcb_destroy_window> window_;
  xcb::OwnedId<xcb_free_gc> gc_;
};

// A window of our own that is painted once, once mapped, and then never changes.
class StaticWindow : public DrawnWindow {
 public:
  StaticWindow(int width, int height, const std::string& title) : DrawnWindow(100, 100, width, height, title) {
    mapAndWait();
    fill(0x3366cc, 0, 0, width, height);
    xcb_flush(conn_.get());
  }
};

// A window that draws on a strict clock, `rate` times a second, with the
// server's fills (a bar sweeping across and a block of changing squares),
// so that it keeps its rate where a video player cannot.
class PacedWindow : public DrawnWindow {
 public:
  PacedWindow(int width, int height, int rate, const std::string& title)
      : DrawnWindow(0, 0, width, height, title), width_(width), height_(height), rate_(rate) {
    // No frame from the window manager: a screen-sized window keeps its size.
    const uint32_t noDecorations[5] = {2, 0, 0, 0, 0};
    const xcb_atom_t motif = conn_.atom("_MOTIF_WM_HINTS");
    xcb_change_property(conn_.get(), XCB_PROP_MODE_REPLACE, id(), motif, motif, 32, 5, noDecorations);
    mapAndWait();
    thread_ = std::thread([this] { run(); });
  }
  ~PacedWindow() {
    stop_ = true;
    thread_.join();
  }

 private:
  void run() {
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    const long period = 1'000'000'000L / rate_;
    const int bar = width_ / 10;
    fill(0x202830, 0, 0, width_, height_);
    for (uint64_t frame = 0; !stop_; ++frame) {
      const int x = static_cast<int>((frame * 8) % static_cast<uint64_t>(width_ + bar)) - bar;
      fill(0x202830, x - 8, 0, 8, height_);  // erase the bar's trail
      fill(0xe0e0e0, x, 0, bar, height_);
      for (int i = 0; i < 64; ++i) {  // a block of "text" that changes every frame
        const uint32_t v = static_cast<uint32_t>((frame * 2654435761u + i * 40503u) >> 8);
        fill(v & 0xffffff, 40 + (i % 16) * 24, 40 + (i / 16) * 24, 20, 20);
      }
      xcb_flush(conn_.get());
      next.tv_nsec += period;
      if (next.tv_nsec >= 1'000'000'000L) {
        next.tv_nsec -= 1'000'000'000L;
        ++next.tv_sec;
      }
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
      while (xcb::Event e{xcb_poll_for_event(conn_.get())}) {
      }
    }
  }

  int width_, height_, rate_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Counts how often a window draws (DAMAGE notifications, emptied each time)
// on a connection of its own, without reading any pixels.
class DrawCounter {
 public:
  explicit DrawCounter(uint32_t window) : thread_([this, window] { run(window); }) {}
  ~DrawCounter() {
    stop_ = true;
    thread_.join();
  }
  uint64_t count() const { return count_; }

 private:
  void run(uint32_t window) {
    xcb::Connection conn;
    xcb_connection_t* c = conn.get();
    if (!conn.ok()) return;
    xcb::reply(c, xcb_damage_query_version(c, 1, 1), xcb_damage_query_version_reply);
    const uint8_t base = xcb_get_extension_data(c, &xcb_damage_id)->first_event;
    const uint32_t id = xcb_generate_id(c);
    xcb_damage_create(c, id, window, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    xcb::Damage damage(c, id);
    xcb_flush(c);
    while (!stop_) {
      while (xcb::Event e{xcb_poll_for_event(c)}) {
        if ((e->response_type & 0x7f) == base + XCB_DAMAGE_NOTIFY) {
          ++count_;
          xcb_damage_subtract(c, id, XCB_NONE, XCB_NONE);
        }
      }
      xcb_flush(c);
      pollfd p{conn.fd(), POLLIN, 0};
      poll(&p, 1, 100);
    }
  }
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> count_{0};
  std::thread thread_;
};

}  // namespace moxi::test
