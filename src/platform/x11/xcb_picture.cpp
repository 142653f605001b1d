#include "platform/x11/xcb_picture.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstring>

namespace moxi::xcb {

namespace {
constexpr size_t kKeptSegmentBytes = size_t{4} << 20;  // a 1280x720 window's read, and smaller ones
}

void ShmUnmap::operator()(uint8_t* p) const { shmdt(p); }

std::optional<SharedMemory> attachSharedMemory(xcb_connection_t* c, size_t size) {
  if (size == 0) return std::nullopt;
  const int shmid = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
  if (shmid < 0) return std::nullopt;
  void* address = shmat(shmid, nullptr, 0);
  if (address == reinterpret_cast<void*>(-1)) {
    shmctl(shmid, IPC_RMID, nullptr);
    return std::nullopt;
  }
  SharedMemory memory;
  memory.data.reset(static_cast<uint8_t*>(address));
  const xcb_shm_seg_t seg = xcb_generate_id(c);
  Error e = check(c, xcb_shm_attach_checked(c, seg, static_cast<uint32_t>(shmid), 0));
  // Both sides are attached now (or the server refused): the segment goes
  // away with the last detach.
  shmctl(shmid, IPC_RMID, nullptr);
  if (e) return std::nullopt;
  memory.attachment = ShmSegment(c, seg);
  memory.size = size;
  return memory;
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

void ImageReader::releaseMemory() {
  std::lock_guard lock(mutex_);
  shm_.reset();
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

  // A small read comes as well in the reply; shared memory pays off for big ones.
  if (shmPresent_ && bytes > 64 * 1024) {
    std::lock_guard lock(mutex_);
    if (!shmRefused_ && (!shm_ || shm_->size < bytes)) {
      // Grow in whole mebibytes so that similar windows reuse one segment.
      const size_t mib = size_t{1} << 20;
      shm_.reset();
      shm_ = attachSharedMemory(c_.get(), (bytes + mib - 1) / mib * mib);
      if (!shm_) shmRefused_ = true;  // remote display: plain reads from now on
    }
    if (shm_) {
      Error error;
      auto r = reply(c_.get(),
                     xcb_shm_get_image(c_.get(), drawable, x, y, width, height, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                                       shm_->attachment.get(), 0),
                     xcb_shm_get_image_reply, &error);
      auto image = !r || error || r->size < bytes ? std::nullopt : copy(shm_->data.get());
      // A big window's segment is not kept: a resting program would hold
      // a 4K window's 32 MB for the next listing.
      if (shm_->size > kKeptSegmentBytes) shm_.reset();
      return image;
    }
  }

  Error error;
  auto r = reply(c_.get(), xcb_get_image(c_.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, x, y, width, height, ~0u),
                 xcb_get_image_reply, &error);
  if (!r || error || static_cast<size_t>(xcb_get_image_data_length(r.get())) < bytes) return std::nullopt;
  return copy(xcb_get_image_data(r.get()));
}

}  // namespace moxi::xcb
