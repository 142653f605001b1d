// The application's logic under Qt's offscreen platform in a home of its own:
// the recorder controller on fake platform services (its states, what each
// frame does, the stop and its hand-over, the ways back to idle and what
// reaches the user), the popover's QML view over it (with the "Login"
// switch) driven with real mouse events, the settings as the user's file
// holds them and where the side files go, and the shell's pure pieces (the
// popover's place, the platform choice).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QQmlContext>
#include <QQuickItem>
#include <QQuickView>
#include <QSettings>
#include <QTest>
#include <filesystem>

#include "app/autostart.h"
#include "app/platform_choice.h"
#include "app/recorder_fakes_support.h"
#include "app/recorder_settings.h"
#include "handoff/pointer_log.h"
#include "harness/test_desktop.h"
#include "harness/test_files.h"
#include "ui/popover.h"

using namespace moxi;
using namespace moxi::test;
namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

// Qt reads a settings file once and keeps it, as a running program does; each
// case gets a settings folder of its own, as a new start of the program would.
std::string settingsFile;

void writeSettings(const std::string& text) {
  static int n = 0;
  const std::string dir = QDir::homePath().toStdString() + "/config-" + std::to_string(++n);
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, QString::fromStdString(dir));
  settingsFile = dir + "/Moxiscope/Moxiscope.conf";
  fs::create_directories(dir + "/Moxiscope");
  writeFile(settingsFile, text);
}

}  // namespace

TEST(Toggler, WalksIdleArmedRecordingStoppedLogsThePointerAndRefusesLateFrames) {
  FakeRecorder r;
  r.toggler->startRecording(r.window());
  ASSERT_TRUE(r.toggler->armed());
  r.monitor->handler(PointerEvent{kLeftMouseDown, 42, Point{150, 300}});  // still armed: dropped
  // Frames that are not complete do not open the writer; the first complete one is written too.
  r.frame(1000, FrameStatus::idle);
  r.frame(2000);
  r.frame(3000);
  r.settle();

  // Window (100, 50, 800, 600) top-left on a 900-high screen: bottom-left y 250.
  const PointerEvent events[] = {
      {kLeftMouseDown, 42, Point{150, 300}},
      {kMouseMoved, 42, Point{900, 850}},      // top-right corner, edges count
      {kRightMouseDown, 42, Point{100, 250}},  // bottom-left corner, a click
  };
  for (const auto& e : events) r.monitor->handler(e);
  std::vector<std::tuple<double, double, bool>> logged;
  for (const auto& e : r.toggler->mouseEvents()) logged.emplace_back(e.x, e.y, e.down);
  EXPECT_THAT(logged, ElementsAre(std::tuple(50, 50, true), std::tuple(800, 600, false), std::tuple(0, 0, true)));

  r.toggler->stopRecording();
  r.frame(4000);  // a late frame of the stopped stream
  ASSERT_TRUE(r.toggler->waitForPendingFinishes(10000));
  EXPECT_THAT(r.writerLog->calls, ElementsAre("append 2000", "append 3000", "finishWriting"));
  EXPECT_THAT(readFile(QDir::homePath().toStdString() + "/Documents/mouse.json"),
              HasSubstr("{\"x\":50,\"y\":50,\"down\":true,"));
}

// The desktop may end the cast a moment before the display itself goes: the
// recording it stopped, still being handed over, is the one named at the end.
TEST(Toggler, ALostDisplayNamesTheRecordingTheDesktopStoppedJustBefore) {
  FakeRecorder r;
  r.record(2);
  r.toggler->stopRecording();
  const std::string raw = r.toggler->finishWithoutDisplay(10000);
  ASSERT_THAT(raw, StartsWith(QDir::homePath().toStdString()));
  EXPECT_THAT(readFile(QDir::homePath().toStdString() + "/Documents/video.json"),
              HasSubstr(fs::path(raw).filename().string()));
}

// A recording that cannot start leaves the controller idle and tells the
// user once. (A window gone or a disk full mid-recording: the desktop-session
// and storage programs.)
TEST(Toggler, EveryFailedStartReturnsToIdleAndTellsTheUserOnce) {
  struct Case {
    bool FakeRecorder::*fault;  // set before the start
    int frames;
    const char* told;
  } cases[] = {
      {&FakeRecorder::refuseOutput, 0, "Recording could not start"},
      {&FakeRecorder::refuseWriter, 2, "Recording failed"},
      {nullptr, 0, "Recording did not start"},  // the window goes before its first frame
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.told);
    FakeRecorder r;
    if (c.fault) r.*c.fault = true;
    r.record(c.frames);
    if (!c.fault) {
      r.windows->bounds.clear();
      r.toggler->update();
      r.toggler->update();  // told once, not at every tick
    }
    r.settle();
    EXPECT_FALSE(r.toggler->recording());
    EXPECT_FALSE(r.toggler->armed());
    EXPECT_EQ(r.toggler->hv(), nullptr);
    EXPECT_FALSE(r.toggler->mouseEventsRegistered());
    EXPECT_EQ(r.streamStops, 1);
    EXPECT_THAT(r.notices, ElementsAre(StartsWith(c.told)));
  }
}

