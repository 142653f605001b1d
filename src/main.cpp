#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>

extern "C" {
#include <libavutil/log.h>
}

#include "app/app_delegate.h"
#include "app/platform_choice.h"
#include "app/toggler.h"
#include "platform/log.h"

namespace {

int signalPipe[2] = {-1, -1};

void forwardSignal(int) {
  char byte = 1;
  [[maybe_unused]] ssize_t n = write(signalPipe[1], &byte, 1);
}

}  // namespace

int main(int argc, char** argv) {
  // The desktop's services are chosen once; the program's own windows use the
  // same platform, so that they and the recorded windows share one desktop.
  const moxi::PlatformChoice platform = moxi::choosePlatformFromEnvironment();
  moxi::logLine(std::string("platform: ") + moxi::platformName(platform.platform) + " (" + platform.reason + ")");
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    if (platform.platform == moxi::DesktopPlatform::wayland) qputenv("QT_QPA_PLATFORM", "wayland");
    else if (!qEnvironmentVariableIsEmpty("DISPLAY")) qputenv("QT_QPA_PLATFORM", "xcb");
  }
  QApplication app(argc, argv);
  QApplication::setOrganizationName(QStringLiteral("Moxiscope"));
  QApplication::setApplicationName(QStringLiteral("Moxiscope"));
  QApplication::setQuitOnLastWindowClosed(false);  // a tray program lives on without windows
  Q_INIT_RESOURCE(app);
  Q_INIT_RESOURCE(ui);

  // FFmpeg's notes go to standard error in its own format; only errors are worth a line.
  av_log_set_level(AV_LOG_ERROR);

  moxi::AppDelegate delegate(platform.platform);

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

  QTimer::singleShot(0, &delegate, &moxi::AppDelegate::applicationDidFinishLaunching);
  return app.exec();
}
