#pragma once
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

#include "app/command_line.h"
#include "app/platform_choice.h"

class QMessageBox;

namespace moxi {

class Autostart;
class Popover;
class StatusButton;
class Toggler;

// Builds what the application shows at launch and keeps it for the whole run:
// the tray icon, its popover and the one recorder controller.
class AppDelegate : public QObject {
  Q_OBJECT
 public:
  explicit AppDelegate(DesktopPlatform platform = DesktopPlatform::x11);
  ~AppDelegate() override;

  void applicationDidFinishLaunching();
  // A launch with an action skips the launch alert: its modal box would hold
  // the action back until someone answers it.
  void setShowsLaunchAlert(bool shows) { showsLaunchAlert_ = shows; }
  // What a launch asked for, this one or a later one handed over; `reply`
  // hears "ok" or why nothing was done.
  void handleRequest(InstanceRequest request, std::function<void(const QString&)> reply = {});

  Popover* popover() const { return popover_.get(); }
  StatusButton* statusBarItem() const { return statusBarItem_.get(); }
  Toggler* toggler() const { return toggler_.get(); }

  // The launch alert: "Ok" visible, "Cancel" hidden. The caller runs it.
  static std::unique_ptr<QMessageBox> makeLaunchAlert();

 signals:
  // The launch alert is about to run modally (tests dismiss it from here).
  void launchAlertShown(QMessageBox* alert);

 private:
  void togglePopover();
  void openPopover();

  DesktopPlatform platform_;
  std::unique_ptr<Popover> popover_;
  std::unique_ptr<StatusButton> statusBarItem_;
  std::unique_ptr<Toggler> toggler_;
  std::unique_ptr<Autostart> autostart_;
  bool showsLaunchAlert_ = true;
};

}  // namespace moxi
