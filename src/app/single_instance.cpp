#include "app/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QFileInfo>
#include <QPointer>
#include <QSocketNotifier>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "common/log.h"
#include "handoff/storage.h"

namespace moxi {

QString instanceSocketPath() {
  QString display = qEnvironmentVariable("DISPLAY");
  if (display.isEmpty()) display = qEnvironmentVariable("WAYLAND_DISPLAY");
  if (display.isEmpty()) display = QStringLiteral("none");
  // A Wayland display may be a path, and a socket's path is short (108
  // bytes): such a display is named by a digest of its path.
  if (display.contains(u'/'))
    display = QString::fromLatin1(QCryptographicHash::hash(display.toUtf8(), QCryptographicHash::Sha1).toHex().left(16));
  for (QChar& c : display)
    if (!c.isLetterOrNumber() && c != u'.' && c != u'-') c = u'_';
  QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (dir.isEmpty() || !QFileInfo(dir).isDir() || dir.size() > 60) dir = Storage::temporaryFolder();
  return QStringLiteral("%1/moxiscope-%2-%3").arg(dir).arg(getuid()).arg(display);
}

std::unique_ptr<InstanceLock> InstanceLock::tryClaim(const QString& socketPath) {
  const QByteArray path = QFile::encodeName(socketPath + QStringLiteral(".lock"));
  int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    // Better two instances than none: start without the guard.
    logLine("cannot open " + path.toStdString() + ": " + std::strerror(errno) + "; not guarding against a second instance");
    return std::unique_ptr<InstanceLock>(new InstanceLock(-1));
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return nullptr;
  }
  return std::unique_ptr<InstanceLock>(new InstanceLock(fd));
}

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) ::close(fd_);
}

namespace {

// The socket's address, or none when the path does not fit in one.
std::optional<sockaddr_un> socketAddress(const QString& socketPath) {
  const QByteArray path = QFile::encodeName(socketPath);
  sockaddr_un address{};
  if (path.isEmpty() || static_cast<size_t>(path.size()) >= sizeof address.sun_path) return std::nullopt;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.constData(), static_cast<size_t>(path.size()));
  return address;
}

// A request line is a word: anything longer is not one of ours.
constexpr qsizetype kLongestRequest = 256;

}  // namespace

std::optional<QString> handOver(const QString& socketPath, InstanceRequest request, int timeoutMs) {
  const auto address = socketAddress(socketPath);
  if (!address) return std::nullopt;
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return std::nullopt;
  // Each wait (a full backlog on connect, the answer) ends by the deadline.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  const timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
  setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) return std::nullopt;
  const QByteArray line = requestName(request).toUtf8() + '\n';
  if (::send(fd.get(), line.constData(), static_cast<size_t>(line.size()), MSG_NOSIGNAL) != line.size())
    return std::nullopt;
  QByteArray answer;
  while (!answer.contains('\n')) {
    if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
    char chunk[256];
    const ssize_t got = ::recv(fd.get(), chunk, sizeof chunk, 0);
    if (got > 0) answer.append(chunk, got);
    else if (got == 0 || errno != EINTR) return std::nullopt;  // gone, or silent for the whole wait
  }
  return QString::fromUtf8(answer.left(answer.indexOf('\n'))).trimmed();
}

// One later launch: its request line, then the one answer.
class InstanceServer::Client : public QObject {
 public:
  Client(UniqueFd fd, InstanceServer* server)
      : QObject(server), fd_(std::move(fd)), readable_(fd_.get(), QSocketNotifier::Read) {
    connect(&readable_, &QSocketNotifier::activated, this, [this, server] { read(server); });
  }
  void answer(const QString& text) {
    const QByteArray line = text.toUtf8() + '\n';
    // A few bytes into an empty socket: they fit; a launch gone meanwhile is no fault.
    [[maybe_unused]] const ssize_t sent = ::send(fd_.get(), line.constData(), static_cast<size_t>(line.size()),
                                                 MSG_NOSIGNAL | MSG_DONTWAIT);
    deleteLater();
  }

 private:
  void read(InstanceServer* server) {
    char chunk[256];
    for (;;) {
      const ssize_t got = ::recv(fd_.get(), chunk, sizeof chunk, MSG_DONTWAIT);
      if (got > 0) {
        received_.append(chunk, got);
        if (const qsizetype end = received_.indexOf('\n'); end >= 0) {
          readable_.setEnabled(false);
          return server->handle(QString::fromUtf8(received_.left(end)).trimmed(), this);
        }
        if (received_.size() > kLongestRequest) break;
        continue;
      }
      if (got < 0 && errno == EINTR) continue;
      if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      break;  // closed before a whole line
    }
    readable_.setEnabled(false);
    deleteLater();
  }

  UniqueFd fd_;
  QSocketNotifier readable_;
  QByteArray received_;
};

InstanceServer::InstanceServer(QString socketPath, QObject* parent) : QObject(parent), path_(std::move(socketPath)) {}

InstanceServer::~InstanceServer() {
  incoming_.reset();
  if (listening_.valid()) ::unlink(QFile::encodeName(path_).constData());
}

bool InstanceServer::listen() {
  const auto address = socketAddress(path_);
  if (!address) {
    error_ = QStringLiteral("the path is too long for a socket");
    return false;
  }
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  // Whoever holds the lock owns the name: a socket file still there was
  // left by an instance that is gone. The file takes the socket's mode
  // when bound, so only this user can ever connect.
  ::unlink(address->sun_path);
  if (!fd.valid() || ::fchmod(fd.get(), 0600) != 0 ||
      ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0 ||
      ::listen(fd.get(), 16) != 0) {
    error_ = QString::fromLocal8Bit(std::strerror(errno));
    return false;
  }
  listening_ = std::move(fd);
  incoming_ = std::make_unique<QSocketNotifier>(listening_.get(), QSocketNotifier::Read);
  connect(incoming_.get(), &QSocketNotifier::activated, this, &InstanceServer::accept);
  return true;
}

void InstanceServer::accept() {
  for (;;) {
    UniqueFd client(::accept4(listening_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!client.valid()) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;  // none waiting (or none to be had now: the next one wakes us again)
    }
    new Client(std::move(client), this);
  }
}

void InstanceServer::handle(const QString& line, Client* client) {
  const std::optional<InstanceRequest> request = requestFromName(line);
  QPointer<Client> pending(client);
  auto reply = [pending](const QString& answer) {
    if (pending) pending->answer(answer);
  };
  if (!request) return reply(QStringLiteral("unknown request"));
  // Run from the event loop: a request such as quit runs a loop of its
  // own until the recording is saved. All but a toggle are answered first.
  const bool answersLater = *request == InstanceRequest::toggle && handler_;
  if (!answersLater) reply(QStringLiteral("ok"));
  const Reply answer = answersLater ? Reply(reply) : Reply([](const QString&) {});
  QMetaObject::invokeMethod(
      this, [this, r = *request, answer] { if (handler_) handler_(r, answer); }, Qt::QueuedConnection);
}

}  // namespace moxi
