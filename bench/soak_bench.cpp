// Long use of the whole program on a private desktop (Xvfb, openbox, trayer,
// PulseAudio with a sine source as microphone): one long recording of an
// animated 1280x720 window with the microphone, and many short start/stop
// cycles through the hot key. It prints what the program holds (resident
// memory, descriptors, threads, X resources, SysV shared memory) as it goes.
//
//   soak_bench long [minutes=60]
//   soak_bench cycles [count=500] [seconds=2]
#include <sys/wait.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "app/program_support.h"
#include "harness/process_resources.h"

using namespace moxi::test;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// ffplay's test picture, animated, with a window of exactly 1280x720.
struct AnimatedWindow {
  ChildProcess process{{"ffplay", "-loglevel", "error", "-an", "-f", "lavfi", "-i",
                        "testsrc=size=1280x720:rate=30", "-window_title", "Soak", "-left", "40", "-top", "40"}};
  QRect rect;
  AnimatedWindow() {
    bool shown = eventually([&] {
      auto ids = visibleWindows("^Soak$");
      return !ids.empty() && (rect = windowRect(ids.front())).size() == QSize(1280, 720);
    });
    if (!shown) throw std::runtime_error("the 1280x720 window did not appear");
    output({"xdotool", "mousemove", std::to_string(rect.center().x()), std::to_string(rect.center().y())});
  }
};

ProcessResources measure(Program& program, const char* when) {
  ProcessResources r = processResources(program.process().pid());
  std::printf("%-22s %s\n", when, r.describe().c_str());
  std::fflush(stdout);
  return r;
}

void need(bool ok, const std::string& what, const Program& program) {
  if (ok) return;
  std::fprintf(stderr, "soak: %s\n%s\n", what.c_str(), program.log().c_str());
  std::exit(1);
}

int growthKiB(const ProcessResources& from, const ProcessResources& to) {
  return static_cast<int>(to.residentKiB - from.residentKiB);
}

int runLong(int minutes) {
  AnimatedWindow window;
  Program program("showDialog=false\n");
  program.answerAlert();
  const ProcessResources idle = measure(program, "idle");
  pressKeys("ctrl+F1");
  need(program.waitFor("START RECORDING"), "the recording did not start", program);
  const ProcessResources start = measure(program, "recording 0 min");
  const auto begun = Clock::now();
  ProcessResources last = start;
  for (int minute = 1; minute <= minutes; ++minute) {
    std::this_thread::sleep_until(begun + std::chrono::minutes(minute));
    if (minute == 1 || minute % 5 == 0 || minute == minutes)
      last = measure(program, ("recording " + std::to_string(minute) + " min").c_str());
  }
  const auto stopped = Clock::now();
  pressKeys("ctrl+F1");
  need(program.waitFor("exported as ", 1, std::chrono::minutes(15)), "the export did not finish", program);
  const double exportSeconds = secondsSince(stopped);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const ProcessResources after = measure(program, "after export");
  const Probe movie = probeFile(program.exported(), false);
  std::printf("movie: %.1f s, %lld video packets, %s\n", movie.duration, movie.video() ? (long long)movie.video()->packets : 0LL,
              movie.audio() ? "with sound" : "WITHOUT SOUND");
  std::printf("stop to exported: %.1f s\n", exportSeconds);
  std::printf("resident growth while recording (0 min to %d min): %d KiB\n", minutes, growthKiB(start, last));
  std::printf("handles after export equal idle ones: %s\n", after.sameHandles(idle) ? "yes" : "NO");
  return 0;
}

int runCycles(int count, double seconds) {
  AnimatedWindow window;
  Program program("showDialog=false\n");
  program.answerAlert();
  const ProcessResources before = measure(program, "before the cycles");
  ProcessResources warm = before, last = before;
  const auto begun = Clock::now();
  for (int i = 1; i <= count; ++i) {
    pressKeys("ctrl+F1");
    need(program.waitFor("START RECORDING", i), "cycle " + std::to_string(i) + " did not start", program);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    pressKeys("ctrl+F1");
    need(program.waitFor("exported as ", i), "cycle " + std::to_string(i) + " was not exported", program);
    if (i == 1 || i == 5 || i == 10 || i % 50 == 0 || i == count) {
      // The export's last threads and descriptors close just after its line.
      std::this_thread::sleep_for(std::chrono::seconds(2));
      last = measure(program, ("after cycle " + std::to_string(i)).c_str());
      if (i == 5) warm = last;
    }
  }
  // Qt's pooled worker (the window listing runs there) ends after 30 s idle.
  std::this_thread::sleep_for(std::chrono::seconds(40));
  const ProcessResources idle = measure(program, "40 s after the cycles");
  const Probe movie = probeFile(program.exported(), false);
  std::printf("%d cycles of %.1f s in %.0f s; last movie %.2f s, %s\n", count, seconds, secondsSince(begun),
              movie.duration, movie.audio() ? "with sound" : "WITHOUT SOUND");
  std::printf("resident growth: %d KiB from before the cycles, %d KiB from cycle 5\n", growthKiB(before, last),
              growthKiB(warm, last));
  std::printf("handles after the cycles equal those before: %s; those after cycle 5: %s; 40 s later those before: %s\n",
              last.sameHandles(before) ? "yes" : "NO", last.sameHandles(warm) ? "yes" : "NO",
              idle.sameHandles(before) ? "yes" : "NO");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const std::string what = argc > 1 ? argv[1] : "";
  if (what != "long" && what != "cycles") {
    std::fprintf(stderr, "usage: %s long [minutes] | cycles [count] [seconds]\n", argv[0]);
    return 2;
  }
  try {
    TestDesktop desktop({.windowManager = true, .tray = true, .sound = true});
    if (what == "long") return runLong(argc > 2 ? std::atoi(argv[2]) : 60);
    return runCycles(argc > 2 ? std::atoi(argv[2]) : 500, argc > 3 ? std::atof(argv[3]) : 2.0);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "soak: %s\n", e.what());
    return 1;
  }
}
