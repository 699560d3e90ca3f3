// Points, sizes and rectangles in screen points. A window frame's origin is its bottom-left corner,
// measured from the bottom-left corner of the main screen; y grows upwards.
#pragma once

namespace platform::appkit {

struct Point {
  double x = 0, y = 0;
  bool operator==(const Point& o) const { return x == o.x && y == o.y; }
};

struct Size {
  double width = 0, height = 0;
  bool operator==(const Size& o) const { return width == o.width && height == o.height; }
};

struct Rect {
  Point origin;
  Size size;
  Rect() = default;
  Rect(double x, double y, double w, double h) : origin{x, y}, size{w, h} {}
  bool operator==(const Rect& o) const { return origin == o.origin && size == o.size; }
  bool operator!=(const Rect& o) const { return !(*this == o); }
};

}  // namespace platform::appkit
