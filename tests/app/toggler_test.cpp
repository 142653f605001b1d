// The recorder controller on fake platform services: its states, what each
// frame does, the stop and its hand-over, the ways back to idle and what
// reaches the user, and the popover's QML view over it (with the "Login"
// switch) driven with real mouse events, all under Qt's offscreen platform in
// a home of the program's own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QTest>

#include "app/autostart.h"
#include "app/isolated_application_support.h"
#include "app/recorder_fakes_support.h"
#include "handoff/pointer_log.h"
#include "harness/test_desktop.h"
#include "harness/test_files.h"
#include "ui/window_list_model.h"

using namespace moxi;
using namespace moxi::test;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

namespace {


std::string documents(const std::string& name) { return QDir::homePath().toStdString() + "/Documents/" + name; }

struct View {
  FakeRecorder recorder;
  Autostart autostart;
  QQuickView view;

  View() {
    view.engine()->addImageProvider(ThumbnailImageProvider::name,
                                    new ThumbnailImageProvider(recorder.toggler->windowListModel()));
    view.rootContext()->setContextProperty("toggler", recorder.toggler.get());
    view.rootContext()->setContextProperty("autostart", &autostart);
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

TEST(Toggler, WalksIdleArmedRecordingStoppedLogsThePointerAndRefusesLateFrames) {
  FakeRecorder r;
  r.toggler->startRecording(r.window());
  ASSERT_NE(r.stream(), nullptr);
  EXPECT_TRUE(r.toggler->armed());
  EXPECT_EQ(r.stream()->configuration.width, 800);
  EXPECT_EQ(r.stream()->filter.kind, ContentFilter::Kind::desktopIndependentWindow);
  EXPECT_EQ(readFile(documents("videosize.json")), "[800,600]");
  ASSERT_TRUE(r.monitor->handler);
  r.monitor->handler(PointerEvent{kLeftMouseDown, 42, Point{150, 300}});  // still armed: dropped

  // Frames that are not complete do not open the writer; the first complete one is written too.
  r.frame(1000, FrameStatus::idle);
  r.settle();
  EXPECT_FALSE(r.toggler->recording());
  r.frame(2000);
  r.frame(3000);
  r.settle();
  EXPECT_TRUE(r.toggler->recording());
  EXPECT_THAT(r.writerLog->videoTimes, ElementsAre(2000, 3000));

  // Window (100, 50, 800, 600) top-left on a 900-high screen: bottom-left y 250.
  r.monitor->handler(PointerEvent{kLeftMouseDown, 42, Point{150, 300}});
  r.monitor->handler(PointerEvent{kMouseMoved, 42, Point{900, 850}});      // top-right corner, edges count
  r.monitor->handler(PointerEvent{kMouseMoved, 42, Point{901, 850}});      // outside
  r.monitor->handler(PointerEvent{kLeftMouseDown, 7, Point{150, 300}});    // another window
  r.monitor->handler(PointerEvent{kRightMouseDown, 42, Point{100, 250}});  // bottom-left corner, a click
  ASSERT_EQ(r.toggler->mouseEvents().size(), 3u);
  EXPECT_EQ(r.toggler->mouseEvents()[0], (MouseEvent{50, 50, true, r.toggler->mouseEvents()[0].timestamp}));
  EXPECT_FALSE(r.toggler->mouseEvents()[1].down);
  EXPECT_TRUE(r.toggler->mouseEvents()[2].down);

  r.toggler->stopRecording();
  EXPECT_TRUE(r.toggler->doneRecording());
  EXPECT_FALSE(r.toggler->recording());
  EXPECT_EQ(r.monitor->removes, 1);
  EXPECT_FALSE(r.toggler->mouseEventsRegistered());
  r.frame(4000);  // a late frame of the stopped stream
  r.settle();
  ASSERT_TRUE(r.toggler->waitForPendingFinishes(10000));
  EXPECT_THAT(r.writerLog->snapshot(), ElementsAre("addVideoInput", "startWriting", "startSession", "endSession",
                                                   "markAsFinished", "finishWriting"));
  EXPECT_EQ(r.writerLog->videoTimes.size(), 2u);
  // The fake writer wrote no file, so the export fails and nothing is opened.
  EXPECT_TRUE(r.opened.empty());
  EXPECT_THAT(readFile(documents("video.json")), HasSubstr("tmp-"));
  EXPECT_THAT(readFile(documents("mouse.json")), HasSubstr("{\"x\":50,\"y\":50,\"down\":true,"));

  // Stopped -> Armed again.
  r.toggler->startRecording(r.window());
  EXPECT_FALSE(r.toggler->doneRecording());
  EXPECT_TRUE(r.toggler->armed());
}

// Every failure the user did not cause ends the recording by itself, leaves
// the controller idle and tells the user once.
TEST(Toggler, EveryFailureReturnsToIdleAndTellsTheUserOnce) {
  struct Case {
    const char* name;
    std::function<void(FakeRecorder&)> before;  // before the first frame
    std::function<void(FakeRecorder&)> during;  // after two frames
    std::vector<std::string> expected;          // once every finish is done
  } cases[] = {
      {"stream refused", [](FakeRecorder& r) { r.refuseOutput = true; }, nullptr, {"Recording could not start"}},
      {"no writer", [](FakeRecorder& r) { r.refuseWriter = true; }, nullptr, {"Recording failed"}},
      {"writer cannot start", [](FakeRecorder& r) { r.failStart = true; }, nullptr, {"Recording failed"}},
      {"window gone before the first frame", nullptr, nullptr, {"Recording did not start"}},
      // The fake writes no file: the export of what was kept fails, and says where it is;
      // a stopped recording says so once, with its export.
      {"window gone while recording", nullptr,
       [](FakeRecorder& r) {
         r.windows->bounds.clear();
         r.toggler->update();
         r.toggler->update();  // told once, not at every tick
       },
       {"The recorded window is gone", "Export failed"}},
      {"disk full while recording", nullptr,
       [](FakeRecorder& r) {
         r.writerLog->writeFails = true;
         r.frame(3000);
         r.frame(4000);
       },
       {"Recording stopped: it could not be written"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeRecorder r;
    r.toggler->startElapsedTimer();
    if (c.before) c.before(r);
    r.toggler->startRecording(r.window());
    if (std::string(c.name) == "window gone before the first frame") {
      r.windows->bounds.clear();
      r.toggler->update();
    } else if (r.toggler->armed()) {
      r.frame(1000);
      r.frame(2000);
      r.settle();
    }
    if (c.during) c.during(r);
    r.settle();
    EXPECT_FALSE(r.toggler->recording());
    ASSERT_TRUE(r.toggler->waitForPendingFinishes(10000));
    r.settle();
    EXPECT_FALSE(r.toggler->armed());
    EXPECT_EQ(r.toggler->hv(), nullptr);
    EXPECT_FALSE(r.toggler->timerRunning());
    EXPECT_FALSE(r.toggler->mouseEventsRegistered());
    if (!r.refuseOutput) {
      EXPECT_EQ(r.streamStops, 1);
    }
    std::vector<std::string> summaries;
    for (const auto& n : r.notices) {
      summaries.push_back(n.summary.toStdString());
      EXPECT_EQ(n.kind, UserNotice::Kind::failure);
      if (n.summary == "Export failed") {
        EXPECT_THAT(n.body.toStdString(), HasSubstr("kept at"));
      }
    }
    EXPECT_THAT(summaries, ElementsAreArray(c.expected));
  }
}

// The hot key finds the window under the pointer; pressed again while armed
// it is ignored, and a second start from the popover replaces the stream
// (armed) or finishes the recording (recording) first.
TEST(Toggler, ASecondStartNeverLeavesTwoStreams) {
  FakeRecorder r;
  // Pointer at (150, 800) bottom-left on a 900-high screen is (150, 100): inside window 42.
  r.toggler->recordWindowUnderPointer({150, 800});
  r.settle();
  ASSERT_TRUE(r.toggler->armed());
  EXPECT_TRUE(r.toggler->timerRunning());
  auto* first = r.stream();
  r.toggler->hotKeyPressed();  // armed: ignored
  r.settle();
  EXPECT_EQ(r.stream(), first);
  EXPECT_FALSE(first->stopped);
  r.toggler->startRecording(r.window());
  EXPECT_TRUE(first->stopped);
  // A frame of the replaced stream opens nothing.
  first->deliver(SampleBuffer::screenFrame(PixelBuffer::allocate(8, 8), 5));
  r.settle();
  EXPECT_FALSE(r.toggler->recording());
  r.frame(10);
  r.settle();
  ASSERT_TRUE(r.toggler->recording());
  auto* second = r.stream();
  r.toggler->startRecording(r.window());  // while recording: the first is finished properly
  EXPECT_TRUE(second->stopped);
  ASSERT_TRUE(r.toggler->waitForPendingFinishes(10000));
  EXPECT_THAT(r.writerLog->snapshot(), ::testing::Contains("finishWriting"));
  r.frame(20);
  r.settle();
  r.toggler->hotKeyPressed();  // recording: stops
  EXPECT_TRUE(r.toggler->doneRecording());
  ASSERT_TRUE(r.toggler->waitForPendingFinishes(10000));
}

TEST(Toggler, FollowsTheWindowOnlyWhileRecordingAndReconfiguresOnlyForPopups) {
  for (bool popups : {false, true}) {
    FakeRecorder r;
    r.toggler->setCapturePopups(popups);
    r.windows->content->displays.push_back({0, {0, 0, 1440, 900}});
    r.windows->content->windows.front().owningApplication = OwningApplication{"App", 77};
    r.toggler->refreshWindows();
    r.settle();
    r.toggler->startRecording(r.window());
    r.windows->bounds[42] = {120, 50, 800, 600};
    r.toggler->followCapturedWindow();  // armed: nothing follows
    EXPECT_EQ(r.toggler->lastFrame(), Rect{});
    r.frame(1);
    r.settle();
    r.toggler->followCapturedWindow();
    r.toggler->followCapturedWindow();  // unchanged frame: nothing new
    EXPECT_EQ(r.toggler->lastFrame(), (Rect{120, 250, 800, 600}));
    EXPECT_EQ(r.toggler->hv()->existingFrame, (Rect{120, 250, 800, 600}));
    ASSERT_EQ(r.stream()->updates.size(), popups ? 1u : 0u);
    if (popups) {
      EXPECT_EQ(r.stream()->updates[0].sourceRect, (Rect{120, 50, 800, 600}));
    }
    r.toggler->stopRecording();
    r.toggler->setCapturePopups(false);
    ASSERT_TRUE(r.toggler->waitForPendingFinishes(10000));
  }
}

TEST(Toggler, TheMicrophoneRunsOnlyWithTheSwitchAndAccessAndAlwaysStops) {
  FakeRecorder r;
  r.access->status = MicrophoneAuthorization::denied;
  r.toggler->checkMicrophonePermission(true);
  EXPECT_FALSE(r.toggler->hasMicPermission());
  EXPECT_TRUE(r.toggler->showingAlert());
  r.toggler->setShowingAlert(false);
  r.access->status = MicrophoneAuthorization::notDetermined;
  r.toggler->checkMicrophonePermission(true);
  EXPECT_FALSE(r.toggler->showingAlert());
  r.access->answer(true);  // from another thread: published on the main thread
  r.settle();
  EXPECT_TRUE(r.toggler->hasMicPermission());

  r.toggler->startRecording(r.window());
  r.frame(1);
  r.settle();
  EXPECT_EQ(r.session->starts, 1);
  // Turned off mid-recording: the stop still closes the microphone.
  r.toggler->setCaptureMicrophone(false);
  r.toggler->stopRecording();
  r.settle();
  EXPECT_GE(r.session->stops, 1);
  ASSERT_TRUE(r.toggler->waitForPendingFinishes(10000));
  r.toggler->startRecording(r.window());
  r.frame(10);
  r.settle();
  EXPECT_EQ(r.session->starts, 1);  // switch off: no microphone this time
  r.toggler->stopRecording();
  r.toggler->setCaptureMicrophone(true);
  ASSERT_TRUE(r.toggler->waitForPendingFinishes(10000));
}

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

// The switches write their setting at once (the microphone one only with
// access), and "Login" writes a valid autostart entry that starts this
// program and removes it, or stays off when its folder cannot be written.
TEST(ContentView, SwitchesWriteTheirSettingAtOnceAndLoginWritesAValidEntryOrStaysOff) {
  {
    View v;
    v.capsule("cursorSwitch");
    EXPECT_FALSE(RecorderSettings::read(RecorderSettings::cursorOnKey));
    v.capsule("popupsSwitch");
    EXPECT_TRUE(RecorderSettings::read(RecorderSettings::capturePopupsKey));
    v.capsule("microphoneSwitch");  // no access: ignored, the request button shows
    EXPECT_TRUE(RecorderSettings::read(RecorderSettings::captureMicrophoneKey));
    EXPECT_TRUE(v.find("requestMicButton")->isVisible());
    v.recorder.access->status = MicrophoneAuthorization::authorized;
    v.recorder.toggler->checkMicrophonePermission(false);
    v.recorder.settle();
    QTest::qWait(50);
    EXPECT_FALSE(v.find("requestMicButton")->isVisible());
    v.capsule("microphoneSwitch");
    EXPECT_FALSE(RecorderSettings::read(RecorderSettings::captureMicrophoneKey));

    QQuickItem* login = v.find("loginSwitch");
    QQuickItem* row = v.find("switchRow");
    ASSERT_TRUE(login && row);
    EXPECT_LE(row->mapToScene({row->width(), 0}).x(), 400) << "the switches fit the popover";
    const QString path = Autostart::entryPath();
    EXPECT_TRUE(path.startsWith(qEnvironmentVariable("XDG_CONFIG_HOME") + "/autostart/")) << path.toStdString();
    v.capsule("loginSwitch");
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo::exists(path); }, 2000));
    EXPECT_TRUE(login->property("isOn").toBool());
    CommandResult valid = runCommand({"desktop-file-validate", path.toStdString()});
    EXPECT_EQ(valid.exitCode, 0) << valid.out;
    EXPECT_THAT(readFile(path.toStdString()),
                HasSubstr("\nExec=" + QCoreApplication::applicationFilePath().toStdString() + "\n"));
    v.capsule("loginSwitch");
    EXPECT_TRUE(QTest::qWaitFor([&] { return !QFileInfo::exists(path); }, 2000));
    // A file where the folder should be (permissions would not stop root).
    const QString dir = QFileInfo(path).path();
    QDir().rmdir(dir);
    writeFile(dir.toStdString(), "");
    v.autostart.setEnabled(true);
    EXPECT_FALSE(v.autostart.enabled());
    EXPECT_FALSE(v.autostart.error().isEmpty());
    EXPECT_FALSE(login->property("isOn").toBool());
    QFile::remove(dir);
  }
  FakeRecorder next;  // a new controller reads the switches back
  EXPECT_FALSE(next.toggler->cursorOn());
  EXPECT_TRUE(next.toggler->capturePopups());
  EXPECT_FALSE(next.toggler->captureMicrophone());
  next.toggler->setCursorOn(true);
  next.toggler->setCapturePopups(false);
  next.toggler->setCaptureMicrophone(true);
}

int main(int argc, char** argv) { return moxi::test::runTestsInIsolatedApplication(argc, argv); }
