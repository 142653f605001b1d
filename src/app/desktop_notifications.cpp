#include "app/desktop_notifications.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QThread>

namespace moxi {

namespace {
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
}  // namespace

DesktopNotifications::DesktopNotifications(std::function<bool(const QUrl&)> open, QObject* parent)
    : QObject(parent), open_(std::move(open)) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  connected_ = true;
  bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
              SLOT(actionInvoked(uint, QString)));
  bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
              SLOT(notificationClosed(uint, uint)));
}

DesktopNotifications::~DesktopNotifications() = default;

void DesktopNotifications::show(const UserNotice& notice) {
  if (!connected_) return;
  if (QThread::currentThread() == thread()) return send(notice);
  QMetaObject::invokeMethod(this, [this, notice] { send(notice); }, Qt::QueuedConnection);
}

void DesktopNotifications::send(const UserNotice& notice) {
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
  QStringList actions;
  // "default" is what a click on the notice itself does.
  if (!notice.file.isEmpty()) actions << QStringLiteral("default") << QStringLiteral("Open")
                                      << QStringLiteral("open") << QStringLiteral("Open");
  QVariantMap hints{
      {QStringLiteral("desktop-entry"), QStringLiteral("moxiscope")},
      {QStringLiteral("category"),
       notice.kind == UserNotice::Kind::saved ? QStringLiteral("transfer.complete") : QStringLiteral("transfer.error")},
      {QStringLiteral("urgency"), QVariant::fromValue<uchar>(notice.kind == UserNotice::Kind::saved ? 1 : 2)},
  };
  call << QStringLiteral("Moxiscope") << uint(0) << QStringLiteral("moxiscope") << notice.summary << notice.body
       << actions << hints << int(-1);
  // Asynchronous: a slow or missing server must not hold up the program.
  auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
  const QUrl file = notice.file;
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, file](QDBusPendingCallWatcher* w) {
    QDBusPendingReply<uint> reply = *w;
    if (!reply.isError() && !file.isEmpty()) files_[reply.value()] = file;
    w->deleteLater();
  });
}

void DesktopNotifications::actionInvoked(uint id, const QString& action) {
  auto it = files_.find(id);
  if (it == files_.end()) return;  // another program's notice
  if ((action == QLatin1String("open") || action == QLatin1String("default")) && open_) open_(it->second);
}

void DesktopNotifications::notificationClosed(uint id, uint) { files_.erase(id); }

}  // namespace moxi
