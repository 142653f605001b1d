#pragma once
#include <QObject>
#include <QRect>
#include <QSize>
#include <QUrl>
#include <functional>
#include <memory>

class QWidget;
class QQuickWidget;
class QQmlEngine;

namespace moxi {

// The window that hangs from the tray icon. It closes when the user clicks
// anywhere else (a Qt popup grabs the pointer while it is shown). Its QML
// content is loaded when it is first needed: a program that is only ever
// driven by its hot key never pays for Qt Quick (about 15 MB).
class Popover : public QObject {
  Q_OBJECT
 public:
  explicit Popover(QObject* parent = nullptr);
  ~Popover() override;

  // The QML content; `contextObjects` become context properties and
  // `prepareEngine` runs on the engine before the content is loaded.
  void setContent(const QUrl& qml, const QList<QPair<QString, QObject*>>& contextObjects,
                  std::function<void(QQmlEngine&)> prepareEngine = {});
  // Loads the content now, once (showing it does too).
  void load();
  bool isLoaded() const { return quick_ != nullptr; }
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

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::unique_ptr<QWidget> window_;
  QQuickWidget* quick_ = nullptr;  // owned by window_; made by load()
  QUrl source_;
  QList<QPair<QString, QObject*>> contextObjects_;
  std::function<void(QQmlEngine&)> prepareEngine_;
  QSize contentSize_{400, 400};
};

}  // namespace moxi
