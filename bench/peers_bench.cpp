// Moxiscope beside other screen recorders on one window: ffmpeg's x11grab,
// GStreamer's ximagesrc and SimpleScreenRecorder, all with libx264 superfast,
// zerolatency, CRF 23, 2 threads and a key frame each second, on a window
// that draws on a strict clock. Rounds alternate the order of the recorders.
// For each it prints CPU-seconds per second of recording (and the ratio to
// x11grab's in the same round), frames written against frames the window drew
// (DAMAGE) in the file's span, bits per frame and peak resident memory.
// `finish` instead times the stop to the movie opened, with and without the
// microphone. bench/peers.sh installs the other recorders and runs it.
//
//   peers_bench [seconds=20] [rounds=3] [sizes: 720 1080 2160]
//   peers_bench finish [rounds=5]
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/program_support.h"
#include "harness/media_files.h"
#include "harness/process_resources.h"
#include "test_windows.h"

using namespace moxi::test;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// User and system CPU of a process and all its threads, in seconds.
double cpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  const auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i)
    if (i >= 14) ticks += std::stod(field);
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long statusKiB(pid_t pid, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key + ":", 0) == 0) return std::atol(line.c_str() + key.size() + 1);
  return 0;
}

// Where the resident memory is, at the stop: anon / file / shmem.
std::string residentSplit(pid_t pid) {
  char text[96];
  std::snprintf(text, sizeof text, "%.1f / %.1f / %.1f", statusKiB(pid, "RssAnon") / 1024.0,
                statusKiB(pid, "RssFile") / 1024.0, statusKiB(pid, "RssShmem") / 1024.0);
  return text;
}

// PEERS_MAPS=N: the N mappings holding the most resident memory, at the stop
// (60 if N is 1).
void printLargestMappings(pid_t pid, size_t count) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/smaps");
  std::map<std::string, long> rss;
  std::string name;
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) continue;
    if (std::isxdigit(static_cast<unsigned char>(line[0])) && line.find('-') < line.find(' ')) {
      std::istringstream fields(line);
      std::string f;
      for (int i = 0; i < 5; ++i) fields >> f;
      name.clear();
      std::getline(fields >> std::ws, name);
      if (name.empty()) name = "[anonymous]";
    } else if (line.rfind("Rss:", 0) == 0) {
      rss[name] += std::atol(line.c_str() + 4);
    }
  }
  std::vector<std::pair<long, std::string>> sorted;
  for (auto& [n, kib] : rss) sorted.emplace_back(kib, n);
  std::sort(sorted.rbegin(), sorted.rend());
  for (size_t i = 0; i < sorted.size() && i < count; ++i)
    std::printf("    %8.1f MB  %s\n", sorted[i].first / 1024.0, sorted[i].second.c_str());
}

struct Size {
  int width, height, rate;
  int x = 0, y = 0;  // where the window manager put the window
};

struct Result {
  double cpuPerSecond = 0;
  long peakKiB = 0;
  std::string split;
  int64_t written = 0;
  double drawn = 0;  // in the file's span, at the rate the window drew while measured
  double bitsPerFrame = 0;
  double stopToOpened = -1;
  bool ok = false;
};

// Everything a recorder does between its start and its stop, measured alike.
class Recorder {
 public:
  virtual ~Recorder() = default;
  virtual const char* name() const = 0;
  // Starts recording; returns the process to measure (0 when it failed).
  virtual pid_t start(const Size& s, uint32_t window, const std::string& path) = 0;
  // Stops and waits until the file is complete.
  virtual void stop(Result& r) = 0;
};

class FfmpegX11Grab : public Recorder {
 public:
  const char* name() const override { return "ffmpeg x11grab"; }
  pid_t start(const Size& s, uint32_t window, const std::string& path) override {
    const std::string rate = std::to_string(s.rate);
    process_ = std::make_unique<ChildProcess>(std::vector<std::string>{
        "ffmpeg", "-nostdin", "-loglevel", "error", "-f", "x11grab", "-framerate", rate, "-window_id",
        std::to_string(window), "-i", std::getenv("DISPLAY"), "-c:v", "libx264", "-preset", "superfast", "-tune",
        "zerolatency", "-crf", "23", "-threads", "2", "-g", rate, "-pix_fmt", "yuv420p", "-movflags",
        "+frag_keyframe+empty_moov+default_base_moof", "-y", path});
    return process_->pid();
  }
  void stop(Result&) override { process_->stop(SIGINT); }  // it ends with 255 after SIGINT

 private:
  std::unique_ptr<ChildProcess> process_;
};

