// The whole program as a user drives it on a real desktop (Xvfb, openbox,
// trayer, PulseAudio): keys and clicks from xdotool, the results read back
// from the files, the clipboard and the opener it leaves behind.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QColor>
#include <QUrl>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include <QImage>
#include <QTest>
#include <sys/stat.h>

#include "harness/media_files.h"
#include "harness/test_desktop.h"
#include "harness/test_files.h"
#include "harness/test_window.h"
#include "platform/xcb.h"

using namespace moxi::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace moxi::test {
namespace {
// Mesa's software GL driver leaks a few bytes and is unloaded before
// LeakSanitizer reports, so no suppression can name it: the sanitizer build
// draws Qt Quick without GL (QT_QUICK_BACKEND=software).
#ifdef __SANITIZE_ADDRESS__
inline constexpr bool kQuickWithoutGL = true;
#else
inline constexpr bool kQuickWithoutGL = false;
#endif

// Runs Qt's event loop (when there is one) until `condition` holds or 20 s pass.
inline bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 20s) {
  return QTest::qWaitFor(condition, static_cast<int>(timeout.count()));
}


std::vector<std::string> lines(const std::string& text);
QRect windowRect(const std::string& id);

// An animated window (ffplay's test picture) with the name `title`, at
// (left, top); waits until it is shown.
class TestPicture {
 public:
  TestPicture(const std::string& title, int left, int top, const std::string& source = "testsrc");
  const std::string& id() const { return id_; }
  QRect rect() const { return windowRect(id_); }

 private:
  ChildProcess process_;
  std::string id_;
};

// The program as a user runs it, in a home of its own (with the stand-in
// opener) and its standard output in a log. On destruction a program still
// running is asked to finish as at logout; it must end cleanly, and without
// a sanitizer report.
class Program {
 public:
  // `settings`: lines for the [General] section of the settings file.
  explicit Program(const std::string& settings = {});
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  ChildProcess& process() { return *process_; }
  std::string log() const;
  // Lines of the log that equal `line`, or start with it when it ends in a space.
  int count(const std::string& line) const;
  bool waitFor(const std::string& line, int times = 1, std::chrono::milliseconds timeout = 60s) const;
  // Presses Return on the visible window named "Moxiscope" (Return picks the
  // default button) or another key, until that window has gone.
  void answerAlert(const std::string& key = "Return");
  // Waits until the program has ended (after a signal, say) and returns its wait status.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout = 60s);

  std::string documents() const { return home_.documents(); }
  std::string opened() const { return home_.opened(); }
  // The "tmp-" movies in the caches directory, oldest name first.
  std::vector<std::string> movies() const;
  // The path of the last "exported as file://..." line, or empty.
  std::string exported() const;
  // The raw recording beside the exported movie.
  std::string raw() const;

 private:
  PrivateHome home_{false};
  std::unique_ptr<ChildProcess> process_;
};




std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::vector<std::string> visibleWindows(const std::string& name, bool byClass = false) {
  return lines(runCommand({"xdotool", "search", "--onlyvisible", byClass ? "--class" : "--name", name}).out);
}

std::string alertWindow() {
  // The tray icon's window may carry the name too; alerts are wider.
  for (const auto& id : visibleWindows("^Moxiscope$"))
    if (windowRect(id).width() > 64) return id;
  return {};
}

QRect windowRect(const std::string& id) {
  auto r = runCommand({"xwininfo", "-id", id});
  if (r.exitCode != 0 || r.out.find("IsViewable") == std::string::npos) return {};
  auto field = [&](const std::string& key) {
    size_t at = r.out.find(key);
    return at == std::string::npos ? 0 : std::atoi(r.out.c_str() + at + key.size());
  };
  return {field("Absolute upper-left X:"), field("Absolute upper-left Y:"), field("Width:"), field("Height:")};
}

std::optional<QPoint> trayIcon(const std::string& windowClass = "moxiscope") {
  for (const auto& id : lines(runCommand({"xdotool", "search", "--class", windowClass}).out)) {
    QRect r = windowRect(id);
    if (r.width() >= 8 && r.width() <= 32 && r.height() >= 8 && r.height() <= 32) return r.center();
  }
  return std::nullopt;
}

void clickAt(QPoint at, int button = 1) {
  output({"xdotool", "mousemove", std::to_string(at.x()), std::to_string(at.y()), "click", std::to_string(button)});
}

bool programCaughtUp(const std::string& windowClass = "moxiscope") {
  xcb_window_t window = XCB_WINDOW_NONE;
  for (const auto& id : lines(runCommand({"xdotool", "search", "--class", windowClass}).out))
    if (!windowRect(id).isEmpty()) window = static_cast<xcb_window_t>(std::stoul(id));
  xcb::Connection x;
  if (window == XCB_WINDOW_NONE || !x.ok()) return false;
  // The answer goes to the root window (Qt's to those watching the root's own
  // structure, others' to those watching its children).
  const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
  xcb_change_window_attributes(x.get(), x.root(), XCB_CW_EVENT_MASK, &mask);
  static uint32_t stamp = 0;
  xcb_client_message_event_t ping{};
  ping.response_type = XCB_CLIENT_MESSAGE;
  ping.format = 32;
  ping.window = window;
  ping.type = x.atom("WM_PROTOCOLS");
  ping.data.data32[0] = x.atom("_NET_WM_PING");
  ping.data.data32[1] = ++stamp;
  ping.data.data32[2] = window;
  xcb_send_event(x.get(), 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&ping));
  xcb_flush(x.get());
  return eventually([&] {
    for (xcb::Event e(xcb_poll_for_event(x.get())); e; e.reset(xcb_poll_for_event(x.get()))) {
      const auto* m = reinterpret_cast<const xcb_client_message_event_t*>(e.get());
      if ((e->response_type & 0x7f) == XCB_CLIENT_MESSAGE && m->data.data32[1] == stamp) return true;
    }
    return false;
  });
}

