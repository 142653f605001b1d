#include "capture/pixel_ops.h"

#include <libyuv.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace moxi {

PixelRect fitRect(int srcWidth, int srcHeight, int dstWidth, int dstHeight) {
  if (srcWidth <= 0 || srcHeight <= 0 || dstWidth <= 0 || dstHeight <= 0) return {};
  const double scale = std::min(static_cast<double>(dstWidth) / srcWidth, static_cast<double>(dstHeight) / srcHeight);
  const int w = std::clamp(static_cast<int>(std::lround(srcWidth * scale)), 1, dstWidth);
  const int h = std::clamp(static_cast<int>(std::lround(srcHeight * scale)), 1, dstHeight);
  return {(dstWidth - w) / 2, (dstHeight - h) / 2, w, h};
}

void fillBlack(PixelBuffer& dst, PixelRect r) {
  const int x0 = std::max(0, r.x), y0 = std::max(0, r.y);
  const int x1 = std::min(dst.width, r.x + r.width), y1 = std::min(dst.height, r.y + r.height);
  if (x1 <= x0 || y1 <= y0 || !dst.pixels) return;
  libyuv::ARGBRect(dst.pixels, dst.stride, x0, y0, x1 - x0, y1 - y0, 0xff000000u);
}

namespace {
// Paints everything of `dst` outside `inner` black.
void fillBorders(PixelBuffer& dst, PixelRect inner) {
  fillBlack(dst, {0, 0, dst.width, inner.y});
  fillBlack(dst, {0, inner.y + inner.height, dst.width, dst.height - inner.y - inner.height});
  fillBlack(dst, {0, inner.y, inner.x, inner.height});
  fillBlack(dst, {inner.x + inner.width, inner.y, dst.width - inner.x - inner.width, inner.height});
}
}  // namespace

void scaleToFit(const PixelBuffer& src, PixelBuffer& dst) {
  if (!src.pixels || !dst.pixels) return;
  const PixelRect r = fitRect(src.width, src.height, dst.width, dst.height);
  if (r.width == 0) return fillBlack(dst, {0, 0, dst.width, dst.height});
  uint8_t* target = dst.pixels + static_cast<size_t>(r.y) * dst.stride + static_cast<size_t>(r.x) * 4;
  if (r.width == src.width && r.height == src.height) {
    libyuv::ARGBCopy(src.pixels, src.stride, target, dst.stride, r.width, r.height);
  } else {
    libyuv::ARGBScale(src.pixels, src.stride, src.width, src.height, target, dst.stride, r.width, r.height,
                      libyuv::kFilterBox);
  }
  fillBorders(dst, r);
}

void padToEven(const PixelBuffer& src, PixelBuffer& dst) {
  if (!src.pixels || !dst.pixels || src.width <= 0 || src.height <= 0) return;
  const int top = dst.height - src.height;  // 0 or 1
  const int width = std::min(src.width, dst.width);
  for (int y = 0; y < dst.height; ++y) {
    const int from = std::clamp(y - top, 0, src.height - 1);
    auto* in = reinterpret_cast<const uint32_t*>(src.pixels + static_cast<size_t>(from) * src.stride);
    auto* out = reinterpret_cast<uint32_t*>(dst.pixels + static_cast<size_t>(y) * dst.stride);
    std::copy(in, in + width, out);
    std::fill(out + width, out + dst.width, in[width - 1]);
  }
}

void copyTopLeft(const PixelBuffer& src, PixelBuffer& dst) {
  if (!src.pixels || !dst.pixels) return;
  const PixelRect r{0, 0, std::min(src.width, dst.width), std::min(src.height, dst.height)};
  if (r.width > 0 && r.height > 0) libyuv::ARGBCopy(src.pixels, src.stride, dst.pixels, dst.stride, r.width, r.height);
  fillBorders(dst, r);
}

std::shared_ptr<PixelBuffer> toI420(const PixelBuffer& src, PixelBufferPool& pool,
                                    std::shared_ptr<PixelBuffer>& scratch) {
  if (!src.pixels) return nullptr;
  auto planes = pool.acquire(src.width, src.height, PixelFormat::i420);
  if (!planes || !planes->pixels) return nullptr;
  PixelBuffer& dst = *planes;
  const PixelBuffer* even = &src;
  if (src.width != dst.evenWidth() || src.height != dst.evenHeight()) {
    if (!scratch || scratch->width != dst.evenWidth() || scratch->height != dst.evenHeight())
      scratch = PixelBuffer::allocate(dst.evenWidth(), dst.evenHeight());
    padToEven(src, *scratch);
    even = scratch.get();
  }
  libyuv::ARGBToI420(even->pixels, even->stride, dst.pixels, dst.stride, dst.planeU(), dst.chromaStride(),
                     dst.planeV(), dst.chromaStride(), dst.evenWidth(), dst.evenHeight());
  return planes;
}

void blendCursor(PixelBuffer& dst, const uint32_t* argb, int width, int height, int x, int y) {
  if (!dst.pixels || !argb) return;
  const int x0 = std::max(0, x), y0 = std::max(0, y);
  const int x1 = std::min(dst.width, x + width), y1 = std::min(dst.height, y + height);
  for (int row = y0; row < y1; ++row) {
    const uint32_t* s = argb + static_cast<size_t>(row - y) * width + (x0 - x);
    auto* d = reinterpret_cast<uint32_t*>(dst.pixels + static_cast<size_t>(row) * dst.stride) + x0;
    for (int col = x0; col < x1; ++col, ++s, ++d) {
      const uint32_t a = *s >> 24;
      if (a == 0) continue;
      if (a == 255) {
        *d = *s;
        continue;
      }
      // Premultiplied "over": each channel is src + dst * (1 - alpha).
      uint32_t out = 0;
      for (int shift = 0; shift < 32; shift += 8) {
        const uint32_t sc = (*s >> shift) & 0xff, dc = (*d >> shift) & 0xff;
        const uint32_t c = std::min<uint32_t>(255, sc + (dc * (255 - a) + 127) / 255);
        out |= c << shift;
      }
      *d = out;
    }
  }
}

}  // namespace moxi