class GStreamerXImageSrc : public Recorder {
 public:
  const char* name() const override { return "GStreamer ximagesrc"; }
  pid_t start(const Size& s, uint32_t window, const std::string& path) override {
    const std::string rate = std::to_string(s.rate);
    // pass=qual takes the quantizer as the constant quality factor (CRF).
    process_ = std::make_unique<ChildProcess>(std::vector<std::string>{
        "gst-launch-1.0", "-q", "-e", "ximagesrc", "xid=" + std::to_string(window), "!",
        "video/x-raw,framerate=" + rate + "/1", "!", "videoconvert", "!", "video/x-raw,format=I420", "!", "x264enc",
        "speed-preset=superfast", "tune=zerolatency", "pass=qual", "quantizer=23", "threads=2", "key-int-max=" + rate,
        "!", "mp4mux", "fragment-duration=1000", "!", "filesink", "location=" + path});
    return process_->pid();
  }
  void stop(Result& r) override { r.ok = process_->stop(SIGINT) == 0; }

 private:
  std::unique_ptr<ChildProcess> process_;
};

// Unattended through its settings file and commands on its standard input.
class SimpleScreenRecorder : public Recorder {
 public:
  explicit SimpleScreenRecorder(std::string dir) : dir_(std::move(dir)) {}
  ~SimpleScreenRecorder() override {
    if (commands_ >= 0) ::close(commands_);
  }
  const char* name() const override { return "SimpleScreenRecorder"; }
  // Quoted: unquoted commas would make the options a list, which it ignores.
  pid_t start(const Size& s, uint32_t, const std::string& path) override {
    const std::string settings = dir_ + "/ssr.conf", fifo = dir_ + "/ssr.commands";
    std::ofstream(settings) << "[input]\naudio_enabled=false\nvideo_area=fixed\nvideo_x=" << s.x
                            << "\nvideo_y=" << s.y << "\nvideo_w=" << s.width << "\nvideo_h=" << s.height << "\nvideo_frame_rate=" << s.rate
                            << "\nvideo_record_cursor=true\nvideo_scale=false\n[output]\nfile=" << path
                            << "\nadd_timestamp=false\nseparate_files=false\ncontainer=mp4\nvideo_codec=other\n"
                               "video_codec_av=libx264\nvideo_options=\"crf=23,preset=superfast,tune=zerolatency,"
                               "threads=2,g="
                            << s.rate << "\"\nvideo_allow_frame_skipping=true\n[welcome]\nskip_page=true\n";
    std::filesystem::remove(fifo);
    mkfifo(fifo.c_str(), 0600);
    if (commands_ >= 0) ::close(commands_);
    commands_ = open(fifo.c_str(), O_RDWR | O_CLOEXEC);  // never blocks, and holds the pipe open
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"sh", "-c",
                                 "exec simplescreenrecorder --settingsfile=" + settings +
                                     " --no-systray --start-hidden --start-recording < " + fifo},
        std::map<std::string, std::string>{{"HOME", dir_}}, dir_ + "/ssr.log");
    return process_->pid();
  }
  void stop(Result& r) override {
    const std::string commands = "record-save\nquit\n";
    [[maybe_unused]] auto n = write(commands_, commands.data(), commands.size());
    waitUntil([&] { return !process_->running(); }, std::chrono::seconds(60));
    r.ok = process_->stop() == 0;
  }

 private:
  std::string dir_;
  int commands_ = -1;
  std::unique_ptr<ChildProcess> process_;
};

// The program itself, freshly started each time, recording through its hot key.
class Moxiscope : public Recorder {
 public:
  explicit Moxiscope(bool microphone) : microphone_(microphone) {}
  const char* name() const override { return microphone_ ? "Moxiscope (microphone)" : "Moxiscope"; }
  pid_t start(const Size& s, uint32_t, const std::string&) override {
    program_ = std::make_unique<Program>(std::string("showDialog=false\ncaptureMicrophone=") +
                                         (microphone_ ? "true" : "false") + "\n");
    program_->answerAlert();
    xdotool({"mousemove", std::to_string(s.x + s.width / 2), std::to_string(s.y + s.height / 2)});
    pressKeys("ctrl+F1");
    if (!program_->waitFor("START RECORDING")) {
      std::fprintf(stderr, "peers: Moxiscope did not start\n%s\n", program_->log().c_str());
      return 0;
    }
    return program_->process().pid();
  }
  void stop(Result& r) override {
    const auto stopped = Clock::now();
    pressKeys("ctrl+F1");
    r.ok = waitUntil([&] { return !program_->opened().empty(); }, std::chrono::seconds(60));
    r.stopToOpened = secondsSince(stopped);
  }
  std::string movie() const { return program_->exported(); }
  Program& program() { return *program_; }

 private:
  bool microphone_;
  std::unique_ptr<Program> program_;
};

