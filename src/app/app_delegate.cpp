#include "app/app_delegate.h"

#include <QGuiApplication>
#include <QImage>
#include <QMessageBox>
#include <QPushButton>
#include <QThreadPool>
#include <QUrl>
#include <cstdlib>

#include "app/autostart.h"
#include "app/recorder_settings.h"
#include "app/status_button.h"
#include "app/toggler.h"
#include "common/log.h"
#include "ui/popover.h"
#include "ui/window_list_model.h"

namespace moxi {

AppDelegate::AppDelegate(DesktopPlatform platform) : platform_(platform) {}
AppDelegate::~AppDelegate() {
  // The view goes before the controller it shows.
  popover_.reset();
  toggler_.reset();
  autostart_.reset();
}

std::unique_ptr<QMessageBox> AppDelegate::makeLaunchAlert() {
  auto alert = std::make_unique<QMessageBox>();
  alert->setWindowTitle(QStringLiteral("Moxiscope"));
  alert->setText(QStringLiteral("Moxiscope 🎉"));
  alert->setInformativeText(QStringLiteral("Check your menu bar on top 😊"));
  alert->addButton(QStringLiteral("Ok"), QMessageBox::AcceptRole);
  alert->addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole)->setHidden(true);
  return alert;
}

void AppDelegate::applicationDidFinishLaunching() {
  // Bad settings are ignored, and the log says which.
  RecorderSettings::check();
  statusBarItem_ = std::make_unique<StatusButton>();
  const QImage icon = appIcon();
  if (icon.isNull()) {
    logLine("Fatal error: the icon \"favicon-32x32\" is missing from the application's resources");
    std::abort();
  }
  statusBarItem_->setImage(icon);
  connect(statusBarItem_.get(), &StatusButton::clicked, this, &AppDelegate::togglePopover);

  popover_ = std::make_unique<Popover>();
  toggler_ = std::make_unique<Toggler>(popover_.get(), statusBarItem_.get(), RecorderServices::platform(platform_));
  // Before any new recording: what the last run left without a movie.
  toggler_->recoverInterrupted();
  // Whether the microphone may be recorded is known before the popover's
  // content first asks (a hot key may start a recording before that).
  toggler_->checkMicrophonePermission(false);
  popover_->setContentSize(QSize(400, 400));
  autostart_ = std::make_unique<Autostart>();
  popover_->setContent(QUrl(QStringLiteral("qrc:/moxiscope/ContentView.qml")),
                       {{QStringLiteral("toggler"), toggler_.get()}, {QStringLiteral("autostart"), autostart_.get()}},
                       [model = toggler_->windowListModel()](const QString& id, const QSize& size) {
                         return model->thumbnail(id, size);
                       });
  connect(popover_.get(), &Popover::contentMissing, toggler_.get(), [this](const QString& problem) {
    toggler_->tellUser(
        {UserNotice::Kind::failure, QStringLiteral("Moxiscope cannot show its window list"), problem, {}});
  });

  const bool wayland = platform_ == DesktopPlatform::wayland;
  connect(statusBarItem_.get(), &StatusButton::trayLost, this, [this, wayland] {
    logLine("the tray went away; the icon comes back with a new one");
    toggler_->tellUser(UserNotice::trayGone(wayland));
  });
  QString problem;
  if (!wayland && QGuiApplication::platformName() != QLatin1String("xcb"))
    problem = QStringLiteral("Moxiscope needs an X11 session (or XWayland); recording is not available here.");
  else if (!statusBarItem_->trayAvailable())
    problem = wayland ? QStringLiteral("No system tray was found, so Moxiscope has no icon. Run \"moxiscope "
                                       "--toggle\" (bind it to a key in your desktop's settings) to start "
                                       "recording, and again to stop.")
                      : QStringLiteral("No system tray was found, so Moxiscope has no icon. Press Ctrl+F1 over a "
                                       "window to start recording it, and Ctrl+F1 again to stop.");
  statusBarItem_->show();
  // The popover's content takes about 50 ms to load, too long to add to the
  // first click: it loads when the pointer first comes over the icon, which
  // is long enough before a click. Where the tray does not tell that, it
  // loads now.
  if (statusBarItem_->tellsPointerEntered()) {
    connect(statusBarItem_.get(), &StatusButton::pointerEntered, popover_.get(), &Popover::load,
            Qt::QueuedConnection);
  } else if (statusBarItem_->trayAvailable()) {
    popover_->load();
  }

  if (problem.isEmpty()) {
    if (showsLaunchAlert_) {
      auto alert = makeLaunchAlert();
      emit launchAlertShown(alert.get());
      alert->exec();
    }
    return;
  }
  // Without a tray, "check your menu bar" would send the user looking for
  // an icon that is not there: this says what to do instead.
  logLine(problem.toStdString());
  // Started by a shortcut, the action comes first: a dialog would hold it
  // back (or, on Wayland, take the focus from the window to record).
  if (!showsLaunchAlert_) {
    toggler_->tellUser({UserNotice::Kind::failure, QStringLiteral("Moxiscope has no tray icon"), problem, {}});
    return;
  }
  QMessageBox::warning(nullptr, QStringLiteral("Moxiscope"), problem);
}

void AppDelegate::togglePopover() {
  if (toggler_) toggler_->handleStatusItemClick();
}

void AppDelegate::openPopover() {
  if (!toggler_ || toggler_->popoverShown()) return;
  QThreadPool::globalInstance()->start([toggler = toggler_.get()] { toggler->refreshWindows(); });
  popover_->showRelativeTo(statusBarItem_ ? statusBarItem_->geometry() : QRect());
}

void AppDelegate::handleRequest(InstanceRequest request, std::function<void(const QString&)> reply) {
  if (!reply) reply = [](const QString&) {};
  if (!toggler_) return reply(QStringLiteral("ok"));
  if (request == InstanceRequest::toggle) {
    return toggler_->hotKeyPressed([reply](const QString& problem) {
      reply(problem.isEmpty() ? QStringLiteral("ok") : problem);
    });
  }
  reply(QStringLiteral("ok"));
  switch (request) {
    case InstanceRequest::open:
      return openPopover();
    case InstanceRequest::stop:
      // Also a start still waiting for its first frame.
      return toggler_->stopOrCancel();
    case InstanceRequest::quit:
      return toggler_->quit();
    case InstanceRequest::toggle:
      return;
  }
}

}  // namespace moxi
