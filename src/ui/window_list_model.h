#pragma once
#include <QAbstractListModel>
#include <QImage>
#include <QSize>
#include <memory>
#include <mutex>
#include <vector>

#include "capture/capturable_window.h"

namespace moxi {

// The catalogue as the popover's list sees it. Its thumbnails are drawn from
// the full pictures when the list shows them (thumbnail()).
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
  // The thumbnail a row's URL names ("<windowID>/<generation>") at
  // `requestedSize`, or its own size rounded up; null for a window no longer
  // listed. Safe from any thread.
  QImage thumbnail(const QString& id, const QSize& requestedSize) const;

 private:
  mutable std::mutex mutex_;  // the image provider may read from a loader thread
  Snapshot windows_;
  quint64 generation_ = 0;  // in thumbnail URLs, so a refreshed picture is drawn anew
};

}  // namespace moxi
