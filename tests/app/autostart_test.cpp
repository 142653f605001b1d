// "Start at login": the popover's switch writes a valid autostart entry that
// starts this program, and removes it; a folder it cannot write leaves the
// switch off with a reason.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QSignalSpy>
#include <QTest>

#include "app/autostart.h"
#include "app/isolated_application_support.h"
#include "app/recorder_fakes_support.h"
#include "harness/test_desktop.h"

using namespace moxi;
using namespace moxi::test;

TEST(Autostart, TheLoginSwitchWritesAValidEntryAndRemovesIt) {
  FakeRecorder recorder;
  Autostart autostart;
  QQuickView view;
  view.rootContext()->setContextProperty("toggler", recorder.toggler.get());
  view.rootContext()->setContextProperty("autostart", &autostart);
  view.setSource(QUrl("qrc:/moxiscope/ContentView.qml"));
  view.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
  auto* login = view.rootObject()->findChild<QQuickItem*>("loginSwitch");
  auto* row = view.rootObject()->findChild<QQuickItem*>("switchRow");
  ASSERT_TRUE(login && row);
  // Four switches fit the popover's width.
  EXPECT_TRUE(login->isVisible());
  EXPECT_LE(row->mapToScene({row->width(), 0}).x(), 400);
  EXPECT_GE(row->mapToScene({0, 0}).x(), 0);
  EXPECT_FALSE(login->property("isOn").toBool());

  const QString path = Autostart::entryPath();
  EXPECT_TRUE(path.startsWith(qEnvironmentVariable("XDG_CONFIG_HOME") + "/autostart/")) << path.toStdString();
  for (bool on : {true, false}) {
    SCOPED_TRACE(on);
    auto* capsule = login->findChild<QQuickItem*>("capsule");
    QTest::mouseClick(&view, Qt::LeftButton, {}, capsule->mapToScene({16, 10}).toPoint());
    EXPECT_TRUE(QTest::qWaitFor([&] { return QFileInfo::exists(path) == on; }, 2000));
    EXPECT_EQ(login->property("isOn").toBool(), on);
  }

  autostart.setEnabled(true);
  CommandResult valid = runCommand({"desktop-file-validate", path.toStdString()});
  EXPECT_EQ(valid.exitCode, 0) << valid.out;
  QFile entry(path);
  ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
  EXPECT_TRUE(entry.readAll().contains("\nExec=" + QCoreApplication::applicationFilePath().toUtf8() + "\n"));
  autostart.setEnabled(false);
  EXPECT_FALSE(QFileInfo::exists(path));
}

TEST(Autostart, AnUnwritableFolderLeavesItOffWithAReason) {
  // A file where the folder should be (permissions would not stop root).
  Autostart autostart;
  const QString dir = QFileInfo(Autostart::entryPath()).path();
  QDir().rmdir(dir);
  QDir().mkpath(QFileInfo(dir).path());
  QFile blocker(dir);
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  QSignalSpy changed(&autostart, &Autostart::enabledChanged);
  autostart.setEnabled(true);
  EXPECT_FALSE(autostart.enabled());
  EXPECT_FALSE(autostart.error().isEmpty());
  EXPECT_EQ(changed.count(), 1);  // the switch reads the state back
  QFile::remove(dir);
}

int main(int argc, char** argv) { return moxi::test::runTestsInIsolatedApplication(argc, argv); }
