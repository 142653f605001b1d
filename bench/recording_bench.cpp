// Records animated windows through X11CaptureStream + RecordingWriter and,
// for comparison, through `ffmpeg -f x11grab` with the same encoder
// settings; then measures an unchanging window, and the encoder's presets
// on captured frames. Every recording runs in a child process so that its
// CPU time and peak memory are its own (wait4).
//
//   recording_bench [seconds]      (default 20 s per recording)
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <poll.h>
#include <sys/wait.h>
#include <xcb/damage.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "harness/media_files.h"
#include "harness/test_desktop.h"
#include "platform/x11/xcb.h"
#include "platform/x11/xcb_owners.h"
#include "recording_pipeline.h"
#include "test_windows.h"

using namespace moxi;
using namespace std::chrono_literals;

namespace {

struct Usage {
  double cpuSeconds = 0;
  double peakMegabytes = 0;
};

Usage usageOf(const rusage& r) {
  return {r.ru_utime.tv_sec + r.ru_utime.tv_usec / 1e6 + r.ru_stime.tv_sec + r.ru_stime.tv_usec / 1e6,
          r.ru_maxrss / 1024.0};
}

// What a recording child reports back through its pipe.
struct PipelineFigures {
  bool ok = false;
  double recordedSeconds = 0;
  uint64_t written = 0;
  uint64_t refusedByWriter = 0;
  uint64_t droppedBehind = 0;
  uint64_t changesSeen = 0;
  uint64_t delivered = 0;
  double stopToFinished = 0;
};

// Runs `body` in a child process; returns its figures and its resource usage.
template <class Figures, class Body>
std::pair<Figures, Usage> inChild(Body body) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    Figures f = body();
    [[maybe_unused]] ssize_t n = write(fds[1], &f, sizeof f);
    _exit(0);  // no destructors: the parent's desktop is not ours to stop
  }
  close(fds[1]);
  Figures f{};
  [[maybe_unused]] ssize_t n = read(fds[0], &f, sizeof f);
  close(fds[0]);
  int status = 0;
  rusage r{};
  wait4(pid, &status, 0, &r);
  return {f, usageOf(r)};
}

PipelineFigures recordWithPipeline(uint32_t window, int width, int height, const std::string& path,
                                   std::chrono::milliseconds duration, bool cursor = true) {
  StreamConfiguration config;
  config.width = width;
  config.height = height;
  config.showsCursor = cursor;
  test::RecordingPipeline pipeline(ContentFilter::desktopIndependentWindow(window), config, path);
  PipelineFigures f;
  if (!pipeline.start() || !pipeline.waitForFrames(1, 10s)) return f;
  std::this_thread::sleep_for(duration);
  auto r = pipeline.stop();
  f.ok = r.writerOk;
  f.recordedSeconds = (r.endNs - r.firstFrameNs) / 1e9;
  f.written = r.appended;
  f.refusedByWriter = r.notReady;
  f.droppedBehind = r.capture.frames.droppedConsumerBehind;
  f.changesSeen = r.capture.damageEvents;
  f.delivered = r.capture.frames.delivered;
  f.stopToFinished = r.stopToFinishedSeconds;
  return f;
}

// Counts how often a window draws (DAMAGE notifications, emptied each time)
// on a connection of its own, without reading any pixels.
class DrawCounter {
 public:
  explicit DrawCounter(uint32_t window) : thread_([this, window] { run(window); }) {}
  ~DrawCounter() {
    stop_ = true;
    thread_.join();
  }
  uint64_t count() const { return count_; }

 private:
  void run(uint32_t window) {
    xcb::Connection conn;
    xcb_connection_t* c = conn.get();
    if (!conn.ok()) return;
    xcb::reply(c, xcb_damage_query_version(c, 1, 1), xcb_damage_query_version_reply);
    const uint8_t base = xcb_get_extension_data(c, &xcb_damage_id)->first_event;
    const uint32_t id = xcb_generate_id(c);
    xcb_damage_create(c, id, window, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    xcb::Damage damage(c, id);
    xcb_flush(c);
    while (!stop_) {
      while (xcb::Event e{xcb_poll_for_event(c)}) {
        if ((e->response_type & 0x7f) == base + XCB_DAMAGE_NOTIFY) {
          ++count_;
          xcb_damage_subtract(c, id, XCB_NONE, XCB_NONE);
        }
      }
      xcb_flush(c);
      pollfd p{conn.fd(), POLLIN, 0};
      poll(&p, 1, 100);
    }
  }
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> count_{0};
  std::thread thread_;
};

struct GrabFigures {
  double stopToFinished = 0;
};

// ffmpeg's own X11 grabber on the same window, stopped with SIGINT (its
// orderly stop) after `duration`.
std::pair<GrabFigures, Usage> recordWithX11Grab(uint32_t window, int rate, const std::string& path,
                                                 std::chrono::milliseconds duration, const VideoEncoderOptions& o) {
  const char* display = std::getenv("DISPLAY");
  std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-loglevel", "error", "-f", "x11grab", "-framerate",
                                   std::to_string(rate), "-window_id", std::to_string(window), "-i",
                                   display ? display : ":0", "-c:v", "libx264", "-preset", o.preset, "-tune", o.tune,
                                   "-crf", std::to_string(o.crf), "-threads", std::to_string(o.threads), "-g",
                                   std::to_string(rate), "-forced-idr", "1", "-pix_fmt", "yuv420p", "-movflags",
                                   "+frag_keyframe+empty_moov+default_base_moof", "-y", path};
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    execvp(args[0], args.data());
    _exit(127);
  }
  std::this_thread::sleep_for(duration);
  const auto stop = std::chrono::steady_clock::now();
  kill(pid, SIGINT);
  int status = 0;
  rusage r{};
  wait4(pid, &status, 0, &r);
  GrabFigures g;
  g.stopToFinished = std::chrono::duration<double>(std::chrono::steady_clock::now() - stop).count();
  return {g, usageOf(r)};
}

