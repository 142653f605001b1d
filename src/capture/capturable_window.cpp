#include "capture/capturable_window.h"

#include <QPainter>
#include <cmath>

namespace moxi {

void Thumbnail::draw(QPainter& painter, const QRectF& target) const {
  if (isNull() || target.isEmpty()) return;
  painter.save();
  painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
  painter.setCompositionMode(QPainter::CompositionMode_Source);
  painter.setOpacity(1.0);
  // Bilinear sampling alone aliases when shrinking a window to a few dozen
  // pixels; an area-averaging scale to the device size first keeps detail.
  const QTransform& t = painter.deviceTransform();
  const QSizeF device = t.mapRect(target).size();
  const QSize pixels(static_cast<int>(std::ceil(device.width())), static_cast<int>(std::ceil(device.height())));
  if (!t.isRotating() && pixels.width() < picture_->width() && pixels.height() < picture_->height()) {
    painter.drawImage(target, picture_->scaled(pixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
  } else {
    painter.drawImage(target, *picture_);
  }
  painter.restore();
}

QImage Thumbnail::render(QSize pixelSize) const {
  if (pixelSize.isEmpty()) {
    pixelSize = QSize(static_cast<int>(std::ceil(size_.width)), static_cast<int>(std::ceil(size_.height)));
  }
  if (pixelSize.isEmpty()) return {};
  QImage image(pixelSize, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  draw(painter, QRectF(0, 0, pixelSize.width(), pixelSize.height()));
  return image;
}

}  // namespace moxi
