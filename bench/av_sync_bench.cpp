// Sound against picture in a real recording: a small window flashes white
// once a second while, at the same instant, a click plays into the null sink,
// whose monitor the microphone hears (through a remap source, since plain
// monitors are not taken for a microphone). The recorder records the window
// for N seconds (argument; default 300) on the real services; the raw file
// (and the exported movie) are then decoded, and for every flash the offset
// of its click is printed: first, last, largest and the drift between them.
//
//   av_sync_bench [seconds]
#include <pulse/pulseaudio.h>
#include <stdlib.h>
#include <xcb/xcb.h>

extern "C" {
#include <libavutil/channel_layout.h>
}

#include <QApplication>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/toggler.h"
#include "common/clock.h"
#include "common/ffmpeg.h"
#include "harness/test_desktop.h"
#include "harness/test_files.h"
#include "platform/pulseaudio/pulse.h"
#include "platform/x11/xcb.h"
#include "test_windows.h"

using namespace moxi;
using namespace std::chrono_literals;
using test::runCommand;

namespace {

constexpr int kRate = 44100;
constexpr int kClickSamples = kRate / 100;  // 10 ms
constexpr auto kFlashLength = 50ms;         // three frames at 60 per second

double ms(int64_t ns) { return static_cast<double>(ns) / 1e6; }

// Plays silence into the null sink without a break and, on request, a click
// of a full-scale square wave; tells when its first sample is played.
class ClickPlayer {
 public:
  ClickPlayer() {
    loop_.reset(pa_threaded_mainloop_new());
    if (!loop_ || pa_threaded_mainloop_start(loop_.get()) < 0) throw std::runtime_error("no sound loop");
    pulse::MainloopLock lock(loop_.get());
    context_.reset(pa_context_new(pa_threaded_mainloop_get_api(loop_.get()), "av-sync-bench"));
    pa_context_set_state_callback(context_.get(), &ClickPlayer::signal, this);
    if (pa_context_connect(context_.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
      throw std::runtime_error("cannot reach the sound server");
    while (PA_CONTEXT_IS_GOOD(pa_context_get_state(context_.get())) &&
           pa_context_get_state(context_.get()) != PA_CONTEXT_READY)
      pa_threaded_mainloop_wait(loop_.get());
    if (pa_context_get_state(context_.get()) != PA_CONTEXT_READY) throw std::runtime_error("sound server refused");
    pa_sample_spec spec{PA_SAMPLE_S16NE, kRate, 1};
    stream_.reset(pa_stream_new(context_.get(), "clicks", &spec, nullptr));
    pa_stream* s = stream_.get();
    pa_stream_set_state_callback(s, &ClickPlayer::signal, this);
    pa_stream_set_write_callback(s, &ClickPlayer::onWrite, this);
    pa_stream_set_underflow_callback(s, [](pa_stream*, void* u) { ++static_cast<ClickPlayer*>(u)->underflows; }, this);
    // A short buffer keeps the null sink's blocks (and so the monitor's) short.
    pa_buffer_attr attributes;
    std::memset(&attributes, 0xff, sizeof attributes);
    attributes.tlength = static_cast<uint32_t>(pa_usec_to_bytes(30'000, &spec));
    attributes.minreq = static_cast<uint32_t>(pa_usec_to_bytes(5'000, &spec));
    auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING |
                                                PA_STREAM_AUTO_TIMING_UPDATE);
    if (pa_stream_connect_playback(s, "nullsink", &attributes, flags, nullptr, nullptr) < 0)
      throw std::runtime_error("cannot play into the null sink");
    while (pa_stream_get_state(s) == PA_STREAM_CREATING) pa_threaded_mainloop_wait(loop_.get());
    if (pa_stream_get_state(s) != PA_STREAM_READY) throw std::runtime_error("the click stream failed");
  }
  ~ClickPlayer() {
    {
      pulse::MainloopLock lock(loop_.get());
      stream_.reset();
      context_.reset();
    }
    loop_.reset();
  }

  // The monotonic time at which the click's first sample is played, or
  // nothing when the stream cannot tell yet.
  std::optional<int64_t> click() {
    std::unique_lock lock(mutex_);
    playsAt_.reset();
    answered_ = false;
    requested_ = true;
    cv_.wait_for(lock, 2s, [this] { return answered_; });
    return playsAt_;
  }

  // The stream's current latency; the null sink starts with long blocks and
  // shortens them for us only after a while.
  std::optional<int64_t> latencyNs() {
    pulse::MainloopLock lock(loop_.get());
    pa_usec_t latency = 0;
    int negative = 0;
    if (pa_stream_get_latency(stream_.get(), &latency, &negative) != 0 || negative) return std::nullopt;
    return static_cast<int64_t>(latency) * 1000;
  }

  std::atomic<int> underflows{0};
  std::vector<int64_t> latencies;  // of the stream when each click was written

 private:
  static void signal(pa_context*, void* u) { pa_threaded_mainloop_signal(static_cast<ClickPlayer*>(u)->loop_.get(), 0); }
  static void signal(pa_stream*, void* u) { pa_threaded_mainloop_signal(static_cast<ClickPlayer*>(u)->loop_.get(), 0); }

  static void onWrite(pa_stream* s, size_t bytes, void* u) { static_cast<ClickPlayer*>(u)->write(s, bytes); }

  void write(pa_stream* s, size_t bytes) {
    std::vector<int16_t> chunk(bytes / 2, 0);
    bool starts = false;
    {
      std::lock_guard lock(mutex_);
      if (requested_ && clickLeft_ == 0) {
        requested_ = false;
        clickLeft_ = kClickSamples;
        starts = true;
      }
    }
    // A square wave of about 1 kHz, at full scale.
    size_t i = 0;
    for (; i < chunk.size() && clickLeft_ > 0; ++i, --clickLeft_) {
      const int n = kClickSamples - clickLeft_;
      chunk[i] = (n / 22) % 2 ? -32767 : 32767;
    }
    pa_stream_write(s, chunk.data(), chunk.size() * 2, nullptr, 0, PA_SEEK_RELATIVE);
    if (!starts) return;
    // The latency is that of the last sample just written.
    pa_usec_t latency = 0;
    int negative = 0;
    const int64_t now = monotonicNanos();
    std::optional<int64_t> at;
    if (pa_stream_get_latency(s, &latency, &negative) == 0) {
      const int64_t lastNs = now + (negative ? -1 : 1) * static_cast<int64_t>(latency) * 1000;
      at = lastNs - static_cast<int64_t>(chunk.size()) * 1'000'000'000 / kRate;
      latencies.push_back(static_cast<int64_t>(latency) * 1000);
    }
    std::lock_guard lock(mutex_);
    playsAt_ = at;
    answered_ = true;
    cv_.notify_all();
  }

  pulse::ThreadedMainloop loop_;
  pulse::Context context_;
  pulse::Stream stream_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool requested_ = false;
  bool answered_ = false;
  std::optional<int64_t> playsAt_;
  int clickLeft_ = 0;  // loop thread only
};

// A black window of our own, painted white for a moment on request.
class FlashWindow : public test::DrawnWindow {
 public:
  FlashWindow(int width, int height, const std::string& title)
      : DrawnWindow(200, 200, width, height, title, XCB_EVENT_MASK_EXPOSURE), width_(width), height_(height) {
    xcb_connection_t* c = conn_.get();
    xcb_map_window(c, id());
    xcb_flush(c);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
      xcb::Event e(xcb_poll_for_event(c));
      if (e && (e->response_type & 0x7f) == XCB_EXPOSE) break;
      if (!e) {
        if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("the window was never exposed");
        pollfd p{conn_.fd(), POLLIN, 0};
        poll(&p, 1, 100);
      }
    }
    paint(0x000000);
  }
  // Fills the window and waits until the server has done it.
  void paint(uint32_t rgb) {
    fill(rgb, 0, 0, width_, height_);
    xcb::reply(conn_.get(), xcb_get_input_focus(conn_.get()), xcb_get_input_focus_reply);  // a round trip
  }

 private:
  int width_, height_;
};

struct Onsets {
  std::vector<double> flashes, clicks;  // seconds on the file's time line
  double videoSeconds = 0, audioSeconds = 0;
  std::string error;
};

// Decodes a file: the video's mean brightness per frame and the sound's
// envelope, each reduced to the times where it rises after a quiet spell.
Onsets findOnsets(const std::string& path) {
  Onsets out;
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) {
    out.error = "cannot open " + path;
    return out;
  }
  ff::InputContext input(raw);
  if (avformat_find_stream_info(input.get(), nullptr) < 0) {
    out.error = "no stream information in " + path;
    return out;
  }
  std::vector<ff::CodecContext> decoders(input->nb_streams);
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    const AVCodecParameters* par = input->streams[i]->codecpar;
    if (par->codec_type != AVMEDIA_TYPE_VIDEO && par->codec_type != AVMEDIA_TYPE_AUDIO) continue;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    if (!codec) continue;
    const AVStream* stream = input->streams[i];
    if (stream->duration != AV_NOPTS_VALUE) {
      const double length = static_cast<double>(stream->duration) * av_q2d(stream->time_base);
      (par->codec_type == AVMEDIA_TYPE_VIDEO ? out.videoSeconds : out.audioSeconds) = length;
    }
    decoders[i].reset(avcodec_alloc_context3(codec));
    if (avcodec_parameters_to_context(decoders[i].get(), par) < 0) continue;
    decoders[i]->pkt_timebase = input->streams[i]->time_base;
    if (avcodec_open2(decoders[i].get(), codec, nullptr) < 0) decoders[i].reset();
  }
  double lastBright = -1e9, lastLoud = -1e9;
  ff::Frame frame(av_frame_alloc());
  auto drain = [&](unsigned index) {
    AVCodecContext* d = decoders[index].get();
    const double base = av_q2d(input->streams[index]->time_base);
    while (avcodec_receive_frame(d, frame.get()) == 0) {
      const int64_t pts = frame->best_effort_timestamp;
      const double t = pts == AV_NOPTS_VALUE ? 0 : static_cast<double>(pts) * base;
      if (d->codec_type == AVMEDIA_TYPE_VIDEO) {
        // Mean luma (16 black, 235 white); a flash is the first bright frame.
        double sum = 0;
        for (int y = 0; y < frame->height; ++y)
          for (int x = 0; x < frame->width; ++x) sum += frame->data[0][y * frame->linesize[0] + x];
        const double mean = sum / (frame->width * frame->height);
        if (mean > 128) {
          if (t - lastBright > 0.3) out.flashes.push_back(t);
          lastBright = t;
        }
      } else if (frame->format == AV_SAMPLE_FMT_FLTP || frame->format == AV_SAMPLE_FMT_FLT) {
        const auto* samples = reinterpret_cast<const float*>(frame->data[0]);
        const int step = frame->format == AV_SAMPLE_FMT_FLT ? frame->ch_layout.nb_channels : 1;
        for (int i = 0; i < frame->nb_samples; ++i) {
          const double at = t + static_cast<double>(i) / frame->sample_rate;
          if (std::fabs(samples[i * step]) > 0.5) {
            if (at - lastLoud > 0.3) out.clicks.push_back(at);
            lastLoud = at;
          }
        }
      }
      av_frame_unref(frame.get());
    }
  };
  ff::Packet packet(av_packet_alloc());
  while (av_read_frame(input.get(), packet.get()) >= 0) {
    const auto index = static_cast<unsigned>(packet->stream_index);
    if (index < decoders.size() && decoders[index] && avcodec_send_packet(decoders[index].get(), packet.get()) >= 0)
      drain(index);
    av_packet_unref(packet.get());
  }
  for (unsigned i = 0; i < decoders.size(); ++i) {
    if (!decoders[i]) continue;
    avcodec_send_packet(decoders[i].get(), nullptr);
    drain(i);
  }
  return out;
}

void report(const char* what, const std::string& path) {
  Onsets o = findOnsets(path);
  std::printf("== %s: %s\n", what, path.c_str());
  if (!o.error.empty()) {
    std::printf("   %s\n", o.error.c_str());
    return;
  }
  std::printf("   video track %.3f s, sound track %.3f s; %zu flashes, %zu clicks\n", o.videoSeconds, o.audioSeconds,
              o.flashes.size(), o.clicks.size());
  std::vector<double> offsets;
  size_t unpaired = 0;
  for (double flash : o.flashes) {
    auto nearest = std::min_element(o.clicks.begin(), o.clicks.end(), [&](double a, double b) {
      return std::fabs(a - flash) < std::fabs(b - flash);
    });
    if (nearest == o.clicks.end() || std::fabs(*nearest - flash) > 0.4) {
      ++unpaired;
      continue;
    }
    offsets.push_back((*nearest - flash) * 1000);
  }
  if (offsets.empty()) {
    std::printf("   no flash has a click\n");
    return;
  }
  double largest = 0, sum = 0;
  for (double v : offsets) {
    if (std::fabs(v) > std::fabs(largest)) largest = v;
    sum += v;
  }
  const double drift = offsets.back() - offsets.front();
  std::printf("   offset of the click after its flash (ms): first %+.1f, last %+.1f, largest %+.1f, mean %+.1f, "
              "drift %+.1f (%zu pairs, %zu flashes without a click)\n",
              offsets.front(), offsets.back(), largest, sum / static_cast<double>(offsets.size()), drift,
              offsets.size(), unpaired);
  std::printf("   targets: every offset within 40 ms: %s; drift within 10 ms: %s\n",
              std::fabs(largest) <= 40 ? "met" : "MISSED", std::fabs(drift) <= 10 ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 300;
  const std::string home = test::makeTempDirectory("moxi-avsync-");
  setenv("HOME", home.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
  setenv("XDG_CACHE_HOME", (home + "/cache").c_str(), 1);
  int status = 0;
  try {
    test::TestDesktop desktop({.windowManager = true, .tray = false, .sound = true});
    if (runCommand({"pactl", "load-module", "module-remap-source", "master=nullsink.monitor",
                    "source_name=loopmic"}).exitCode != 0 ||
        runCommand({"pactl", "set-default-source", "loopmic"}).exitCode != 0)
      throw std::runtime_error("cannot make the null sink's sound the microphone");

    qputenv("QT_QPA_PLATFORM", "xcb");
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QApplication::setOrganizationName("Moxiscope");
    QApplication::setApplicationName("Moxiscope");

    FlashWindow window(160, 120, "av-sync-bench");
    ClickPlayer player;
    if (!test::waitUntil([&] { return player.latencyNs().value_or(INT64_MAX) < 100'000'000; }, 10s))
      throw std::runtime_error("the click stream's latency stays long");

    RecorderServices services = RecorderServices::x11(RecorderServices::common());
    services.makeHotKeyService = nullptr;
    services.askToCopy = [] { return false; };
    services.openURL = [](const QUrl&) { return true; };
    std::shared_ptr<WindowServer> server = services.windowServer;
    Toggler toggler(nullptr, nullptr, std::move(services));
    QUrl raw, movie;
    QObject::connect(&toggler, &Toggler::exportFinished, [&](const QUrl& r, const QUrl& m) {
      raw = r;
      movie = m;
    });
    toggler.setCaptureMicrophone(true);
    toggler.setCursorOn(false);
    toggler.checkMicrophonePermission(false);
    if (!QTest::qWaitFor([&] { return toggler.hasMicPermission(); }, 20000))
      throw std::runtime_error("no microphone access");

    std::optional<CaptureWindow> target;
    (void)QTest::qWaitFor(
        [&] {
          if (auto content = server->shareableContent())
            for (const auto& w : content->windows)
              if (w.windowID == window.id()) target = w;
          return target.has_value();
        },
        20000);
    if (!target) throw std::runtime_error("the test window is not listed");

    toggler.startRecording(*target);
    if (!QTest::qWaitFor([&] { return toggler.recording(); }, 20000)) throw std::runtime_error("no first frame");
    std::printf("recording %d s of a window that flashes with a click once a second\n", seconds);
    std::fflush(stdout);

    // The flashes run on their own thread, paced by the clock.
    std::atomic<bool> stop{false};
    std::vector<int64_t> paintLateness, paintRoundTrips;
    int skipped = 0;
    std::thread flasher([&] {
      auto next = std::chrono::steady_clock::now() + 1500ms;
      while (!stop) {
        std::this_thread::sleep_until(next);
        next += 1s;
        if (stop) break;
        const int64_t asked = monotonicNanos();
        std::optional<int64_t> at = player.click();
        // A click that would play late would run into the next flash. (The
        // sound server stalls the click stream once, for about a second,
        // when the microphone's stream joins the null sink's monitor.)
        const int64_t now = monotonicNanos();
        if (!at || now - asked > 100'000'000 || *at - now > 200'000'000) {
          ++skipped;
          continue;
        }
        // Sleep most of the wait, then spin: a sleep may overshoot by a millisecond or more.
        if (*at - monotonicNanos() > 2'000'000)
          std::this_thread::sleep_for(std::chrono::nanoseconds(*at - monotonicNanos() - 2'000'000));
        while (monotonicNanos() < *at) {
        }
        const int64_t sent = monotonicNanos();
        window.paint(0xffffff);
        paintLateness.push_back(sent - *at);
        paintRoundTrips.push_back(monotonicNanos() - sent);
        std::this_thread::sleep_for(kFlashLength);
        window.paint(0x000000);
      }
    });
    for (int s = 0; s < seconds; s += 30) {
      QTest::qWait(1000 * std::min(30, seconds - s));
      if (seconds > 30) {
        std::printf("  %d s\n", std::min(seconds, s + 30));
        std::fflush(stdout);
      }
    }
    stop = true;
    flasher.join();
    QTest::qWait(500);
    toggler.stopRecording();
    if (!toggler.waitForPendingFinishes(300000)) throw std::runtime_error("the recording was not exported");

    auto median = [](std::vector<int64_t> v) {
      if (v.empty()) return 0.0;
      std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
      return ms(v[v.size() / 2]);
    };
    auto largest = [](const std::vector<int64_t>& v) {
      return v.empty() ? 0.0 : ms(*std::max_element(v.begin(), v.end()));
    };
    std::printf("stimulus: %zu flashes (%d skipped); each painted after its click's play time by median %.2f ms, "
                "max %.2f ms, and shown by the server within median %.2f ms, max %.2f ms; click stream latency "
                "median %.1f ms; %d underflows\n",
                paintLateness.size(), skipped, median(paintLateness), largest(paintLateness), median(paintRoundTrips),
                largest(paintRoundTrips), median(player.latencies), player.underflows.load());
    report("raw recording", raw.toLocalFile().toStdString());
    if (!movie.isEmpty()) report("exported movie", movie.toLocalFile().toStdString());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "av_sync_bench: %s\n", e.what());
    status = 1;
  }
  runCommand({"rm", "-rf", home});
  return status;
}
