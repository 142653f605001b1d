#pragma once

namespace moxi {

// Points, sizes and rectangles in points (one point is one X pixel).
struct Point {
  double x = 0;
  double y = 0;
  bool operator==(const Point&) const = default;
};

struct Size {
  double width = 0;
  double height = 0;
  bool operator==(const Size&) const = default;
};

struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  double minX() const { return x; }
  double minY() const { return y; }
  double maxX() const { return x + width; }
  double maxY() const { return y + height; }
  Size size() const { return {width, height}; }
  // Left and top edges are inside, right and bottom edges outside.
  bool contains(Point p) const { return p.x >= minX() && p.x < maxX() && p.y >= minY() && p.y < maxY(); }
  Rect insetBy(double d) const { return {x + d, y + d, width - 2 * d, height - 2 * d}; }
  bool operator==(const Rect&) const = default;
};

}  // namespace moxi