void pressKeys(const std::string& keys) { output({"xdotool", "key", keys}); }

QImage screenshot() {
  xcb::Connection x;
  return moxi::test::screenshot(x);
}

TestPicture::TestPicture(const std::string& title, int left, int top, const std::string& source)
    : process_({"ffplay", "-loglevel", "error", "-an", "-f", "lavfi", "-i",
                source + (source.find('=') == std::string::npos ? "=" : ":") + "size=640x480:rate=30", "-window_title",
                title, "-left", std::to_string(left), "-top", std::to_string(top)}) {
  bool shown = eventually([&] {
    auto ids = visibleWindows("^" + title + "$");
    if (ids.empty()) return false;
    id_ = ids.front();
    return rect().size() == QSize(640, 480);
  });
  if (!shown) throw std::runtime_error("the test window \"" + title + "\" did not appear");
}

Program::Program(const std::string& settings) {
  if (!settings.empty()) {
    std::filesystem::create_directories(home_.path() + "/config/Moxiscope");
    writeFile(home_.path() + "/config/Moxiscope/Moxiscope.conf", "[General]\n" + settings);
  }
  auto env = home_.environment();
  env["QT_QPA_PLATFORM"] = "xcb";
  if (kQuickWithoutGL) env["QT_QUICK_BACKEND"] = "software";
  process_ = std::make_unique<ChildProcess>(std::vector<std::string>{MOXI_BINARY_DIR "/moxiscope"}, env,
                                            home_.path() + "/moxiscope.log");
}

Program::~Program() {
  if (process_->running()) {
    process_->kill(SIGTERM);
    auto status = waitForExit();
    EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << log();
  }
  process_.reset();
  std::string text = log();
  for (const char* report : {"AddressSanitizer", "LeakSanitizer", "runtime error:"})
    EXPECT_EQ(text.find(report), std::string::npos) << text;
}

std::string Program::log() const { return readFile(home_.path() + "/moxiscope.log"); }

int Program::count(const std::string& line) const {
  int n = 0;
  for (const auto& l : lines(log()))
    if (line.back() == ' ' ? l.rfind(line, 0) == 0 : l == line) ++n;
  return n;
}

