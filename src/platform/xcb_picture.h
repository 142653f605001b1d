#pragma once
// Reading the pixels of X drawables: owners of a client-allocated pixmap id
// and of an MIT-SHM segment shared with the server, and a reader that copies
// a rectangle of a drawable into a QImage (through SHM when the server can
// attach the segment, by a plain GetImage otherwise).
#include <xcb/shm.h>

#include <QImage>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/xcb.h"

namespace moxi::xcb {

// A pixmap of this client (for example named by Composite's
// NameWindowPixmap); freed on destruction. Own only a pixmap that exists.
class Pixmap {
 public:
  Pixmap() = default;
  Pixmap(xcb_connection_t* c, xcb_pixmap_t id) : conn_(c), id_(id) {}
  ~Pixmap() { reset(); }
  Pixmap(Pixmap&& o) noexcept : conn_(o.conn_), id_(o.id_) { o.id_ = XCB_PIXMAP_NONE; }
  Pixmap& operator=(Pixmap&& o) noexcept;
  Pixmap(const Pixmap&) = delete;
  Pixmap& operator=(const Pixmap&) = delete;

  xcb_pixmap_t get() const { return id_; }
  void reset();

 private:
  xcb_connection_t* conn_ = nullptr;
  xcb_pixmap_t id_ = XCB_PIXMAP_NONE;
};

// A System V shared-memory segment mapped here and attached to the X server.
// It is marked for removal as soon as the server holds it, so a crash leaves
// nothing behind.
class ShmSegment {
 public:
  // ok() is false when the segment cannot be made or the server cannot
  // attach it (a display on another machine).
  ShmSegment(Connection& c, size_t size);
  ~ShmSegment();
  ShmSegment(const ShmSegment&) = delete;
  ShmSegment& operator=(const ShmSegment&) = delete;

  bool ok() const { return seg_ != 0; }
  size_t size() const { return size_; }
  const uint8_t* data() const { return data_; }
  xcb_shm_seg_t id() const { return seg_; }

 private:
  xcb_connection_t* conn_ = nullptr;
  size_t size_ = 0;
  uint8_t* data_ = nullptr;
  xcb_shm_seg_t seg_ = 0;
};

// Copies rectangles of drawables into images. Thread-safe: one read at a time
// uses the shared segment.
class ImageReader {
 public:
  explicit ImageReader(Connection& c);
  ~ImageReader();
  ImageReader(const ImageReader&) = delete;
  ImageReader& operator=(const ImageReader&) = delete;

  // The rectangle of `drawable` (whose depth is `depth`) as BGRA pixels:
  // Format_RGB32 for depth 24, Format_ARGB32_Premultiplied for depth 32.
  // Absent when the server refuses (BadMatch: unviewable window, rectangle
  // outside the drawable) or the depth has no 32-bit little-endian layout.
  std::optional<QImage> read(xcb_drawable_t drawable, uint8_t depth, int16_t x, int16_t y, uint16_t width,
                             uint16_t height);

 private:
  bool layoutIs32Bit(uint8_t depth) const;

  Connection& c_;
  bool shmPresent_ = false;
  std::mutex mutex_;
  std::unique_ptr<ShmSegment> shm_;
  bool shmRefused_ = false;
};

}  // namespace moxi::xcb
