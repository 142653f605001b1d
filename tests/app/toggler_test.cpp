// The recorder controller on fake platform services: its states, what each
// frame does, the stop and its hand-over, and the ways back to idle.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "app/isolated_application_support.h"
#include "app/recorder_fakes_support.h"
#include "app/status_button.h"
#include "handoff/pointer_log.h"

using namespace moxi;
using namespace moxi::test;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

QString readFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}
QString documents() { return QDir::homePath() + "/Documents"; }

}  // namespace

TEST(Toggler, SettingsDefaultThenPersistForTheNextController) {
  {
    FakeRecorder r;
    EXPECT_TRUE(r.toggler->showDialog());
    EXPECT_TRUE(r.toggler->cursorOn());
    EXPECT_TRUE(r.toggler->captureMicrophone());
    EXPECT_TRUE(r.toggler->windowAudioOn());
    EXPECT_FALSE(r.toggler->capturePopups());
    EXPECT_EQ(r.toggler->videoSize(), (Size{1064.0, 860.0}));
    r.toggler->setCursorOn(false);
    r.toggler->setCapturePopups(true);
  }
  FakeRecorder again;
  EXPECT_FALSE(again.toggler->cursorOn());
  EXPECT_TRUE(again.toggler->capturePopups());
  again.toggler->setCursorOn(true);
  again.toggler->setCapturePopups(false);
}

TEST(Toggler, WalksIdleArmedRecordingStoppedAndRefusesLateFrames) {
  FakeRecorder r;
  r.toggler->startRecording(r.window());
  ASSERT_NE(r.stream(), nullptr);
  EXPECT_TRUE(r.toggler->armed());
  EXPECT_EQ(r.stream()->configuration.width, 800);
  EXPECT_EQ(r.stream()->filter.kind, ContentFilter::Kind::desktopIndependentWindow);
  EXPECT_EQ(readFile(documents() + "/videosize.json"), "[800,600]");

  // Frames that are not complete do not open the writer.
  r.frame(1000, FrameStatus::idle);
  r.settle();
  EXPECT_FALSE(r.toggler->recording());

  testing::internal::CaptureStdout();
  r.frame(2000);
  r.frame(3000);
  r.settle();
  EXPECT_TRUE(r.toggler->recording());
  // The first complete frame is written too.
  EXPECT_THAT(r.writerLog->videoTimes, ElementsAre(2000, 3000));

  r.toggler->stopRecording();
  EXPECT_TRUE(r.toggler->doneRecording());
  EXPECT_FALSE(r.toggler->recording());
  r.frame(4000);  // a late frame of the stopped stream
  r.settle();
  ASSERT_TRUE(r.toggler->waitForPendingFinishes(10000));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_THAT(out, HasSubstr("START RECORDING"));
  EXPECT_THAT(out, HasSubstr("doneRecording, not adding frame"));
  EXPECT_THAT(out, HasSubstr("mark as finished"));
  EXPECT_THAT(r.writerLog->snapshot(),
              ElementsAre("addVideoInput", "startWriting", "startSession", "endSession", "markAsFinished",
                          "finishWriting"));
  EXPECT_EQ(r.writerLog->videoTimes.size(), 2u);
  // The fake writer wrote no file, so the export fails and nothing is opened.
  EXPECT_THAT(out, HasSubstr("the recording is kept at"));
  EXPECT_TRUE(r.opened.empty());
  EXPECT_THAT(readFile(documents() + "/video.json").toStdString(), HasSubstr("tmp-"));
  EXPECT_EQ(readFile(documents() + "/mouse.json"), "[]");

  // Stopped -> Armed again.
  r.toggler->startRecording(r.window());
  EXPECT_FALSE(r.toggler->doneRecording());
  EXPECT_TRUE(r.toggler->armed());
}

TEST(Toggler, LogsPointerSamplesOnlyWhileRecordingAndInsideTheWindow) {
  FakeRecorder r;
  r.toggler->startRecording(r.window());
  ASSERT_TRUE(r.monitor->handler);
  // Window (100, 50, 800, 600) top-left on a 900-high screen: bottom-left y 250.
  r.monitor->handler(PointerEvent{kLeftMouseDown, 42, Point{150, 300}});  // still armed: dropped
  r.frame(1000);
  r.settle();
  r.monitor->handler(PointerEvent{kLeftMouseDown, 42, Point{150, 300}});
  r.monitor->handler(PointerEvent{kMouseMoved, 42, Point{900, 850}});      // top-right corner, edges count
  r.monitor->handler(PointerEvent{kMouseMoved, 42, Point{901, 850}});      // outside
  r.monitor->handler(PointerEvent{kLeftMouseDown, 7, Point{150, 300}});    // another window
  r.monitor->handler(PointerEvent{kRightMouseDown, 42, Point{100, 250}});  // bottom-left corner, a click
  ASSERT_EQ(r.toggler->mouseEvents().size(), 3u);
  EXPECT_EQ(r.toggler->mouseEvents()[0].x, 50);
  EXPECT_EQ(r.toggler->mouseEvents()[0].y, 50);
  EXPECT_TRUE(r.toggler->mouseEvents()[0].down);
  EXPECT_FALSE(r.toggler->mouseEvents()[1].down);
  EXPECT_TRUE(r.toggler->mouseEvents()[2].down);
  r.toggler->stopRecording();
  EXPECT_EQ(r.monitor->removes, 1);
  EXPECT_FALSE(r.toggler->mouseEventsRegistered());
  ASSERT_TRUE(r.toggler->waitForPendingFinishes(10000));
  EXPECT_THAT(readFile(documents() + "/mouse.json").toStdString(), HasSubstr("\"down\":true"));
}

