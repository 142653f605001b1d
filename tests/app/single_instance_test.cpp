// The running instance's socket: later launches get their answers, anything
// else another process may write gets nothing but a refusal.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <cerrno>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "app/single_instance.h"
#include "common/unique_fd.h"

using namespace moxi;

namespace {

// Runs `work` on another thread while this one serves the event loop.
template <typename Work>
auto whileServing(Work work) {
  auto result = std::async(std::launch::async, work);
  while (result.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready)
    QCoreApplication::processEvents();
  return result.get();
}

sockaddr_un addressOf(const QString& path) {
  sockaddr_un address{AF_UNIX, {}};
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.toUtf8().constData());
  return address;
}

UniqueFd connectTo(const QString& path) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_un address = addressOf(path);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return {};
  return fd;
}

// What the server says to `bytes` before it closes the connection;
// "(silent)" when it keeps the connection open for 2 s.
std::string answerTo(const QString& path, const std::string& bytes, bool thenStopWriting = true) {
  return whileServing([&] {
    UniqueFd fd = connectTo(path);
    const timeval wait{2, 0};
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    ::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (thenStopWriting) ::shutdown(fd.get(), SHUT_WR);
    std::string answer;
    char chunk[64];
    ssize_t got;
    while ((got = ::recv(fd.get(), chunk, sizeof chunk, 0)) > 0) answer.append(chunk, got);
    return got < 0 && errno == EAGAIN ? answer + "(silent)" : answer;
  });
}

}  // namespace

TEST(InstanceServer, AnswersLaterLaunchesAndRefusesAnythingElse) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("instance"));
  EXPECT_EQ(handOver(path, InstanceRequest::open, 200), std::nullopt);  // nobody listens

  // A socket file left by an instance that was killed is taken over.
  {
    UniqueFd stale(::socket(AF_UNIX, SOCK_STREAM, 0));
    const sockaddr_un address = addressOf(path);
    ASSERT_EQ(::bind(stale.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  }
  InstanceServer server(path);
  std::vector<InstanceRequest> handled;
  server.setHandler([&](InstanceRequest request, InstanceServer::Reply reply) {
    handled.push_back(request);
    reply(QStringLiteral("nothing to record"));  // heard only by a toggle
  });
  ASSERT_TRUE(server.listen()) << server.errorString().toStdString();
  struct stat status{};
  ASSERT_EQ(::stat(path.toUtf8().constData(), &status), 0);
  EXPECT_EQ(status.st_mode & 0077, 0u) << "other users could connect";

  EXPECT_EQ(whileServing([&] { return handOver(path, InstanceRequest::stop, 2000); }), QStringLiteral("ok"));
  EXPECT_EQ(whileServing([&] { return handOver(path, InstanceRequest::toggle, 2000); }),
            QStringLiteral("nothing to record"));
  EXPECT_EQ(answerTo(path, "no-such-request\n"), "unknown request\n");
  EXPECT_EQ(answerTo(path, std::string(300, 'x'), false), "");  // no line at all: cut off
  EXPECT_EQ(answerTo(path, "quit"), "");                // closed before its line ended
  QCoreApplication::processEvents();
  EXPECT_EQ(handled, (std::vector<InstanceRequest>{InstanceRequest::stop, InstanceRequest::toggle}));
}

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
