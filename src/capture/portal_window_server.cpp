#include "capture/portal_window_server.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QScreen>
#include <QSettings>
#include <fcntl.h>

#include "platform/log.h"

namespace moxi {

namespace {

const QString kRestoreTokenKey = QStringLiteral("screenCastRestoreToken");
constexpr Rect kEntryFrame{0, 0, 320, 200};

QSettings store() { return QSettings(QStringLiteral("Moxiscope"), QStringLiteral("Moxiscope")); }

void storeRestoreToken(const QString& token) {
  QSettings s = store();
  if (token.isEmpty()) s.remove(kRestoreTokenKey);
  else s.setValue(kRestoreTokenKey, token);
  s.sync();
}

// The picture of an entry: a window outline, with a circular arrow for
// "again". Drawn, not read: there is nothing to read before the picker.
QImage entryPicture(bool again) {
  QImage image(160, 100, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(0x2f, 0x6f, 0xeb), 6));
  p.setBrush(QColor(0xe8, 0xf0, 0xff));
  p.drawRoundedRect(QRectF(8, 8, 144, 84), 10, 10);
  p.drawLine(QPointF(8, 28), QPointF(152, 28));
  if (again) {
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(58, 38, 44, 44), 30 * 16, 300 * 16);
  } else {
    p.drawLine(QPointF(80, 40), QPointF(80, 80));
    p.drawLine(QPointF(60, 60), QPointF(100, 60));
  }
  return image;
}

std::optional<Size> screenSize() {
  QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return std::nullopt;
  return Size{static_cast<double>(screen->size().width()), static_cast<double>(screen->size().height())};
}

}  // namespace

PortalWindowServer::PortalWindowServer() {
  portal_.queryOffer([this](ScreenCastOffer offer) {
    if (offer.available)
      logLine("screen cast: the desktop shares " +
              std::string(offer.sourceTypes & kPortalSourceWindow ? "windows" : "whole screens only") +
              ((offer.cursorModes & kPortalCursorMetadata)
                   ? ""
                   : "; it gives no pointer positions, so the pointer is not logged on this desktop"));
    else
      logLine("screen cast: " + offer.reason.toStdString());
    std::lock_guard lock(mutex_);
    offer_ = std::move(offer);
  });
}

PortalWindowServer::~PortalWindowServer() = default;

QString PortalWindowServer::storedRestoreToken() { return store().value(kRestoreTokenKey).toString(); }

bool PortalWindowServer::sharesWindows() const {
  std::lock_guard lock(mutex_);
  // Until the portal answers, assume the common case.
  return !offer_ || (offer_->sourceTypes & kPortalSourceWindow);
}

QString PortalWindowServer::offerNote() const {
  std::lock_guard lock(mutex_);
  if (offer_ && !offer_->available)
    return QStringLiteral("Recording is not available: %1.").arg(offer_->reason);
  if (offer_ && !(offer_->sourceTypes & kPortalSourceWindow))
    return QStringLiteral("This desktop shares whole screens only, not single windows.");
  return {};
}

std::vector<uint32_t> PortalWindowServer::onScreenWindowOrder() {
  std::vector<uint32_t> order{kChooseSourceEntryID};
  if (canPickAgain()) order.push_back(kPickAgainEntryID);
  return order;
}

std::optional<ShareableContent> PortalWindowServer::shareableContent() {
  {
    std::lock_guard lock(mutex_);
    if (offer_ && !offer_->available) return std::nullopt;
  }
  const bool windows = sharesWindows();
  ShareableContent content;
  CaptureWindow choose;
  choose.windowID = kChooseSourceEntryID;
  choose.frame = kEntryFrame;
  choose.title = windows ? "Choose a window…" : "Choose a screen…";
  content.windows.push_back(choose);
  if (canPickAgain()) {
    CaptureWindow again = choose;
    again.windowID = kPickAgainEntryID;
    again.title = windows ? "Record the last window again" : "Record the last screen again";
    content.windows.push_back(again);
  }
  if (auto size = screenSize()) content.displays.push_back(CaptureDisplay{0, Rect{0, 0, size->width, size->height}});
  return content;
}

std::optional<QImage> PortalWindowServer::windowPicture(uint32_t windowID) {
  if (windowID == kChooseSourceEntryID || windowID == kPickAgainEntryID) return entryPicture(windowID == kPickAgainEntryID);
  return std::nullopt;
}

std::optional<Rect> PortalWindowServer::windowBounds(uint32_t windowID) {
  if (windowID == kChooseSourceEntryID || windowID == kPickAgainEntryID) return kEntryFrame;
  std::lock_guard lock(mutex_);
  auto it = sources_.find(windowID);
  if (it == sources_.end() || it->second.ended) return std::nullopt;
  return Rect{0, 0, it->second.size.width, it->second.size.height};
}

