#include <sys/socket.h>
#if __has_include(<malloc.h>)
#include <malloc.h>  // mallopt, where the C library is glibc
#endif
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <thread>

extern "C" {
#include <libavutil/log.h>
}

#include "app/app_delegate.h"
#include "app/command_line.h"
#include "app/platform_choice.h"
#include "app/single_instance.h"
#include "app/toggler.h"
#include "common/log.h"

namespace {

int signalPipe[2] = {-1, -1};

void forwardSignal(int) {
  char byte = 1;
  [[maybe_unused]] ssize_t n = write(signalPipe[1], &byte, 1);
}

void nameApplication() {
  QCoreApplication::setOrganizationName(QStringLiteral("Moxiscope"));
  QCoreApplication::setApplicationName(QStringLiteral("Moxiscope"));
  QCoreApplication::setApplicationVersion(QStringLiteral(MOXI_VERSION));
}

// The display went away under the program (the X server or the Wayland
// compositor died). Qt says so in one of these warnings and then exits
// without unwinding anything: the recording is finished here first, on the
// main thread, and the user gets one line of our own.
std::function<void()> onDisplayLost;
QtMessageHandler qtMessages = nullptr;

bool saysDisplayLost(const QString& message) {
  for (const char* start : {"The X11 connection broke", "The Wayland connection broke",
                            "The Wayland connection experienced a fatal error"})
    if (message.startsWith(QLatin1String(start))) return true;
  return false;
}

std::atomic<bool> finishingWithoutDisplay{false};

void finishWithoutDisplayAndExit() {
  if (finishingWithoutDisplay.exchange(true)) return;
  onDisplayLost();
  _exit(1);  // static destructors would wait for threads that wait for the display
}

void watchForLostDisplay(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (saysDisplayLost(message) && onDisplayLost) {
    // On the main thread it returns only when called again while finishing.
    if (QThread::currentThread() == QCoreApplication::instance()->thread()) return finishWithoutDisplayAndExit();
    // Qt's Wayland event thread sees it too and exits right after this
    // warning: the main thread finishes instead, and this one waits (for
    // long enough, should the main thread never get to it).
    static std::atomic<bool> handedOver{false};
    if (!handedOver.exchange(true))
      QMetaObject::invokeMethod(QCoreApplication::instance(), finishWithoutDisplayAndExit, Qt::QueuedConnection);
    std::this_thread::sleep_for(std::chrono::seconds(30));
    _exit(1);
  }
  if (qtMessages) qtMessages(type, context, message);
}

void print(const QString& text, bool toStandardError = false) {
  std::fputs(text.toLocal8Bit().constData(), toStandardError ? stderr : stdout);
  std::fflush(toStandardError ? stderr : stdout);
}

}  // namespace

