// The program on disks that fail it: its caches folder on a small tmpfs of
// the test's own that fills up, loses its folder, is nearly full or
// read-only. What the user hears is read from a real notification server,
// what is kept with ffprobe.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <thread>

#include "app/program_support.h"
#include "harness/scratch_disk.h"
#include "harness/session_bus.h"

using namespace moxi::test;
namespace fs = std::filesystem;

static auto* env =
    ::testing::AddGlobalTestEnvironment(new NotifyingDesktopEnvironment({.windowManager = true, .tray = true}));

namespace {

const char* kSettings = "showDialog=false\ncaptureMicrophone=false\n";

// The program's XDG_CACHE_HOME, beside its documents.
std::string cacheHome(const Program& program) { return fs::path(program.documents()).parent_path() / "cache"; }

// The program's home is made first; the disk goes under its caches before
// the program starts there.
void startOn(Program& program, ScratchDisk& disk, uint64_t leave, const std::vector<std::string>& args) {
  ASSERT_TRUE(program.waitForExit().has_value());
  if (leave) disk.fill(leave);
  program.restart(args);
}

void pointAt(QPoint p) { output({"xdotool", "mousemove", std::to_string(p.x()), std::to_string(p.y())}); }

// What follows "prefix" on the last log line that starts with it.
std::string after(const Program& program, const std::string& prefix) {
  std::string found, log = program.log();
  for (size_t at = log.find(prefix); at != std::string::npos; at = log.find(prefix, at + 1))
    found = log.substr(at + prefix.size(), log.find('\n', at) - at - prefix.size());
  return found;
}

// Waits until the recording being written has grown twice: at least one
// whole fragment is on disk.
void waitForFragments(const Program& program) {
  uintmax_t last = 0;
  int grew = 0;
  ASSERT_TRUE(eventually([&] {
    auto files = program.movies();
    std::error_code error;
    const uintmax_t size = files.size() == 1 ? fs::file_size(files[0], error) : 0;
    if (!error && size > last) grew += last > 0, last = size;
    return grew >= 2;
  })) << program.log();
}

}  // namespace

TEST(StorageFaults, AFailingDiskStopsTheRecordingTellsTheUserOnceAndKeepsWhatWasWritten) {
  NotificationServer& server = NotifyingDesktopEnvironment::server();
  TestPicture picture("Storage picture", 300, 250);
  struct Case {
    const char* name;
    std::function<void(ScratchDisk&, const Program&)> fault, repair;
    std::string summary;
  } cases[] = {
      {"disk full", [](ScratchDisk& d, const Program&) { d.fill(); },
       [](ScratchDisk& d, const Program&) { d.unfill(); }, "Recording stopped: the disk is full"},
      {"folder removed", [](ScratchDisk&, const Program& p) { fs::remove_all(cacheHome(p) + "/Moxiscope"); },
       nullptr, "Recording stopped: its folder was removed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pointAt(picture.rect().center());
    const int saved = server.notices("Recording saved");  // by earlier rows
    Program program(kSettings, {"--stop"});
    ScratchDisk disk(cacheHome(program), "size=112m");
    startOn(program, disk, 0, {"--toggle"});
    ASSERT_TRUE(program.waitFor("START RECORDING")) << program.log();
    waitForFragments(program);
    c.fault(disk, program);

    // It stops by itself, and once the export is known the user hears once
    // why and where what was recorded is.
    ASSERT_TRUE(program.waitFor(c.summary + "; kept ")) << program.log();
    const std::string kept = after(program, c.summary + "; kept ");
    ASSERT_TRUE(eventually([&] { return server.notices(c.summary) == 1; })) << server.calls();
    EXPECT_NE(server.calls().find(kept), std::string::npos) << server.calls();
    EXPECT_EQ(server.notices("Recording saved"), saved);
    const Probe probe = probeFile(kept);
    ASSERT_TRUE(probe.ok && probe.video()) << probe.error;
    EXPECT_GT(probe.video()->frames, 0);
    EXPECT_EQ(probe.video()->frames, probe.video()->packets);

    // Idle again: once there is room, the next --toggle records.
    if (c.repair) c.repair(disk, program);
    ASSERT_EQ(program.launch({"--toggle"}).exitCode, 0);
    ASSERT_TRUE(program.waitFor("START RECORDING", 2)) << program.log();
    ASSERT_EQ(program.launch({"--toggle"}).exitCode, 0);
    EXPECT_TRUE(program.waitFor("exported as ")) << program.log();
    EXPECT_EQ(server.notices(c.summary), 1);
    ASSERT_EQ(program.launch({"--quit"}).exitCode, 0);
    EXPECT_TRUE(program.waitForExit().has_value());
  }
}

TEST(StorageFaults, ANearlyFullDiskRefusesToStartAndAReadOnlyOneSendsRecordingsElsewhere) {
  NotificationServer& server = NotifyingDesktopEnvironment::server();
  TestPicture picture("Storage picture", 300, 250);
  const std::string temp = makeTempDirectory("moxi-temp-");
  struct Case {
    const char* name;
    const char* options;
    uint64_t leave;
    std::string summary;
    bool records;
  } cases[] = {
      {"90 MB free", "size=112m", 90ull << 20, "Recording could not start: the disk is almost full", false},
      {"read-only", "ro,size=1m", 0, "Recordings are written to " + temp + "/moxiscope-0-cache", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pointAt(picture.rect().center());
    Program program(kSettings, {"--stop"}, {{"TMPDIR", temp}});
    ScratchDisk disk(cacheHome(program), c.options);
    startOn(program, disk, c.leave, {"--toggle"});
    ASSERT_TRUE(eventually([&] { return server.notices(c.summary) == 1; })) << server.calls() << program.log();
    if (c.records) {
      ASSERT_TRUE(program.waitFor("START RECORDING")) << program.log();
      ASSERT_EQ(program.launch({"--toggle"}).exitCode, 0);
      ASSERT_TRUE(program.waitFor("exported as ")) << program.log();
      EXPECT_EQ(program.exported().rfind(temp + "/moxiscope-0-cache/tmp-", 0), 0u) << program.log();
    } else {
      EXPECT_NE(server.calls().find("MB are free in " + cacheHome(program)), std::string::npos) << server.calls();
      // Still idle, and still running: the next attempt is refused too.
      ASSERT_EQ(program.launch({"--toggle"}).exitCode, 0);
      ASSERT_TRUE(eventually([&] { return server.notices(c.summary) == 2; })) << server.calls();
      EXPECT_EQ(program.count("START RECORDING"), 0) << program.log();
    }
    ASSERT_EQ(program.launch({"--quit"}).exitCode, 0);
    EXPECT_TRUE(program.waitForExit().has_value());
  }
  fs::remove_all(temp);
}