// The hot key records the window under the pointer, or answers that there
// is none. Pressed again, the tray clicked or --stop while the start waits
// for its first frame: called off, idle again, no file, no side file, and
// no timer in the tray meanwhile. A second start from the popover replaces
// a waiting stream or finishes the recording first.
TEST(Toggler, EveryControlCallsOffAWaitingStartAndASecondStartNeverLeavesTwoStreams) {
  const std::string docs = QDir::homePath().toStdString() + "/Documents";
  fs::remove(docs + "/videosize.json");
  FakeRecorder r;
  std::vector<std::string> answers;
  auto answer = [&](const QString& a) { answers.push_back(a.toStdString()); };
  r.pointer = {5, 5};
  r.toggler->hotKeyPressed(answer);
  r.settle();
  r.pointer = {150, 800};
  const std::function<void()> controls[] = {[&] { r.toggler->hotKeyPressed(answer); },
                                            [&] { r.toggler->handleStatusItemClick(); },
                                            [&] { r.toggler->stopOrCancel(); }};
  int stops = 0;
  for (const auto& control : controls) {
    r.toggler->hotKeyPressed(answer);
    r.settle();
    ASSERT_TRUE(r.toggler->armed());
    r.toggler->update();
    EXPECT_EQ(r.toggler->buttonTitle(), "");
    FakeCaptureStream* waiting = r.stream;
    control();
    EXPECT_FALSE(r.toggler->armed());
    EXPECT_EQ(r.streamStops, ++stops);
    waiting->deliver(SampleBuffer::screenFrame(PixelBuffer::allocate(8, 8), 5));
    r.settle();
    EXPECT_FALSE(r.toggler->recording());
  }
  EXPECT_THAT(answers, ElementsAre("no window to record under the pointer", "", "", "", ""));
  EXPECT_FALSE(fs::exists(docs + "/videosize.json"));
  EXPECT_TRUE(r.writerLog->calls.empty());

  r.toggler->startRecording(r.window());
  auto* first = r.stream;
  r.toggler->startRecording(r.window());
  EXPECT_EQ(r.streamStops, 4);
  // A frame of the replaced stream opens nothing.
  first->deliver(SampleBuffer::screenFrame(PixelBuffer::allocate(8, 8), 5));
  r.settle();
  EXPECT_FALSE(r.toggler->recording());
  r.frame(10);
  r.settle();
  ASSERT_TRUE(r.toggler->recording());
  r.toggler->startRecording(r.window());  // while recording: the first is finished properly
  EXPECT_EQ(r.streamStops, 5);
  ASSERT_TRUE(r.toggler->waitForPendingFinishes(10000));
  EXPECT_THAT(r.writerLog->calls, Contains("finishWriting"));
  r.frame(20);
  r.settle();
  EXPECT_TRUE(r.toggler->recording());
}

// With pop-ups the stream records an area of the display: from the first
// frame on it follows the window with its outline, once for each new place.
TEST(Toggler, WithPopupsTheStreamFollowsTheWindowOnlyWhileRecording) {
  FakeRecorder r;
  r.toggler->setCapturePopups(true);
  r.windows->content->displays.push_back({0, {0, 0, 1440, 900}});
  r.windows->content->windows.front().owningApplication = OwningApplication{"App", 77};
  r.toggler->refreshWindows();  // finds the display the window is on
  r.settle();
  r.toggler->startRecording(r.window());
  r.windows->bounds[42] = {120, 50, 800, 600};
  r.toggler->followCapturedWindow();  // armed: nothing follows
  r.frame(1);
  r.settle();
  r.toggler->followCapturedWindow();
  r.toggler->followCapturedWindow();  // unchanged: nothing new
  ASSERT_EQ(r.stream->updates.size(), 1u);
  EXPECT_EQ(r.stream->updates[0].sourceRect, (Rect{120, 50, 800, 600}));
  ASSERT_TRUE(r.stop());
  r.toggler->setCapturePopups(false);
}