int main(int argc, char** argv) {
#ifdef __GLIBC__
  // glibc's default, held: left to itself the allocator raises the threshold
  // to the largest block freed (up to 32 MB), and from then on each
  // recording's frame-sized buffers (capture, encoder, export) come from the
  // per-thread arenas, where they stay resident recording after recording
  // even after malloc_trim. Blocks this large are few, so mapping each one
  // costs little.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
  // The command line and the hand-over to a running instance need no display
  // (--help and --version work in a terminal without one).
  moxi::CommandLine commandLine;
  std::unique_ptr<moxi::InstanceLock> lock;
  const QString socketPath = moxi::instanceSocketPath();
  {
    QCoreApplication probe(argc, argv);
    nameApplication();
    commandLine = moxi::parseCommandLine(probe.arguments());
    if (commandLine.exitCode) {
      print(commandLine.output, commandLine.toStandardError);
      return *commandLine.exitCode;
    }
    // An instance that holds the lock but does not answer yet is starting:
    // ask again until it listens.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!lock) {
      // A toggle is answered once the running instance knows what it did.
      if (auto reply = moxi::handOver(socketPath, commandLine.request, 10000)) {
        print(QStringLiteral("Moxiscope is already running\n"));
        if (*reply == QLatin1String("ok")) return 0;
        print(*reply + u'\n', true);
        return 1;
      }
      lock = moxi::InstanceLock::tryClaim(socketPath);
      if (lock) break;
      if (std::chrono::steady_clock::now() > deadline) {
        print(QStringLiteral("moxiscope: another instance holds %1.lock but does not answer\n").arg(socketPath), true);
        return 1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (commandLine.request == moxi::InstanceRequest::stop || commandLine.request == moxi::InstanceRequest::quit) {
      print(QStringLiteral("Moxiscope is not running\n"), true);
      return 1;
    }
  }

  // The desktop's services are chosen once; the program's own windows use the
  // same platform, so that they and the recorded windows share one desktop.
  const moxi::PlatformChoice platform = moxi::choosePlatformFromEnvironment();
  moxi::logLine(std::string("platform: ") + moxi::platformName(platform.platform) + " (" + platform.reason + ")");
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    if (platform.platform == moxi::DesktopPlatform::wayland) qputenv("QT_QPA_PLATFORM", "wayland");
    else if (!qEnvironmentVariableIsEmpty("DISPLAY")) qputenv("QT_QPA_PLATFORM", "xcb");
  }
  QApplication app(argc, argv);
  nameApplication();
  QApplication::setQuitOnLastWindowClosed(false);  // a tray program lives on without windows
  Q_INIT_RESOURCE(app);

  // FFmpeg's notes go to standard error in its own format; only errors are worth a line.
  av_log_set_level(AV_LOG_ERROR);

  moxi::AppDelegate delegate(platform.platform);
  const QString display = platform.platform == moxi::DesktopPlatform::wayland
                              ? QStringLiteral("the Wayland compositor")
                              : QStringLiteral("the X server");
  onDisplayLost = [&delegate, display] {
    moxi::logLine("the connection to " + display.toStdString() + " broke; finishing the recording");
    const std::string raw = delegate.toggler() ? delegate.toggler()->finishWithoutDisplay(20000) : std::string();
    print(raw.empty() ? QStringLiteral("moxiscope: lost the connection to %1\n").arg(display)
                      : QStringLiteral("moxiscope: lost the connection to %1; the recording was finished in %2\n")
                            .arg(display, QString::fromStdString(raw)),
          true);
  };
  qtMessages = qInstallMessageHandler(watchForLostDisplay);
  delegate.setShowsLaunchAlert(commandLine.request == moxi::InstanceRequest::open);

  moxi::InstanceServer server(socketPath);
  server.setHandler([&delegate](moxi::InstanceRequest request, moxi::InstanceServer::Reply reply) {
    delegate.handleRequest(request, std::move(reply));
  });
  if (!server.listen())
    moxi::logLine("cannot listen at " + socketPath.toStdString() + ": " + server.errorString().toStdString() +
                  "; later launches start instances of their own");

  // SIGTERM and SIGINT (logout, Ctrl+C) finish a running recording before
  // the program ends, so it is never lost.
  socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe);
  QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
  QObject::connect(&notifier, &QSocketNotifier::activated, &app, [&delegate] {
    char byte;
    [[maybe_unused]] ssize_t n = read(signalPipe[0], &byte, 1);
    if (delegate.toggler()) delegate.toggler()->quit();
    else QCoreApplication::quit();
  });
  struct sigaction action {};
  action.sa_handler = forwardSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  QTimer::singleShot(0, &delegate, [&delegate, request = commandLine.request] {
    delegate.applicationDidFinishLaunching();
    // This launch's own answer goes where a later launch would print it.
    if (request != moxi::InstanceRequest::open)
      delegate.handleRequest(request, [](const QString& answer) {
        if (answer != QLatin1String("ok")) print(answer + u'\n', true);
      });
  });
  const int status = app.exec();
  qInstallMessageHandler(qtMessages);  // the delegate it finishes with goes next
  return status;
}
