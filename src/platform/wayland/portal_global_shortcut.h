#pragma once
// Ctrl+F1 on a Wayland desktop: a client may not grab keys there, so the
// shortcut is bound through the GlobalShortcuts portal, where the desktop
// offers it (it asks the user once and keeps the binding). Elsewhere the
// user binds "moxiscope --toggle" in the desktop's keyboard settings.
#include <QDBusObjectPath>
#include <QObject>
#include <QString>
#include <functional>

namespace moxi {

class PortalGlobalShortcut : public QObject {
  Q_OBJECT
 public:
  // Binds at once, asynchronously; `activated` runs on the main thread at
  // each press.
  explicit PortalGlobalShortcut(std::function<void()> activated);
  ~PortalGlobalShortcut() override;

  // True once the desktop has bound the shortcut.
  bool bound() const { return bound_; }

 private slots:
  void handleActivated(const QDBusObjectPath& session, const QString& id, qulonglong timestamp,
                       const QVariantMap& options);

 private:
  void bind();
  std::function<void()> activated_;
  QString session_;
  bool bound_ = false;
};

}  // namespace moxi
