// The application shell in this process on a real desktop with a tray: the
// launch alert, and real clicks on the tray icon while idle, with the
// popover open and while a recording runs.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <filesystem>

#include "app/app_delegate.h"
#include "app/program_support.h"
#include "app/status_button.h"
#include "app/toggler.h"
#include "ui/popover.h"

using namespace moxi;
using namespace moxi::test;

static auto* env =
    ::testing::AddGlobalTestEnvironment(new DesktopEnvironment({.windowManager = true, .tray = true, .sound = true}));

// The resources of the static libraries (named at global scope).
static void loadResources() {
  Q_INIT_RESOURCE(app);
  Q_INIT_RESOURCE(ui);
}

namespace {

class AppShell : public testing::Test {
 protected:
  // One launch for all tests, as in the program: settings, caches and the
  // opener are private to it.
  static void SetUpTestSuite() {
    home_ = makeTempDirectory("moxi-shell-");
    std::filesystem::create_directories(home_ + "/bin");
    std::filesystem::create_directories(home_ + "/runtime");
    std::filesystem::permissions(home_ + "/runtime", std::filesystem::perms::owner_all);
    writeFile(home_ + "/bin/xdg-open", "#!/bin/sh\n");
    std::filesystem::permissions(home_ + "/bin/xdg-open", std::filesystem::perms::owner_all);
    setenv("HOME", home_.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home_ + "/config").c_str(), 1);
    setenv("XDG_CACHE_HOME", (home_ + "/cache").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (home_ + "/runtime").c_str(), 1);
    setenv("PATH", (home_ + "/bin:" + std::getenv("PATH")).c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    if (kQuickWithoutGL) setenv("QT_QUICK_BACKEND", "software", 1);
    app_ = new QApplication(argc_, argv_);
    QApplication::setOrganizationName("Moxiscope");
    QApplication::setApplicationName("Moxiscope");
    QApplication::setQuitOnLastWindowClosed(false);
    loadResources();

    delegate_ = new AppDelegate;
    QObject::connect(delegate_, &AppDelegate::launchAlertShown, [](QMessageBox* alert) {
      QPushButton* ok = nullptr;
      for (QAbstractButton* button : alert->buttons()) {
        if (button->isHidden()) continue;
        visibleButtons_.push_back(button->text());
        ok = qobject_cast<QPushButton*>(button);
      }
      // Clicked once the alert runs (it is about to).
      auto* timer = new QTimer(alert);
      QObject::connect(timer, &QTimer::timeout, alert, [alert, ok] {
        if (alert->isVisible() && ok) QTest::mouseClick(ok, Qt::LeftButton);
      });
      timer->start(20);
    });
    delegate_->applicationDidFinishLaunching();  // returns when the alert has been answered
  }

  static void TearDownTestSuite() {
    delete delegate_;
    delete app_;
    std::filesystem::remove_all(home_);
  }

  static QPoint icon() {
    // Where the tray has docked it (until then Qt reports where the icon
    // was made), and once this process has seen it there.
    EXPECT_TRUE(eventually([] {
      std::optional<QPoint> docked = trayIcon("Moxiscope");
      return docked && delegate_->statusBarItem()->geometry().center() == *docked;
    })) << "no tray icon";
    return delegate_->statusBarItem()->geometry().center();
  }

  static inline std::string home_;
  static inline int argc_ = 1;
  static inline char arg0_[] = "app_shell_itest";
  static inline char* argv_[] = {arg0_, nullptr};
  static inline QApplication* app_ = nullptr;
  static inline AppDelegate* delegate_ = nullptr;
  static inline QStringList visibleButtons_;
};

}  // namespace

TEST_F(AppShell, TheLaunchAlertShowsOneButtonOk) { EXPECT_EQ(visibleButtons_, QStringList{"Ok"}); }

TEST_F(AppShell, ClicksOnTheTrayIconOpenAndCloseThePopover) {
  Popover* popover = delegate_->popover();
  clickAt(icon());
  ASSERT_TRUE(eventually([&] { return popover->isShown() && popover->window()->isVisible(); }));
  EXPECT_EQ(popover->window()->size(), QSize(400, 400));
  EXPECT_EQ(windowRect(std::to_string(popover->window()->winId())).size(), QSize(400, 400));

  clickAt(icon());
  ASSERT_TRUE(eventually([&] { return !popover->isShown(); }));
  // The closing click must not reach the icon again and reopen it.
  QTest::qWait(500);
  EXPECT_FALSE(popover->isShown());
  EXPECT_FALSE(delegate_->toggler()->recording());
}

TEST_F(AppShell, AClickWhileRecordingStopsInsteadOfOpening) {
  Toggler* toggler = delegate_->toggler();
  toggler->setShowDialog(false);  // no modal question after the export
  TestPicture picture("Shell", 300, 300);
  const auto id = static_cast<uint32_t>(std::stoul(picture.id()));
  std::optional<CaptureWindow> window;
  ASSERT_TRUE(eventually([&] {
    toggler->refreshWindows();
    QTest::qWait(50);  // the list is published on the main thread
    for (const auto& entry : toggler->allwindows())
      if (entry.windowID == id) window = entry.window;
    return window.has_value();
  }));
  QSignalSpy exported(toggler, &Toggler::exportFinished);
  toggler->startRecording(*window);
  ASSERT_TRUE(eventually([&] { return toggler->recording(); }));

  clickAt(icon());
  ASSERT_TRUE(eventually([&] { return !toggler->recording(); }));
  EXPECT_FALSE(delegate_->popover()->isShown());
  ASSERT_TRUE(eventually([&] { return exported.count() == 1; }, 60s));
  EXPECT_FALSE(exported[0][1].toUrl().isEmpty());
  EXPECT_FALSE(delegate_->popover()->isShown());
}
