#pragma once
// One running instance per user and display. The running instance holds an
// exclusive lock on a file next to its socket for its whole life; the kernel
// drops the lock when the process ends however it ends, so a stale socket
// from a killed instance never blocks the next start. Later launches hand
// their request over the socket and end.
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

#include "app/command_line.h"
#include "common/unique_fd.h"

class QSocketNotifier;

namespace moxi {

// Where this user's instance on this display listens: the runtime
// directory when there is one (private to the user), else the temp folder.
QString instanceSocketPath();

// The lock of the running instance; an RAII owner of its descriptor.
class InstanceLock {
 public:
  // The lock, or none when another live process holds it. Where no lock
  // file can be made, a lock that guards nothing.
  static std::unique_ptr<InstanceLock> tryClaim(const QString& socketPath);
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

 private:
  explicit InstanceLock(int fd) : fd_(fd) {}
  int fd_;  // -1: nothing held
};

// Sends `request` to the instance listening at `socketPath`; its reply, or
// none when no instance answers.
std::optional<QString> handOver(const QString& socketPath, InstanceRequest request, int timeoutMs = 3000);

// Hands out what later launches ask for. Listen only while holding the lock.
// A plain socket: the program needs nothing else of a network library.
class InstanceServer : public QObject {
  Q_OBJECT
 public:
  // What the launch is answered: "ok", or one line saying why not.
  using Reply = std::function<void(const QString&)>;
  // Runs a request from the event loop; it answers through `reply`, once
  // (at once for any but a toggle, whose answer is whether it found
  // something to record).
  using Handler = std::function<void(InstanceRequest, Reply)>;

  explicit InstanceServer(QString socketPath, QObject* parent = nullptr);
  ~InstanceServer() override;
  void setHandler(Handler handler) { handler_ = std::move(handler); }
  bool listen();
  QString errorString() const { return error_; }

 private:
  class Client;
  void accept();
  void handle(const QString& line, Client* client);

  QString path_;
  QString error_;
  UniqueFd listening_;
  std::unique_ptr<QSocketNotifier> incoming_;
  Handler handler_;
};

}  // namespace moxi