std::optional<Rect> PortalWindowServer::primaryScreenFrame() {
  // Positions are told in the shared window's own pixels, so its frame is
  // the screen they are flipped in.
  {
    std::lock_guard lock(mutex_);
    if (current_)
      if (auto it = sources_.find(*current_); it != sources_.end())
        return Rect{0, 0, it->second.size.width, it->second.size.height};
  }
  if (auto size = screenSize()) return Rect{0, 0, size->width, size->height};
  return std::nullopt;
}

std::optional<bool> PortalWindowServer::entryPicksAgain(uint32_t windowID) const {
  if (windowID == kChooseSourceEntryID) return false;
  if (windowID == kPickAgainEntryID) return true;
  return std::nullopt;
}

bool PortalWindowServer::canPickAgain() const { return !storedRestoreToken().isEmpty(); }

void PortalWindowServer::pick(bool again, bool showsCursor, std::function<void(PickResult)> done) {
  ScreenCastOffer offer;
  {
    std::lock_guard lock(mutex_);
    if (picking_) {
      PickResult busy;
      busy.outcome = PickResult::Outcome::cancelled;
      logLine("the desktop's picker is already open");
      return done(busy);
    }
    picking_ = true;
    // Not answered yet: ask for what every portal version understands.
    offer = offer_.value_or(ScreenCastOffer{true, kPortalSourceWindow | kPortalSourceMonitor, kPortalCursorEmbedded, 4, {}});
  }
  const ScreenCastRequest request = screenCastRequest(offer, showsCursor, again ? storedRestoreToken() : QString());
  QPointer<QObject> guard(&portal_);
  portal_.start(request, [this, guard, done = std::move(done)](ScreenCastStart start) {
    if (!guard) return;
    finishPick(std::move(start), done);
  });
}

void PortalWindowServer::finishPick(ScreenCastStart start, const std::function<void(PickResult)>& done) {
  PickResult result;
  {
    std::lock_guard lock(mutex_);
    picking_ = false;
  }
  if (start.outcome == ScreenCastStart::Outcome::cancelled) {
    result.outcome = PickResult::Outcome::cancelled;
    return done(result);
  }
  if (start.outcome == ScreenCastStart::Outcome::failed) {
    result.reason = start.reason.toStdString();
    return done(result);
  }
  // A token is good for one start; the desktop hands out the next one.
  storeRestoreToken(start.restoreToken);
  Size size{static_cast<double>(start.size.width()), static_cast<double>(start.size.height())};
  if (size.width < 1 || size.height < 1) size = screenSize().value_or(Size{1280, 720});
  const uint32_t id = start.nodeID;
  Source source;
  source.size = size;
  source.remote = UniqueFd(fcntl(start.pipeWireRemote.fileDescriptor(), F_DUPFD_CLOEXEC, 0));
  source.session = start.session;
  if (source.session)
    source.session->closedByDesktop = [this, id] {
      logLine("the desktop ended the screen cast");
      sourceEnded(id);
    };
  {
    std::lock_guard lock(mutex_);
    sources_[id] = std::move(source);
    current_ = id;
  }
  const bool window = start.sourceType != kPortalSourceMonitor;
  CaptureWindow picked;
  picked.windowID = id;
  picked.frame = Rect{0, 0, size.width, size.height};
  picked.title = window ? "Shared window" : "Shared screen";
  result.outcome = PickResult::Outcome::picked;
  result.window = picked;
  done(result);
}

std::optional<SharedSource> PortalWindowServer::source(uint32_t windowID) {
  std::lock_guard lock(mutex_);
  auto it = sources_.find(windowID);
  if (it == sources_.end() || it->second.ended || !it->second.remote.valid()) return std::nullopt;
  return SharedSource{UniqueFd(fcntl(it->second.remote.get(), F_DUPFD_CLOEXEC, 0)), windowID};
}

void PortalWindowServer::sourceEnded(uint32_t windowID) {
  std::lock_guard lock(mutex_);
  if (auto it = sources_.find(windowID); it != sources_.end()) it->second.ended = true;
}

void PortalWindowServer::releaseSource(uint32_t windowID) {
  std::shared_ptr<ScreenCastSession> session;
  {
    std::lock_guard lock(mutex_);
    auto it = sources_.find(windowID);
    if (it == sources_.end()) return;
    session = std::move(it->second.session);
    sources_.erase(it);
    if (current_ == windowID) current_.reset();
  }
  if (!session) return;
  // The session is the main thread's: close it there.
  QMetaObject::invokeMethod(QCoreApplication::instance(), [session] { session->close(); }, Qt::QueuedConnection);
}

}  // namespace moxi
