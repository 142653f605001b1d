// The capture thread: follows the window's events and reads its frames.
#include <poll.h>
#include <pthread.h>
#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "capture/pixel_ops.h"
#include "common/clock.h"
#include "common/log.h"
#include "platform/x11/x11_capture_impl.h"
#include "platform/x11/xcb_owners.h"
#include "platform/x11/xcb_picture.h"
#include <libyuv.h>

namespace moxi {

namespace {

std::string hexId(uint32_t id) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%x", id);
  return buf;
}

bool intersects(const PixelRect& a, const PixelRect& b) {
  return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;
}

// Everything the capture thread owns; lives as long as run() does.
class Capturer {
 public:
  Capturer(X11CaptureStream::Impl& impl, xcb::Connection& conn, const ContentFilter& filter,
           StreamConfiguration config, std::shared_ptr<EventWakeup> wake)
      : impl_(impl),
        conn_(conn),
        c_(conn.get()),
        filter_(filter),
        config_(std::move(config)),
        wake_(std::move(wake)),
        windowMode_(filter.kind == ContentFilter::Kind::desktopIndependentWindow),
        window_(filter.windowID),
        pacer_(impl.output, config_.queueDepth),
        pool_(pacer_.maxQueueDepth() + 3, [this](size_t bytes) { return allocateShared(bytes); }),
        converted_(pacer_.maxQueueDepth()) {
    pool_.setReleaseCallback([w = wake_] { w->signal(); });
    converted_.setReleaseCallback([w = wake_] { w->signal(); });
  }

  void run();

 private:
  PixelStorage allocateShared(size_t bytes);
  void setUp();
  void selectEvents();
  bool nameWindowPixmap();
  void readFrameExtents();
  void windowGone();
  void handleEvent(const xcb_generic_event_t* e);
  void applyConfiguration(const StreamConfiguration& c);
  bool canCapture() const {
    return !closed_ && (windowMode_ ? (mapped_ && pixmap_) : (window_ == XCB_WINDOW_NONE || mapped_));
  }
  PixelRect sourceRegion() const;
  bool converts() const { return config_.pixelFormat == kPixelFormatI420; }
  // The buffers that go out with the frames.
  const PixelBufferPool& framesOut() const { return converts() ? converted_ : pool_; }
  bool deliver(std::shared_ptr<PixelBuffer> frame, int64_t time);
  bool capture();
  bool readImage(xcb_drawable_t drawable, int x, int y, PixelBuffer& into);

  X11CaptureStream::Impl& impl_;
  xcb::Connection& conn_;
  xcb_connection_t* c_;
  const ContentFilter& filter_;
  StreamConfiguration config_;
  std::shared_ptr<EventWakeup> wake_;
  const bool windowMode_;
  const xcb_window_t window_;
  FramePacer pacer_;  // its first queue depth sizes the pool

