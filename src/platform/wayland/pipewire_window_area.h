#pragma once
// Where the window itself lies in a screen cast's buffer. Compositors cast a
// client-decorated window's whole surface, its translucent shadow included,
// and the window is what is opaque in it (rounded corners aside). Under
// fractional scaling mutter draws the window at the next whole scale while
// its crop and cursor stay at the fractional one: the pixels decide, and the
// crop says where to look.
#include <cstdint>

#include "capture/pixel_ops.h"

namespace moxi {

// Where a 32-bit little-endian pixel keeps its alpha.
struct AlphaBits {
  int shift = 0;
  uint32_t max = 0;  // 0: the layout has none
};

// A buffer of such pixels, read for their alpha.
struct AlphaImage {
  const uint8_t* first = nullptr;  // the top-left pixel
  int stride = 0;
  int width = 0;
  int height = 0;
  AlphaBits alpha;
  // Nearly: edges drawn at a fractional scale are blended (alpha 248 and
  // 253 seen), while a shadow stays far below.
  bool opaque(int x, int y) const;
};

struct WindowArea {
  PixelRect rect;    // the window, in buffer pixels
  PixelRect crop;    // the cast's crop it was found for
  double scale = 1;  // buffer pixels per unit of the crop and of the cursor
  // Samples for the cheap re-check: a row and a column through the window,
  // and which of the four pixels just outside its edges on them were opaque
  // (without an area: whether the crop's middle was).
  int row = 0, column = 0;
  uint8_t outsideOpaque = 0;
  bool found = false;  // an opaque area, not just the crop
  bool operator==(const WindowArea&) const = default;

  // A position of the cast's cursor (buffer corner based, crop units) in
  // the window's pixels.
  double windowX(double x) const { return crop.x + (x - crop.x) * scale - rect.x; }
  double windowY(double y) const { return crop.y + (y - crop.y) * scale - rect.y; }
};

// The window in `image` for the cast's `crop`: the opaque area around the
// crop's middle, grown past the crop where the crop cut it; the crop itself
// for a layout without alpha or when nothing opaque looks like a window.
WindowArea findWindowArea(const AlphaImage& image, PixelRect crop);
// Whether `area` still fits `image`, by eight pixels.
bool windowAreaHolds(const AlphaImage& image, const WindowArea& area);

}  // namespace moxi
