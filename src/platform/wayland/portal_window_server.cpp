#include "platform/wayland/portal_window_server.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QScreen>
#include <QSettings>
#include <QTimer>
#include <fcntl.h>

#include "common/log.h"

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
    std::function<void(const ScreenCastOffer&)> waiting;
    {
      std::lock_guard lock(mutex_);
      offer_ = offer;
      waiting = std::move(waitingForOffer_);
    }
    if (waiting) waiting(offer);
  });
}

PortalWindowServer::~PortalWindowServer() = default;

QString PortalWindowServer::storedRestoreToken() {
  const QVariant token = store().value(kRestoreTokenKey);
  return token.typeId() == QMetaType::QString ? token.toString() : QString();  // anything else is no token
}

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
  if (std::optional<bool> again = entryPicksAgain(windowID)) return entryPicture(*again);
  return std::nullopt;
}

std::optional<Rect> PortalWindowServer::windowBounds(uint32_t windowID) {
  if (entryPicksAgain(windowID)) return kEntryFrame;
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
  std::optional<ScreenCastOffer> offer;
  bool busy = false;
  {
    std::lock_guard lock(mutex_);
    busy = picking_;
    if (!busy) {
      picking_ = true;
      offer = offer_;
      // What to ask for depends on what the desktop offers: ask once it has said.
      if (!offer)
        waitingForOffer_ = [this, again, showsCursor, done](const ScreenCastOffer& answered) {
          askPortal(answered, again, showsCursor, done);
        };
    }
  }
  if (busy) {
    logLine("the desktop's picker is already open");
    PickResult cancelled;
    cancelled.outcome = PickResult::Outcome::cancelled;
    return done(cancelled);
  }
  if (offer) askPortal(*offer, again, showsCursor, std::move(done));
}

void PortalWindowServer::endPick(const std::function<void(PickResult)>& done, PickResult result) {
  {
    std::lock_guard lock(mutex_);
    picking_ = false;
  }
  done(std::move(result));
}

void PortalWindowServer::askPortal(const ScreenCastOffer& offer, bool again, bool showsCursor,
                                   std::function<void(PickResult)> done) {
  if (!offer.available) {
    PickResult failed;
    failed.reason = offer.reason.toStdString();
    return endPick(done, std::move(failed));
  }
  const ScreenCastRequest request = screenCastRequest(offer, showsCursor, again ? storedRestoreToken() : QString());
  logLine(std::string("screen cast: asking for ") + (request.sourceType == kPortalSourceWindow ? "a window" : "a screen") +
          (request.cursorMode == kPortalCursorMetadata ? ", the pointer as metadata"
           : request.cursorMode == kPortalCursorEmbedded ? ", the pointer drawn in"
                                                           : ", no pointer") +
          (request.restoreToken.isEmpty() ? "" : ", the last choice again"));
  QPointer<QObject> guard(&portal_);
  portal_.start(request, [this, guard, done = std::move(done)](ScreenCastStart start) {
    if (!guard) return;
    finishPick(std::move(start), done);
  });
}

void PortalWindowServer::finishPick(ScreenCastStart start, const std::function<void(PickResult)>& done) {
  PickResult result;
  if (start.outcome == ScreenCastStart::Outcome::cancelled) {
    result.outcome = PickResult::Outcome::cancelled;
    return endPick(done, std::move(result));
  }
  if (start.outcome == ScreenCastStart::Outcome::failed) {
    result.reason = start.reason.toStdString();
    return endPick(done, std::move(result));
  }
  // A token is good for one start; the desktop hands out the next one.
  storeRestoreToken(start.restoreToken);
  Size size{static_cast<double>(start.size.width()), static_cast<double>(start.size.height())};
  if (size.width < 1 || size.height < 1) size = screenSize().value_or(Size{1280, 720});
  const uint32_t id = start.nodeID;
  Source source;
  source.size = size;
  source.remote = std::move(start.pipeWireRemote);
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
  measureThenPick(id, start.sourceType != kPortalSourceMonitor, size, done);
}