  std::map<uint32_t, xcb::ShmSegment> segments_;  // attachments of the pool's memory
  PixelBufferPool pool_;
  PixelBufferPool converted_;            // frames converted for the encoder
  std::shared_ptr<PixelBuffer> evenScratch_;  // an odd picture grown to even sides
  xcb::CompositeRedirect redirect_;
  xcb::Damage damage_;
  xcb::Pixmap pixmap_;
  int sourceWidth_ = 0, sourceHeight_ = 0;
  xcb::FrameExtents extents_;  // the shadow margins cut off the pixmap
  xcb_atom_t extentsAtom_ = XCB_ATOM_NONE;
  bool mapped_ = false;
  bool closed_ = false;  // the window is gone or the connection broke
  bool dirty_ = true;    // content changed since the last frame (the first frame is due at once)
  bool pointerInside_ = false;
  int failures_ = 0;  // failed reads in a row
};

PixelStorage Capturer::allocateShared(size_t bytes) {
  PixelStorage storage;
  std::optional<xcb::SharedMemory> memory = xcb::attachSharedMemory(c_, bytes);
  if (!memory) return storage;
  const uint32_t seg = memory->attachment.get();
  segments_.emplace(seg, std::move(memory->attachment));
  storage.bytes = std::shared_ptr<uint8_t>(std::move(memory->data));
  storage.capacity = bytes;
  storage.tag = seg;
  return storage;
}

void Capturer::selectEvents() {
  const bool cursor = config_.showsCursor;
  const uint32_t pointer = cursor ? (XCB_EVENT_MASK_POINTER_MOTION | XCB_EVENT_MASK_ENTER_WINDOW |
                                     XCB_EVENT_MASK_LEAVE_WINDOW)
                                  : 0;
  if (windowMode_) {
    const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE | pointer;
    if (auto e = xcb::check(c_, xcb_change_window_attributes_checked(c_, window_, XCB_CW_EVENT_MASK, &mask))) {
      logLine("capture: window " + hexId(window_) + " does not exist");
      windowGone();
    }
  } else {
    const uint32_t mask = pointer;
    xcb_change_window_attributes(c_, conn_.root(), XCB_CW_EVENT_MASK, &mask);
    // The followed window's map state: while it is hidden, what lies there is
    // someone else's.
    const uint32_t structure = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    if (window_ != XCB_WINDOW_NONE) xcb_change_window_attributes(c_, window_, XCB_CW_EVENT_MASK, &structure);
  }
  xcb_xfixes_select_cursor_input(c_, conn_.root(), cursor ? XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR : 0);
}

void Capturer::setUp() {
  extentsAtom_ = conn_.atom("_GTK_FRAME_EXTENTS");
  selectEvents();
  if (closed_) return;
  const xcb_drawable_t target = windowMode_ ? window_ : conn_.root();
  if (windowMode_) {
    if (xcb::check(c_, xcb_composite_redirect_window_checked(c_, window_, XCB_COMPOSITE_REDIRECT_AUTOMATIC))) {
      logLine("capture: cannot redirect window " + hexId(window_));
      return windowGone();
    }
    redirect_ = xcb::CompositeRedirect(c_, window_);
  }
  const uint32_t damage = xcb_generate_id(c_);
  if (xcb::check(c_, xcb_damage_create_checked(c_, damage, target, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY))) {
    logLine("capture: cannot watch window " + hexId(target) + " for changes");
    return windowGone();
  }
  damage_ = xcb::Damage(c_, damage);
  if (window_ != XCB_WINDOW_NONE) {
    // Parts of a new pixmap that were covered start black; the server asks
    // the application to paint them, which shows up as damage.
    auto attributes = xcb::reply(c_, xcb_get_window_attributes(c_, window_), xcb_get_window_attributes_reply);
    mapped_ = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
    if (mapped_ && windowMode_) nameWindowPixmap();
  }
}

// The window's pixmap changes with every map and resize, so it is named again then.
bool Capturer::nameWindowPixmap() {
  pixmap_.reset();
  const xcb_pixmap_t id = xcb_generate_id(c_);
  if (xcb::check(c_, xcb_composite_name_window_pixmap_checked(c_, window_, id))) return false;  // unmapped: BadMatch
  xcb::Pixmap pixmap(c_, id);
  auto geometry = xcb::reply(c_, xcb_get_geometry(c_, id), xcb_get_geometry_reply);
  if (!geometry || geometry->width == 0 || geometry->height == 0) return false;
  sourceWidth_ = geometry->width;
  sourceHeight_ = geometry->height;
  pixmap_ = std::move(pixmap);
  readFrameExtents();
  dirty_ = true;
  return true;
}

// A client-side-decorated window's shadow is not recorded: the window's
// frame excludes it too (a maximised window has none).
void Capturer::readFrameExtents() {
  auto reply = xcb::reply(c_, xcb::requestFrameExtents(conn_, window_), xcb_get_property_reply);
  extents_ = xcb::frameExtents(reply.get(), sourceWidth_, sourceHeight_);
}

void Capturer::windowGone() {
  if (!closed_) logLine("capture: window " + hexId(window_) + " closed, no more frames");
  closed_ = true;
  impl_.windowClosed = true;
  // The server dropped the DAMAGE object and the redirection with the window.
  damage_.release();
  redirect_.release();
  pixmap_.reset();
}

void Capturer::handleEvent(const xcb_generic_event_t* e) {
  const uint8_t type = xcb::eventType(e);
  if (type == 0) return;  // an error of an unchecked request, e.g. about a window that just closed
  if (type == impl_.damageEventBase + XCB_DAMAGE_NOTIFY) {
    const auto* d = reinterpret_cast<const xcb_damage_notify_event_t*>(e);
    if (!damage_ || d->damage != damage_.get()) return;
    ++impl_.damageEvents;
    // Emptying the damage re-arms the notification for the next change.
    xcb_damage_subtract(c_, damage_.get(), XCB_NONE, XCB_NONE);
    if (windowMode_) {
      dirty_ = true;
    } else {
      const PixelRect area{d->area.x, d->area.y, d->area.width, d->area.height};
      if (intersects(area, sourceRegion())) dirty_ = true;
    }
    return;
  }
  if (type == impl_.xfixesEventBase + XCB_XFIXES_CURSOR_NOTIFY) {
    if (config_.showsCursor && pointerInside_) dirty_ = true;
    return;
  }
  switch (type) {
    case XCB_PROPERTY_NOTIFY: {
      const auto* p = reinterpret_cast<const xcb_property_notify_event_t*>(e);
      if (windowMode_ && p->window == window_ && p->atom == extentsAtom_) {
        readFrameExtents();
        dirty_ = true;
      }
      break;
    }
    case XCB_CONFIGURE_NOTIFY: {
      const auto* c = reinterpret_cast<const xcb_configure_notify_event_t*>(e);
      if (windowMode_ && c->window == window_ && mapped_ &&
          (c->width != sourceWidth_ || c->height != sourceHeight_)) {
        nameWindowPixmap();
      }
      break;
    }
    case XCB_MAP_NOTIFY:
      // Shown again: a display filter's next frame comes with the window's paint.
      if (reinterpret_cast<const xcb_map_notify_event_t*>(e)->window == window_) {
        mapped_ = true;
        if (windowMode_) nameWindowPixmap();
      }
      break;
    case XCB_UNMAP_NOTIFY:
      if (reinterpret_cast<const xcb_unmap_notify_event_t*>(e)->window == window_) {
        mapped_ = false;
        pixmap_.reset();
      }
      break;
    case XCB_DESTROY_NOTIFY:
      if (reinterpret_cast<const xcb_destroy_notify_event_t*>(e)->window != window_) break;
      if (windowMode_) {
        windowGone();
      } else {
        mapped_ = false;
        impl_.windowClosed = true;
      }
      break;
    case XCB_MOTION_NOTIFY: {
      const auto* m = reinterpret_cast<const xcb_motion_notify_event_t*>(e);
      pointerInside_ = windowMode_ ? true : intersects({m->root_x, m->root_y, 1, 1}, sourceRegion());
      if (config_.showsCursor && (pointerInside_ || !windowMode_)) dirty_ = true;
      break;
    }
    case XCB_ENTER_NOTIFY:
    case XCB_LEAVE_NOTIFY:
      pointerInside_ = type == XCB_ENTER_NOTIFY;
      if (config_.showsCursor) dirty_ = true;
      break;
    default:
      break;
  }
}

void Capturer::applyConfiguration(const StreamConfiguration& c) {
  const bool cursorChanged = c.showsCursor != config_.showsCursor;
  config_ = c;
  if (cursorChanged && !closed_) selectEvents();
  dirty_ = true;  // the next frame shows the new geometry
}

PixelRect Capturer::sourceRegion() const {
  if (config_.sourceRect) {
    const Rect& r = *config_.sourceRect;
    if (std::isfinite(r.x) && std::isfinite(r.y) && std::isfinite(r.width) && std::isfinite(r.height)) {
      return {static_cast<int>(std::lround(r.x)), static_cast<int>(std::lround(r.y)),
              std::max(0, static_cast<int>(r.width)), std::max(0, static_cast<int>(r.height))};
    }
  }
  const xcb_screen_t* s = conn_.screen();
  return {0, 0, s->width_in_pixels, s->height_in_pixels};
}

bool Capturer::readImage(xcb_drawable_t drawable, int x, int y, PixelBuffer& into) {
  xcb::Error error;
  auto reply = xcb::reply(c_,
                          xcb_shm_get_image(c_, drawable, static_cast<int16_t>(x), static_cast<int16_t>(y),
                                            static_cast<uint16_t>(into.width), static_cast<uint16_t>(into.height),
                                            ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, into.poolTag, 0),
                          xcb_shm_get_image_reply, &error);
  if (!reply) return false;
  // Depth 24 and 32 images are 32 bits per pixel; anything else is not BGRA.
  return reply->depth == 24 || reply->depth == 32;
}

bool Capturer::capture() {
  const int64_t time = monotonicNanos();
  // Ask for the cursor first: its reply comes back while the image is read.
  xcb_xfixes_get_cursor_image_cookie_t cursorCookie{};
  xcb_translate_coordinates_cookie_t originCookie{};
  if (config_.showsCursor) {
    cursorCookie = xcb_xfixes_get_cursor_image(c_);
    if (windowMode_) originCookie = xcb_translate_coordinates(c_, window_, conn_.root(), 0, 0);
  }
  std::shared_ptr<PixelBuffer> source;
  int originX = 0, originY = 0;
  bool ok = false;
  if (windowMode_) {
    const xcb::FrameExtents e = extents_;
    source = pool_.acquire(sourceWidth_ - e.left - e.right, sourceHeight_ - e.top - e.bottom);
    ok = source && readImage(pixmap_.get(), e.left, e.top, *source);
  } else {
    const PixelRect region = sourceRegion();
    const xcb_screen_t* s = conn_.screen();
    const PixelRect screen{0, 0, s->width_in_pixels, s->height_in_pixels};
    originX = region.x;
    originY = region.y;
    source = pool_.acquire(std::max(1, region.width), std::max(1, region.height));
    if (source && region.width > 0 && region.height > 0) {
      const int x0 = std::max(region.x, 0), y0 = std::max(region.y, 0);
      const int x1 = std::min(region.x + region.width, screen.width);
      const int y1 = std::min(region.y + region.height, screen.height);
      if (x0 == region.x && y0 == region.y && x1 == region.x + region.width && y1 == region.y + region.height) {
        ok = readImage(conn_.root(), region.x, region.y, *source);
      } else {
        // Partly off the screen: what lies outside is black.
        fillBlack(*source, {0, 0, source->width, source->height});
        ok = true;
        if (x1 > x0 && y1 > y0) {
          auto part = pool_.acquire(x1 - x0, y1 - y0);
          ok = part && readImage(conn_.root(), x0, y0, *part);
          if (ok) {
            libyuv::ARGBCopy(part->pixels, part->stride,
                             source->pixels + static_cast<size_t>(y0 - region.y) * source->stride + (x0 - region.x) * 4,
                             source->stride, part->width, part->height);
          }
        }
      }
    }
  }
  auto cursor = config_.showsCursor
                    ? xcb::reply(c_, cursorCookie, xcb_xfixes_get_cursor_image_reply)
                    : xcb::Reply<xcb_xfixes_get_cursor_image_reply_t>();
  if (config_.showsCursor && windowMode_) {
    if (auto origin = xcb::reply(c_, originCookie, xcb_translate_coordinates_reply)) {
      originX = origin->dst_x + extents_.left;
      originY = origin->dst_y + extents_.top;
    }
  }
  if (!ok) return false;
  if (cursor) {
    const int x = cursor->x - cursor->xhot - originX;
    const int y = cursor->y - cursor->yhot - originY;
    pointerInside_ = x + cursor->width > 0 && y + cursor->height > 0 && x < source->width && y < source->height;
    blendCursor(*source, xcb_xfixes_get_cursor_image_cursor_image(cursor.get()), cursor->width, cursor->height, x, y);
  }
  const int outWidth = config_.width > 0 ? config_.width : source->width;
  const int outHeight = config_.height > 0 ? config_.height : source->height;
  if (outWidth == source->width && outHeight == source->height) return deliver(std::move(source), time);
  auto out = pool_.acquire(outWidth, outHeight);
  if (!out) return false;
  if (config_.scalesToFit) scaleToFit(*source, *out);
  else copyTopLeft(*source, *out);
  source.reset();
  return deliver(std::move(out), time);
}

bool Capturer::deliver(std::shared_ptr<PixelBuffer> frame, int64_t time) {
  if (converts()) {
    frame = toI420(*frame, converted_, evenScratch_);
    if (!frame) return false;
  }
  impl_.output.deliver(std::move(frame), time);
  return true;
}

void Capturer::run() {
  setUp();
  const int fd = conn_.fd();
  pacer_.startClock(monotonicNanos());
  while (!impl_.stopRequested) {
    while (xcb::Event e{xcb_poll_for_event(c_)}) handleEvent(e.get());
    if (!closed_ && xcb_connection_has_error(c_)) {
      logLine("capture: the X connection broke, no more frames");
      closed_ = true;
      damage_.release();
      redirect_.release();
      pixmap_.release();
    }
    {
      std::lock_guard lock(impl_.mutex);
      if (impl_.configChanged) {
        impl_.configChanged = false;
        applyConfiguration(impl_.config);
      }
    }
    for (PixelStorage& s : pool_.takeRetired()) segments_.erase(s.tag);
    converted_.takeRetired();  // heap memory: dropping it frees it

    int64_t waitNs = -1;
    if (dirty_ && canCapture()) {
      // While the consumer is behind, the content stays due until a frame comes back.
      if (pacer_.due(config_, framesOut(), monotonicNanos()) == FramePacer::Due::now) {
        if (capture()) {
          dirty_ = false;
          failures_ = 0;
        } else {
          ++impl_.failed;
          // A read fails when the window changed under it: name its pixmap
          // again (its events say the rest). Give up on this change after a
          // few failures in a row rather than spin.
          if (windowMode_ && mapped_ && !closed_) nameWindowPixmap();
          if (++failures_ >= 3) dirty_ = false;
        }
      }
      if (dirty_ && canCapture()) waitNs = pacer_.nanosUntilDue(config_);
    }
    xcb_flush(c_);
    // The replies awaited above may have brought events off the socket: they
    // wait in xcb's queue, where ppoll cannot see them, and a damage event
    // left there is never followed by another (the damage stays unsubtracted).
    if (xcb::Event e{xcb_poll_for_queued_event(c_)}) {
      handleEvent(e.get());
      continue;
    }
    pollfd fds[2] = {{wake_->fd(), POLLIN, 0}, {closed_ && xcb_connection_has_error(c_) ? -1 : fd, POLLIN, 0}};
    timespec timeout{waitNs / 1'000'000'000, waitNs % 1'000'000'000};
    ppoll(fds, 2, waitNs >= 0 ? &timeout : nullptr, nullptr);
    wake_->clear();
  }
}

}  // namespace

void X11CaptureStream::Impl::run() {
  pthread_setname_np(pthread_self(), "moxi-capture");
  StreamConfiguration initial;
  {
    std::lock_guard lock(mutex);
    initial = config;
    configChanged = false;
  }
  {
    Capturer capturer(*this, conn, filter, initial, wake);
    capturer.run();
  }
  // Let the server drop the redirection, DAMAGE and pixmaps now rather than
  // when the stream object goes.
  xcb_flush(conn.get());
}

}  // namespace moxi