bool Program::waitFor(const std::string& line, int times, std::chrono::milliseconds timeout) const {
  return eventually([&] { return count(line) >= times; }, timeout);
}

void Program::answerAlert(const std::string& key) {
  std::string id;
  ASSERT_TRUE(eventually([&] { return !(id = alertWindow()).empty(); }, 60s)) << "no alert appeared\n" << log();
  // A key pressed before the window manager has given the alert the focus
  // goes elsewhere: press again until the alert has gone.
  bool answered = eventually(
      [&] {
        runCommand({"xdotool", "windowactivate", "--sync", id, "key", key}, 5s);
        return eventually([&] { return windowRect(id).isEmpty(); }, 2s);
      },
      30s);
  ASSERT_TRUE(answered) << "the alert did not go away\n" << log();
}

std::optional<int> Program::waitForExit(std::chrono::milliseconds timeout) {
  if (!eventually([&] { return !process_->running(); }, timeout)) return std::nullopt;
  return process_->stop();
}

std::vector<std::string> Program::movies() const {
  std::vector<std::string> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(home_.caches(), ec)) {
    std::string name = entry.path().filename();
    if (name.rfind("tmp-", 0) == 0 && name.ends_with(".mp4")) found.push_back(entry.path());
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::string Program::exported() const {
  std::string url;
  for (const auto& l : lines(log()))
    if (l.rfind("exported as ", 0) == 0) url = l.substr(12);
  return QUrl(QString::fromStdString(url)).toLocalFile().toStdString();
}

std::string Program::raw() const {
  for (const auto& movie : movies())
    if (movie != exported()) return movie;
  return {};
}

std::vector<QImage> frames(const std::string& path, int step) {
  auto size = lines(output({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "stream=width,height",
                            "-of", "csv=p=0:s=x", path}));
  int width = 0, height = 0;
  if (size.empty() || std::sscanf(size[0].c_str(), "%dx%d", &width, &height) != 2) return {};
  std::string raw = output({"ffmpeg", "-v", "error", "-i", path, "-map", "0:v:0", "-vf",
                            "select=not(mod(n\\," + std::to_string(step) + "))", "-fps_mode", "passthrough", "-f",
                            "rawvideo", "-pix_fmt", "rgb24", "-"});
  std::vector<QImage> images;
  const size_t bytes = static_cast<size_t>(width) * height * 3;
  for (size_t at = 0; at + bytes <= raw.size(); at += bytes)
    images.push_back(
        QImage(reinterpret_cast<const uchar*>(raw.data() + at), width, height, width * 3, QImage::Format_RGB888)
            .copy());
  return images;
}


}  // namespace
}  // namespace moxi::test

static auto* env =
    ::testing::AddGlobalTestEnvironment(new DesktopEnvironment({.windowManager = true, .tray = true, .sound = true}));