void printRow(const char* who, int64_t written, double expected, double seconds, const Usage& u, double stop,
              const std::string& drops) {
  std::printf("  %-9s frames %5lld of %6.0f expected (%5.1f/s) | CPU %5.3f s per recorded s | peak %6.1f MB | "
              "stop->file %5.3f s | %s\n",
              who, static_cast<long long>(written), expected, written / seconds, u.cpuSeconds / seconds,
              u.peakMegabytes, stop, drops.c_str());
}

// One window recorded by the pipeline and then by x11grab, each for `duration`.
void compare(const std::string& dir, const std::string& label, uint32_t window, int width, int height, int rate,
             std::chrono::milliseconds duration, const VideoEncoderOptions& options) {
  std::printf("\n%s %dx%d at %d frames/s, %lld s\n", label.c_str(), width, height, rate,
              static_cast<long long>(duration.count() / 1000));
  const std::string ours = dir + "/ours-" + label + std::to_string(width) + ".mp4";
  auto [f, usage] = inChild<PipelineFigures>([&] { return recordWithPipeline(window, width, height, ours, duration); });
  const auto p = test::probeFile(ours);
  const auto v = p.video() ? *p.video() : test::ProbedStream{};
  char drops[320];
  std::snprintf(drops, sizeof drops,
                "file %lld frames %.2f s %dx%d; the window drew %llu times, merged by the rate cap %lld, "
                "dropped (writer behind) %llu, refused by writer %llu",
                static_cast<long long>(v.frames), p.duration, v.width, v.height,
                static_cast<unsigned long long>(f.changesSeen),
                std::max(0LL, static_cast<long long>(f.changesSeen) + 1 - static_cast<long long>(f.delivered)),
                static_cast<unsigned long long>(f.droppedBehind), static_cast<unsigned long long>(f.refusedByWriter));
  if (!f.ok) std::printf("  pipeline FAILED\n");
  printRow("pipeline", static_cast<int64_t>(f.written), rate * f.recordedSeconds, f.recordedSeconds, usage,
           f.stopToFinished, drops);

  const std::string theirs = dir + "/x11grab-" + label + std::to_string(width) + ".mp4";
  uint64_t drawn = 0;
  std::pair<GrabFigures, Usage> grab;
  {
    DrawCounter counter(window);
    grab = recordWithX11Grab(window, rate, theirs, duration, options);
    drawn = counter.count();
  }
  auto [g, grabUsage] = grab;
  const auto q = test::probeFile(theirs);
  const auto w = q.video() ? *q.video() : test::ProbedStream{};
  std::snprintf(drops, sizeof drops,
                "file %.2f s %dx%d; the window drew %llu times meanwhile (x11grab reads at a fixed rate, "
                "repeating or skipping what the window draws)",
                q.duration, w.width, w.height, static_cast<unsigned long long>(drawn));
  printRow("x11grab", w.frames, rate * q.duration, q.duration > 0 ? q.duration : 1, grabUsage, g.stopToFinished, drops);
}

void recordingCase(const std::string& dir, int width, int height, int rate, std::chrono::milliseconds duration,
                   const VideoEncoderOptions& options) {
  {
    test::AnimatedWindow window(width, height, rate, "bench-ffplay-" + std::to_string(width));
    std::this_thread::sleep_for(1s);
    compare(dir, "ffplay testsrc", window.id(), width, height, rate, duration, options);
  }
  {
    test::PacedWindow window(width, height, rate, "bench-paced-" + std::to_string(width));
    std::this_thread::sleep_for(1s);
    compare(dir, "paced window", window.id(), width, height, rate, duration / 2, options);
  }
}

void unchangingCase(const std::string& dir, std::chrono::milliseconds duration) {
  std::printf("\nunchanging 1280x720 window, %lld s, cursor shown\n", static_cast<long long>(duration.count() / 1000));
  test::StaticWindow window(1280, 720, "bench-static");
  std::this_thread::sleep_for(500ms);
  auto [f, usage] = inChild<PipelineFigures>(
      [&] { return recordWithPipeline(window.id(), 1280, 720, dir + "/static.mp4", duration); });
  std::printf("  pipeline  %llu frames delivered, CPU %.2f %% of a core (%.3f s in %.1f s, start-up included)\n",
              static_cast<unsigned long long>(f.delivered), 100 * usage.cpuSeconds / f.recordedSeconds,
              usage.cpuSeconds, f.recordedSeconds);
}

