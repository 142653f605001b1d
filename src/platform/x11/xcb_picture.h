#pragma once
// Reading the pixels of X drawables: an MIT-SHM segment shared with the
// server, and a reader that copies
// a rectangle of a drawable into a QImage (through SHM when the server can
// attach the segment, by a plain GetImage otherwise).
#include <xcb/shm.h>

#include <QImage>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/x11/xcb.h"
#include "platform/x11/xcb_owners.h"

namespace moxi::xcb {

// Unmaps a System V shared-memory mapping of this process.
struct ShmUnmap {
  void operator()(uint8_t* p) const;
};

// A System V shared-memory segment mapped here and attached to the X server.
// It is marked for removal as soon as the server holds it, so a crash leaves
// nothing behind; the memory goes once both sides have let go.
struct SharedMemory {
  std::unique_ptr<uint8_t, ShmUnmap> data;
  ShmSegment attachment;  // declared after `data`: detached before unmapping
  size_t size = 0;
};

// Absent when the segment cannot be made or the server cannot attach it (a
// display on another machine).
std::optional<SharedMemory> attachSharedMemory(xcb_connection_t* c, size_t size);

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
  // Lets the shared memory of the reads go (the next read makes it anew).
  void releaseMemory();

 private:
  bool layoutIs32Bit(uint8_t depth) const;

  Connection& c_;
  bool shmPresent_ = false;
  std::mutex mutex_;
  std::optional<SharedMemory> shm_;
  bool shmRefused_ = false;
};

}  // namespace moxi::xcb
