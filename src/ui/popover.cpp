#include "ui/popover.h"

#include <QCursor>
#include <QEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLibrary>
#include <QScreen>
#include <QVBoxLayout>
#include <QWidget>

#include "common/log.h"
#include "ui/quick/popover_content.h"

namespace moxi {

namespace {
// A Wayland client may place no window of its own and may open a popup only
// from one of its windows: there the popover is a top-level window the
// compositor places, and it closes when it loses the focus, as a popup would.
bool onWayland() { return QGuiApplication::platformName().startsWith(QLatin1String("wayland")); }

// Beside the program (a build folder), else in its library folder.
QString contentModulePath() {
  const QString dir = QCoreApplication::applicationDirPath();
  const QString beside = dir + QStringLiteral("/moxiscope-popover.so");
  if (QFileInfo::exists(beside)) return beside;
  return dir + QStringLiteral("/../" MOXI_LIBDIR "/moxiscope/moxiscope-popover.so");
}
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
                         std::function<QImage(const QString&, const QSize&)> thumbnail) {
  source_ = qml;
  contextObjects_ = contextObjects;
  thumbnail_ = std::move(thumbnail);
}

void Popover::load() {
  if (content_ || loadFailed_ || source_.isEmpty()) return;
  // Never unloaded: the content lives as long as the program.
  QLibrary module(contentModulePath());
  auto make = reinterpret_cast<MakePopoverContent>(module.resolve(kMakePopoverContentSymbol));
  if (!make) {
    loadFailed_ = true;
    logLine("popover: cannot load its content: " + module.errorString().toStdString());
    emit contentMissing(QStringLiteral("The window list cannot be shown: %1 is missing or damaged. Reinstall "
                                       "Moxiscope. The hot key still records the window under the pointer.")
                            .arg(module.fileName()));
    return;
  }
  QStringList errors;
  content_ = make(window_.get(), PopoverContentRequest{source_, contextObjects_, thumbnail_}, errors);
  window_->layout()->addWidget(content_);
  for (const auto& e : errors) logLine("popover: " + e.toStdString());
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
  if (!content_) return;  // an empty panel would say nothing; the notice has said why
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
