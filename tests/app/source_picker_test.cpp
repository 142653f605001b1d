// Recording where the desktop's picker chooses the window (Wayland), on
// fakes: the picker's answers, the hot key, and a shared window that goes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/isolated_application_support.h"
#include "app/platform_choice.h"
#include "app/recorder_fakes_support.h"

using namespace moxi;
using namespace moxi::test;
using ::testing::HasSubstr;

namespace {

constexpr uint32_t kChoose = 7001, kAgain = 7002;

class FakePicker : public SourcePicker {
 public:
  std::optional<bool> entryPicksAgain(uint32_t id) const override {
    if (id == kChoose) return false;
    if (id == kAgain) return true;
    return std::nullopt;
  }
  bool canPickAgain() const override { return hasToken; }
  void pick(bool again, bool, std::function<void(PickResult)> done) override {
    asks.push_back(again);
    pending = std::move(done);
  }
  void answer(PickResult::Outcome outcome, std::optional<CaptureWindow> window = {}) {
    PickResult r;
    r.outcome = outcome;
    r.window = window;
    r.reason = "the portal went away";
    auto done = std::move(pending);
    pending = nullptr;
    done(r);
  }
  bool hasToken = false;
  std::vector<bool> asks;
  std::function<void(PickResult)> pending;
};

}  // namespace

TEST(SourcePicker, CancelledOrFailedPickersLeaveTheRecorderIdle) {
  auto picker = std::make_shared<FakePicker>();
  FakeRecorder r(nullptr, picker);
  for (auto outcome : {PickResult::Outcome::cancelled, PickResult::Outcome::failed}) {
    r.toggler->startElapsedTimer();  // a row click starts the timer first
    r.toggler->startRecordingWindow(kChoose);
    ASSERT_TRUE(picker->pending);
    // A second ask while the picker is open opens no second picker.
    r.toggler->hotKeyPressed();
    EXPECT_EQ(picker->asks.size(), 1u);
    picker->answer(outcome);
    r.settle();
    EXPECT_EQ(r.stream(), nullptr);
    EXPECT_FALSE(r.toggler->timerRunning());
    EXPECT_FALSE(r.toggler->recording());
    picker->asks.clear();
  }
}

TEST(SourcePicker, RecordsThePickedWindowAndFinishesWhenItGoes) {
  auto picker = std::make_shared<FakePicker>();
  picker->hasToken = true;
  FakeRecorder r(nullptr, picker);
  // The hot key takes the last choice again where the desktop keeps one.
  r.toggler->hotKeyPressed();
  ASSERT_EQ(picker->asks, std::vector<bool>{true});
  CaptureWindow shared;
  shared.windowID = 55;
  shared.frame = {0, 0, 640, 480};
  r.windows->bounds[55] = shared.frame;
  picker->answer(PickResult::Outcome::picked, shared);
  ASSERT_NE(r.stream(), nullptr);
  EXPECT_EQ(r.stream()->filter.windowID, 55u);
  EXPECT_EQ(r.stream()->configuration.width, 640);
  EXPECT_TRUE(r.toggler->timerRunning());
  r.frame(1000);
  r.settle();
  ASSERT_TRUE(r.toggler->recording());

  // The desktop ended the cast: what was recorded is finished and handed over.
  testing::internal::CaptureStdout();
  r.windows->bounds.erase(55);
  r.toggler->update();
  EXPECT_TRUE(r.toggler->doneRecording());
  ASSERT_TRUE(r.toggler->waitForPendingFinishes(10000));
  EXPECT_THAT(testing::internal::GetCapturedStdout(), HasSubstr("gone"));
  EXPECT_THAT(r.writerLog->snapshot(), testing::Contains("finishWriting"));
}

TEST(PlatformChoice, EnvironmentDecidesOnce) {
  struct Row {
    std::map<std::string, std::string> env;
    DesktopPlatform expected;
  };
  const Row rows[] = {
      {{}, DesktopPlatform::x11},
      {{{"DISPLAY", ":0"}}, DesktopPlatform::x11},
      {{{"DISPLAY", ":0"}, {"WAYLAND_DISPLAY", "wayland-0"}}, DesktopPlatform::wayland},
      {{{"WAYLAND_DISPLAY", ""}, {"XDG_SESSION_TYPE", "x11"}}, DesktopPlatform::x11},
      {{{"XDG_SESSION_TYPE", "wayland"}}, DesktopPlatform::wayland},
      {{{"WAYLAND_DISPLAY", "wayland-0"}, {"MOXISCOPE_PLATFORM", "x11"}}, DesktopPlatform::x11},
      {{{"DISPLAY", ":0"}, {"MOXISCOPE_PLATFORM", "wayland"}}, DesktopPlatform::wayland},
      {{{"WAYLAND_DISPLAY", "w"}, {"MOXISCOPE_PLATFORM", "mir"}}, DesktopPlatform::wayland},
  };
  for (const Row& row : rows) {
    PlatformChoice choice = choosePlatform([&](const char* name) -> std::optional<std::string> {
      auto it = row.env.find(name);
      return it == row.env.end() ? std::nullopt : std::optional(it->second);
    });
    EXPECT_EQ(choice.platform, row.expected) << choice.reason;
    EXPECT_FALSE(choice.reason.empty());
  }
}

int main(int argc, char** argv) { return moxi::test::runTestsInIsolatedApplication(argc, argv); }
