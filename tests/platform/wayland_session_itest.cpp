// The Wayland session harness: every service answers and stops again, and a
// client of the standard ScreenCast portal gets the test window's frames
// through PipeWire, a restore token that skips the picker, a cancelled
// picker, the stream's end and a Closed signal when the cast ends from
// outside, and the pointer's moves in the cursor metadata.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <functional>

#include <nlohmann/json.hpp>

#include "harness/test_files.h"
#include "harness/wayland_desktop.h"

using namespace moxi::test;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

constexpr unsigned monitorSource = 1, windowSource = 2;
constexpr unsigned metadataCursor = 4;

const std::string probe = WaylandDesktop::portalProbe();

json runProbe(WaylandDesktop& session, std::vector<std::string> args) {
  args.insert(args.begin(), {"/usr/bin/python3", probe});
  auto r = runCommand(args, 90s, session.environment());
  EXPECT_EQ(r.exitCode, 0) << r.out;
  try {
    return json::parse(r.out);
  } catch (const std::exception& e) {
    ADD_FAILURE() << "probe printed no JSON: " << r.out;
    return json::object();
  }
}

std::string hex(uint32_t rgb) {
  char s[8];
  std::snprintf(s, sizeof s, "%06x", rgb);
  return s;
}

}  // namespace

TEST(WaylandSession, StartsAndStopsEveryService) {
  std::vector<pid_t> services;
  {
    WaylandDesktop session;
    for (const char* key : {"WAYLAND_DISPLAY", "XDG_RUNTIME_DIR", "PIPEWIRE_RUNTIME_DIR"})
      EXPECT_EQ(access(session.environment().at(key).c_str(), F_OK), 0) << key;
    services = session.servicePids();
    // The supervisor and its seven services.
    EXPECT_EQ(services.size(), 8u);
    for (const auto& [name, seconds] : session.startTimes()) std::printf("  %-20s ready at %.3f s\n", name.c_str(), seconds);
  }
  for (pid_t pid : services) EXPECT_NE(kill(pid, 0), 0) << "service " << pid << " outlived the session";
}

class PortalSession : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    session_ = new WaylandDesktop;
    window_ = session_->startTestWindow().release();
  }
  static void TearDownTestSuite() {
    delete window_;
    delete session_;
  }
  static WaylandDesktop* session_;
  static WaylandTestWindow* window_;
};
WaylandDesktop* PortalSession::session_ = nullptr;
WaylandTestWindow* PortalSession::window_ = nullptr;

