// What reaches the user, not only the log, when a recording fails: every
// failure the user did not cause gives one notice, and a full disk also
// stops the recording (what was written is still finished).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "app/isolated_application_support.h"
#include "app/recorder_fakes_support.h"

using namespace moxi;
using namespace moxi::test;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

namespace {

std::vector<std::string> summaries(const FakeRecorder& r) {
  std::vector<std::string> out;
  for (const auto& n : r.notices) out.push_back(n.summary.toStdString());
  return out;
}

}  // namespace

TEST(UserNotices, EveryFailureTellsTheUserOnce) {
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
      {"window gone while recording",
       nullptr,
       [](FakeRecorder& r) {
         r.windows->bounds.clear();
         r.toggler->update();
         r.toggler->update();  // told once, not at every tick
       },
       // The recording is finished with what it holds; the fake writes no
       // file, so its export fails.
       {"The recorded window is gone", "Export failed"}},
      {"disk full while recording",
       nullptr,
       [](FakeRecorder& r) {
         r.writerLog->writeFails = true;
         r.frame(3000);
         r.frame(4000);
         r.settle();
       },
       // One notice for the stop and the export of what was kept.
       {"Recording stopped: it could not be written"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeRecorder r;
    if (c.before) c.before(r);
    r.toggler->startElapsedTimer();
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
    // Every failure ends the recording by itself.
    EXPECT_FALSE(r.toggler->recording());
    ASSERT_TRUE(r.toggler->waitForPendingFinishes(10000));
    r.settle();
    EXPECT_THAT(summaries(r), ElementsAreArray(c.expected));
    for (const auto& n : r.notices) {
      EXPECT_EQ(n.kind, UserNotice::Kind::failure);
      EXPECT_FALSE(n.body.isEmpty());
      if (n.summary == "Export failed") {
        EXPECT_THAT(n.body.toStdString(), HasSubstr("kept at"));
      }
    }
  }
}

int main(int argc, char** argv) { return moxi::test::runTestsInIsolatedApplication(argc, argv); }