TEST(Toggler, TheMicrophoneRunsOnlyWithTheSwitchAndAccessAndAlwaysStops) {
  FakeRecorder r;
  r.toggler->checkMicrophonePermission(true);  // not asked yet: no alert, a request
  r.access->answer(true);                      // published through the event loop
  r.settle();
  EXPECT_FALSE(r.toggler->showingAlert());
  EXPECT_TRUE(r.toggler->hasMicPermission());

  r.record(1);
  EXPECT_EQ(r.session->starts, 1);
  // Turned off mid-recording: the stop still closes the microphone.
  r.toggler->setCaptureMicrophone(false);
  ASSERT_TRUE(r.stop());
  EXPECT_GE(r.session->stops, 1);
  r.record(1);
  EXPECT_EQ(r.session->starts, 1);  // switch off: no microphone this time
  ASSERT_TRUE(r.stop());
  r.toggler->setCaptureMicrophone(true);

  r.access->status = MicrophoneAuthorization::denied;
  r.toggler->checkMicrophonePermission(true);
  EXPECT_FALSE(r.toggler->hasMicPermission());
  EXPECT_TRUE(r.toggler->showingAlert());
}

// The popover's view, clicked as a user does.
TEST(ContentView, RowsFollowTheCatalogueAndRecordThePanelComesWithTheErrorAndTheSwitchesWriteAtOnce) {
  FakeRecorder r;
  Autostart autostart;
  QQuickView view;
  view.rootContext()->setContextProperty("toggler", r.toggler.get());
  view.rootContext()->setContextProperty("autostart", &autostart);
  view.setSource(QUrl("qrc:/moxiscope/ContentView.qml"));
  view.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
  auto find = [&](const char* name) { return view.rootObject()->findChild<QQuickItem*>(name); };
  auto rows = [&] { return find("windowList")->property("count").toInt(); };
  auto click = [&](QQuickItem* item) {
    QTest::mouseClick(&view, Qt::LeftButton, {}, item->mapToScene({item->width() / 2, item->height() / 2}).toPoint());
    QTest::qWait(20);
  };
  auto capsule = [&](const char* name) { click(find(name)->findChild<QQuickItem*>("capsule")); };
  auto refresh = [&] {
    r.toggler->refreshWindows();
    r.settle();
    QTest::qWait(50);
  };

  r.windows->addWindow(7, {0, 0, 1600, 800});
  refresh();
  ASSERT_EQ(rows(), 2);
  QQuickItem* second = nullptr;
  QMetaObject::invokeMethod(find("windowList"), "itemAtIndex", Q_RETURN_ARG(QQuickItem*, second), Q_ARG(int, 1));
  click(second);
  ASSERT_TRUE(r.toggler->armed());
  EXPECT_EQ(r.toggler->capturedWindow()->windowID, 7u);

  // The capture service refuses: the last list stays, the panel shows.
  r.windows->content.reset();
  refresh();
  EXPECT_TRUE(find("permissionPanel")->isVisible());
  EXPECT_EQ(rows(), 2);

  // The switches write their setting at once (the microphone one only with
  // access), and "Login" writes a valid autostart entry that starts this
  // program and removes it.
  capsule("cursorSwitch");
  EXPECT_FALSE(RecorderSettings::read(RecorderSettings::cursorOnKey));
  capsule("popupsSwitch");
  EXPECT_TRUE(RecorderSettings::read(RecorderSettings::capturePopupsKey));
  capsule("microphoneSwitch");  // no access: ignored, the request button shows
  EXPECT_TRUE(RecorderSettings::read(RecorderSettings::captureMicrophoneKey));
  EXPECT_TRUE(find("requestMicButton")->isVisible());
  r.access->status = MicrophoneAuthorization::authorized;
  r.toggler->checkMicrophonePermission(false);
  QTest::qWait(50);
  capsule("microphoneSwitch");
  EXPECT_FALSE(RecorderSettings::read(RecorderSettings::captureMicrophoneKey));

  const QString path = Autostart::entryPath();
  EXPECT_TRUE(path.startsWith(qEnvironmentVariable("XDG_CONFIG_HOME") + "/autostart/")) << path.toStdString();
  capsule("loginSwitch");
  ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo::exists(path); }, 2000));
  CommandResult valid = runCommand({"desktop-file-validate", path.toStdString()});
  EXPECT_EQ(valid.exitCode, 0) << valid.out;
  EXPECT_THAT(readFile(path.toStdString()),
              HasSubstr("\nExec=" + QCoreApplication::applicationFilePath().toStdString() + "\n"));
  capsule("loginSwitch");
  EXPECT_TRUE(QTest::qWaitFor([&] { return !QFileInfo::exists(path); }, 2000));
}

TEST(Popover, HangsBelowTheIconAndStaysOnTheScreen) {
  QRect screen(0, 0, 1920, 1080);
  // Icon at the top right: centred under it, then pushed left to stay whole.
  EXPECT_EQ(Popover::placement({400, 400}, QRect(1897, 1, 22, 22), {}, screen), QRect(1520, 23, 400, 400));
  // Icon at the bottom: opens upwards.
  EXPECT_EQ(Popover::placement({400, 400}, QRect(990, 1056, 20, 24), {}, screen).bottom(), 1055);
  // No icon rectangle: by the pointer, kept on its screen.
  EXPECT_EQ(Popover::placement({400, 400}, QRect(), {1900, 1070}, screen), QRect(1520, 680, 400, 400));
}

