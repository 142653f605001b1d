#include "ui/popover.h"

#include <QCursor>
#include <QEvent>
#include <QGuiApplication>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickWidget>
#include <QScreen>
#include <QVBoxLayout>
#include <QWidget>

#include "common/log.h"

namespace moxi {

namespace {
// A Wayland client may place no window of its own and may open a popup only
// from one of its windows: there the popover is a top-level window the
// compositor places, and it closes when it loses the focus, as a popup would.
bool onWayland() { return QGuiApplication::platformName().startsWith(QLatin1String("wayland")); }
}  // namespace

Popover::Popover(QObject* parent)
    : QObject(parent), window_(std::make_unique<QWidget>(nullptr, onWayland() ? Qt::Window : Qt::Popup)) {
  window_->setObjectName("popover");
  window_->setWindowTitle("Moxiscope");
  auto* layout = new QVBoxLayout(window_.get());
  layout->setContentsMargins(0, 0, 0, 0);
  window_->installEventFilter(this);
  setContentSize(contentSize_);
}

Popover::~Popover() { window_->removeEventFilter(this); }

void Popover::setContent(const QUrl& qml, const QList<QPair<QString, QObject*>>& contextObjects,
                         std::function<void(QQmlEngine&)> prepareEngine) {
  source_ = qml;
  contextObjects_ = contextObjects;
  prepareEngine_ = std::move(prepareEngine);
}

void Popover::load() {
  if (quick_ || source_.isEmpty()) return;
  quick_ = new QQuickWidget(window_.get());
  quick_->setResizeMode(QQuickWidget::SizeRootObjectToView);
  window_->layout()->addWidget(quick_);
  if (prepareEngine_) prepareEngine_(*quick_->engine());
  for (const auto& [name, object] : contextObjects_) quick_->rootContext()->setContextProperty(name, object);
  quick_->setSource(source_);
  for (const auto& e : quick_->errors()) logLine("popover: " + e.toString().toStdString());
}

void Popover::setContentSize(QSize size) {
  contentSize_ = size;
  window_->setFixedSize(size);
}

bool Popover::isShown() const { return window_->isVisible(); }

void Popover::performClose() { window_->hide(); }

QRect Popover::placement(QSize size, QRect anchor, QPoint pointer, QRect screen) {
  QRect r(QPoint(0, 0), size);
  if (anchor.isValid() && !anchor.isEmpty()) {
    // Hang from the icon; open upwards when the icon sits at the bottom.
    r.moveTopLeft(QPoint(anchor.x() + anchor.width() / 2 - size.width() / 2, anchor.bottom() + 1));
    if (r.bottom() > screen.bottom()) r.moveBottom(anchor.top() - 1);
  } else {
    r.moveTopLeft(pointer + QPoint(8, 8));
  }
  // Keep it whole on the screen.
  if (r.right() > screen.right()) r.moveRight(screen.right());
  if (r.bottom() > screen.bottom()) r.moveBottom(screen.bottom());
  if (r.left() < screen.left()) r.moveLeft(screen.left());
  if (r.top() < screen.top()) r.moveTop(screen.top());
  return r;
}

void Popover::showRelativeTo(QRect anchor) {
  QPoint pointer = QCursor::pos();
  QScreen* screen = nullptr;
  if (anchor.isValid() && !anchor.isEmpty()) screen = QGuiApplication::screenAt(anchor.center());
  if (!screen) screen = QGuiApplication::screenAt(pointer);
  if (!screen) screen = QGuiApplication::primaryScreen();
  QRect area = screen ? screen->geometry() : QRect(QPoint(0, 0), contentSize_);
  window_->setGeometry(placement(contentSize_, anchor, pointer, area));
  load();
  window_->show();
  window_->raise();
  window_->activateWindow();
}

bool Popover::eventFilter(QObject* watched, QEvent* event) {
  if (watched == window_.get()) {
    if (event->type() == QEvent::Show) emit shownChanged(true);
    if (event->type() == QEvent::Hide) emit shownChanged(false);
    if (event->type() == QEvent::WindowDeactivate && !(window_->windowFlags() & Qt::Popup)) window_->hide();
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace moxi
