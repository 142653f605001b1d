#pragma once
// Owners and small helpers for talking to the X server through XCB.
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace moxi::xcb {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
// Replies, events and errors from XCB are malloc'ed and owned by the caller.
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter>;
using Error = Reply<xcb_generic_error_t>;
using Event = Reply<xcb_generic_event_t>;

// An event's type, without the bit that marks one sent by another client.
inline uint8_t eventType(const xcb_generic_event_t* e) { return e->response_type & 0x7f; }

// Waits for a reply; `error` (optional) receives the X error, if any.
template <class R, class C>
Reply<R> reply(xcb_connection_t* c, C cookie, R* (*fn)(xcb_connection_t*, C, xcb_generic_error_t**),
               Error* error = nullptr) {
  xcb_generic_error_t* e = nullptr;
  Reply<R> r(fn(c, cookie, &e));
  if (error) error->reset(e);
  else std::free(e);
  return r;
}

// The error of a checked request, or null when it succeeded.
inline Error check(xcb_connection_t* c, xcb_void_cookie_t cookie) {
  return Error(xcb_request_check(c, cookie));
}

// One connection to the X server. Thread-safe as XCB is; the atom cache locks.
class Connection {
 public:
  // Opens the display named by `displayName`, or by DISPLAY when null.
  explicit Connection(const char* displayName = nullptr);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool ok() const { return conn_ != nullptr; }
  xcb_connection_t* get() const { return conn_; }
  xcb_screen_t* screen() const { return screen_; }
  xcb_window_t root() const { return screen_ ? screen_->root : xcb_window_t{XCB_WINDOW_NONE}; }
  int fd() const { return xcb_get_file_descriptor(conn_); }

  // The atom of `name`, interned once and cached.
  xcb_atom_t atom(std::string_view name);
  bool hasExtension(xcb_extension_t* ext) const;

 private:
  xcb_connection_t* conn_ = nullptr;
  xcb_screen_t* screen_ = nullptr;
  std::mutex atomsMutex_;
  std::unordered_map<std::string, xcb_atom_t> atoms_;
};

// Decoders of a GetProperty reply: absent when there is no property or it
// has another format (8 for text, 32 for cardinals, atoms and windows).
std::optional<std::string_view> propertyText(const xcb_get_property_reply_t* r);
std::optional<std::vector<uint32_t>> propertyCardinals(const xcb_get_property_reply_t* r);

// Property readers; absent when the window has no such property.
std::optional<std::string> stringProperty(Connection& c, xcb_window_t w, std::string_view property,
                                          xcb_atom_t type = XCB_GET_PROPERTY_TYPE_ANY);
std::optional<std::vector<uint32_t>> cardinalProperty(Connection& c, xcb_window_t w, std::string_view property,
                                                      xcb_atom_t type = XCB_GET_PROPERTY_TYPE_ANY);

// The margins a client-side-decorated window draws its shadow in, outside
// what the user sees as the window (_GTK_FRAME_EXTENTS: left, right, top,
// bottom); none without the property or when they leave nothing of a
// width x height window.
struct FrameExtents {
  int left = 0, right = 0, top = 0, bottom = 0;
  bool operator==(const FrameExtents&) const = default;
};
FrameExtents frameExtents(const xcb_get_property_reply_t* r, int width, int height);
xcb_get_property_cookie_t requestFrameExtents(Connection& c, xcb_window_t w);

}  // namespace moxi::xcb
