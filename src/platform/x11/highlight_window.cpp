#include "platform/x11/highlight_window.h"

#include <xcb/shape.h>
#include <xcb/xcb.h>

#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QWidget>
#include <QtGui/qguiapplication_platform.h>
#include <algorithm>
#include <string>
#include <vector>

#include "common/log.h"
#include "platform/x11/xcb.h"
#include "ui/highlight_geometry.h"

namespace moxi {

namespace {

// Qt's own connection, so that our requests on the overlay are ordered with
// the ones Qt makes for it (creation, map, configure). Null off X11.
xcb_connection_t* qtConnection() {
  if (!qGuiApp) return nullptr;
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  return x11 ? x11->connection() : nullptr;
}

int defaultScreenNumber() {
  const std::string display = qEnvironmentVariable("DISPLAY").toStdString();
  const auto colon = display.rfind(':');
  const auto dot = display.find('.', colon == std::string::npos ? 0 : colon);
  if (dot == std::string::npos) return 0;
  try {
    return std::stoi(display.substr(dot + 1));
  } catch (...) {
    return 0;
  }
}

// A compositing manager owns the selection _NET_WM_CM_S<screen>.
bool compositingManagerRunning(xcb_connection_t* c) {
  const std::string name = "_NET_WM_CM_S" + std::to_string(defaultScreenNumber());
  auto atom = xcb::reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(name.size()), name.data()),
                         xcb_intern_atom_reply);
  if (!atom) return false;
  auto owner = xcb::reply(c, xcb_get_selection_owner(c, atom->atom), xcb_get_selection_owner_reply);
  return owner && owner->owner != XCB_WINDOW_NONE;
}

bool hasShapeExtension(xcb_connection_t* c) {
  const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_shape_id);
  return ext && ext->present;
}

void setShape(xcb_connection_t* c, xcb_window_t w, xcb_shape_kind_t kind, const QRegion& region) {
  std::vector<xcb_rectangle_t> rects;
  rects.reserve(static_cast<size_t>(region.rectCount()));
  for (const QRect& r : region)
    rects.push_back({static_cast<int16_t>(r.x()), static_cast<int16_t>(r.y()), static_cast<uint16_t>(r.width()),
                     static_cast<uint16_t>(r.height())});
  xcb_shape_rectangles(c, XCB_SHAPE_SO_SET, kind, XCB_CLIP_ORDERING_UNSORTED, w, 0, 0,
                       static_cast<uint32_t>(rects.size()), rects.data());
}

// The child of the root that holds `w`: the window manager's frame around a
// managed client, or the window itself. None when `w` does not exist.
xcb_window_t topLevelAncestor(xcb_connection_t* c, xcb_window_t w) {
  for (int depth = 0; depth < 64 && w != XCB_WINDOW_NONE; ++depth) {
    xcb::Error error;
    auto tree = xcb::reply(c, xcb_query_tree(c, w), xcb_query_tree_reply, &error);
    if (!tree) return XCB_WINDOW_NONE;
    if (tree->parent == tree->root || tree->parent == XCB_WINDOW_NONE) return w;
    w = tree->parent;
  }
  return XCB_WINDOW_NONE;
}

}  // namespace

// One edge of the ring: the ring is drawn by four windows (top, bottom, left,
// right) so that each holds an image of its own small size, not one of the
// whole window's (33 MB at 4K for a 4-pixel line).
class HighlightWindow::Widget final : public QWidget {
 public:
  Widget(QColor color, int cornerRadius, int borderWidth, bool shaped, Qt::WindowFlags flags)
      : QWidget(nullptr, flags), color_(color), radius_(cornerRadius), border_(borderWidth), shaped_(shaped) {}

  // This edge's part of a ring of `ring` size, and its place on the screen.
  void place(QRect part, QSize ring, QPoint ringOrigin) {
    const bool resized = ring != ring_ || part != part_;
    ring_ = ring;
    part_ = part;
    // The new shape first: a larger window must not flash its inside.
    if (resized) applyShape();
    setGeometry(part.translated(ringOrigin));
    if (resized) update();
  }

  // Cuts the window down to its part of the border (empty when there is none).
  void applyShape() {
    xcb_connection_t* c = qtConnection();
    if (!shaped_ || !c) return;
    setShape(c, static_cast<xcb_window_t>(winId()), XCB_SHAPE_SK_BOUNDING,
             (ringRegion(ring_, radius_, border_) & part_).translated(-part_.topLeft()));
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    if (border_ <= 0) return;
    QPainter p(this);
    if (shaped_) {
      // The shape already is the border; anti-aliasing would only blend
      // with a background that nobody sees.
      p.fillRect(rect(), color_);
      return;
    }
    p.translate(-part_.topLeft());
    const QRectF outer = QRectF(QRect(QPoint(0, 0), ring_));
    const QRectF inner = outer.adjusted(border_, border_, -border_, -border_);
    QPainterPath ring, window;
    ring.addRoundedRect(outer, radius_, radius_);
    // Square inside, as ringRegion: the window's corners stay uncovered.
    if (!inner.isEmpty()) window.addRect(inner);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillPath(ring.subtracted(window), color_);
  }

 private:
  QColor color_;
  int radius_;
  int border_;
  bool shaped_;
  QSize ring_{100, 100};
  QRect part_{0, 0, 100, 100};
};