namespace {

std::string fileURL(const std::string& path) {
  return QUrl::fromLocalFile(QString::fromStdString(path)).toString().toStdString();
}

// The pointer stays where it clicked until the program has logged the
// click; and ffplay takes two left clicks within half a second for a double
// click (and goes full screen), so clicks are more than that apart.
void clickSlowly(QPoint at) {
  clickAt(at);
  ASSERT_TRUE(programCaughtUp());
  std::this_thread::sleep_for(600ms);
}

void recordWithHotKey(Program& program, QPoint over, int times = 1) {
  output({"xdotool", "mousemove", std::to_string(over.x()), std::to_string(over.y())});
  pressKeys("ctrl+F1");
  ASSERT_TRUE(program.waitFor("START RECORDING", times)) << program.log();
}

std::string clipboardText() { return runCommand({"xclip", "-selection", "clipboard", "-o"}, 5s).out; }

// Another client owns the clipboard with a known text for as long as it runs.
struct ClipboardText {
  std::string dir = makeTempDirectory("moxi-clip-");
  ChildProcess xclip;
  explicit ClipboardText(const std::string& text)
      : xclip({"xclip", "-quiet", "-selection", "clipboard", "-i", file(text)}) {
    EXPECT_TRUE(eventually([&] { return clipboardText() == text; }));
  }
  ~ClipboardText() { std::filesystem::remove_all(dir); }
  std::string file(const std::string& text) {
    writeFile(dir + "/text", text);
    return dir + "/text";
  }
};

// Truncated towards zero, as the description has it.
std::string truncated(double v) { return std::to_string(static_cast<int64_t>(std::trunc(v))); }

int videoPacketCount(const std::string& path) {
  const Probe p = probeFile(path, false);
  return p.video() ? static_cast<int>(p.video()->packets) : 0;
}

// Waits until the one recording being written holds `atLeast` video packets.
// The file grows a fragment at a time, so it is read again only when it grew.
int waitForPackets(const Program& program, int atLeast) {
  std::uintmax_t size = 0;
  int count = 0;
  EXPECT_TRUE(eventually([&] {
    auto files = program.movies();
    std::error_code error;
    auto now = files.size() == 1 ? std::filesystem::file_size(files[0], error) : 0;
    if (error || now == size) return false;
    size = now;
    return (count = videoPacketCount(files[0])) >= atLeast;
  })) << "the recording did not reach " << atLeast << " frames";
  return count;
}

// The movie is the raw recording's packets re-wrapped as M4V, header first.
void expectRewrapped(const std::string& movie, const std::string& raw) {
  EXPECT_EQ(formatTag(movie, "major_brand"), "M4V ");
  std::vector<std::string> boxes;
  for (const auto& box : topLevelBoxes(movie)) boxes.push_back(box.type);
  auto moov = std::find(boxes.begin(), boxes.end(), "moov"), mdat = std::find(boxes.begin(), boxes.end(), "mdat");
  EXPECT_TRUE(moov < mdat && mdat != boxes.end());
  EXPECT_EQ(packets(movie), packets(raw));
}

}  // namespace

TEST(EndToEnd, TheHotKeyRecordsAWindowWhoseClicksTravelWithTheCopiedAndOpenedMovieAndCancelCopiesNothing) {
  Program program;
  program.answerAlert();
  TestPicture picture("E2E", 200, 150);
  const QRect window = picture.rect();
  // Off the screen's middle row, so that a pointer read upside down misses.
  recordWithHotKey(program, window.center() + QPoint(0, window.center().y() < 540 ? -150 : 150));

  const std::vector<QPoint> clicks = {window.topLeft() + QPoint(40, 60), window.center() + QPoint(17, -9),
                                      window.bottomRight() - QPoint(50, 30)};
  clickSlowly(clicks[0]);
  clickSlowly(window.topLeft() - QPoint(100, 60));  // on the desktop: not logged
  clickSlowly(clicks[1]);
  clickSlowly(clicks[2]);
  pressKeys("ctrl+F1");
  ASSERT_TRUE(program.waitFor("mark as finished")) << program.log();
  program.answerAlert();  // "Video is ready!": Return picks "Copy"
  ASSERT_TRUE(program.waitFor("true")) << program.log();

  const std::string movie = program.exported();
  ASSERT_FALSE(movie.empty()) << program.log();
  EXPECT_EQ(output({"xclip", "-selection", "clipboard", "-o", "-t", "text/uri-list"}), fileURL(movie) + "\r\n");
  ASSERT_TRUE(eventually([&] { return !program.opened().empty(); }));
  EXPECT_EQ(program.opened(), fileURL(movie) + "\n");
  ASSERT_EQ(program.movies().size(), 2u);
  const std::string raw = program.raw();
  expectRewrapped(movie, raw);
  auto streams = packets(movie);
  ASSERT_EQ(streams.size(), 2u) << "a video and a microphone track";
  EXPECT_GT(streams[0].size(), 10u);
  EXPECT_FALSE(streams[1].empty());

  // The side files, and the description built from them.
  EXPECT_EQ(readFile(program.documents() + "/videosize.json"), "[640,480]");
  std::string rawURL = fileURL(raw);
  for (size_t at = 0; (at = rawURL.find('/', at)) != std::string::npos; at += 2) rawURL.insert(at, "\\");
  EXPECT_EQ(readFile(program.documents() + "/video.json"), "\"" + rawURL + "\"");
  auto log = nlohmann::json::parse(readFile(program.documents() + "/mouse.json"));
  std::string description = "moxiscope:640,480";
  std::vector<QPoint> logged;
  double last = 0;
  for (const auto& e : log) {
    if (!e["down"]) continue;
    description += "," + truncated(e["x"]) + "," + truncated(e["y"]) + "," + truncated(double(e["timestamp"]) * 1000);
    logged.emplace_back(int(e["x"]), int(e["y"]));
    EXPECT_GE(double(e["timestamp"]), last);
    last = e["timestamp"];
  }
  EXPECT_EQ(formatTag(movie, "title"), "Moxiscope");
  EXPECT_EQ(formatTag(movie, "description"), description);
  // Window-relative, y up from the window's bottom edge.
  std::vector<QPoint> expected;
  for (QPoint p : clicks) expected.emplace_back(p.x() - window.x(), window.y() + window.height() - p.y());
  EXPECT_EQ(logged, expected) << readFile(program.documents() + "/mouse.json");

  // Again, answered with Cancel: the clipboard keeps the first movie, the second is opened.
  recordWithHotKey(program, window.center(), 2);
  pressKeys("ctrl+F1");
  ASSERT_TRUE(program.waitFor("exported as ", 2)) << program.log();
  program.answerAlert("Escape");  // the dialog's escape button is "Cancel"
  ASSERT_TRUE(eventually([&] { return program.opened() != fileURL(movie) + "\n"; })) << program.log();
  EXPECT_EQ(program.opened(), fileURL(movie) + "\n" + fileURL(program.exported()) + "\n");
  EXPECT_EQ(clipboardText(), fileURL(movie));
  EXPECT_EQ(program.count("true") + program.count("false"), 1);
}

