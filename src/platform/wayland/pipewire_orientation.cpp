#include "platform/wayland/pipewire_orientation.h"

#include <libyuv.h>
#include <spa/buffer/meta.h>

namespace moxi {

namespace {
bool isFlipped(uint32_t t) { return t >= SPA_META_TRANSFORMATION_Flipped && t <= SPA_META_TRANSFORMATION_Flipped270; }

// The compositor turned the picture counter-clockwise by this much (after a
// flip); libyuv turns clockwise, which undoes it.
libyuv::RotationMode undoing(uint32_t t) {
  switch (t) {
    case SPA_META_TRANSFORMATION_90:
    case SPA_META_TRANSFORMATION_Flipped90:
      return libyuv::kRotate90;
    case SPA_META_TRANSFORMATION_180:
    case SPA_META_TRANSFORMATION_Flipped180:
      return libyuv::kRotate180;
    case SPA_META_TRANSFORMATION_270:
    case SPA_META_TRANSFORMATION_Flipped270:
      return libyuv::kRotate270;
    default:
      return libyuv::kRotate0;
  }
}
}  // namespace

uint32_t bufferTransform(const spa_buffer* buf) {
  const auto* m = static_cast<const spa_meta_videotransform*>(
      spa_buffer_find_meta_data(buf, SPA_META_VideoTransform, sizeof(spa_meta_videotransform)));
  return m && m->transform <= SPA_META_TRANSFORMATION_Flipped270 ? m->transform
                                                                 : uint32_t{SPA_META_TRANSFORMATION_None};
}

bool swapsSides(uint32_t transform) {
  const libyuv::RotationMode r = undoing(transform);
  return r == libyuv::kRotate90 || r == libyuv::kRotate270;
}

void makeUpright(const PixelBuffer& src, PixelBuffer& dst, uint32_t transform, std::shared_ptr<PixelBuffer>& scratch) {
  const libyuv::RotationMode rotation = undoing(transform);
  if (!isFlipped(transform)) {
    libyuv::ARGBRotate(src.pixels, src.stride, dst.pixels, dst.stride, src.width, src.height, rotation);
    return;
  }
  // Flipped, then turned: turned back, then flipped back.
  const PixelBuffer* turned = &src;
  if (rotation != libyuv::kRotate0) {
    if (!scratch || scratch->width != dst.width || scratch->height != dst.height)
      scratch = PixelBuffer::allocate(dst.width, dst.height);
    if (!scratch || !scratch->pixels) return;
    libyuv::ARGBRotate(src.pixels, src.stride, scratch->pixels, scratch->stride, src.width, src.height, rotation);
    turned = scratch.get();
  }
  libyuv::ARGBMirror(turned->pixels, turned->stride, dst.pixels, dst.stride, dst.width, dst.height);
}

std::pair<double, double> uprightPoint(double x, double y, int width, int height, uint32_t transform) {
  double ux = x, uy = y;
  int uprightWidth = width;
  switch (undoing(transform)) {
    case libyuv::kRotate90:
      ux = height - 1 - y;
      uy = x;
      uprightWidth = height;
      break;
    case libyuv::kRotate180:
      ux = width - 1 - x;
      uy = height - 1 - y;
      break;
    case libyuv::kRotate270:
      ux = y;
      uy = width - 1 - x;
      uprightWidth = height;
      break;
    default:
      break;
  }
  if (isFlipped(transform)) ux = uprightWidth - 1 - ux;
  return {ux, uy};
}

}  // namespace moxi
