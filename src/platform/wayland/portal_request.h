#pragma once
// A request to a desktop portal (org.freedesktop.portal.Desktop): the call
// returns at once, and the answer comes later as the Request's Response.
#include <QList>
#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantMap>
#include <cstdint>
#include <functional>

namespace moxi {

// Where every desktop portal answers on the session bus.
inline const QString kPortalService = QStringLiteral("org.freedesktop.portal.Desktop");
inline const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");

// One portal request: subscribes to its Response before the call goes out,
// so that a fast answer is never missed, then hands the answer on once.
class PortalRequest : public QObject {
  Q_OBJECT
 public:
  using Done = std::function<void(uint32_t response, const QVariantMap& results)>;
  // `method` of `interface` with `arguments`, whose last one is the options
  // map; the handle_token `token` is added to it. `done` runs once, on the
  // main thread; a failed call answers response 2 with an "error" text.
  static void send(const QString& interface, const QString& method, QList<QVariant> arguments, QString token,
                   Done done, QObject* owner);

 private slots:
  void handleResponse(uint response, const QVariantMap& results);

 private:
  PortalRequest(Done done, QObject* owner);
  void listen(const QString& path);
  void finish(uint32_t response, const QVariantMap& results);
  Done done_;
  QString path_;
};

}  // namespace moxi