TEST(EndToEnd, TrayClicksOpenAndCloseThePopoverARowRecordsAndATrayClickStopsWithoutTheDialog) {
  TestPicture picture("E2E popover", 300, 250);
  Program program("showDialog=false\n");
  program.answerAlert();
  ClipboardText clipboard("before");

  std::optional<QPoint> icon;
  ASSERT_TRUE(eventually([&] { return (icon = trayIcon()).has_value(); })) << "no tray icon";
  std::string popover;
  auto popoverOpens = [&] {
    clickAt(*icon);
    return eventually([&] {
      for (const auto& id : visibleWindows("moxiscope", true))
        if (windowRect(id).size() == QSize(400, 400)) popover = id;
      return !popover.empty();
    });
  };
  ASSERT_TRUE(popoverOpens()) << "the popover did not open";
  // A second click closes it, and must not reach the icon again and reopen it.
  clickAt(*icon);
  ASSERT_TRUE(eventually([&] { return windowRect(popover).isEmpty(); })) << "the popover stayed open";
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(windowRect(popover).isEmpty()) << "the popover opened again";
  popover.clear();
  ASSERT_TRUE(popoverOpens()) << "the popover did not open again";

  // The only listed window is the test picture: its row is the first, with
  // the picture's colourful thumbnail at its left (the switches below are
  // blue too, but centred and further down).
  QPoint row;
  ASSERT_TRUE(eventually([&] {
    QRect area = windowRect(popover);
    QImage shot = screenshot();
    int n = 0, sx = 0, sy = 0;
    for (int y = area.top() + 30; y < area.top() + 280; ++y)
      for (int x = area.left(); x < area.left() + 72; ++x) {
        QColor c = shot.pixelColor(x, y);
        if (c.hsvSaturation() > 120 && c.value() > 80) ++n, sx += x, sy += y;
      }
    if (n < 20) return false;
    row = QPoint(sx / n, sy / n);
    return true;
  })) << "no row in the popover";
  clickAt(row);
  EXPECT_TRUE(eventually([&] { return windowRect(popover).isEmpty(); })) << "the popover stayed open";
  ASSERT_TRUE(program.waitFor("START RECORDING")) << program.log();

  clickAt(*icon);
  ASSERT_TRUE(program.waitFor("exported as ")) << program.log();
  // The movie is opened without a question (a dialog would hold the opener back).
  ASSERT_TRUE(eventually([&] { return !program.opened().empty(); })) << program.log();
  EXPECT_EQ(program.opened(), fileURL(program.exported()) + "\n");
  EXPECT_EQ(alertWindow(), "");
  EXPECT_EQ(clipboardText(), "before");
  EXPECT_TRUE(clipboard.xclip.running());
  EXPECT_EQ(program.count("true") + program.count("false"), 0);
  EXPECT_EQ(readFile(program.documents() + "/videosize.json"), "[640,480]");
}

