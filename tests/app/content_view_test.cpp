// The popover's QML view over a real controller on fake platform services,
// driven with real mouse events under Qt's offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QTemporaryDir>
#include <QTest>

#include "app/isolated_application_support.h"
#include "app/recorder_fakes_support.h"
#include "ui/window_list_model.h"

using namespace moxi;
using namespace moxi::test;

namespace {

struct View {
  FakeRecorder recorder;
  QQuickView view;

  View() {
    view.engine()->addImageProvider(ThumbnailImageProvider::name,
                                    new ThumbnailImageProvider(recorder.toggler->windowListModel()));
    view.rootContext()->setContextProperty("toggler", recorder.toggler.get());
    view.setSource(QUrl("qrc:/moxiscope/ContentView.qml"));
    view.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&view));
  }
  QQuickItem* find(const char* name) { return view.rootObject()->findChild<QQuickItem*>(name); }
  std::vector<QQuickItem*> rows() {
    std::vector<QQuickItem*> out;
    auto* list = find("windowList");
    auto* content = list ? list->property("contentItem").value<QQuickItem*>() : nullptr;
    if (!content) return out;
    for (auto* item : content->childItems())
      if (item->objectName() == "windowRow" && item->isVisible()) out.push_back(item);
    std::sort(out.begin(), out.end(), [](auto* a, auto* b) { return a->y() < b->y(); });
    return out;
  }
  void click(QQuickItem* item, QPointF at = {}) {
    QPointF local = at.isNull() ? QPointF(item->width() / 2, item->height() / 2) : at;
    QTest::mouseClick(&view, Qt::LeftButton, {}, item->mapToScene(local).toPoint());
    QTest::qWait(20);
  }
  void settle() {
    recorder.settle();
    QTest::qWait(50);
  }
};

}  // namespace

TEST(ContentView, ShowsTheHelpTextAndRowsThatFollowTheCatalogue) {
  View v;
  EXPECT_EQ(v.find("helpText")->property("text").toString(),
            "Pick the window you'd like to record from the list below.\n"
            "Or press Ctrl+F1 to start/stop recording the window under your cursor.\n"
            "The captured window will be highlighted in blue.");
  EXPECT_TRUE(v.rows().empty());  // an empty catalogue: an empty list

  v.recorder.windows->addWindow(7, {0, 0, 1600, 800});
  v.recorder.windows->addWindow(8, {0, 0, 300, 900});
  v.recorder.toggler->refreshWindows();
  v.settle();
  ASSERT_EQ(v.rows().size(), 3u);
  EXPECT_EQ(v.rows()[0]->property("title").toString(), "window 42");
  // Thumbnails at their own size: 1600 x 800 fits 64 x 32.
  EXPECT_EQ(v.rows()[1]->property("thumbnailSize").toSizeF(), QSizeF(64, 32));

  v.recorder.windows->content->windows.resize(1);
  v.recorder.toggler->refreshWindows();
  v.settle();
  EXPECT_EQ(v.rows().size(), 1u);
}

TEST(ContentView, AClickOnARowRecordsThatWindow) {
  View v;
  v.recorder.windows->addWindow(7, {0, 0, 640, 480});
  v.recorder.toggler->refreshWindows();
  v.settle();
  ASSERT_EQ(v.rows().size(), 2u);
  v.click(v.rows()[1]);
  ASSERT_NE(v.recorder.stream(), nullptr);
  EXPECT_EQ(v.recorder.stream()->filter.windowID, 7u);
  EXPECT_TRUE(v.recorder.toggler->armed());
  v.recorder.frame(1);
  v.settle();
  v.recorder.toggler->stopRecording();
  ASSERT_TRUE(v.recorder.toggler->waitForPendingFinishes(10000));
}

