#pragma once
// A client of the desktop's ScreenCast portal (org.freedesktop.portal.ScreenCast)
// on the session bus: what the desktop offers, and one screen-cast session
// from the desktop's own picker to the PipeWire remote that carries its frames.
// Every call is asynchronous and answers on the main thread: the picker may
// stay open for minutes, and nothing here may block the event loop.
#include <QObject>
#include <QSize>
#include <QString>
#include <QVariantMap>
#include <cstdint>
#include <functional>
#include <memory>

#include "common/unique_fd.h"
#include "platform/wayland/portal_request.h"

namespace moxi {

// Bits of AvailableSourceTypes and of the `types` option.
inline constexpr uint32_t kPortalSourceMonitor = 1;
inline constexpr uint32_t kPortalSourceWindow = 2;
// Bits of AvailableCursorModes and values of `cursor_mode`.
inline constexpr uint32_t kPortalCursorHidden = 1;
inline constexpr uint32_t kPortalCursorEmbedded = 2;
inline constexpr uint32_t kPortalCursorMetadata = 4;

struct ScreenCastOffer {
  bool available = false;  // a portal answers on this bus
  uint32_t sourceTypes = 0;
  uint32_t cursorModes = 0;
  uint32_t version = 0;
  QString reason;  // why it is not available
};

// What to ask the desktop for, from what it offers: windows where it shares
// them (else whole screens), and the cursor as metadata where offered, so that
// the pointer's positions can be logged; embedded otherwise when it is shown.
struct ScreenCastRequest {
  uint32_t sourceType = kPortalSourceWindow;
  uint32_t cursorMode = kPortalCursorHidden;
  QString restoreToken;  // the last choice again, without asking
};
ScreenCastRequest screenCastRequest(const ScreenCastOffer& offer, bool showsCursor, const QString& restoreToken);

// An open screen-cast session. Closing it (or destroying it) ends the cast;
// `closedByDesktop` runs on the main thread when the desktop ends it first.
class ScreenCastSession : public QObject {
  Q_OBJECT
 public:
  explicit ScreenCastSession(QString handle);
  ~ScreenCastSession() override;
  const QString& handle() const { return handle_; }
  void close();
  std::function<void()> closedByDesktop;

 private slots:
  void handleClosed(const QVariantMap& details);

 private:
  QString handle_;
  bool open_ = true;
};

struct ScreenCastStart {
  enum class Outcome { started, cancelled, failed };
  Outcome outcome = Outcome::failed;
  QString reason;  // failed: one line for the user
  uint32_t nodeID = 0;
  QSize size;  // may be empty when the desktop does not tell
  uint32_t sourceType = 0;
  QString restoreToken;  // empty when the desktop keeps no choice
  UniqueFd pipeWireRemote;  // one PipeWire client's connection
  std::shared_ptr<ScreenCastSession> session;
};

class PortalScreenCast : public QObject {
  Q_OBJECT
 public:
  PortalScreenCast();
  ~PortalScreenCast() override;

  void queryOffer(std::function<void(ScreenCastOffer)> done);
  // CreateSession, SelectSources, Start, OpenPipeWireRemote; `done` runs once.
  void start(const ScreenCastRequest& request, std::function<void(ScreenCastStart)> done);
  // Another connection to the session's streams: each PipeWire client needs
  // its own. An invalid descriptor and the reason when it fails.
  void openPipeWireRemote(const QString& sessionHandle, std::function<void(UniqueFd, QString)> done);

 private:
  struct Flow;
  void createSession(std::shared_ptr<Flow> flow);
  void selectSources(std::shared_ptr<Flow> flow);
  void startCast(std::shared_ptr<Flow> flow);
  void openRemote(std::shared_ptr<Flow> flow, const QVariantMap& results);
  uint64_t tokens_ = 0;
};

}  // namespace moxi