Result measure(Recorder& recorder, const Size& size, uint32_t window, const std::string& path, int seconds) {
  Result r;
  std::filesystem::remove(path);
  const pid_t pid = recorder.start(size, window, path);
  if (!pid) return r;
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // past the start-up work
  uint64_t drawnBefore = 0, drawnAfter = 0;
  double cpuBefore = 0, cpuAfter = 0;
  {
    DrawCounter draws(window);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    drawnBefore = draws.count();
    cpuBefore = cpuSeconds(pid);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    cpuAfter = cpuSeconds(pid);
    drawnAfter = draws.count();
  }
  r.cpuPerSecond = (cpuAfter - cpuBefore) / seconds;
  r.peakKiB = statusKiB(pid, "VmHWM");
  r.split = residentSplit(pid);
  if (const char* maps = std::getenv("PEERS_MAPS")) {
    const long count = std::atol(maps);
    printLargestMappings(pid, count > 1 ? static_cast<size_t>(count) : 60);
  }
  recorder.stop(r);
  auto* moxiscope = dynamic_cast<Moxiscope*>(&recorder);
  const std::string file = moxiscope ? moxiscope->movie() : path;
  const Probe probe = probeFile(file, false);
  r.ok = r.ok || (!moxiscope && probe.video());
  if (probe.video()) {
    r.written = probe.video()->packets;
    r.drawn = static_cast<double>(drawnAfter - drawnBefore) / seconds * probe.duration;
    r.bitsPerFrame = r.written ? std::filesystem::file_size(file) * 8.0 / static_cast<double>(r.written) : 0;
  }
  return r;
}

Size placedAt(Size s, uint32_t window) {
  const QRect r = windowRect(std::to_string(window));
  s.x = r.x();
  s.y = r.y();
  return s;
}

double load() {
  double l[3] = {};
  getloadavg(l, 3);
  return l[0];
}

int peers(int seconds, int rounds, const std::vector<Size>& sizes) {
  DesktopOptions options{.windowManager = true, .tray = true, .sound = true};
  options.screenWidth = 3840;
  options.screenHeight = 2160;
  TestDesktop desktop(options);
  const std::string dir = desktop.workDir();
  FfmpegX11Grab x11grab;
  GStreamerXImageSrc gstreamer;
  SimpleScreenRecorder ssr(dir);
  Moxiscope moxiscope(false);
  std::vector<Recorder*> recorders;
  // PEERS_ONLY="x11grab Moxiscope" measures only those whose names contain a word of it.
  const char* only = std::getenv("PEERS_ONLY");
  for (Recorder* r : std::initializer_list<Recorder*>{&x11grab, &gstreamer, &ssr, &moxiscope}) {
    bool wanted = !only || !*only;
    for (std::istringstream words(only ? only : ""); !wanted && words;) {
      std::string word;
      if (words >> word) wanted = std::string(r->name()).find(word) != std::string::npos;
    }
    if (wanted) recorders.push_back(r);
  }
  std::printf("peers: %d s per recording, %d rounds, %ld cores, load average %.2f at the start\n", seconds, rounds,
              sysconf(_SC_NPROCESSORS_ONLN), load());
  for (const Size& size : sizes) {
    PacedWindow window(size.width, size.height, size.rate, "peers-" + std::to_string(size.width));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const Size placed = placedAt(size, window.id());
    std::map<std::string, std::vector<Result>> results;
    std::map<std::string, std::vector<double>> ratios;
    for (int round = 0; round < rounds; ++round) {
      std::rotate(recorders.begin(), recorders.begin() + 1, recorders.end());
      std::map<std::string, Result> thisRound;
      for (Recorder* recorder : recorders) {
        const std::string path = dir + "/peer-" + std::to_string(size.width) + ".mp4";
        Result r = measure(*recorder, placed, window.id(), path, seconds);
        std::printf("  %dx%d/%d round %d %-24s CPU %.3f s/s | peak %6.1f MB | frames %lld of %.0f drawn | "
                    "%7.0f bits/frame%s | anon/file/shmem %s MB | load %.2f%s\n",
                    size.width, size.height, size.rate, round + 1, recorder->name(), r.cpuPerSecond,
                    r.peakKiB / 1024.0, static_cast<long long>(r.written), r.drawn, r.bitsPerFrame,
                    r.stopToOpened >= 0 ? (" | stop to opened " + std::to_string(r.stopToOpened) + " s").c_str() : "",
                    r.split.c_str(), load(), r.ok ? "" : " | FAILED");
        std::fflush(stdout);
        thisRound[recorder->name()] = r;
        results[recorder->name()].push_back(r);
      }
      const double base = thisRound[x11grab.name()].cpuPerSecond;
      for (auto& [name, r] : thisRound) ratios[name].push_back(base > 0 ? r.cpuPerSecond / base : 0);
    }
    std::printf("\n%dx%d at %d frames/s, %d rounds (mean; peak memory: the largest)\n", size.width, size.height,
                size.rate, rounds);
    std::printf("| recorder | CPU-s per s | ratio to x11grab | frames written / drawn | bits per frame | peak "
                "resident |\n|---|---|---|---|---|---|\n");
    for (Recorder* recorder : {static_cast<Recorder*>(&x11grab), static_cast<Recorder*>(&gstreamer),
                               static_cast<Recorder*>(&ssr), static_cast<Recorder*>(&moxiscope)}) {
      const auto& rs = results[recorder->name()];
      if (rs.empty()) continue;
      double cpu = 0, ratio = 0, written = 0, drawn = 0, bits = 0;
      long peak = 0;
      for (const Result& r : rs) {
        cpu += r.cpuPerSecond / rs.size();
        written += static_cast<double>(r.written) / rs.size();
        drawn += r.drawn / rs.size();
        bits += r.bitsPerFrame / rs.size();
        peak = std::max(peak, r.peakKiB);
      }
      for (double q : ratios[recorder->name()]) ratio += q / rs.size();
      std::printf("| %s | %.3f | %.2f | %.0f / %.0f | %.0f | %.0f MB |\n", recorder->name(), cpu, ratio, written,
                  drawn, bits, peak / 1024.0);
    }
    std::printf("\n");
    std::fflush(stdout);
  }
  std::printf("load average at the end %.2f\n", load());
  return 0;
}

