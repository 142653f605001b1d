#pragma once
#include <QObject>
#include <QRect>
#include <QSize>
#include <memory>

class QWidget;
class QQuickWidget;
class QQmlEngine;
class QUrl;

namespace moxi {

// The window that hangs from the tray icon. It closes when the user clicks
// anywhere else (a Qt popup grabs the pointer while it is shown).
class Popover : public QObject {
  Q_OBJECT
 public:
  explicit Popover(QObject* parent = nullptr);
  ~Popover() override;

  // Loads the QML content; `contextObjects` become context properties.
  void setContent(const QUrl& qml, const QList<QPair<QString, QObject*>>& contextObjects);
  void setContentSize(QSize size);

  bool isShown() const;
  void performClose();
  // Shows the popover below `anchor` (the tray icon's rectangle); with no
  // anchor, next to the pointer. Either way it stays on one screen.
  void showRelativeTo(QRect anchor);

  QWidget* window() const { return window_.get(); }
  QQmlEngine* engine() const;

  // Where a popover of `size` goes for `anchor` or, when it is empty, the
  // pointer at `pointer`, inside `screen`.
  static QRect placement(QSize size, QRect anchor, QPoint pointer, QRect screen);

 signals:
  void shownChanged(bool shown);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::unique_ptr<QWidget> window_;
  QQuickWidget* quick_ = nullptr;  // owned by window_
  QSize contentSize_{400, 400};
};

}  // namespace moxi
