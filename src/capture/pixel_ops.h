#pragma once
// Pixel work shared by the capture stream and the writer (BGRA, but for toI420).
#include <cstdint>

#include "capture/sample_buffer.h"

namespace moxi {

struct PixelRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool operator==(const PixelRect&) const = default;
};

// Where a srcWidth x srcHeight image lands when fitted into dstWidth x
// dstHeight with its aspect ratio kept, centred (at least 1 x 1).
PixelRect fitRect(int srcWidth, int srcHeight, int dstWidth, int dstHeight);

// Scales `src` into `dst` as fitRect says and paints the borders opaque black.
void scaleToFit(const PixelBuffer& src, PixelBuffer& dst);

// Copies the top-left part of `src` that fits into `dst`; the rest of `dst`
// becomes opaque black.
void copyTopLeft(const PixelBuffer& src, PixelBuffer& dst);

// Copies `src` into `dst`, which is at most one pixel wider and taller, at
// its bottom left; the extra column on the right and row on the top repeat
// the picture's edges.
void padToEven(const PixelBuffer& src, PixelBuffer& dst);

// A BGRA picture converted for the encoder (BT.601, limited range) into an
// i420 buffer of its size from `pool`; null when the pool has none to give
// or `src` has no pixels. An odd picture is grown to even sides as padToEven
// does, in `scratch` (kept by the caller for the next frame).
std::shared_ptr<PixelBuffer> toI420(const PixelBuffer& src, PixelBufferPool& pool,
                                    std::shared_ptr<PixelBuffer>& scratch);

// Paints the rectangle opaque black (clipped to the buffer).
void fillBlack(PixelBuffer& dst, PixelRect r);

// Draws a cursor image (premultiplied ARGB words, as XFIXES gives them)
// with its top-left corner at (x, y) of `dst`, clipped, blending over what
// is there.
void blendCursor(PixelBuffer& dst, const uint32_t* argb, int width, int height, int x, int y);

}  // namespace moxi
