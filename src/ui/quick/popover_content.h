#pragma once
// The popover's Qt Quick content. It is built as a module of its own
// (moxiscope-popover.so, beside the program or in its library folder) that
// Popover::load() opens when the popover is first wanted, so that a program
// that never shows it never maps Qt Quick and QML (about 6 MB of library
// pages, 15 MB with the content loaded).
#include <QImage>
#include <QList>
#include <QPair>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>

class QObject;
class QWidget;

namespace moxi {

struct PopoverContentRequest {
  QUrl source;
  // Become context properties of the content.
  QList<QPair<QString, QObject*>> contextObjects;
  // Draws the thumbnail named `id` at `requestedSize` (its own size when
  // that is empty); called on Qt Quick's image loader thread.
  std::function<QImage(const QString& id, const QSize& requestedSize)> thumbnail;
};

// The image provider the content's thumbnails come from ("image://thumbnails/...").
inline constexpr const char* kThumbnailProviderName = "thumbnails";

// Makes the content as a child widget of `parent`; what QML reported goes to `errors`.
using MakePopoverContent = QWidget* (*)(QWidget* parent, const PopoverContentRequest& request, QStringList& errors);
inline constexpr const char* kMakePopoverContentSymbol = "moxiscopeMakePopoverContent";

}  // namespace moxi