// Stop to movie opened without the microphone, with the desktop's sine
// source (which hands its sound over two seconds at a time), and with a
// microphone that delivers as asked (a tone played into a null sink, whose
// monitor a remap source offers as a microphone), in turns.
int finish(int rounds) {
  TestDesktop desktop({.windowManager = true, .tray = true, .sound = true});
  for (const char* module : {"module-null-sink sink_name=micsink", "module-sine sink=micsink frequency=440",
                             "module-remap-source source_name=mic master=micsink.monitor"}) {
    std::vector<std::string> argv{"pactl", "load-module"};
    for (std::istringstream in(module); in >> argv.emplace_back();) {
    }
    argv.pop_back();
    if (runCommand(argv).exitCode != 0) throw std::runtime_error(std::string("cannot load ") + module);
  }
  const Size size{1280, 720, 30};
  PacedWindow window(size.width, size.height, size.rate, "finish-bench");
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const Size placed = placedAt(size, window.id());
  std::printf("finish: stop to movie opened, 1280x720/30, 5 s recordings, load average %.2f\n", load());
  const std::vector<std::pair<std::string, const char*>> kinds{
      {"without the microphone", nullptr}, {"sine source (2 s bursts)", "sine"}, {"short-latency microphone", "mic"}};
  std::map<std::string, std::vector<double>> times;
  for (int round = 0; round < rounds; ++round)
    for (size_t k = 0; k < kinds.size(); ++k) {
      const auto& [label, source] = kinds[(k + static_cast<size_t>(round)) % kinds.size()];
      if (source) runCommand({"pactl", "set-default-source", source});
      Moxiscope moxiscope(source != nullptr);
      if (!moxiscope.start(placed, window.id(), "")) return 1;
      std::this_thread::sleep_for(std::chrono::seconds(5));
      Result r;
      moxiscope.stop(r);
      const Probe probe = probeFile(moxiscope.program().raw(), false);
      const auto* audio = probe.audio();
      std::printf("  %-26s stop to opened %.3f s | raw video %.3f s, sound %.3f s%s | load %.2f\n", label.c_str(),
                  r.stopToOpened, probe.video() ? probe.video()->duration : 0, audio ? audio->duration : 0,
                  r.ok ? "" : " | FAILED", load());
      std::fflush(stdout);
      times[label].push_back(r.stopToOpened);
    }
  for (const auto& [label, source] : kinds) {
    auto& t = times[label];
    std::sort(t.begin(), t.end());
    std::printf("%-26s median %.3f s, min %.3f, max %.3f\n", label.c_str(), t[t.size() / 2], t.front(), t.back());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  try {
    if (argc > 1 && std::string(argv[1]) == "finish") return finish(argc > 2 ? std::atoi(argv[2]) : 5);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    std::vector<Size> sizes;
    for (int i = 3; i < argc; ++i) {
      const int h = std::atoi(argv[i]);
      if (h == 720) sizes.push_back({1280, 720, 60});
      if (h == 1080) sizes.push_back({1920, 1080, 30});
      if (h == 2160) sizes.push_back({3840, 2160, 30});
    }
    if (sizes.empty()) sizes = {{1280, 720, 60}, {1920, 1080, 30}, {3840, 2160, 30}};
    return peers(seconds, rounds, sizes);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "peers: %s\n", e.what());
    return 1;
  }
}
