#pragma once
// Owners of server-side X resources (pixmaps, DAMAGE objects, shared-memory
// attachments, Composite redirections). Each frees its resource with an
// unchecked request; an error because the window is already gone is harmless
// and arrives as an ignored event.
#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <utility>

namespace moxi::xcb {

// A resource id allocated by this client, freed by `Free` on destruction.
template <xcb_void_cookie_t (*Free)(xcb_connection_t*, uint32_t)>
class OwnedId {
 public:
  OwnedId() = default;
  OwnedId(xcb_connection_t* c, uint32_t id) : conn_(c), id_(id) {}
  ~OwnedId() { reset(); }
  OwnedId(OwnedId&& o) noexcept : conn_(o.conn_), id_(std::exchange(o.id_, 0)) {}
  OwnedId& operator=(OwnedId&& o) noexcept {
    if (this != &o) {
      reset();
      conn_ = o.conn_;
      id_ = std::exchange(o.id_, 0);
    }
    return *this;
  }
  OwnedId(const OwnedId&) = delete;
  OwnedId& operator=(const OwnedId&) = delete;

  uint32_t get() const { return id_; }
  explicit operator bool() const { return id_ != 0; }
  void reset() {
    if (id_ && conn_) {
      Free(conn_, id_);
      xcb_flush(conn_);  // freed now, not with the next request
    }
    id_ = 0;
  }
  // Forgets the id without freeing it (the server already did).
  void release() { id_ = 0; }

 private:
  xcb_connection_t* conn_ = nullptr;
  uint32_t id_ = 0;
};

using Pixmap = OwnedId<xcb_free_pixmap>;
using Damage = OwnedId<xcb_damage_destroy>;
using ShmSegment = OwnedId<xcb_shm_detach>;

inline xcb_void_cookie_t unredirectAutomatic(xcb_connection_t* c, xcb_window_t w) {
  return xcb_composite_unredirect_window(c, w, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
}
// An automatic Composite redirection of one window, undone on destruction.
using CompositeRedirect = OwnedId<unredirectAutomatic>;

}  // namespace moxi::xcb
