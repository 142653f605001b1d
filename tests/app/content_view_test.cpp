// The popover's QML view over a real controller on fake platform services,
// driven with real mouse events under Qt's offscreen platform.
#include <gtest/gtest.h>

#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
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
  void capsule(const char* name) { click(find(name)->findChild<QQuickItem*>("capsule")); }
  void refresh() {
    recorder.toggler->refreshWindows();
    recorder.settle();
    QTest::qWait(50);
  }
};

}  // namespace

TEST(ContentView, RowsFollowTheCatalogueAClickRecordsAndThePermissionPanelComesWithTheError) {
  View v;
  EXPECT_TRUE(v.rows().empty());  // an empty catalogue: an empty list
  v.recorder.windows->addWindow(7, {0, 0, 1600, 800});
  v.recorder.windows->addWindow(8, {0, 0, 300, 900});
  v.refresh();
  ASSERT_EQ(v.rows().size(), 3u);
  EXPECT_EQ(v.rows()[0]->property("title").toString(), "window 42");
  // Thumbnails at their own size: 1600 x 800 fits 64 x 32.
  EXPECT_EQ(v.rows()[1]->property("thumbnailSize").toSizeF(), QSizeF(64, 32));
  QQuickItem* panel = v.find("permissionPanel");
  ASSERT_NE(panel, nullptr);
  EXPECT_FALSE(panel->isVisible());

  v.recorder.windows->content->windows.resize(2);
  v.refresh();
  ASSERT_EQ(v.rows().size(), 2u);
  v.click(v.rows()[1]);
  ASSERT_NE(v.recorder.stream(), nullptr);
  EXPECT_EQ(v.recorder.stream()->filter.windowID, 7u);
  EXPECT_TRUE(v.recorder.toggler->armed());
  v.recorder.frame(1);
  v.recorder.settle();
  v.recorder.toggler->stopRecording();
  ASSERT_TRUE(v.recorder.toggler->waitForPendingFinishes(10000));

  // The capture service refuses: the last list stays, the panel shows below it.
  v.recorder.windows->content.reset();
  v.refresh();
  EXPECT_TRUE(v.recorder.toggler->permissionError());
  EXPECT_TRUE(panel->isVisible());
  ASSERT_EQ(v.rows().size(), 2u);
  EXPECT_GT(panel->mapToScene({0, 0}).y(), v.rows()[1]->mapToScene({0, 0}).y());
}

TEST(ContentView, SwitchesWriteTheirSettingAtOnceAndTheMicrophoneOneNeedsAccess) {
  {
    View v;
    QQuickItem* cursor = v.find("cursorSwitch");
    ASSERT_TRUE(v.recorder.toggler->cursorOn());
    v.capsule("cursorSwitch");
    EXPECT_FALSE(RecorderSettings::read(RecorderSettings::cursorOnKey));
    v.click(cursor, QPointF(2, cursor->height() / 2));  // the label takes no clicks
    EXPECT_FALSE(RecorderSettings::read(RecorderSettings::cursorOnKey));
    v.capsule("popupsSwitch");
    EXPECT_TRUE(RecorderSettings::read(RecorderSettings::capturePopupsKey));

    // No microphone access: its switch ignores clicks and the request button shows.
    v.capsule("microphoneSwitch");
    EXPECT_TRUE(RecorderSettings::read(RecorderSettings::captureMicrophoneKey));
    EXPECT_TRUE(v.find("requestMicButton")->isVisible());
    v.recorder.access->status = MicrophoneAuthorization::authorized;
    v.recorder.toggler->checkMicrophonePermission(false);
    v.recorder.settle();
    QTest::qWait(50);
    EXPECT_FALSE(v.find("requestMicButton")->isVisible());
    v.capsule("microphoneSwitch");
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

TEST(ContentView, TheAlertComesWithTheFlagAndTheKnobSettlesAtTenOffAndTwentyTwoOn) {
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

  QQuickItem* popups = v.find("popupsSwitch");
  EXPECT_DOUBLE_EQ(popups->property("knobCentre").toDouble(), 10);
  v.capsule("popupsSwitch");
  QTest::qWait(900);  // the spring settles well within this
  EXPECT_NEAR(popups->property("knobCentre").toDouble(), 22, 0.05);
  v.capsule("popupsSwitch");
  QTest::qWait(900);
  EXPECT_NEAR(popups->property("knobCentre").toDouble(), 10, 0.05);
}

int main(int argc, char** argv) { return moxi::test::runTestsInIsolatedApplication(argc, argv); }