TEST(PlatformChoice, EnvironmentDecidesOnce) {
  const std::pair<std::map<std::string, std::string>, DesktopPlatform> rows[] = {
      {{{"WAYLAND_DISPLAY", ""}, {"XDG_SESSION_TYPE", "x11"}}, DesktopPlatform::x11},
      {{{"XDG_SESSION_TYPE", "wayland"}}, DesktopPlatform::wayland},
      {{{"WAYLAND_DISPLAY", "wayland-0"}, {"MOXISCOPE_PLATFORM", "x11"}}, DesktopPlatform::x11},
      {{{"DISPLAY", ":0"}, {"MOXISCOPE_PLATFORM", "wayland"}}, DesktopPlatform::wayland},
  };
  for (const auto& [env, expected] : rows) {
    PlatformChoice choice = choosePlatform([&](const char* name) -> std::optional<std::string> {
      auto it = env.find(name);
      return it == env.end() ? std::nullopt : std::optional(it->second);
    });
    EXPECT_EQ(choice.platform, expected) << choice.reason;
  }
}

// These change where the settings are read from: last.
TEST(Settings, EveryBadValueOfEveryKeyReadsAsTheDefault) {
  const std::pair<std::string, std::optional<bool>> cases[] = {
      {"false", false}, {"0", false}, {"TRUE", true}, {"1", true},
      {"maybe", {}},    {"", {}},     {"true, false", {}} /* a list */, {"@ByteArray(true)", {}}};
  for (const QString& key : RecorderSettings::switchKeys()) {
    for (const auto& [value, reads] : cases) {
      SCOPED_TRACE(key.toStdString() + "=" + value);
      writeSettings("[General]\n" + key.toStdString() + "=" + value + "\n");
      EXPECT_EQ(RecorderSettings::read(key), reads.value_or(RecorderSettings::defaultValue(key)));
    }
  }
}

TEST(Settings, ADamagedFileGivesDefaultsAndIsKeptForTheUser) {
  const std::string damaged = "[General\ncursorOn=false\ncapturePopups=true\n";  // an unclosed group
  writeSettings(damaged);
  EXPECT_THAT(RecorderSettings::check(), ElementsAre(HasSubstr(settingsFile)));
  for (const QString& key : RecorderSettings::switchKeys())
    EXPECT_EQ(RecorderSettings::read(key), RecorderSettings::defaultValue(key)) << key.toStdString();
  // A switch flipped in the popover starts a new file; the old one stays beside it.
  RecorderSettings::write(RecorderSettings::capturePopupsKey, true);
  EXPECT_TRUE(RecorderSettings::read(RecorderSettings::capturePopupsKey));
  EXPECT_EQ(readFile(settingsFile + ".damaged"), damaged);
}

// A switch that cannot be saved keeps its value, and the user hears which file.
TEST(Settings, ASwitchThatCannotBeSavedNamesTheFile) {
  writeSettings("");
  const std::string dir = settingsFile.substr(0, settingsFile.rfind('/'));
  fs::remove_all(dir);
  writeFile(dir, "");  // the settings folder is a file
  FakeRecorder r;
  r.toggler->setCursorOn(false);
  EXPECT_TRUE(r.toggler->cursorOn());
  EXPECT_THAT(r.notices, ElementsAre(AllOf(StartsWith("The setting could not be saved"), HasSubstr(settingsFile))));
}

// A Documents that is a file: the side files go to the caches folder. (A
// read-only disk is found the same way: the storage program's recordings.)
TEST(Settings, SideFilesGoWhereTheyCanBeWrittenAndTheUserHearsWhereOnce) {
  const std::string home = QDir::homePath().toStdString(), docs = home + "/Documents";
  const std::string caches = home + "/cache/Moxiscope/Moxiscope";
  fs::remove_all(docs);
  writeFile(docs, "");
  FakeRecorder r;
  r.record(2);
  ASSERT_TRUE(r.stop());
  EXPECT_EQ(readFile(caches + "/videosize.json") + readFile(caches + "/mouse.json"), "[800,600][]");
  EXPECT_THAT(r.notices, Contains(AllOf(StartsWith("Side files"), HasSubstr("written to " + caches),
                                        HasSubstr("it is a file"))).Times(1));
}

// Inside a QApplication on Qt's offscreen platform, with HOME, settings and
// caches in a fresh temporary directory.
int main(int argc, char** argv) {
  PrivateHome home;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("QT_QUICK_BACKEND", "software");
  QApplication app(argc, argv);
  Q_INIT_RESOURCE(popover);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
