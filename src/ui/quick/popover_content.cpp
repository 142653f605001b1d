#include "ui/quick/popover_content.h"

#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickImageProvider>
#include <QQuickWidget>
#include <QQuickWindow>

namespace {

class ThumbnailProvider final : public QQuickImageProvider {
 public:
  explicit ThumbnailProvider(std::function<QImage(const QString&, const QSize&)> draw)
      : QQuickImageProvider(QQuickImageProvider::Image), draw_(std::move(draw)) {}
  QImage requestImage(const QString& id, QSize* size, const QSize& requestedSize) override {
    QImage image = draw_ ? draw_(id, requestedSize) : QImage();
    if (size) *size = image.size();
    return image;
  }

 private:
  std::function<QImage(const QString&, const QSize&)> draw_;
};

}  // namespace

extern "C" Q_DECL_EXPORT QWidget* moxiscopeMakePopoverContent(QWidget* parent,
                                                              const moxi::PopoverContentRequest& request,
                                                              QStringList& errors) {
  // The popover is a small flat panel: Qt Quick's software renderer draws it
  // in a few milliseconds, where a GL context and its shaders took a quarter
  // of a second and more on the first opening.
  if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND")) QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
  auto* quick = new QQuickWidget(parent);
  quick->setResizeMode(QQuickWidget::SizeRootObjectToView);
  // The engine owns the provider; thumbnails are drawn when a row shows them.
  quick->engine()->addImageProvider(QString::fromLatin1(moxi::kThumbnailProviderName),
                                    new ThumbnailProvider(request.thumbnail));
  for (const auto& [name, object] : request.contextObjects) quick->rootContext()->setContextProperty(name, object);
  quick->setSource(request.source);
  for (const auto& e : quick->errors()) errors << e.toString();
  return quick;
}
