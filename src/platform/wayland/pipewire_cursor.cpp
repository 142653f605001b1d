#include "platform/wayland/pipewire_cursor.h"

#include <libyuv.h>
#include <spa/param/video/raw.h>

#include "capture/pixel_ops.h"
#include "platform/wayland/pipewire_formats.h"

namespace moxi {

bool CursorTracker::update(const spa_meta_cursor* meta, size_t size) {
  if (!meta || size < sizeof(spa_meta_cursor) || !spa_meta_cursor_is_valid(meta)) return false;  // nothing new
  const bool wasShown = shown();
  const int oldX = x_, oldY = y_;
  const bool imageChanged = readBitmap(meta, size);
  x_ = meta->position.x;
  y_ = meta->position.y;
  const bool first = !known_;
  known_ = true;
  return first || imageChanged || wasShown != shown() || oldX != x_ || oldY != y_;
}

bool CursorTracker::readBitmap(const spa_meta_cursor* meta, size_t size) {
  if (meta->bitmap_offset == 0) return false;  // the image did not change
  if (meta->bitmap_offset < sizeof(spa_meta_cursor) || meta->bitmap_offset + sizeof(spa_meta_bitmap) > size)
    return false;
  const auto* bitmap = SPA_PTROFF(meta, meta->bitmap_offset, const spa_meta_bitmap);
  if (!spa_meta_bitmap_is_valid(bitmap)) return false;
  const int w = static_cast<int>(bitmap->size.width), h = static_cast<int>(bitmap->size.height);
  const size_t end = size_t{meta->bitmap_offset} + bitmap->offset + static_cast<size_t>(bitmap->stride) * h;
  if (bitmap->offset < sizeof(spa_meta_bitmap) || w <= 0 || h <= 0 || w > kMaxCursorSide || h > kMaxCursorSide ||
      bitmap->stride < w * 4 || end > size) {
    // No pixels: the pointer is hidden (or the image is one this stream cannot read).
    const bool changed = !hidden_;
    hidden_ = true;
    return changed;
  }
  const auto* pixels = SPA_PTROFF(bitmap, bitmap->offset, const uint8_t);
  argb_.assign(static_cast<size_t>(w) * h, 0);
  auto* out = reinterpret_cast<uint8_t*>(argb_.data());
  const int outStride = w * 4;
  switch (bitmap->format) {
    case SPA_VIDEO_FORMAT_BGRA:
      libyuv::ARGBCopy(pixels, bitmap->stride, out, outStride, w, h);
      break;
    case SPA_VIDEO_FORMAT_RGBA:
      libyuv::ABGRToARGB(pixels, bitmap->stride, out, outStride, w, h);
      break;
    case SPA_VIDEO_FORMAT_ARGB:
      libyuv::BGRAToARGB(pixels, bitmap->stride, out, outStride, w, h);
      break;
    case SPA_VIDEO_FORMAT_ABGR:
      libyuv::RGBAToARGB(pixels, bitmap->stride, out, outStride, w, h);
      break;
    default:
      hidden_ = true;
      return true;
  }
  width_ = w;
  height_ = h;
  hotX_ = meta->hotspot.x;
  hotY_ = meta->hotspot.y;
  hidden_ = false;
  return true;
}

void CursorTracker::draw(PixelBuffer& dst, int x, int y) const {
  if (!shown() || argb_.empty()) return;
  blendCursor(dst, argb_.data(), width_, height_, x - hotX_, y - hotY_);
}

}  // namespace moxi