HighlightWindow::HighlightWindow(QColor color, int cornerRadius, int borderWidth, bool onTop)
    : onTop_(onTop), radius_(cornerRadius), border_(borderWidth) {
  xcb_connection_t* c = qtConnection();
  if (c && !compositingManagerRunning(c)) {
    shaped_ = true;
    if (!hasShapeExtension(c)) {
      // Neither blending nor shaping: a visible window would hide the
      // captured one, so the outline stays invisible.
      logLine("highlight: no compositing manager and no SHAPE extension, outline not shown");
      border_ = 0;
    }
  }
  // Override-redirect rather than managed tool windows: the window manager
  // neither frames nor places them, they are in no taskbar or pager list,
  // and a plain ConfigureWindow puts them exactly above the captured
  // window's frame.
  Qt::WindowFlags flags = Qt::Window | Qt::FramelessWindowHint | Qt::BypassWindowManagerHint |
                          Qt::WindowTransparentForInput | Qt::WindowDoesNotAcceptFocus;
  if (onTop) flags |= Qt::WindowStaysOnTopHint;
  for (auto& edge : edges_) {
    edge = std::make_unique<Widget>(color, radius_, border_, shaped_, flags);
    edge->setAttribute(Qt::WA_ShowWithoutActivating);
    edge->setAttribute(Qt::WA_X11DoNotAcceptFocus);
    if (shaped_) edge->setAttribute(Qt::WA_OpaquePaintEvent);
    else edge->setAttribute(Qt::WA_TranslucentBackground);
    const auto window = static_cast<xcb_window_t>(edge->winId());  // creates it, unmapped
    if (c && hasShapeExtension(c)) {
      // Qt makes the input region empty for WindowTransparentForInput
      // through XFixes; say it once more with SHAPE in case that is missing.
      setShape(c, window, XCB_SHAPE_SK_INPUT, QRegion());
      edge->place(QRect(0, 0, 100, 100), QSize(100, 100), QPoint());
    }
  }
  if (c) xcb_flush(c);
}

HighlightWindow::~HighlightWindow() = default;

QWidget* HighlightWindow::widget() const { return edges_.front().get(); }

void HighlightWindow::setFrame(Rect frame) {
  const QScreen* primary = QGuiApplication::primaryScreen();
  const double screenHeight = primary ? primary->geometry().height() : 0;
  const QRect r = pixelRect(rootRectFromScreenFrame(frame, screenHeight));
  const int w = std::max(1, r.width()), h = std::max(1, r.height());
  // The top and bottom edges hold the rounded corners; the sides are the
  // border's width, between them.
  const int band = std::clamp(std::max(radius_, border_), 1, (h + 1) / 2);
  const int side = std::clamp(border_, 1, (w + 1) / 2);
  const int between = std::max(1, h - 2 * band);
  const QRect parts[] = {
      {0, 0, w, band}, {0, h - band, w, band}, {0, band, side, between}, {w - side, band, side, between}};
  for (size_t i = 0; i < edges_.size(); ++i) edges_[i]->place(parts[i], QSize(w, h), r.topLeft());
}

void HighlightWindow::setAlpha(double alpha) {
  alpha_ = alpha;
  for (auto& edge : edges_) {
    if (alpha > 0) {
      if (!edge->isVisible()) edge->show();
    } else {
      edge->hide();
    }
  }
}

void HighlightWindow::orderAbove(std::int64_t windowNumber) {
  xcb_connection_t* c = qtConnection();
  if (!c) return;  // only X11 stacks relative to another client's window
  xcb_window_t sibling = XCB_WINDOW_NONE;
  if (!onTop_) {
    if (windowNumber <= 0 || windowNumber > UINT32_MAX) return;
    sibling = topLevelAncestor(c, static_cast<xcb_window_t>(windowNumber));
    if (sibling == XCB_WINDOW_NONE) return;
  }
  for (auto& edge : edges_) {
    const auto self = static_cast<xcb_window_t>(edge->winId());
    if (sibling == self) return;
    // Checked, so that a window closed in the meantime costs nothing but the
    // error we drop here.
    if (onTop_) {
      const uint32_t values[] = {XCB_STACK_MODE_ABOVE};
      xcb::check(c, xcb_configure_window_checked(c, self, XCB_CONFIG_WINDOW_STACK_MODE, values));
    } else {
      const uint32_t values[] = {sibling, XCB_STACK_MODE_ABOVE};
      xcb::check(c, xcb_configure_window_checked(c, self, XCB_CONFIG_WINDOW_SIBLING | XCB_CONFIG_WINDOW_STACK_MODE,
                                                 values));
    }
  }
}

std::unique_ptr<HighlightWindowController> makeHighlightOverlay(std::int64_t windowNumber, bool withoutBorder,
                                                                bool aboveAll) {
  constexpr int kBorderWidth = 4;
  constexpr int kCornerRadius = 15;
  return std::make_unique<HighlightWindowController>(
      windowNumber, aboveAll,
      std::make_unique<HighlightWindow>(HighlightWindowController::highlightColor(), aboveAll ? 0 : kCornerRadius,
                                        withoutBorder ? 0 : kBorderWidth, aboveAll));
}

}  // namespace moxi
