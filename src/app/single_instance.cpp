#include "app/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <cerrno>
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

std::optional<QString> handOver(const QString& socketPath, InstanceRequest request, int timeoutMs) {
  QLocalSocket socket;
  socket.connectToServer(socketPath);
  if (!socket.waitForConnected(timeoutMs)) return std::nullopt;
  socket.write(requestName(request).toUtf8() + '\n');
  if (!socket.waitForBytesWritten(timeoutMs)) return std::nullopt;
  while (!socket.canReadLine())
    if (!socket.waitForReadyRead(timeoutMs)) return std::nullopt;
  return QString::fromUtf8(socket.readLine()).trimmed();
}

InstanceServer::InstanceServer(QString socketPath, QObject* parent)
    : QObject(parent), path_(std::move(socketPath)), server_(std::make_unique<QLocalServer>()) {
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  connect(server_.get(), &QLocalServer::newConnection, this, &InstanceServer::accept);
}

InstanceServer::~InstanceServer() {
  server_->close();
}

bool InstanceServer::listen() {
  // Whoever holds the lock owns the name: a socket file still there was
  // left by an instance that is gone.
  QLocalServer::removeServer(path_);
  return server_->listen(path_);
}

QString InstanceServer::errorString() const { return server_->errorString(); }

void InstanceServer::accept() {
  while (QLocalSocket* socket = server_->nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
      if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > 256) socket->disconnectFromServer();  // not one of ours
        return;
      }
      const QString line = QString::fromUtf8(socket->readLine()).trimmed();
      const std::optional<InstanceRequest> request = requestFromName(line);
      QPointer<QLocalSocket> client(socket);
      auto reply = [client](const QString& answer) {
        if (!client) return;
        client->write(answer.toUtf8() + '\n');
        client->flush();
        client->disconnectFromServer();
      };
      if (!request) return reply(QStringLiteral("unknown request"));
      // Run from the event loop: a request such as quit runs a loop of its
      // own until the recording is saved. All but a toggle are answered first.
      const bool answersLater = *request == InstanceRequest::toggle && handler_;
      if (!answersLater) reply(QStringLiteral("ok"));
      const Reply answer = answersLater ? Reply(reply) : Reply([](const QString&) {});
      QMetaObject::invokeMethod(
          this, [this, r = *request, answer] { if (handler_) handler_(r, answer); }, Qt::QueuedConnection);
    });
  }
}

}  // namespace moxi
