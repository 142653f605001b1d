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
  // each press. `noteChanged` gets what the user should know about the
  // binding (empty when nothing), on the main thread.
  explicit PortalGlobalShortcut(std::function<void()> activated,
                                std::function<void(const QString& note)> noteChanged = {});
  ~PortalGlobalShortcut() override;

  // True once the desktop has bound the shortcut to a key.
  bool bound() const { return bound_; }

  // Said where the desktop accepted the shortcut but assigned no key to it
  // (KDE Plasma leaves that to the user).
  static const QString& keyNotAssignedNote();

 private slots:
  void handleActivated(const QDBusObjectPath& session, const QString& id, qulonglong timestamp,
                       const QVariantMap& options);

 private:
  void bind();
  void bindingAnswered(uint32_t response, const QVariantMap& results);
  std::function<void()> activated_;
  std::function<void(const QString&)> noteChanged_;
  QString session_;
  bool bound_ = false;
};

}  // namespace moxi
