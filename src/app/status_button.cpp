#include "app/status_button.h"

#include <QApplication>
#include <QEvent>
#include <QFont>
#include <QIconEngine>
#include <QPainter>
#include <QSystemTrayIcon>
#include <QWidget>
#include <algorithm>

namespace moxi {

namespace {

// The icon is drawn anew every second while recording. QIcon's own engine
// keeps each size it hands out in the global pixmap cache, keyed by the
// pixmap: an hour of recording filled it with 3600 dead icons (its 10 MB
// limit). This one draws its one image at the size asked, keeping nothing.
class UncachedIconEngine final : public QIconEngine {
 public:
  explicit UncachedIconEngine(QImage image) : image_(std::move(image)) {}
  void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override {
    painter->setRenderHint(QPainter::SmoothPixmapTransform, true);
    painter->drawImage(rect, image_);
  }
  QPixmap pixmap(const QSize& size, QIcon::Mode, QIcon::State) override {
    return QPixmap::fromImage(image_.scaled(size, Qt::KeepAspectRatio, Qt::SmoothTransformation));
  }
  QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override {
    return image_.size().scaled(size, Qt::KeepAspectRatio);
  }
  // A tray that takes the icon as pixmaps (StatusNotifierItem) asks for these.
  QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
    return {QSize(16, 16), QSize(22, 22), QSize(24, 24), QSize(32, 32), QSize(48, 48), QSize(64, 64)};
  }
  QIconEngine* clone() const override { return new UncachedIconEngine(image_); }
  QString key() const override { return QStringLiteral("moxi-uncached"); }

 private:
  QImage image_;
};

}  // namespace

QImage scaledImage(const QImage& image, double maxWidth, double maxHeight) {
  if (image.isNull() || image.width() <= 0 || image.height() <= 0) return {};
  double ratio = std::min(maxWidth / image.width(), maxHeight / image.height());
  QSize size(std::max(1, qRound(image.width() * ratio)), std::max(1, qRound(image.height() * ratio)));
  QImage out(size, QImage::Format_ARGB32_Premultiplied);
  out.fill(Qt::transparent);
  QPainter p(&out);
  p.setRenderHint(QPainter::SmoothPixmapTransform, true);
  p.setCompositionMode(QPainter::CompositionMode_Source);
  p.drawImage(QRect(QPoint(0, 0), size), image);
  return out;
}

QImage appIcon() {
  static const QImage icon = scaledImage(QImage(QStringLiteral(":/moxiscope/favicon-32x32.png")), 16, 16);
  return icon;
}

StatusButton::StatusButton(QObject* parent) : QObject(parent), tray_(std::make_unique<QSystemTrayIcon>()) {
  connect(tray_.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) emit clicked();
  });
  tray_->setToolTip("Moxiscope");
  qApp->installEventFilter(this);
  // Qt tells of no tray coming or going; asking once a second costs nothing.
  trayWatch_.setInterval(1000);
  connect(&trayWatch_, &QTimer::timeout, this, [this] {
    const bool available = trayAvailable();
    if (trayWasAvailable_ && !available) emit trayLost();
    trayWasAvailable_ = available;
  });
}

StatusButton::~StatusButton() = default;

namespace {
// Qt's window for an icon docked in an XEmbed tray.
bool isDockedIcon(const QObject* object) { return object->inherits("QSystemTrayIconSys"); }
}  // namespace

bool StatusButton::tellsPointerEntered() const {
  const auto windows = QApplication::topLevelWidgets();
  return std::any_of(windows.begin(), windows.end(), [](const QWidget* w) { return isDockedIcon(w); });
}

bool StatusButton::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Enter && isDockedIcon(watched)) emit pointerEntered();
  return QObject::eventFilter(watched, event);
}

bool StatusButton::trayAvailable() const { return QSystemTrayIcon::isSystemTrayAvailable(); }

void StatusButton::show() {
  refresh();
  tray_->show();
  trayWasAvailable_ = trayAvailable();
  trayWatch_.start();
}

void StatusButton::setImage(const QImage& image) {
  image_ = image;
  refresh();
}

void StatusButton::setTitle(const QString& title) {
  if (title == title_) return;
  title_ = title;
  refresh();
}

QRect StatusButton::geometry() const { return tray_->geometry(); }

std::pair<QString, QString> StatusButton::iconLines(const QString& title) {
  QString time = title.section(' ', 0, 0);
  int cut = time.lastIndexOf(':');
  if (cut < 0) return {time, QString()};
  return {time.left(cut), time.mid(cut + 1)};
}

QImage StatusButton::renderedIcon() const {
  if (!image_.isNull()) return image_;
  QImage icon(64, 64, QImage::Format_ARGB32_Premultiplied);
  icon.fill(Qt::transparent);
  if (title_.isEmpty()) return icon;
  QPainter p(&icon);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  // A red backdrop says "recording" even where the digits are hard to read.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xC6, 0x28, 0x28));
  p.drawRoundedRect(icon.rect(), 10, 10);
  auto [top, bottom] = iconLines(title_);
  QFont font("DejaVu Sans");
  font.setBold(true);
  font.setPixelSize(top.size() > 2 ? 22 : 28);
  p.setFont(font);
  p.setPen(Qt::white);
  p.drawText(QRect(0, 2, 64, 30), Qt::AlignCenter, top);
  font.setPixelSize(28);
  p.setFont(font);
  p.drawText(QRect(0, 32, 64, 30), Qt::AlignCenter, bottom);
  if (title_.endsWith(" MIC")) {
    p.setBrush(Qt::white);
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPoint(56, 8), 5, 5);
  }
  return icon;
}

void StatusButton::refresh() {
  tray_->setIcon(QIcon(new UncachedIconEngine(renderedIcon())));
  tray_->setToolTip(title_.isEmpty() ? QStringLiteral("Moxiscope") : QStringLiteral("Moxiscope ") + title_);
}

}  // namespace moxi
