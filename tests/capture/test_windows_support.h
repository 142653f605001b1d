#pragma once
// Windows to capture on the test desktop: an animated one (ffplay showing a
// test pattern) and an unchanging one painted once. Header only, so that the
// benchmark can use them too.
#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <vector>

#include "harness/test_desktop.h"
#include "platform/xcb.h"
#include "platform/xcb_owners.h"

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
  uint32_t id() const { return id_; }
  pid_t pid() const { return process_.pid(); }
  void close() { process_.stop(); }

 private:
  ChildProcess process_;
  uint32_t id_ = 0;
};

using WindowId = xcb::OwnedId<xcb_destroy_window>;
using GraphicsContext = xcb::OwnedId<xcb_free_gc>;

// A window of our own that is painted once and then never changes.
class StaticWindow {
 public:
  StaticWindow(int width, int height, const std::string& title) : conn_(std::make_unique<xcb::Connection>()) {
    if (!conn_->ok()) throw std::runtime_error("no X display");
    xcb_connection_t* c = conn_->get();
    const xcb_screen_t* s = conn_->screen();
    const uint32_t id = xcb_generate_id(c);
    // No background: the server never paints over what we drew.
    const uint32_t values[] = {XCB_BACK_PIXMAP_NONE, XCB_EVENT_MASK_EXPOSURE};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, id, s->root, 100, 100, static_cast<uint16_t>(width),
                      static_cast<uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, s->root_visual,
                      XCB_CW_BACK_PIXMAP | XCB_CW_EVENT_MASK, values);
    window_ = WindowId(c, id);
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, id, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                        static_cast<uint32_t>(title.size()), title.data());
    xcb_map_window(c, id);
    xcb_flush(c);
    // Paint at the first exposure, once.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      xcb::Event e(xcb_poll_for_event(c));
      if (e && (e->response_type & 0x7f) == XCB_EXPOSE) break;
      if (!e) {
        if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("the window was never exposed");
        pollfd p{conn_->fd(), POLLIN, 0};
        poll(&p, 1, 100);
      }
    }
    const uint32_t gcId = xcb_generate_id(c);
    const uint32_t colour[] = {0x3366cc};
    xcb_create_gc(c, gcId, id, XCB_GC_FOREGROUND, colour);
    gc_ = GraphicsContext(c, gcId);
    const xcb_rectangle_t all{0, 0, static_cast<uint16_t>(width), static_cast<uint16_t>(height)};
    xcb_poly_fill_rectangle(c, id, gcId, 1, &all);
    xcb_flush(c);
  }
  uint32_t id() const { return window_.get(); }

 private:
  std::unique_ptr<xcb::Connection> conn_;
  WindowId window_;
  GraphicsContext gc_;
};

}  // namespace moxi::test
