// CPU cost of the PipeWire capture stream on a private PipeWire: a 1280 x 720
// BGRx source sending 60 frames a second, and the same source standing still.
// The figures are CPU-seconds per second of this process (getrusage), which
// also holds the test producer; its frames repeat two colours, so that after
// the first frames it only stamps metas.
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "capture/pipewire_capture_stream.h"
#include "harness/pipewire_daemon.h"
#include "harness/pipewire_producer.h"
#include "harness/test_desktop.h"
#include "platform/clock.h"
#include "platform/serial_queue.h"

using namespace std::chrono_literals;

namespace {

double cpuSeconds() {
  rusage r{};
  getrusage(RUSAGE_SELF, &r);
  return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// CPU-seconds per second while `run` goes on for `seconds`.
template <class F>
double costOf(double seconds, F&& run) {
  const double cpu0 = cpuSeconds();
  const int64_t t0 = moxi::monotonicNanos();
  run(seconds);
  return (cpuSeconds() - cpu0) / ((moxi::monotonicNanos() - t0) / 1e9);
}

}  // namespace

int main() {
  std::unique_ptr<moxi::test::PipeWireDaemon> daemon;
  try {
    daemon = std::make_unique<moxi::test::PipeWireDaemon>();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pipewire bench: %s\n", e.what());
    return 1;
  }
  moxi::test::PipeWireProducer producer(SPA_VIDEO_FORMAT_BGRx, 1280, 720);
  moxi::StreamConfiguration config;  // source size, 60 frames a second at most, cursor shown
  moxi::SerialQueue queue("bench-frames");
  std::atomic<uint64_t> frames{0};
  moxi::PipeWireCaptureStream stream({-1, producer.nodeID()}, config);
  if (!stream.addStreamOutput([&](const moxi::SampleBuffer&) { ++frames; }, queue)) {
    std::fprintf(stderr, "pipewire bench: %s\n", stream.unavailableReason().c_str());
    return 1;
  }
  stream.startCapture();
  if (!producer.waitStreaming(10s)) {
    std::fprintf(stderr, "pipewire bench: the stream was not linked\n");
    return 1;
  }
  auto sendAt60 = [&](double seconds) {
    const int total = static_cast<int>(seconds * 60);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < total; ++i) {
      producer.send({.colour = (i & 1) ? 0xff2060a0u : 0xffa06020u});
      std::this_thread::sleep_until(start + std::chrono::microseconds(1'000'000 * (i + 1) / 60));
    }
  };
  sendAt60(1.0);  // warm up: buffers filled, pool allocated
  const uint64_t before = frames;
  const double active = costOf(5.0, sendAt60);
  const uint64_t delivered = frames - before;
  const double idle = costOf(3.0, [](double s) { std::this_thread::sleep_for(std::chrono::duration<double>(s)); });
  const auto stats = stream.statistics();
  std::printf("1280x720 BGRx at 60 fps: %.3f CPU-s per s (%.1f frames/s delivered, %lu dropped behind)\n", active,
              delivered / 5.0, static_cast<unsigned long>(stats.framesDroppedConsumerBehind));
  std::printf("still source:           %.4f CPU-s per s\n", idle);
  return 0;
}
