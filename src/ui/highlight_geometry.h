#pragma once
// Geometry of the outline around the captured window, kept free of any
// window so that it can be checked on its own.
#include <QRect>
#include <QRegion>
#include <QSize>

#include "common/geometry.h"

namespace moxi {

// Screen frames have their origin at the bottom left of the primary screen,
// X root coordinates at its top left: y_top = primaryScreenHeight - (y + height).
Rect rootRectFromScreenFrame(Rect bottomLeftFrame, double primaryScreenHeight);

// Whole pixels for the window system: edges are rounded, so adjacent frames
// stay adjacent; a window is at least one pixel wide and high.
QRect pixelRect(Rect rootRect);

// The pixels of a border `borderWidth` wide running inside the edge of a
// `size` rectangle whose outer corners are rounded with `cornerRadius`. The
// inner edge is square: it is the captured window's own (square) edge, and a
// rounded inner corner would cover the window's corner pixels, which a
// recording of the screen (pop-ups on) would then show.
QRegion ringRegion(QSize size, int cornerRadius, int borderWidth);

}  // namespace moxi
