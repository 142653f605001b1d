#include "harness/test_window.h"

#include <xcb/xcb_icccm.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "harness/test_desktop.h"

namespace moxi::test {

namespace {
void setProperty(xcb::Connection& c, xcb_window_t w, const char* name, xcb_atom_t type, uint8_t format,
                 uint32_t count, const void* data) {
  xcb_change_property(c.get(), XCB_PROP_MODE_REPLACE, w, c.atom(name), type, format, count, data);
}
}  // namespace

TestWindow::TestWindow(xcb::Connection& c, const TestWindowOptions& o) : c_(c) {
  xcb_connection_t* x = c.get();
  id_ = xcb_generate_id(x);
  const uint32_t values[] = {o.colour, XCB_EVENT_MASK_STRUCTURE_NOTIFY};
  xcb_create_window(x, XCB_COPY_FROM_PARENT, id_, c.root(), static_cast<int16_t>(o.x), static_cast<int16_t>(o.y),
                    o.width, o.height, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, c.screen()->root_visual,
                    XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
  xcb_size_hints_t hints{};
  xcb_icccm_size_hints_set_position(&hints, 1, o.x, o.y);
  xcb_icccm_size_hints_set_size(&hints, 1, o.width, o.height);
  xcb_icccm_set_wm_normal_hints(x, id_, &hints);
  const xcb_atom_t utf8 = c.atom("UTF8_STRING");
  if (o.netName_) setProperty(c, id_, "_NET_WM_NAME", utf8, 8, uint32_t(o.netName_->size()), o.netName_->data());
  if (o.name_) setProperty(c, id_, "WM_NAME", XCB_ATOM_STRING, 8, uint32_t(o.name_->size()), o.name_->data());
  if (o.wmClass_) {
    const std::string both = o.wmClass_->first + '\0' + o.wmClass_->second + '\0';
    setProperty(c, id_, "WM_CLASS", XCB_ATOM_STRING, 8, uint32_t(both.size()), both.data());
  }
  if (o.pid_) setProperty(c, id_, "_NET_WM_PID", XCB_ATOM_CARDINAL, 32, 1, &*o.pid_);
  std::vector<xcb_atom_t> states;
  for (const auto& s : o.states_) states.push_back(c.atom(s));
  if (!states.empty()) setProperty(c, id_, "_NET_WM_STATE", XCB_ATOM_ATOM, 32, uint32_t(states.size()), states.data());
  if (o.type_) {
    const xcb_atom_t type = c.atom(*o.type_);
    setProperty(c, id_, "_NET_WM_WINDOW_TYPE", XCB_ATOM_ATOM, 32, 1, &type);
  }
  // A freshly started openbox now and then drops a map request: ask again.
  bool shown = false;
  for (int attempt = 0; attempt < 5 && !shown; ++attempt) {
    xcb_map_window(x, id_);
    xcb_flush(x);
    shown = waitUntil(
        [&] {
          if (clientListsHolding(c, id_) != 2) return false;
          auto a = xcb::reply(x, xcb_get_window_attributes(x, id_), xcb_get_window_attributes_reply);
          return a && a->map_state == XCB_MAP_STATE_VIEWABLE;
        },
        std::chrono::seconds(1));
  }
  if (!shown) throw std::runtime_error("the window manager did not show the test window " + o.netName_.value_or(o.type_.value_or("")));
}

void TestWindow::destroy() {
  if (id_ == XCB_WINDOW_NONE) return;
  xcb::check(c_.get(), xcb_destroy_window_checked(c_.get(), id_));
  // The next connection of this process may get the same ids: wait until the
  // window manager has let go of this one, or it takes the new window for it.
  waitUntil(
      [&] { return clientListsHolding(c_, id_) == 0; },
      std::chrono::seconds(5));
  id_ = XCB_WINDOW_NONE;
}

void TestWindow::raise() {
  const uint32_t above = XCB_STACK_MODE_ABOVE;
  xcb_configure_window(c_.get(), id_, XCB_CONFIG_WINDOW_STACK_MODE, &above);
  xcb_flush(c_.get());
}

QRect TestWindow::rootFrame() const {
  xcb_connection_t* x = c_.get();
  auto g = xcb::reply(x, xcb_get_geometry(x, id_), xcb_get_geometry_reply);
  auto t = xcb::reply(x, xcb_translate_coordinates(x, id_, c_.root(), 0, 0), xcb_translate_coordinates_reply);
  if (!g || !t) return {};
  return QRect(t->dst_x, t->dst_y, g->width, g->height);
}

QImage screenshot(xcb::Connection& c) {
  const auto* s = c.screen();
  auto r = xcb::reply(c.get(),
                      xcb_get_image(c.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, c.root(), 0, 0, s->width_in_pixels,
                                    s->height_in_pixels, ~0u),
                      xcb_get_image_reply);
  const size_t bytes = size_t(s->width_in_pixels) * s->height_in_pixels * 4;
  if (!r || size_t(xcb_get_image_data_length(r.get())) < bytes) return {};
  return QImage(xcb_get_image_data(r.get()), s->width_in_pixels, s->height_in_pixels, QImage::Format_RGB32).copy();
}

}  // namespace moxi::test
