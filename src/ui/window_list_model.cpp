#include "ui/window_list_model.h"

#include <QSizeF>
#include <cmath>

#include "ui/quick/popover_content.h"

namespace moxi {

WindowListModel::WindowListModel(QObject* parent)
    : QAbstractListModel(parent), windows_(std::make_shared<const std::vector<CapturableWindow>>()) {}

void WindowListModel::setWindows(std::vector<CapturableWindow> windows) {
  beginResetModel();
  {
    std::lock_guard lock(mutex_);
    windows_ = std::make_shared<const std::vector<CapturableWindow>>(std::move(windows));
    ++generation_;
  }
  endResetModel();
}

WindowListModel::Snapshot WindowListModel::windows() const {
  std::lock_guard lock(mutex_);
  return windows_;
}

int WindowListModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid()) return 0;
  return static_cast<int>(windows()->size());
}

QVariant WindowListModel::data(const QModelIndex& index, int role) const {
  auto list = windows();
  if (!index.isValid() || index.row() < 0 || static_cast<size_t>(index.row()) >= list->size()) return {};
  const CapturableWindow& w = (*list)[static_cast<size_t>(index.row())];
  switch (role) {
    case WindowIDRole:
      return static_cast<double>(w.windowID);
    case TitleRole:
      return QString::fromStdString(w.title);
    case ThumbnailRole:
      return QStringLiteral("image://%1/%2/%3").arg(kThumbnailProviderName).arg(w.windowID).arg(generation_);
    case ThumbnailSizeRole:
      return QSizeF(w.img.size().width, w.img.size().height);
    default:
      return {};
  }
}

QHash<int, QByteArray> WindowListModel::roleNames() const {
  return {{WindowIDRole, "windowID"}, {TitleRole, "title"}, {ThumbnailRole, "thumbnail"},
          {ThumbnailSizeRole, "thumbnailSize"}};
}

QImage WindowListModel::thumbnail(const QString& id, const QSize& requestedSize) const {
  uint32_t windowID = id.section('/', 0, 0).toUInt();
  auto list = windows();
  for (const auto& w : *list) {
    if (w.windowID != windowID) continue;
    QSize pixels(static_cast<int>(std::ceil(w.img.size().width)), static_cast<int>(std::ceil(w.img.size().height)));
    if (requestedSize.isValid() && !requestedSize.isEmpty()) pixels = requestedSize;
    return w.img.render(pixels);
  }
  return {};
}

}  // namespace moxi
