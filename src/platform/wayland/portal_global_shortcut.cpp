#include "platform/wayland/portal_global_shortcut.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QPointer>

#include "common/log.h"
#include "platform/wayland/portal_request.h"

namespace moxi {

namespace {

const QString kShortcuts = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kShortcutID = QStringLiteral("toggle-recording");
const char* const kUnboundHint =
    "to start and stop recording with a key, bind \"moxiscope --toggle\" in the desktop's keyboard settings";

struct Shortcut {
  QString id;
  QVariantMap properties;
};

QDBusArgument& operator<<(QDBusArgument& arg, const Shortcut& s) {
  arg.beginStructure();
  arg << s.id << s.properties;
  arg.endStructure();
  return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, Shortcut& s) {
  arg.beginStructure();
  arg >> s.id >> s.properties;
  arg.endStructure();
  return arg;
}

}  // namespace

}  // namespace moxi

Q_DECLARE_METATYPE(moxi::Shortcut)

namespace moxi {

const QString& PortalGlobalShortcut::keyNotAssignedNote() {
  static const QString note = QStringLiteral(
      "Moxiscope asked your desktop for a recording shortcut: assign its key in System Settings \u2192 Shortcuts.");
  return note;
}

PortalGlobalShortcut::PortalGlobalShortcut(std::function<void()> activated,
                                           std::function<void(const QString&)> noteChanged)
    : activated_(std::move(activated)), noteChanged_(std::move(noteChanged)) {
  qDBusRegisterMetaType<Shortcut>();
  qDBusRegisterMetaType<QList<Shortcut>>();
  QDBusMessage call = QDBusMessage::createMethodCall(kPortalService, kPortalPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                     QStringLiteral("Get"));
  call.setArguments({kShortcuts, QStringLiteral("version")});
  auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, 10000), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
    QDBusPendingReply<QVariant> reply = *w;
    w->deleteLater();
    if (reply.isError()) {
      logLine(std::string("this desktop offers no global shortcuts; ") + kUnboundHint);
      return;
    }
    bind();
  });
}

PortalGlobalShortcut::~PortalGlobalShortcut() {
  if (session_.isEmpty()) return;
  QDBusConnection::sessionBus().asyncCall(
      QDBusMessage::createMethodCall(kPortalService, session_, QStringLiteral("org.freedesktop.portal.Session"),
                                     QStringLiteral("Close")));
}

void PortalGlobalShortcut::bind() {
  QPointer<PortalGlobalShortcut> self(this);
  QVariantMap sessionOptions{{QStringLiteral("session_handle_token"), QStringLiteral("moxiscope_shortcuts")}};
  PortalRequest::send(
      kShortcuts, QStringLiteral("CreateSession"), {sessionOptions}, QStringLiteral("moxiscope_shortcuts_create"),
      [self](uint32_t response, const QVariantMap& results) {
        if (!self) return;
        if (response != 0) {
          logLine(std::string("the desktop did not open a shortcut session; ") + kUnboundHint);
          return;
        }
        self->session_ = results.value(QStringLiteral("session_handle")).toString();
        QDBusConnection::sessionBus().connect(
            kPortalService, kPortalPath, kShortcuts, QStringLiteral("Activated"), self,
            SLOT(handleActivated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
        Shortcut shortcut{kShortcutID,
                          {{QStringLiteral("description"), QStringLiteral("Start or stop recording a window")},
                           {QStringLiteral("preferred_trigger"), QStringLiteral("CTRL+F1")}}};
        PortalRequest::send(
            kShortcuts, QStringLiteral("BindShortcuts"),
            {QVariant::fromValue(QDBusObjectPath(self->session_)), QVariant::fromValue(QList<Shortcut>{shortcut}),
             QString(), QVariantMap()},
            QStringLiteral("moxiscope_shortcuts_bind"),
            [self](uint32_t response, const QVariantMap& results) {
              if (self) self->bindingAnswered(response, results);
            },
            self);
      },
      this);
}

void PortalGlobalShortcut::bindingAnswered(uint32_t response, const QVariantMap& results) {
  if (response != 0) {
    logLine(std::string("the shortcut was not bound; ") + kUnboundHint);
    return;
  }
  // Success alone does not mean a key: the desktop names the key it assigned
  // in the trigger description, and leaves it empty when the user is to
  // choose one.
  QString trigger;
  const auto shortcuts = qdbus_cast<QList<Shortcut>>(results.value(QStringLiteral("shortcuts")));
  for (const Shortcut& s : shortcuts)
    if (s.id == kShortcutID) trigger = s.properties.value(QStringLiteral("trigger_description")).toString();
  bound_ = !trigger.isEmpty();
  if (bound_) {
    logLine("the desktop bound the recording shortcut to " + trigger.toStdString());
  } else {
    logLine("Moxiscope asked the desktop for a recording shortcut; no key is assigned to it yet: assign one in "
            "System Settings \u2192 Shortcuts");
    if (noteChanged_) noteChanged_(keyNotAssignedNote());
  }
}

void PortalGlobalShortcut::handleActivated(const QDBusObjectPath& session, const QString& id, qulonglong,
                                           const QVariantMap&) {
  if (session.path() != session_ || id != kShortcutID) return;
  if (activated_) activated_();
}

}  // namespace moxi
