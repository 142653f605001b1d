#pragma once
// The values the window catalogue hands out: the capture service's window and
// display handles, and one catalogue entry with its thumbnail.
#include <QImage>
#include <QRectF>
#include <QSize>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/geometry.h"

class QPainter;

namespace moxi {

struct OwningApplication {
  std::string applicationName;
  int32_t processID = 0;  // 0 when the window does not tell its process
};

// A window as the capture service sees it.
struct CaptureWindow {
  uint32_t windowID = 0;  // X id of the client window
  Rect frame;             // client area without decorations, root coordinates, top-left origin
  int windowLayer = 0;
  std::optional<std::string> title;  // UTF-8
  std::optional<OwningApplication> owningApplication;
};

struct CaptureDisplay {
  uint32_t displayID = 0;
  Rect frame;  // root coordinates, top-left origin
};

// A picture shown at a small size. It keeps the full-resolution picture and
// scales it each time it is drawn, so building one costs nothing.
class Thumbnail {
 public:
  Thumbnail() = default;
  Thumbnail(std::shared_ptr<const QImage> picture, Size size) : picture_(std::move(picture)), size_(size) {}

  bool isNull() const { return !picture_ || picture_->isNull(); }
  Size size() const { return size_; }
  const std::shared_ptr<const QImage>& picture() const { return picture_; }

  // Draws the whole picture into `target`, replacing what is there (copy
  // composition, full opacity), smoothly scaled. The painter's state is kept.
  void draw(QPainter& painter, const QRectF& target) const;
  // The thumbnail drawn into a transparent image of `pixelSize` pixels; an
  // empty size means the thumbnail's own size rounded up.
  QImage render(QSize pixelSize = {}) const;

 private:
  std::shared_ptr<const QImage> picture_;
  Size size_;
};

// One entry of the window catalogue.
struct CapturableWindow {
  uint32_t windowID = 0;
  Thumbnail img;
  std::string title;
  CaptureWindow window;
};

}  // namespace moxi