TEST(ContentView, PermissionPanelFollowsTheRowsOnlyWhileTheErrorLasts) {
  View v;
  v.recorder.toggler->refreshWindows();
  v.settle();
  QQuickItem* panel = v.find("permissionPanel");
  ASSERT_NE(panel, nullptr);
  EXPECT_FALSE(panel->isVisible());
  v.recorder.windows->content.reset();
  v.recorder.toggler->refreshWindows();
  v.settle();
  EXPECT_TRUE(panel->isVisible());
  ASSERT_EQ(v.rows().size(), 1u);
  EXPECT_GT(panel->mapToScene({0, 0}).y(), v.rows()[0]->mapToScene({0, 0}).y());
}

TEST(ContentView, SwitchesWriteTheirSettingAtOnceAndTheMicrophoneOneNeedsAccess) {
  {
    View v;
    QQuickItem* cursor = v.find("cursorSwitch");
    ASSERT_TRUE(v.recorder.toggler->cursorOn());
    v.click(cursor->findChild<QQuickItem*>("capsule"));
    EXPECT_FALSE(RecorderSettings::read(RecorderSettings::cursorOnKey));
    // The label takes no clicks.
    v.click(cursor, QPointF(2, cursor->height() / 2));
    EXPECT_FALSE(RecorderSettings::read(RecorderSettings::cursorOnKey));

    QQuickItem* popups = v.find("popupsSwitch");
    v.click(popups->findChild<QQuickItem*>("capsule"));
    EXPECT_TRUE(RecorderSettings::read(RecorderSettings::capturePopupsKey));

    // No microphone access: its switch ignores clicks and the request button shows.
    QQuickItem* mic = v.find("microphoneSwitch");
    v.click(mic->findChild<QQuickItem*>("capsule"));
    EXPECT_TRUE(RecorderSettings::read(RecorderSettings::captureMicrophoneKey));
    EXPECT_TRUE(v.find("requestMicButton")->isVisible());

    v.recorder.access->status = MicrophoneAuthorization::authorized;
    v.recorder.toggler->checkMicrophonePermission(false);
    v.settle();
    EXPECT_FALSE(v.find("requestMicButton")->isVisible());
    v.click(mic->findChild<QQuickItem*>("capsule"));
    EXPECT_FALSE(RecorderSettings::read(RecorderSettings::captureMicrophoneKey));
  }
  FakeRecorder next;  // a new controller reads them back
  EXPECT_FALSE(next.toggler->cursorOn());
  EXPECT_TRUE(next.toggler->capturePopups());
  EXPECT_FALSE(next.toggler->captureMicrophone());
  next.toggler->setCursorOn(true);
  next.toggler->setCapturePopups(false);
  next.toggler->setCaptureMicrophone(true);
}

TEST(ContentView, TheAlertAppearsWithTheFlagAndClearsItWhenDismissed) {
  View v;
  v.recorder.access->status = MicrophoneAuthorization::denied;
  v.click(v.find("requestMicButton"));
  EXPECT_TRUE(v.recorder.toggler->showingAlert());
  QObject* alert = v.view.rootObject()->findChild<QObject*>("micAlert");
  ASSERT_NE(alert, nullptr);
  QTest::qWait(100);
  EXPECT_TRUE(alert->property("visible").toBool());
  EXPECT_EQ(alert->property("title").toString(), "Moxiscope");
  QMetaObject::invokeMethod(alert, "accept");
  QTest::qWait(300);
  EXPECT_FALSE(v.recorder.toggler->showingAlert());
}

TEST(ContentView, TheKnobSitsAtTenOffAndTwentyTwoOn) {
  View v;
  QQuickItem* popups = v.find("popupsSwitch");
  EXPECT_DOUBLE_EQ(popups->property("knobCentre").toDouble(), 10);
  v.click(popups->findChild<QQuickItem*>("capsule"));
  QTest::qWait(900);  // the spring settles well within this
  EXPECT_NEAR(popups->property("knobCentre").toDouble(), 22, 0.05);
  v.click(popups->findChild<QQuickItem*>("capsule"));
  QTest::qWait(900);
  EXPECT_NEAR(popups->property("knobCentre").toDouble(), 10, 0.05);
}

int main(int argc, char** argv) { return moxi::test::runTestsInIsolatedApplication(argc, argv); }
