#include "platform/wayland/pipewire_window_area.h"

#include <array>
#include <cstring>
#include <utility>

namespace moxi {

namespace {
constexpr uint32_t kOpaqueAlpha = 240;  // of 255

// The four pixels just outside the area's edges, on its sample row and column.
std::array<std::pair<int, int>, 4> outsidePixels(const WindowArea& a) {
  return {{{a.rect.x - 1, a.row}, {a.rect.x + a.rect.width, a.row}, {a.column, a.rect.y - 1},
           {a.column, a.rect.y + a.rect.height}}};
}

bool inside(const AlphaImage& image, int x, int y) { return x >= 0 && y >= 0 && x < image.width && y < image.height; }

// At least half of it: rounded corners leave the ends out.
bool edgeMostlyOpaque(const AlphaImage& image, int x, int y, int dx, int dy, int length) {
  int opaque = 0;
  for (int i = 0; i < length; ++i, x += dx, y += dy) opaque += image.opaque(x, y);
  return opaque * 2 >= length;
}
}  // namespace

bool AlphaImage::opaque(int x, int y) const {
  uint32_t v;
  std::memcpy(&v, first + static_cast<size_t>(y) * stride + static_cast<size_t>(x) * 4, 4);
  return ((v >> alpha.shift) & alpha.max) * 255 >= kOpaqueAlpha * alpha.max;
}

WindowArea findWindowArea(const AlphaImage& image, PixelRect crop) {
  WindowArea area;
  area.rect = area.crop = crop;
  area.column = crop.x + crop.width / 2;
  area.row = crop.y + crop.height / 2;
  if (!image.alpha.max || crop.width < 1 || crop.height < 1) return area;
  // Until one is found, the crop's middle tells when to look again.
  area.outsideOpaque = image.opaque(area.column, area.row);
  const int row = area.row, column = area.column;
  const int cropRight = crop.x + crop.width, cropBottom = crop.y + crop.height;
  int left = crop.x, top = crop.y;
  while (left < cropRight && !image.opaque(left, row)) ++left;
  while (top < cropBottom && !image.opaque(column, top)) ++top;
  if (left == cropRight || top == cropBottom) return area;
  int right = cropRight, bottom = cropBottom;
  while (!image.opaque(right - 1, row)) --right;
  while (!image.opaque(column, bottom - 1)) --bottom;
  // A shadow on the left or top and none where the crop ends: the crop is
  // smaller than the window as drawn, which goes on past it.
  const bool wider = left > crop.x && right == cropRight;
  const bool taller = top > crop.y && bottom == cropBottom;
  if (wider)
    while (right < image.width && image.opaque(right, row)) ++right;
  if (taller)
    while (bottom < image.height && image.opaque(column, bottom)) ++bottom;
  const PixelRect rect{left, top, right - left, bottom - top};
  if (!edgeMostlyOpaque(image, left, top, 1, 0, rect.width) ||
      !edgeMostlyOpaque(image, left, bottom - 1, 1, 0, rect.width) ||
      !edgeMostlyOpaque(image, left, top, 0, 1, rect.height) ||
      !edgeMostlyOpaque(image, right - 1, top, 0, 1, rect.height))
    return area;
  area.rect = rect;
  area.found = true;
  area.outsideOpaque = 0;
  // The crop (and the cursor) measure the surface with its shadow, whose
  // sides are alike left and right: the surface is as wide in pixels as the
  // window plus twice its left margin.
  if (right > cropRight || bottom > cropBottom)
    area.scale = static_cast<double>(2 * (left - crop.x) + rect.width) / crop.width;
  int bit = 0;
  for (auto [x, y] : outsidePixels(area)) {
    if (inside(image, x, y) && image.opaque(x, y)) area.outsideOpaque |= static_cast<uint8_t>(1 << bit);
    ++bit;
  }
  return area;
}

bool windowAreaHolds(const AlphaImage& image, const WindowArea& area) {
  if (!image.alpha.max) return true;
  const PixelRect& r = area.rect;
  if (r.x < 0 || r.y < 0 || r.width < 1 || r.height < 1 || r.x + r.width > image.width ||
      r.y + r.height > image.height)
    return false;  // found in a buffer of another size
  if (!area.found) return !inside(image, area.column, area.row) || image.opaque(area.column, area.row) == area.outsideOpaque;
  if (!image.opaque(r.x, area.row) || !image.opaque(r.x + r.width - 1, area.row) || !image.opaque(area.column, r.y) ||
      !image.opaque(area.column, r.y + r.height - 1))
    return false;
  int bit = 0;
  for (auto [x, y] : outsidePixels(area)) {
    const bool opaque = inside(image, x, y) && image.opaque(x, y);
    if (opaque != ((area.outsideOpaque >> bit) & 1)) return false;
    ++bit;
  }
  return true;
}

}  // namespace moxi
