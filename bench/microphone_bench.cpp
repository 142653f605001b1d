// Figures for the microphone on a private PulseAudio server: how long the
// access check and the set-up take, and how fresh and regular the blocks are
// from a short-latency source (a remap of the null sink's monitor playing a
// tone) and from the 2-second-burst sine source.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "common/serial_queue.h"
#include "harness/test_desktop.h"
#include "platform/pulseaudio/pulse_microphone.h"

using namespace std::chrono_literals;
using moxi::test::runCommand;

namespace {

double ms(int64_t ns) { return static_cast<double>(ns) / 1e6; }

template <class F>
int64_t timed(F&& f) {
  int64_t start = moxi::monotonicNanos();
  f();
  return moxi::monotonicNanos() - start;
}

void printSpread(const char* what, std::vector<int64_t> v) {
  if (v.empty()) return;
  std::sort(v.begin(), v.end());
  std::printf("%-34s median %8.2f ms  p95 %8.2f ms  max %8.2f ms  (n=%zu)\n", what, ms(v[v.size() / 2]),
              ms(v[v.size() * 95 / 100]), ms(v.back()), v.size());
}

void recordFrom(const char* source, double seconds) {
  runCommand({"pactl", "set-default-source", source});
  moxi::SerialQueue queue("com.quillon.moxiscope.AudioSampleBufferQueue");
  std::mutex mutex;
  std::vector<moxi::AudioBuffer> blocks;
  std::vector<int64_t> arrivals;
  auto session = moxi::makeMicrophoneSession();
  session->setSampleBufferDelegate(
      [&](moxi::AudioBuffer b) {
        std::lock_guard lock(mutex);
        arrivals.push_back(moxi::monotonicNanos());
        blocks.push_back(std::move(b));
      },
      queue);
  std::printf("-- source %s\n", source);
  printSpread("configure()", {timed([&] { session->configure(); })});
  int64_t started = moxi::monotonicNanos();
  printSpread("startRunning()", {timed([&] { session->startRunning(); })});
  std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(seconds * 1000)));
  printSpread("stopRunning()", {timed([&] { session->stopRunning(); })});
  queue.drain();

  std::vector<int64_t> ages, steps;
  int discontinuities = 0;
  for (size_t i = 0; i < blocks.size(); ++i) {
    int64_t duration = static_cast<int64_t>(blocks[i].samples.size()) * 1'000'000'000 / blocks[i].sampleRate;
    ages.push_back(arrivals[i] - blocks[i].presentationTimeNs - duration);
    if (i == 0) continue;
    int64_t previousEnd = blocks[i - 1].presentationTimeNs +
                          static_cast<int64_t>(blocks[i - 1].samples.size()) * 1'000'000'000 / blocks[i].sampleRate;
    int64_t step = std::llabs(blocks[i].presentationTimeNs - previousEnd);
    steps.push_back(step);
    discontinuities += step > 1'000'000;
  }
  if (!blocks.empty()) {
    printSpread("first sound after start", {blocks.front().presentationTimeNs - started});
    printSpread("first block after start", {arrivals.front() - started});
  }
  printSpread("block age on arrival", ages);
  printSpread("gap between blocks", steps);
  std::printf("%-34s %d of %zu blocks\n", "steps over 1 ms", discontinuities, blocks.size());
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  moxi::test::TestDesktop desktop({.windowManager = false, .tray = false, .sound = true});

  auto access = moxi::makeMicrophoneAccess();
  std::vector<int64_t> checks;
  for (int i = 0; i < 50; ++i) checks.push_back(timed([&] { access->authorizationStatus(); }));
  printSpread("authorizationStatus(), server up", checks);

  std::string tone = desktop.workDir() + "/tone.wav";
  runCommand({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "sine=frequency=440:duration=600", tone});
  moxi::test::ChildProcess player({"paplay", "--device=nullsink", tone});
  runCommand({"pactl", "load-module", "module-remap-source", "master=nullsink.monitor", "source_name=mic",
              "channels=1"});
  recordFrom("mic", seconds);
  recordFrom("sine", seconds);

  desktop.stopSoundServer();
  checks.clear();
  for (int i = 0; i < 50; ++i) checks.push_back(timed([&] { access->authorizationStatus(); }));
  printSpread("authorizationStatus(), no server", checks);
  return 0;
}