// The encoder alone on 60 captured 1280x720 frames, encoded twice over as
// 60 frames/s: CPU per frame, the wall time one append takes, and bit rate.
void encoderCase(const std::string& dir) {
  std::printf("\nencoder on 120 captured 1280x720 frames of testsrc (crf 23, key frame each second)\n");
  std::vector<std::shared_ptr<PixelBuffer>> frames;
  {
    test::AnimatedWindow window(1280, 720, 60, "bench-encoder");
    std::this_thread::sleep_for(1s);
    StreamConfiguration config;
    config.width = 1280;
    config.height = 720;
    std::mutex m;  // before the queue: deliveries still queued at the end lock it
    X11CaptureStream stream(ContentFilter::desktopIndependentWindow(window.id()), config);
    SerialQueue queue("bench");
    stream.addStreamOutput(
        [&](const SampleBuffer& s) {
          auto f = completeFrame(s);
          std::lock_guard lock(m);
          if (!f || frames.size() >= 60) return;
          auto copy = PixelBuffer::allocate(f->image->width, f->image->height);
          for (int y = 0; y < copy->height; ++y)
            std::memcpy(copy->pixels + y * copy->stride, f->image->pixels + y * f->image->stride, copy->width * 4);
          frames.push_back(copy);
        },
        queue);
    stream.startCapture();
    test::waitUntil([&] { std::lock_guard lock(m); return frames.size() >= 60; }, 20s);
  }
  struct Option {
    const char* preset;
    const char* tune;
    int threads;
  };
  for (Option o : {Option{"ultrafast", "zerolatency", 2}, Option{"superfast", "zerolatency", 2},
                   Option{"veryfast", "zerolatency", 2}, Option{"superfast", "zerolatency", 1},
                   Option{"veryfast", "", 2}}) {
    VideoEncoderOptions options;
    options.preset = o.preset;
    options.tune = o.tune;
    options.threads = o.threads;
    const std::string path = dir + "/enc-" + o.preset + o.tune + std::to_string(o.threads) + ".mp4";
    std::string error;
    auto writer = RecordingWriter::create(path, error, options);
    auto input = writer->addVideoInput({VideoCodec::h264, 1280, 720});
    writer->startWriting();
    const int64_t start = 1'000'000'000'000;
    writer->startSession(start);
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    const auto wallStart = std::chrono::steady_clock::now();
    double worstMs = 0;
    const int n = 120;
    for (int i = 1; i <= n; ++i) {
      const auto t0 = std::chrono::steady_clock::now();
      input->append(*frames[static_cast<size_t>(i) % frames.size()], start + i * 1'000'000'000LL / 60);
      worstMs = std::max(worstMs, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    writer->endSession(start + (n + 1) * 1'000'000'000LL / 60);
    std::promise<void> done;
    const auto finishStart = std::chrono::steady_clock::now();
    writer->finishWriting([&](bool, std::string) { done.set_value(); });
    done.get_future().wait();
    const double finish = std::chrono::duration<double>(std::chrono::steady_clock::now() - finishStart).count();
    getrusage(RUSAGE_SELF, &after);
    const double cpu = usageOf(after).cpuSeconds - usageOf(before).cpuSeconds;
    struct stat st{};
    stat(path.c_str(), &st);
    const double seconds = (n + 1) / 60.0;
    std::printf("  %-9s %-11s threads %d: CPU %5.2f ms/frame (%3.0f %% of a core at 60/s), append %5.2f ms "
                "(worst %5.1f), finish %4.0f ms, %6.0f kbit/s\n",
                o.preset, o.tune[0] ? o.tune : "(none)", o.threads, 1000 * cpu / n, 100 * cpu / n * 60,
                1000 * wall / n, worstMs, 1000 * finish, st.st_size * 8 / seconds / 1000);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
  const auto duration = std::chrono::milliseconds(seconds * 1000);
  test::TestDesktop desktop({.windowManager = true, .tray = false, .sound = false});
  const std::string dir = desktop.workDir();
  double load[3] = {};
  getloadavg(load, 3);
  std::printf("recording benchmark on %s, %ld cores, load average %.2f\n", desktop.display().c_str(),
              sysconf(_SC_NPROCESSORS_ONLN), load[0]);
  const VideoEncoderOptions options;  // the writer's defaults
  std::printf("encoder: libx264 preset %s tune %s crf %d threads %d, a key frame each %.1f s (both recorders)\n",
              options.preset.c_str(), options.tune.c_str(), options.crf, options.threads,
              options.keyFrameIntervalSeconds);
  recordingCase(dir, 1280, 720, 60, duration, options);
  recordingCase(dir, 1920, 1080, 30, duration, options);
  unchangingCase(dir, std::chrono::milliseconds(std::max(5, seconds / 2) * 1000));
  encoderCase(dir);
  getloadavg(load, 3);
  std::printf("\nload average at the end %.2f\n", load[0]);
  return 0;
}
