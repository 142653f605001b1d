// A flood of pointer input into one recording of the whole program, through
// the X server's input path (XTest): for each count of events a fresh
// program records a plain window while the bench sends that many moves and
// clicks as fast as the server takes them, then stops. It prints what the
// program held, how long the stop took until the movie was exported, and
// whether the log and the movie's description hold every click where it was.
//
//   heavy_input_bench [events-per-second [events ...]]   (default 2000; 10000 50000 100000)
#include <QCoreApplication>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "app/program_support.h"
#include "harness/fake_input.h"
#include "harness/process_resources.h"
#include "harness/test_window.h"

using namespace moxi::test;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

void need(bool ok, const std::string& what, const Program& program) {
  if (ok) return;
  std::fprintf(stderr, "heavy input: %s\n%s\n", what.c_str(), program.log().c_str());
  std::exit(1);
}

// Every 50th event is a click (press and release), the others are moves;
// `perSecond` paces them (0: as fast as the server takes them).
void flood(int count, int perSecond, const QRect& w, std::vector<QPoint>& clicks) {
  FakeInput hand;
  const auto begun = Clock::now();
  QPoint p = w.center();
  for (int n = 0; n < count; ++n) {
    if (n % 50 == 48) {
      hand.press(1, true);
      hand.press(1, false);
      clicks.push_back(p);
      ++n;
      continue;
    }
    p = w.topLeft() + QPoint(3 + (n * 37) % (w.width() - 6), 3 + (n * 53) % (w.height() - 6));
    hand.move(p);
    if (perSecond && n % 100 == 0) {
      hand.sync();
      std::this_thread::sleep_until(begun + std::chrono::microseconds(int64_t{n} * 1000000 / perSecond));
    }
  }
  hand.sync();
}

void run(int count, int perSecond, const QRect& w) {
  Program program("showDialog=false\ncaptureMicrophone=false\n");
  program.answerAlert();
  output({"xdotool", "mousemove", std::to_string(w.center().x()), std::to_string(w.center().y())});
  pressKeys("ctrl+F1");
  need(program.waitFor("START RECORDING"), "the recording did not start", program);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const ProcessResources before = processResources(program.process().pid());

  std::vector<QPoint> clicks;
  const auto sent = Clock::now();
  flood(count, perSecond, w, clicks);
  const double sendSeconds = secondsSince(sent);
  const auto stopped = Clock::now();
  pressKeys("ctrl+F1");
  need(program.waitFor("mark as finished", 1, std::chrono::minutes(10)), "the recording did not finish", program);
  const double toFinished = secondsSince(stopped);
  need(program.waitFor("exported as ", 1, std::chrono::minutes(10)), "the export did not finish", program);
  const double toExported = secondsSince(stopped);
  const ProcessResources after = processResources(program.process().pid());

  const std::string mouseJson = readFile(program.documents() + "/mouse.json");
  auto log = nlohmann::json::parse(mouseJson);
  std::vector<QPoint> logged;
  for (const auto& e : log)
    if (e["down"]) logged.emplace_back(w.x() + int(e["x"]), w.y() + w.height() - int(e["y"]));
  const std::string description = formatTag(program.exported(), "description");
  std::printf(
      "%6d events at %5d/s: sent in %5.2f s | stop to finished %6.2f s, to exported %6.2f s | %6zu samples, clicks %zu/%zu %s | "
      "rss %ld -> %ld KiB (peak %ld) | mouse.json %zu KiB, description %zu KiB\n",
      count, perSecond, sendSeconds, toFinished, toExported, log.size(), logged.size(), clicks.size(),
      logged == clicks ? "exact" : "WRONG", before.residentKiB, after.residentKiB, after.peakResidentKiB,
      mouseJson.size() / 1024, description.size() / 1024);
  if (logged != clicks) std::printf("%s", program.log().c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int perSecond = argc > 1 ? std::atoi(argv[1]) : 2000;
  std::vector<int> counts;
  for (int i = 2; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
  if (counts.empty()) counts = {10000, 50000, 100000};
  try {
    TestDesktop desktop({.windowManager = true, .tray = true, .sound = true});
    moxi::xcb::Connection x;
    TestWindow window(x, TestWindowOptions().at(200, 150).size(800, 600).netName("Flood bench"));
    for (int count : counts) run(count, perSecond, window.rootFrame());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "heavy input: %s\n", e.what());
    return 1;
  }
  return 0;
}
