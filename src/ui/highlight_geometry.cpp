#include "ui/highlight_geometry.h"

#include <algorithm>
#include <cmath>

namespace moxi {

Rect rootRectFromScreenFrame(Rect frame, double primaryScreenHeight) {
  return {frame.x, primaryScreenHeight - (frame.y + frame.height), frame.width, frame.height};
}

QRect pixelRect(Rect r) {
  const long left = std::lround(r.minX());
  const long top = std::lround(r.minY());
  const long width = std::max(1L, std::lround(r.maxX()) - left);
  const long height = std::max(1L, std::lround(r.maxY()) - top);
  return QRect(static_cast<int>(left), static_cast<int>(top), static_cast<int>(width), static_cast<int>(height));
}

namespace {

// A rectangle with rounded corners, one run of pixels per row near the
// corners: a pixel is inside when its centre is inside the arc.
QRegion roundedRegion(QRect r, int radius) {
  radius = std::min({radius, r.width() / 2, r.height() / 2});
  if (radius <= 0 || r.isEmpty()) return QRegion(r);
  QRegion region(r.adjusted(0, radius, 0, -radius));
  for (int row = 0; row < radius; ++row) {
    const double dy = radius - (row + 0.5);
    const double dx = std::sqrt(static_cast<double>(radius) * radius - dy * dy);
    const int inset = static_cast<int>(std::ceil(radius - dx - 0.5));
    const int width = r.width() - 2 * inset;
    if (width <= 0) continue;
    region += QRect(r.left() + inset, r.top() + row, width, 1);
    region += QRect(r.left() + inset, r.bottom() - row, width, 1);
  }
  return region;
}

}  // namespace

QRegion ringRegion(QSize size, int cornerRadius, int borderWidth) {
  if (size.isEmpty() || borderWidth <= 0) return {};
  const QRect outer(QPoint(0, 0), size);
  const QRect inner = outer.adjusted(borderWidth, borderWidth, -borderWidth, -borderWidth);
  QRegion ring = roundedRegion(outer, cornerRadius);
  if (!inner.isEmpty()) ring -= QRegion(inner);
  return ring;
}

}  // namespace moxi
