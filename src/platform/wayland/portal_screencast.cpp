#include "platform/wayland/portal_screencast.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QPointer>
#include <fcntl.h>
#include <unistd.h>

#include "common/log.h"

namespace moxi {

namespace {

const QString kScreenCast = QStringLiteral("org.freedesktop.portal.ScreenCast");
const QString kSession = QStringLiteral("org.freedesktop.portal.Session");

QDBusConnection bus() { return QDBusConnection::sessionBus(); }

QSize sizeOf(const QVariant& value) {
  if (!value.canConvert<QDBusArgument>()) return {};
  const QDBusArgument arg = value.value<QDBusArgument>();
  int width = 0, height = 0;
  arg.beginStructure();
  arg >> width >> height;
  arg.endStructure();
  return {width, height};
}

// The first stream of a Start answer: a(ua{sv}).
bool firstStream(const QVariant& streams, ScreenCastStart& into) {
  if (!streams.canConvert<QDBusArgument>()) return false;
  const QDBusArgument arg = streams.value<QDBusArgument>();
  bool found = false;
  arg.beginArray();
  while (!arg.atEnd()) {
    uint node = 0;
    QVariantMap properties;
    arg.beginStructure();
    arg >> node >> properties;
    arg.endStructure();
    if (found) continue;
    found = true;
    into.nodeID = node;
    into.size = sizeOf(properties.value(QStringLiteral("size")));
    into.sourceType = properties.value(QStringLiteral("source_type")).toUInt();
  }
  arg.endArray();
  return found;
}


}  // namespace

ScreenCastRequest screenCastRequest(const ScreenCastOffer& offer, bool showsCursor, const QString& restoreToken) {
  ScreenCastRequest request;
  request.sourceType = (offer.sourceTypes & kPortalSourceWindow) ? kPortalSourceWindow : kPortalSourceMonitor;
  if (offer.cursorModes & kPortalCursorMetadata) request.cursorMode = kPortalCursorMetadata;
  else if (showsCursor && (offer.cursorModes & kPortalCursorEmbedded)) request.cursorMode = kPortalCursorEmbedded;
  else request.cursorMode = kPortalCursorHidden;
  // Version 4 is the first that keeps choices; older portals refuse the option.
  if (offer.version >= 4) request.restoreToken = restoreToken;
  return request;
}

// ---------------------------------------------------------------- session

ScreenCastSession::ScreenCastSession(QString handle) : handle_(std::move(handle)) {
  bus().connect(kPortalService, handle_, kSession, QStringLiteral("Closed"), this, SLOT(handleClosed(QVariantMap)));
}

ScreenCastSession::~ScreenCastSession() { close(); }

void ScreenCastSession::close() {
  if (!open_) return;
  open_ = false;
  bus().disconnect(kPortalService, handle_, kSession, QStringLiteral("Closed"), this, SLOT(handleClosed(QVariantMap)));
  // No answer is needed: the cast ends whether or not anyone listens.
  bus().asyncCall(QDBusMessage::createMethodCall(kPortalService, handle_, kSession, QStringLiteral("Close")));
}

void ScreenCastSession::handleClosed(const QVariantMap&) {
  if (!open_) return;
  open_ = false;
  if (closedByDesktop) closedByDesktop();
}

// ---------------------------------------------------------------- the flow

struct PortalScreenCast::Flow {
  ScreenCastRequest request;
  std::function<void(ScreenCastStart)> done;
  QString sessionHandle;
  std::shared_ptr<ScreenCastSession> session;