TEST(EndToEnd, AKilledRecordingStaysReadable) {
  TestPicture picture("E2E killed", 250, 200);
  Program program;
  program.answerAlert();
  recordWithHotKey(program, picture.rect().center());
  // Killed once a fragment is on disk: what was written stays readable.
  const int written = waitForPackets(program, 1);
  ASSERT_GE(written, 1);
  program.process().kill(SIGKILL);
  ASSERT_TRUE(program.waitForExit());
  auto files = program.movies();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_GE(videoPacketCount(files[0]), written);
  auto pictures = frames(files[0], 1);
  ASSERT_FALSE(pictures.empty());
  EXPECT_EQ(pictures[0].size(), QSize(640, 480));
}

// Stopped by the hot key, then (with pop-ups) by SIGTERM, which finishes and
// exports the recording before the program ends.
TEST(EndToEnd, TheOutlineIsOnTheScreenButNeverInTheRecordingAndSigtermFinishesIt) {
  // A grey window: any blue at the edge of a frame would be the outline.
  TestPicture picture("E2E outline", 250, 200, "color=c=0x808080");
  const QRect window = picture.rect();
  auto isOutline = [](QColor c) {
    return std::abs(c.red() - 0x00) < 48 && std::abs(c.green() - 0x7A) < 48 && std::abs(c.blue() - 0xFF) < 48;
  };
  for (const char* popups : {"false", "true"}) {
    SCOPED_TRACE(std::string("capturePopups=") + popups);
    const bool terminate = std::string(popups) == "true";
    Program program(std::string("capturePopups=") + popups + "\nshowDialog=false\n");
    program.answerAlert();
    recordWithHotKey(program, window.center());
    // The outline is a 4-pixel ring just outside the window.
    ASSERT_TRUE(eventually([&] {
      QImage shot = screenshot();
      QPoint c = window.center();
      return isOutline(shot.pixelColor(window.left() - 2, c.y())) &&
             isOutline(shot.pixelColor(window.right() + 3, c.y())) &&
             isOutline(shot.pixelColor(c.x(), window.top() - 2)) &&
             isOutline(shot.pixelColor(c.x(), window.bottom() + 3));
    })) << "the outline is not on the screen";
    waitForPackets(program, 30);
    if (terminate) {
      program.process().kill(SIGTERM);
      auto status = program.waitForExit();
      ASSERT_TRUE(status && WIFEXITED(*status)) << program.log();
      EXPECT_EQ(WEXITSTATUS(*status), 0) << program.log();
      EXPECT_EQ(program.count("mark as finished"), 1) << program.log();
    } else {
      pressKeys("ctrl+F1");
    }
    ASSERT_TRUE(program.waitFor("exported as ")) << program.log();
    ASSERT_EQ(program.movies().size(), 2u);
    expectRewrapped(program.exported(), program.raw());

    auto pictures = frames(program.raw(), 5);
    ASSERT_GT(pictures.size(), 5u);
    int outlined = 0;
    for (const QImage& frame : pictures) {
      ASSERT_EQ(frame.size(), QSize(640, 480));
      for (int i = 0; i < 2; ++i) {
        for (int x = 0; x < frame.width(); ++x)
          outlined += isOutline(frame.pixelColor(x, i)) + isOutline(frame.pixelColor(x, frame.height() - 1 - i));
        for (int y = 0; y < frame.height(); ++y)
          outlined += isOutline(frame.pixelColor(i, y)) + isOutline(frame.pixelColor(frame.width() - 1 - i, y));
      }
    }
    EXPECT_EQ(outlined, 0);
  }
}