TEST(Toggler, EveryFailedStartReturnsToIdle) {
  auto expectIdle = [](FakeRecorder& r) {
    EXPECT_FALSE(r.toggler->recording());
    EXPECT_FALSE(r.toggler->armed());
    EXPECT_EQ(r.toggler->hv(), nullptr);
    EXPECT_FALSE(r.toggler->timerRunning());
    EXPECT_FALSE(r.toggler->mouseEventsRegistered());
  };
  {
    FakeRecorder r;
    r.refuseOutput = true;
    testing::internal::CaptureStdout();
    r.toggler->startElapsedTimer();
    r.toggler->startRecording(r.window());
    EXPECT_THAT(testing::internal::GetCapturedStdout(), HasSubstr("error starting stream"));
    expectIdle(r);
  }
  for (bool failStart : {false, true}) {
    FakeRecorder r;
    r.refuseWriter = !failStart;
    r.failStart = failStart;
    r.toggler->startElapsedTimer();
    r.toggler->startRecording(r.window());
    r.frame(1000);
    r.settle();
    expectIdle(r);
    EXPECT_EQ(r.streams->stops, 1);  // the stream is stopped (and gone once it said so)
  }
  {
    // The window closes before its first frame.
    FakeRecorder r;
    r.toggler->startElapsedTimer();
    r.toggler->startRecording(r.window());
    r.windows->bounds.clear();
    r.toggler->update();
    expectIdle(r);
  }
}

TEST(Toggler, ASecondStartNeverLeavesTwoStreams) {
  FakeRecorder r;
  r.toggler->startRecording(r.window());
  auto* first = r.stream();
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
    EXPECT_EQ(r.stream()->updates.size(), popups ? 1u : 0u);
    if (popups) {
      EXPECT_EQ(r.stream()->updates[0].sourceRect, (Rect{120, 50, 800, 600}));
    }
    r.toggler->stopRecording();
    r.toggler->setCapturePopups(false);
    ASSERT_TRUE(r.toggler->waitForPendingFinishes(10000));
  }
}

TEST(Toggler, TitleShowsMicOnlyWithTheSettingAndAccess) {
  FakeRecorder r;
  StatusButton button;
  RecorderServices none;
  none.windowServer = r.windows;
  none.createHotKey = false;
  Toggler t(nullptr, &button, none);
  t.startElapsedTimer();
  EXPECT_EQ(t.buttonTitle(), "00:00");
  EXPECT_FALSE(button.hasImage());
  t.update();
  EXPECT_EQ(t.buttonTitle(), "00:00");  // no access yet
  r.access->status = MicrophoneAuthorization::authorized;
  RecorderServices withMic;
  withMic.windowServer = r.windows;
  withMic.microphoneAccess = r.access;
  withMic.createHotKey = false;
  Toggler m(nullptr, &button, withMic);
  m.checkMicrophonePermission(false);
  m.startElapsedTimer();
  m.update();
  EXPECT_EQ(m.buttonTitle(), "00:00 MIC");
  m.setCaptureMicrophone(false);
  m.update();
  EXPECT_EQ(m.buttonTitle(), "00:00");
  m.setCaptureMicrophone(true);
}

TEST(Toggler, MicrophoneRecordsOnlyWithTheSwitchAndAccessAndAlwaysStops) {
  FakeRecorder r;
  r.access->status = MicrophoneAuthorization::authorized;
  r.toggler->checkMicrophonePermission(false);
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

TEST(Toggler, MicrophonePermissionCasesAndAlert) {
  FakeRecorder r;
  r.access->status = MicrophoneAuthorization::denied;
  r.toggler->checkMicrophonePermission(false);
  EXPECT_FALSE(r.toggler->hasMicPermission());
  EXPECT_FALSE(r.toggler->showingAlert());
  r.toggler->checkMicrophonePermission(true);
  EXPECT_TRUE(r.toggler->showingAlert());
  r.toggler->setShowingAlert(false);

  r.access->status = MicrophoneAuthorization::notDetermined;
  r.toggler->checkMicrophonePermission(true);
  EXPECT_FALSE(r.toggler->showingAlert());
  r.access->answer(true);  // from another thread's point of view: published on the main thread
  r.settle();
  EXPECT_TRUE(r.toggler->hasMicPermission());
}

TEST(Toggler, RefreshPublishesTheListOrThePermissionError) {
  FakeRecorder r;
  r.toggler->refreshWindows();
  r.settle();
  ASSERT_EQ(r.toggler->allwindows().size(), 1u);
  EXPECT_FALSE(r.toggler->permissionError());
  r.windows->content.reset();  // the capture service refuses
  r.toggler->refreshWindows();
  r.settle();
  EXPECT_TRUE(r.toggler->permissionError());
  EXPECT_EQ(r.toggler->allwindows().size(), 1u);
}

TEST(Toggler, QuickRecordFindsTheWindowUnderThePointerAndIgnoresASecondPress) {
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
  r.frame(1);
  r.settle();
  r.toggler->hotKeyPressed();  // recording: stops
  EXPECT_TRUE(r.toggler->doneRecording());
  ASSERT_TRUE(r.toggler->waitForPendingFinishes(10000));
}

int main(int argc, char** argv) { return moxi::test::runTestsInIsolatedApplication(argc, argv); }