  void fail(QString reason) { finish(ScreenCastStart::Outcome::failed, std::move(reason)); }
  void finish(ScreenCastStart::Outcome outcome, QString reason = {}) {
    ScreenCastStart result;
    result.outcome = outcome;
    result.reason = std::move(reason);
    if (session) session->close();
    complete(std::move(result));
  }
  void complete(ScreenCastStart result) {
    if (!done) return;
    auto d = std::move(done);
    done = nullptr;
    d(std::move(result));
  }
  // A cancelled or failed answer ends the flow; true when it went on.
  bool answered(uint32_t response, const QVariantMap& results, const char* step) {
    if (response == 0) return true;
    if (response == 1) finish(ScreenCastStart::Outcome::cancelled);
    else if (results.contains(QStringLiteral("error"))) fail(results.value(QStringLiteral("error")).toString());
    else fail(QStringLiteral("the desktop refused to share the screen (%1)").arg(QLatin1String(step)));
    return false;
  }
};

PortalScreenCast::PortalScreenCast() = default;
PortalScreenCast::~PortalScreenCast() = default;

void PortalScreenCast::queryOffer(std::function<void(ScreenCastOffer)> done) {
  if (!bus().isConnected()) {
    ScreenCastOffer offer;
    offer.reason = QStringLiteral("there is no D-Bus session bus");
    return done(offer);
  }
  QDBusMessage call = QDBusMessage::createMethodCall(kPortalService, kPortalPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                     QStringLiteral("GetAll"));
  call.setArguments({kScreenCast});
  auto* watcher = new QDBusPendingCallWatcher(bus().asyncCall(call, 10000), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [done = std::move(done)](QDBusPendingCallWatcher* w) {
    QDBusPendingReply<QVariantMap> reply = *w;
    w->deleteLater();
    ScreenCastOffer offer;
    if (reply.isError()) {
      offer.reason = QStringLiteral("the desktop has no screen-cast portal (%1)").arg(reply.error().message());
    } else {
      const QVariantMap properties = reply.value();
      offer.sourceTypes = properties.value(QStringLiteral("AvailableSourceTypes")).toUInt();
      offer.cursorModes = properties.value(QStringLiteral("AvailableCursorModes")).toUInt();
      offer.version = properties.value(QStringLiteral("version")).toUInt();
      offer.available = offer.sourceTypes != 0;
      if (!offer.available) offer.reason = QStringLiteral("the desktop's screen-cast portal offers no sources");
    }
    done(offer);
  });
}

void PortalScreenCast::start(const ScreenCastRequest& request, std::function<void(ScreenCastStart)> done) {
  auto flow = std::make_shared<Flow>();
  flow->request = request;
  flow->done = std::move(done);
  createSession(flow);
}

void PortalScreenCast::createSession(std::shared_ptr<Flow> flow) {
  const QString n = QString::number(++tokens_);
  QVariantMap options{{QStringLiteral("session_handle_token"), QStringLiteral("moxiscope_session_%1").arg(n)}};
  QPointer<PortalScreenCast> self(this);
  PortalRequest::send(
      kScreenCast, QStringLiteral("CreateSession"), {options}, QStringLiteral("moxiscope_create_%1").arg(n),
      [self, flow](uint32_t response, const QVariantMap& results) {
        if (!self || !flow->answered(response, results, "CreateSession")) return;
        flow->sessionHandle = results.value(QStringLiteral("session_handle")).toString();
        if (flow->sessionHandle.isEmpty()) return flow->fail(QStringLiteral("the desktop opened no screen-cast session"));
        flow->session = std::make_shared<ScreenCastSession>(flow->sessionHandle);
        self->selectSources(flow);
      },
      this);
}

void PortalScreenCast::selectSources(std::shared_ptr<Flow> flow) {
  QVariantMap options{{QStringLiteral("types"), QVariant::fromValue<uint>(flow->request.sourceType)},
                      {QStringLiteral("multiple"), false},
                      {QStringLiteral("cursor_mode"), QVariant::fromValue<uint>(flow->request.cursorMode)},
                      // Kept until the user revokes it, so "the last window" works after a restart.
                      {QStringLiteral("persist_mode"), QVariant::fromValue<uint>(2)}};
  if (!flow->request.restoreToken.isEmpty()) options.insert(QStringLiteral("restore_token"), flow->request.restoreToken);
  QPointer<PortalScreenCast> self(this);
  PortalRequest::send(
      kScreenCast, QStringLiteral("SelectSources"),
      {QVariant::fromValue(QDBusObjectPath(flow->sessionHandle)), options},
      QStringLiteral("moxiscope_select_%1").arg(++tokens_),
      [self, flow](uint32_t response, const QVariantMap& results) {
        if (!self || !flow->answered(response, results, "SelectSources")) return;
        self->startCast(flow);
      },
      this);
}

void PortalScreenCast::startCast(std::shared_ptr<Flow> flow) {
  QPointer<PortalScreenCast> self(this);
  // No parent window: the picker is the desktop's own dialog.
  PortalRequest::send(
      kScreenCast, QStringLiteral("Start"),
      {QVariant::fromValue(QDBusObjectPath(flow->sessionHandle)), QString(), QVariantMap()},
      QStringLiteral("moxiscope_start_%1").arg(++tokens_),
      [self, flow](uint32_t response, const QVariantMap& results) {
        if (!self || !flow->answered(response, results, "Start")) return;
        self->openRemote(flow, results);
      },
      this);
}

void PortalScreenCast::openRemote(std::shared_ptr<Flow> flow, const QVariantMap& results) {
  auto started = std::make_shared<ScreenCastStart>();
  if (!firstStream(results.value(QStringLiteral("streams")), *started))
    return flow->fail(QStringLiteral("the desktop shared nothing"));
  started->restoreToken = results.value(QStringLiteral("restore_token")).toString();
  openPipeWireRemote(flow->sessionHandle, [flow, started](UniqueFd remote, QString error) {
    if (!remote.valid()) return flow->fail(error);
    started->outcome = ScreenCastStart::Outcome::started;
    started->pipeWireRemote = std::move(remote);
    started->session = std::move(flow->session);
    flow->complete(std::move(*started));
  });
}

void PortalScreenCast::openPipeWireRemote(const QString& sessionHandle, std::function<void(UniqueFd, QString)> done) {
  QDBusMessage call = QDBusMessage::createMethodCall(kPortalService, kPortalPath, kScreenCast, QStringLiteral("OpenPipeWireRemote"));
  call.setArguments({QVariant::fromValue(QDBusObjectPath(sessionHandle)), QVariantMap()});
  auto* watcher = new QDBusPendingCallWatcher(bus().asyncCall(call, 10000), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [done = std::move(done)](QDBusPendingCallWatcher* w) {
    QDBusPendingReply<QDBusUnixFileDescriptor> reply = *w;
    w->deleteLater();
    if (reply.isError() || !reply.value().isValid())
      return done(UniqueFd(), QStringLiteral("the desktop gave no PipeWire connection: %1").arg(reply.error().message()));
    // The reply's descriptor closes with it; the caller gets its own.
    done(UniqueFd(fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0)), QString());
  });
}

}  // namespace moxi
