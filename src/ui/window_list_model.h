#pragma once
#include <QAbstractListModel>
#include <QQuickImageProvider>
#include <memory>
#include <mutex>
#include <vector>

#include "capture/capturable_window.h"

namespace moxi {

// The catalogue as the popover's list sees it. Thumbnails are served by
// ThumbnailImageProvider, which draws them from the full pictures when the
// list shows them.
class WindowListModel : public QAbstractListModel {
  Q_OBJECT
 public:
  enum Role { WindowIDRole = Qt::UserRole + 1, TitleRole, ThumbnailRole, ThumbnailSizeRole };
  using Snapshot = std::shared_ptr<const std::vector<CapturableWindow>>;

  explicit WindowListModel(QObject* parent = nullptr);

  void setWindows(std::vector<CapturableWindow> windows);
  Snapshot windows() const;

  int rowCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QHash<int, QByteArray> roleNames() const override;

 private:
  mutable std::mutex mutex_;  // the image provider may read from a loader thread
  Snapshot windows_;
  quint64 generation_ = 0;  // in thumbnail URLs, so a refreshed picture is drawn anew
};

class ThumbnailImageProvider : public QQuickImageProvider {
 public:
  static constexpr const char* name = "thumbnails";
  explicit ThumbnailImageProvider(const WindowListModel* model);
  // id: "<windowID>/<generation>"
  QImage requestImage(const QString& id, QSize* size, const QSize& requestedSize) override;

 private:
  const WindowListModel* model_;
};

}  // namespace moxi
