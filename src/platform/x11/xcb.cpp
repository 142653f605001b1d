#include "platform/x11/xcb.h"

namespace moxi::xcb {

Connection::Connection(const char* displayName) {
  int screenNumber = 0;
  xcb_connection_t* c = xcb_connect(displayName, &screenNumber);
  if (!c) return;
  if (xcb_connection_has_error(c)) {
    xcb_disconnect(c);
    return;
  }
  conn_ = c;
  auto it = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; it.rem && i < screenNumber; ++i) xcb_screen_next(&it);
  screen_ = it.rem ? it.data : nullptr;
}

Connection::~Connection() {
  if (conn_) xcb_disconnect(conn_);
}

xcb_atom_t Connection::atom(std::string_view name) {
  std::string key(name);
  {
    std::lock_guard lock(atomsMutex_);
    if (auto it = atoms_.find(key); it != atoms_.end()) return it->second;
  }
  if (!conn_) return XCB_ATOM_NONE;
  auto r = reply(conn_, xcb_intern_atom(conn_, 0, static_cast<uint16_t>(key.size()), key.data()),
                 xcb_intern_atom_reply);
  xcb_atom_t a = r ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
  std::lock_guard lock(atomsMutex_);
  atoms_[key] = a;
  return a;
}

bool Connection::hasExtension(xcb_extension_t* ext) const {
  if (!conn_) return false;
  const xcb_query_extension_reply_t* r = xcb_get_extension_data(conn_, ext);
  return r && r->present;
}

namespace {
Reply<xcb_get_property_reply_t> property(Connection& c, xcb_window_t w, std::string_view name, xcb_atom_t type) {
  if (!c.ok()) return nullptr;
  xcb_atom_t a = c.atom(name);
  if (a == XCB_ATOM_NONE) return nullptr;
  auto r = reply(c.get(), xcb_get_property(c.get(), 0, w, a, type, 0, 1 << 20), xcb_get_property_reply);
  if (!r || r->type == XCB_ATOM_NONE) return nullptr;
  return r;
}
}  // namespace

std::optional<std::string_view> propertyText(const xcb_get_property_reply_t* r) {
  if (!r || r->type == XCB_ATOM_NONE || r->format != 8) return std::nullopt;
  return std::string_view(static_cast<const char*>(xcb_get_property_value(r)),
                          static_cast<size_t>(xcb_get_property_value_length(r)));
}

std::optional<std::vector<uint32_t>> propertyCardinals(const xcb_get_property_reply_t* r) {
  if (!r || r->type == XCB_ATOM_NONE || r->format != 32) return std::nullopt;
  const auto* data = static_cast<const uint32_t*>(xcb_get_property_value(r));
  return std::vector<uint32_t>(data, data + xcb_get_property_value_length(r) / 4);
}

std::optional<std::string> stringProperty(Connection& c, xcb_window_t w, std::string_view name, xcb_atom_t type) {
  auto r = property(c, w, name, type);
  if (auto text = propertyText(r.get())) return std::string(*text);
  return std::nullopt;
}

std::optional<std::vector<uint32_t>> cardinalProperty(Connection& c, xcb_window_t w, std::string_view name,
                                                      xcb_atom_t type) {
  return propertyCardinals(property(c, w, name, type).get());
}

FrameExtents frameExtents(const xcb_get_property_reply_t* r, int width, int height) {
  const std::optional<std::vector<uint32_t>> v = propertyCardinals(r);
  if (!v || v->size() != 4) return {};
  const uint32_t limit = 1 << 15;
  for (uint32_t m : *v)
    if (m >= limit) return {};
  FrameExtents e{int((*v)[0]), int((*v)[1]), int((*v)[2]), int((*v)[3])};
  if (e.left + e.right >= width || e.top + e.bottom >= height) return {};
  return e;
}

xcb_get_property_cookie_t requestFrameExtents(Connection& c, xcb_window_t w) {
  return xcb_get_property(c.get(), 0, w, c.atom("_GTK_FRAME_EXTENTS"), XCB_ATOM_CARDINAL, 0, 4);
}

}  // namespace moxi::xcb
