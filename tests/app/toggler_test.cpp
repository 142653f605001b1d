// The recorder controller on fake platform services: its states, what each
// frame does, the stop and its hand-over, and the ways back to idle.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QDir>

#include "app/isolated_application_support.h"
#include "app/recorder_fakes_support.h"
#include "handoff/pointer_log.h"
#include "harness/test_files.h"

using namespace moxi;
using namespace moxi::test;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {
std::string documents(const std::string& name) { return QDir::homePath().toStdString() + "/Documents/" + name; }
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
  testing::internal::CaptureStdout();
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
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_THAT(out, HasSubstr("START RECORDING"));
  EXPECT_THAT(out, HasSubstr("doneRecording, not adding frame"));
  EXPECT_THAT(out, HasSubstr("mark as finished"));
  EXPECT_THAT(r.writerLog->snapshot(), ElementsAre("addVideoInput", "startWriting", "startSession", "endSession",
                                                   "markAsFinished", "finishWriting"));
  EXPECT_EQ(r.writerLog->videoTimes.size(), 2u);
  // The fake writer wrote no file, so the export fails and nothing is opened.
  EXPECT_THAT(out, HasSubstr("the recording is kept at"));
  EXPECT_TRUE(r.opened.empty());
  EXPECT_THAT(readFile(documents("video.json")), HasSubstr("tmp-"));
  EXPECT_THAT(readFile(documents("mouse.json")), HasSubstr("{\"x\":50,\"y\":50,\"down\":true,"));

  // Stopped -> Armed again.
  r.toggler->startRecording(r.window());
  EXPECT_FALSE(r.toggler->doneRecording());
  EXPECT_TRUE(r.toggler->armed());
}

TEST(Toggler, EveryFailedStartReturnsToIdle) {
  enum Failure { refusedOutput, refusedWriter, failedStart, windowClosed };
  for (Failure failure : {refusedOutput, refusedWriter, failedStart, windowClosed}) {
    SCOPED_TRACE(failure);
    FakeRecorder r;
    r.refuseOutput = failure == refusedOutput;
    r.refuseWriter = failure == refusedWriter;
    r.failStart = failure == failedStart;
    r.toggler->startElapsedTimer();
    testing::internal::CaptureStdout();
    r.toggler->startRecording(r.window());
    if (failure == windowClosed) {
      r.windows->bounds.clear();  // before its first frame
      r.toggler->update();
    } else if (failure != refusedOutput) {
      r.frame(1000);
      r.settle();
      EXPECT_EQ(r.streamStops, 1);  // the stream is stopped (and gone once it said so)
    }
    const std::string out = testing::internal::GetCapturedStdout();
    if (failure == refusedOutput) {
      EXPECT_THAT(out, HasSubstr("error starting stream"));
    }
    EXPECT_FALSE(r.toggler->recording());
    EXPECT_FALSE(r.toggler->armed());
    EXPECT_EQ(r.toggler->hv(), nullptr);
    EXPECT_FALSE(r.toggler->timerRunning());
    EXPECT_FALSE(r.toggler->mouseEventsRegistered());
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
