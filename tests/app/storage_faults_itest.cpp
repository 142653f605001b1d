// The program with its caches on a small disk of the test's own that fills
// up, loses its folder, turns read-only, is nearly full or read-only. What the user hears is
// read from a real notification server, what is kept with ffprobe.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "app/program_support.h"
#include "harness/scratch_disk.h"
#include "harness/session_bus.h"

using namespace moxi::test;
namespace fs = std::filesystem;

static auto* env =
    ::testing::AddGlobalTestEnvironment(new DesktopEnvironment({.windowManager = true, .tray = true, .notifications = true}));

namespace {

// The disk goes under the program's XDG_CACHE_HOME before it starts there.
struct OnDisk {
  Program program;
  ScratchDisk disk;
  OnDisk(const std::string& options, uint64_t leave, const std::map<std::string, std::string>& env = {})
      : program("showDialog=false\ncaptureMicrophone=false\n", {"--stop"}, env), disk(cacheHome(), options) {
    EXPECT_TRUE(program.waitForExit().has_value());
    if (leave) disk.fill(leave);
    program.restart({"--toggle"});
  }
  std::string cacheHome() const { return fs::path(program.documents()).parent_path() / "cache"; }
  bool toggle() { return program.launch({"--toggle"}).exitCode == 0; }
};

// What follows `prefix` on the log line that starts with it.
std::string after(const Program& program, const std::string& prefix) {
  const std::string log = program.log();
  const size_t at = log.find(prefix) + prefix.size();
  return at < prefix.size() ? "" : log.substr(at, log.find('\n', at) - at);
}

}  // namespace

TEST(StorageFaults, AFailingDiskStopsTheRecordingTellsTheUserOnceAndKeepsWhatWasWrittenPlayable) {
  NotificationServer& server = DesktopEnvironment::desktop().notifications();
  TestPicture picture("Storage picture", 300, 250);
  struct Case {
    const char* name;
    std::string disk;
    std::function<void(OnDisk&)> fault, repair;
    std::string summary;
  } cases[] = {
      {"disk full", "size=112m", [](OnDisk& d) { d.disk.fill(); },
       [](OnDisk& d) { fs::remove(d.cacheHome() + "/filler"); }, "Recording stopped: the disk is full"},
      {"folder removed", "size=112m", [](OnDisk& d) { fs::remove_all(d.cacheHome() + "/Moxiscope"); },
       [](OnDisk&) {}, "Recording stopped: its folder was removed"},
      // What was written stays on the read-only disk; the movie and the
      // recordings after it go to the temporary folder.
      {"disk turned read-only", "ext4,size=120m", [](OnDisk& d) { d.disk.turnReadOnly(); }, [](OnDisk&) {},
       "Recording stopped: the disk is read-only"},
  };
  const std::string temp = makeTempDirectory("moxi-temp-");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pointAt({600, 450});  // over the picture
    const int saved = server.notices("Recording saved");
    OnDisk d(c.disk, 0, {{"TMPDIR", temp}});
    ASSERT_TRUE(d.program.waitFor("START RECORDING")) << d.program.log();
    // Two fragments on disk: a fragment holds a second, at most 60 frames.
    ASSERT_GT(d.program.waitForFrames(61), 60);
    c.fault(d);

    ASSERT_TRUE(d.program.waitFor(c.summary + "; kept ")) << d.program.log();
    const std::string kept = after(d.program, c.summary + "; kept ");
    ASSERT_TRUE(eventually([&] { return server.notices(c.summary) == 1; })) << server.calls();
    EXPECT_NE(server.calls().find(kept), std::string::npos) << server.calls();
    EXPECT_EQ(server.notices("Recording saved"), saved);
    const Probe probe = probeFile(kept);
    ASSERT_TRUE(probe.ok && probe.video()) << probe.error;
    EXPECT_GT(probe.video()->frames, 0);
    EXPECT_EQ(probe.video()->frames, probe.video()->packets);  // nothing cut off at its end

    // Idle again: with room back, the next toggle records.
    c.repair(d);
    const int exports = d.program.count("exported as ");
    ASSERT_TRUE(d.toggle());
    ASSERT_TRUE(d.program.waitFor("START RECORDING", 2)) << d.program.log();
    ASSERT_TRUE(d.toggle());
    EXPECT_TRUE(d.program.waitFor("exported as ", exports + 1)) << d.program.log();
    EXPECT_EQ(server.notices(c.summary), 1);
  }
  fs::remove_all(temp);
}

TEST(StorageFaults, ANearlyFullDiskRefusesToStartAndAReadOnlyOneSendsRecordingsElsewhere) {
  NotificationServer& server = DesktopEnvironment::desktop().notifications();
  TestPicture picture("Storage picture", 300, 250);
  pointAt({600, 450});
  const std::string temp = makeTempDirectory("moxi-temp-"), elsewhere = temp + "/moxiscope-0-cache";
  {
    OnDisk d("size=112m", 90ull << 20);
    const std::string summary = "Recording could not start: the disk is almost full";
    ASSERT_TRUE(eventually([&] { return server.notices(summary) == 1; })) << server.calls() << d.program.log();
    EXPECT_NE(server.calls().find("MB are free in " + d.cacheHome()), std::string::npos) << server.calls();
    ASSERT_TRUE(d.toggle());  // still running, still idle: refused again
    ASSERT_TRUE(eventually([&] { return server.notices(summary) == 2; })) << server.calls();
    EXPECT_EQ(d.program.count("START RECORDING"), 0) << d.program.log();
  }
  OnDisk d("ro,size=1m", 0, {{"TMPDIR", temp}});
  ASSERT_TRUE(eventually([&] { return server.notices("Recordings are written to " + elsewhere) == 1; }))
      << server.calls() << d.program.log();
  EXPECT_NE(server.calls().find("cannot be used: it is on a read-only disk."), std::string::npos) << server.calls();
  ASSERT_TRUE(d.program.waitFor("START RECORDING")) << d.program.log();
  ASSERT_TRUE(d.toggle());
  ASSERT_TRUE(d.program.waitFor("exported as ")) << d.program.log();
  EXPECT_EQ(d.program.exported().rfind(elsewhere + "/tmp-", 0), 0u) << d.program.log();
  fs::remove_all(temp);
}