void PortalWindowServer::measureThenPick(uint32_t id, bool window, Size portalSize,
                                         const std::function<void(PickResult)>& done) {
  std::optional<SharedSource> shared = source(id);
  if (!shared) return completePick(id, window, portalSize, done);
  StreamConfiguration configuration;
  configuration.width = configuration.height = 0;  // the source's own size
  configuration.showsCursor = false;
  configuration.queueDepth = 1;
  measuring_ = std::make_unique<PipeWireCaptureStream>(PipeWireSource{shared->pipeWireRemote.release(), id},
                                                       configuration);
  // Answered once, on the main thread: by the first frame, the stream's end
  // or the deadline, whichever comes first.
  auto answered = std::make_shared<bool>(false);
  auto answer = [this, id, window, portalSize, done, answered](std::optional<Size> measured, std::string why) {
    if (*answered) return;
    *answered = true;
    // The recording's stream would fail alike: the pick fails with the plain cause.
    const bool unreadable = !measured && measuring_ && measuring_->endedOverFormat();
    if (!measured && !unreadable) logLine("the shared window's size is not known (" + why + "); using the portal's");
    if (measuring_) {
      PipeWireCaptureStream* stopping = measuring_.release();
      stopping->stopCapture([stopping] {
        // Deleted where it is not running.
        QMetaObject::invokeMethod(QCoreApplication::instance(), [stopping] { delete stopping; }, Qt::QueuedConnection);
      });
    }
    if (unreadable) {
      releaseSource(id);
      PickResult failed;
      failed.reason = why;
      return endPick(done, std::move(failed));
    }
    Size size = measured.value_or(portalSize);
    QString handle;
    {
      std::lock_guard lock(mutex_);
      if (auto it = sources_.find(id); it != sources_.end()) {
        it->second.size = size;
        if (it->second.session) handle = it->second.session->handle();
      }
    }
    // The measuring stream used the first connection; the recording gets its own.
    portal_.openPipeWireRemote(handle, [this, id, window, size, done](UniqueFd remote, QString error) {
      {
        std::lock_guard lock(mutex_);
        if (auto it = sources_.find(id); it != sources_.end()) it->second.remote = std::move(remote);
      }
      if (!error.isEmpty()) logLine(error.toStdString());
      completePick(id, window, size, done);
    });
  };
  QPointer<QObject> guard(&portal_);
  auto post = [guard, answer](std::optional<Size> measured, std::string why) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [guard, answer, measured, why] {
          if (guard) answer(measured, why);
        },
        Qt::QueuedConnection);
  };
  measuring_->setEndedHandler([post](std::string reason) { post(std::nullopt, std::move(reason)); });
  const bool added = measuring_->addStreamOutput(
      [post](const SampleBuffer& sample) {
        if (sample.image) post(Size{static_cast<double>(sample.image->width), static_cast<double>(sample.image->height)}, "");
      },
      measureQueue_);
  if (!added) return answer(std::nullopt, measuring_->unavailableReason());
  measuring_->startCapture();
  QTimer::singleShot(5000, &portal_, [answer] { answer(std::nullopt, "no frame came within 5 s"); });
}

void PortalWindowServer::completePick(uint32_t id, bool window, Size size, const std::function<void(PickResult)>& done) {
  PickResult result;
  bool usable = false;
  {
    std::lock_guard lock(mutex_);
    auto it = sources_.find(id);
    usable = it != sources_.end() && !it->second.ended && it->second.remote.valid();
  }
  if (!usable) {
    result.reason = "the desktop ended the screen cast before the recording could start";
    return endPick(done, std::move(result));
  }
  CaptureWindow picked;
  picked.windowID = id;
  picked.frame = Rect{0, 0, size.width, size.height};
  picked.title = window ? "Shared window" : "Shared screen";
  result.outcome = PickResult::Outcome::picked;
  result.window = picked;
  endPick(done, std::move(result));
}

std::optional<SharedSource> PortalWindowServer::source(uint32_t windowID) {
  std::lock_guard lock(mutex_);
  auto it = sources_.find(windowID);
  if (it == sources_.end() || it->second.ended || !it->second.remote.valid()) return std::nullopt;
  // One connection serves one PipeWire client: it is handed over, not shared.
  return SharedSource{std::move(it->second.remote), windowID};
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
