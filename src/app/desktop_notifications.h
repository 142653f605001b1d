#pragma once
// Notices through the desktop's notification server
// (org.freedesktop.Notifications on the session bus). Without a session bus
// or a server nothing is shown and nothing fails.
#include <QObject>
#include <QUrl>
#include <functional>
#include <map>

#include "app/user_notice.h"

class QDBusMessage;

namespace moxi {

class DesktopNotifications : public QObject {
  Q_OBJECT
 public:
  // `open` opens a notice's file when its action is clicked.
  explicit DesktopNotifications(std::function<bool(const QUrl&)> open, QObject* parent = nullptr);
  ~DesktopNotifications() override;

  // Callable from any thread; sent from this object's thread.
  void show(const UserNotice& notice);

 private slots:
  void actionInvoked(uint id, const QString& action);
  void notificationClosed(uint id, uint reason);

 private:
  void send(const UserNotice& notice);

  std::function<bool(const QUrl&)> open_;
  bool connected_ = false;
  std::map<uint, QUrl> files_;  // shown notices with an action, by server id
};

}  // namespace moxi
