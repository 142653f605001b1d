#include "platform/wayland/portal_request.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace moxi {

namespace {

const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");

QDBusConnection bus() { return QDBusConnection::sessionBus(); }

// Requests are named after the caller's unique bus name: ":1.42" -> "1_42".
QString requestPath(const QString& token) {
  QString sender = bus().baseService().mid(1).replace(QLatin1Char('.'), QLatin1Char('_'));
  return QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
}

}  // namespace

PortalRequest::PortalRequest(Done done, QObject* owner) : QObject(owner), done_(std::move(done)) {}

void PortalRequest::listen(const QString& path) {
  if (path == path_) return;
  if (!path_.isEmpty())
    bus().disconnect(kPortalService, path_, kRequest, QStringLiteral("Response"), this,
                     SLOT(handleResponse(uint, QVariantMap)));
  path_ = path;
  bus().connect(kPortalService, path_, kRequest, QStringLiteral("Response"), this, SLOT(handleResponse(uint, QVariantMap)));
}

void PortalRequest::send(const QString& interface, const QString& method, QList<QVariant> arguments, QString token,
                         Done done, QObject* owner) {
  auto* request = new PortalRequest(std::move(done), owner);
  request->listen(requestPath(token));
  QVariantMap options = arguments.takeLast().toMap();
  options.insert(QStringLiteral("handle_token"), token);
  arguments.append(options);
  QDBusMessage call = QDBusMessage::createMethodCall(kPortalService, kPortalPath, interface, method);
  call.setArguments(arguments);
  auto* watcher = new QDBusPendingCallWatcher(bus().asyncCall(call, 30000), request);
  connect(watcher, &QDBusPendingCallWatcher::finished, request, [request](QDBusPendingCallWatcher* w) {
    QDBusPendingReply<QDBusObjectPath> reply = *w;
    w->deleteLater();
    if (reply.isError()) {
      QVariantMap error{{QStringLiteral("error"), QStringLiteral("the desktop portal failed: %1").arg(reply.error().message())}};
      return request->finish(2, error);
    }
    // Portals before version 0.9 chose the path themselves.
    request->listen(reply.value().path());
  });
}

void PortalRequest::handleResponse(uint response, const QVariantMap& results) { finish(response, results); }

void PortalRequest::finish(uint32_t response, const QVariantMap& results) {
  if (!done_) return;
  bus().disconnect(kPortalService, path_, kRequest, QStringLiteral("Response"), this, SLOT(handleResponse(uint, QVariantMap)));
  Done done = std::move(done_);
  done_ = nullptr;
  deleteLater();
  done(response, results);
}

}  // namespace moxi
