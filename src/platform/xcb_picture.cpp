#include "platform/xcb_picture.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstring>

namespace moxi::xcb {

Pixmap& Pixmap::operator=(Pixmap&& o) noexcept {
  if (this != &o) {
    reset();
    conn_ = o.conn_;
    id_ = o.id_;
    o.id_ = XCB_PIXMAP_NONE;
  }
  return *this;
}

void Pixmap::reset() {
  if (conn_ && id_ != XCB_PIXMAP_NONE) {
    // No reply to wait for: freeing a pixmap of ours cannot fail.
    xcb_free_pixmap(conn_, id_);
    xcb_flush(conn_);
  }
  id_ = XCB_PIXMAP_NONE;
}

ShmSegment::ShmSegment(Connection& c, size_t size) : conn_(c.get()) {
  if (!c.ok() || size == 0) return;
  int shmid = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
  if (shmid < 0) return;
  void* addr = shmat(shmid, nullptr, 0);
  if (addr == reinterpret_cast<void*>(-1)) {
    shmctl(shmid, IPC_RMID, nullptr);
    return;
  }
  xcb_shm_seg_t seg = xcb_generate_id(conn_);
  Error e = check(conn_, xcb_shm_attach_checked(conn_, seg, static_cast<uint32_t>(shmid), 0));
  // Both sides are attached now (or the server refused): the segment goes
  // away with the last detach.
  shmctl(shmid, IPC_RMID, nullptr);
  if (e) {
    shmdt(addr);
    return;
  }
  data_ = static_cast<uint8_t*>(addr);
  size_ = size;
  seg_ = seg;
}

ShmSegment::~ShmSegment() {
  if (seg_ != 0) check(conn_, xcb_shm_detach_checked(conn_, seg_));
  if (data_) shmdt(data_);
}

ImageReader::ImageReader(Connection& c) : c_(c) {
  shmPresent_ = c.hasExtension(&xcb_shm_id);
}

ImageReader::~ImageReader() = default;

bool ImageReader::layoutIs32Bit(uint8_t depth) const {
  const xcb_setup_t* setup = xcb_get_setup(c_.get());
  if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) return false;
  for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem; xcb_format_next(&it)) {
    if (it.data->depth == depth) return it.data->bits_per_pixel == 32;
  }
  return false;
}

std::optional<QImage> ImageReader::read(xcb_drawable_t drawable, uint8_t depth, int16_t x, int16_t y,
                                        uint16_t width, uint16_t height) {
  if (!c_.ok() || width == 0 || height == 0) return std::nullopt;
  if ((depth != 24 && depth != 32) || !layoutIs32Bit(depth)) return std::nullopt;
  const QImage::Format format = depth == 32 ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32;
  const size_t rowBytes = size_t{width} * 4;  // 32 bits per pixel: rows are never padded
  const size_t bytes = rowBytes * height;

  auto copy = [&](const uint8_t* src) {
    QImage image(width, height, format);
    if (image.isNull()) return std::optional<QImage>{};
    for (int row = 0; row < height; ++row) std::memcpy(image.scanLine(row), src + row * rowBytes, rowBytes);
    return std::optional<QImage>(std::move(image));
  };

  if (shmPresent_) {
    std::lock_guard lock(mutex_);
    if (!shmRefused_ && (!shm_ || shm_->size() < bytes)) {
      // Grow in whole mebibytes so that similar windows reuse one segment.
      const size_t mib = size_t{1} << 20;
      shm_.reset();
      shm_ = std::make_unique<ShmSegment>(c_, (bytes + mib - 1) / mib * mib);
      if (!shm_->ok()) {
        shm_.reset();
        shmRefused_ = true;  // remote display: plain reads from now on
      }
    }
    if (shm_) {
      Error error;
      auto r = reply(c_.get(),
                     xcb_shm_get_image(c_.get(), drawable, x, y, width, height, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                                       shm_->id(), 0),
                     xcb_shm_get_image_reply, &error);
      if (!r || error || r->size < bytes) return std::nullopt;
      return copy(shm_->data());
    }
  }

  Error error;
  auto r = reply(c_.get(), xcb_get_image(c_.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, x, y, width, height, ~0u),
                 xcb_get_image_reply, &error);
  if (!r || error || static_cast<size_t>(xcb_get_image_data_length(r.get())) < bytes) return std::nullopt;
  return copy(xcb_get_image_data(r.get()));
}

}  // namespace moxi::xcb