TEST_F(PortalSession, EachSourceTypeDeliversTheTestWindowsFrames) {
  const auto& w = window_->options();
  struct Case {
    unsigned type;
    bool atOrigin;  // whether the window sits at the frame's origin
  } cases[] = {
      // A window stream is as large as the monitor, the window at its origin
      // (mutter marks the window's part with a crop meta).
      {windowSource, true},
      // On the monitor mutter places it where it likes.
      {monitorSource, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("source type " + std::to_string(c.type));
    json out = runProbe(*session_, {"--types", std::to_string(c.type), "--cursor", std::to_string(metadataCursor),
                                    "--persist", "0", "--frames", "20"});
    ASSERT_EQ(out.value("start", -1), 0) << out.dump();
    ASSERT_EQ(out["streams"].size(), 1u);
    EXPECT_EQ(out["streams"][0][1]["source_type"], c.type);
    EXPECT_EQ(out["streams"][0][1]["size"], json::array({1280, 720}));
    const json& f = out["frames"];
    EXPECT_EQ(f["exit"], 0) << f["log"];
    EXPECT_NE(f["caps"].get<std::string>().find("format=(string)BGRx"), std::string::npos) << f["caps"];
    EXPECT_EQ(f["frames"], 20);
    // The stripe moves: frames keep coming with new content.
    EXPECT_GE(f["changed"].get<int>(), 10);
    EXPECT_EQ(f["dominant"], hex(w.colour));
    const auto box = f["box"].get<std::vector<int>>();
    ASSERT_EQ(box.size(), 4u);
    EXPECT_EQ(box[2] - box[0], w.width);
    EXPECT_EQ(box[3] - box[1], w.height);
    if (c.atOrigin) {
      EXPECT_EQ(box[0] + box[1], 0);
    }
  }
}

TEST_F(PortalSession, RestoreTokenSkipsThePickerAndCancelAnswersOne) {
  json first = runProbe(*session_, {"--frames", "2"});
  ASSERT_EQ(first.value("start", -1), 0) << first.dump();
  const std::string token = first.value("restore_token", "");
  ASSERT_FALSE(token.empty()) << first.dump();

  // A restored session shows no picker, so the pending cancel does not touch it.
  session_->cancelNextPicker();
  json restored = runProbe(*session_, {"--restore", token, "--frames", "2"});
  EXPECT_EQ(restored.value("start", -1), 0) << restored.dump();
  EXPECT_EQ(restored["streams"][0][1]["source_type"], windowSource);
  EXPECT_EQ(restored["frames"]["frames"], 2);
  EXPECT_EQ(restored.value("restore_token", ""), token);

  json cancelled = runProbe(*session_, {"--frames", "2"});
  EXPECT_EQ(cancelled.value("start", -1), 1) << cancelled.dump();
  EXPECT_TRUE(cancelled["streams"].empty());
}

TEST_F(PortalSession, CastEndedMidStreamEndsTheStreamAndClosesThePortalSession) {
  struct Case {
    const char* name;
    std::function<void(WaylandTestWindow&)> end;
  } cases[] = {
      {"compositor stops the cast", [](WaylandTestWindow&) { EXPECT_EQ(session_->stopScreenCasts(), 1u); }},
      {"window closes", [](WaylandTestWindow& recorded) { recorded.close(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // The newest window has the focus, so it is the one recorded; the
    // shared window stays for the other tests.
    auto recorded = session_->startTestWindow({.title = "Closing window", .colour = 0x20a040});
    const std::string log = session_->workDir() + "/ended-" + std::to_string(&c - cases) + ".log";
    const std::string out = log + ".json";
    ChildProcess reader({"/bin/sh", "-c", "exec /usr/bin/python3 \"$0\" --persist 0 --frames 100000 --reader \"$1\" "
                         ">\"$2\"", probe, WaylandDesktop::frameReader(), out},
                        session_->environment(), log);
    ASSERT_TRUE(waitUntil([&] { return readFile(log).find("first frame") != std::string::npos; }, 30s))
        << readFile(log);
    c.end(*recorded);
    ASSERT_TRUE(waitUntil([&] { return !reader.running(); }, 30s)) << "the stream went on";
    json result = json::parse(readFile(out));
    EXPECT_EQ(result["pipewire"].value("ended", ""), "stream ended");
    EXPECT_TRUE(result.value("closed_by_compositor", false));
    EXPECT_EQ(session_->runningScreenCasts(), 0u);
  }
}

TEST_F(PortalSession, PointerMovesReachTheCursorMetadata) {
  struct Case {
    unsigned type;
    bool monitorCoordinates;  // window streams give positions relative to the window
  } cases[] = {{monitorSource, true}, {windowSource, false}};
  // Both inside the test window, wherever mutter put it on the monitor.
  const int ax = 600, ay = 300, bx = 700, by = 400;
  for (const auto& c : cases) {
    SCOPED_TRACE("source type " + std::to_string(c.type));
    session_->movePointer(ax, ay);
    const std::string log = session_->workDir() + "/pointer-" + std::to_string(c.type) + ".log";
    const std::string out = log + ".json";
    ChildProcess reader({"/bin/sh", "-c", "exec /usr/bin/python3 \"$0\" --types $1 --cursor 4 --persist 0 "
                         "--frames 90 --reader \"$2\" >\"$3\"", probe, std::to_string(c.type),
                         WaylandDesktop::frameReader(), out},
                        session_->environment(), log);
    ASSERT_TRUE(waitUntil([&] { return readFile(log).find("first frame") != std::string::npos; }, 30s))
        << readFile(log);
    session_->movePointer(bx, by);
    ASSERT_TRUE(waitUntil([&] { return !reader.running(); }, 30s));
    json pw = json::parse(readFile(out))["pipewire"];
    ASSERT_EQ(pw.value("frames", 0), 90) << pw.dump().substr(0, 2000);
    std::vector<std::pair<int, int>> positions;
    for (const auto& b : pw["buffers"])
      if (b.contains("cursor")) {
        std::pair<int, int> p{b["cursor"]["x"], b["cursor"]["y"]};
        if (positions.empty() || positions.back() != p) positions.push_back(p);
      }
    ASSERT_EQ(positions.size(), 2u) << pw.dump().substr(0, 2000);
    EXPECT_EQ(positions[1].first - positions[0].first, bx - ax);
    EXPECT_EQ(positions[1].second - positions[0].second, by - ay);
    if (c.monitorCoordinates) {
      EXPECT_EQ(positions[0], std::make_pair(ax, ay));
    } else {
      EXPECT_LT(positions[0].first, ax);
      EXPECT_LT(positions[0].second, ay);
    }
  }
}
