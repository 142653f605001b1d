#pragma once
#include <QObject>
#include <QRect>
#include <QSize>
#include <QImage>
#include <QUrl>
#include <functional>
#include <memory>

class QWidget;

namespace moxi {

// The window that hangs from the tray icon. It closes when the user clicks
// anywhere else (a Qt popup grabs the pointer while it is shown). Its Qt
// Quick content comes from a module of its own, loaded when it is first
// needed: a program that is only ever driven by its hot key never pays for
// Qt Quick (about 20 MB).
class Popover : public QObject {
  Q_OBJECT
 public:
  explicit Popover(QObject* parent = nullptr);
  ~Popover() override;

  // The QML content; `contextObjects` become context properties, and
  // `thumbnail` draws the images the content names "image://thumbnails/<id>".
  void setContent(const QUrl& qml, const QList<QPair<QString, QObject*>>& contextObjects,
                  std::function<QImage(const QString& id, const QSize& requestedSize)> thumbnail = {});
  // Loads the content now, once (showing it does too).
  void load();
  bool isLoaded() const { return content_ != nullptr; }
  void setContentSize(QSize size);

  bool isShown() const;
  void performClose();
  // Shows the popover below `anchor` (the tray icon's rectangle); with no
  // anchor, next to the pointer. Either way it stays on one screen.
  void showRelativeTo(QRect anchor);

  QWidget* window() const { return window_.get(); }

  // Where a popover of `size` goes for `anchor` or, when it is empty, the
  // pointer at `pointer`, inside `screen`.
  static QRect placement(QSize size, QRect anchor, QPoint pointer, QRect screen);

 signals:
  void shownChanged(bool shown);
  // The content could not be loaded: what to tell the user.
  void contentMissing(const QString& problem);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::unique_ptr<QWidget> window_;
  QWidget* content_ = nullptr;  // owned by window_; made by load()
  bool loadFailed_ = false;
  QUrl source_;
  QList<QPair<QString, QObject*>> contextObjects_;
  std::function<QImage(const QString&, const QSize&)> thumbnail_;
  QSize contentSize_{400, 400};
};

}  // namespace moxi
