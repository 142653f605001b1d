#include "app/program_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <QTest>
#include <QUrl>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <filesystem>
#include <stdexcept>

#include "harness/test_window.h"
#include "platform/x11/xcb.h"

namespace moxi::test {

namespace fs = std::filesystem;

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  return QTest::qWaitFor(condition, static_cast<int>(timeout.count()));
}

std::string fileURL(const std::string& path) {
  return QUrl::fromLocalFile(QString::fromStdString(path)).toString().toStdString();
}

std::string popoverWindow() {
  for (const auto& id : visibleWindows("moxiscope", true))
    if (windowRect(id).size() == QSize(400, 400)) return id;
  return {};
}

bool isOutlineColour(QColor c) {
  return std::abs(c.red() - 0x00) < 48 && std::abs(c.green() - 0x7A) < 48 && std::abs(c.blue() - 0xFF) < 48;
}

std::string expectedDescription(const std::vector<LoggedSample>& log, int width, int height) {
  // Truncated towards zero, as the description has it.
  auto truncated = [](double v) { return std::to_string(static_cast<int64_t>(std::trunc(v))); };
  std::string description = "moxiscope:" + std::to_string(width) + "," + std::to_string(height);
  for (const auto& e : log)
    if (e.down) description += "," + truncated(e.x) + "," + truncated(e.y) + "," + truncated(e.timestamp * 1000);
  return description;
}

std::vector<std::string> visibleWindows(const std::string& name, bool byClass) {
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

std::vector<QPoint> trayIcons(const std::string& windowClass) {
  std::vector<QPoint> icons;
  for (const auto& id : lines(runCommand({"xdotool", "search", "--class", windowClass}).out)) {
    QRect r = windowRect(id);
    if (r.width() >= 8 && r.width() <= 32 && r.height() >= 8 && r.height() <= 32) icons.push_back(r.center());
  }
  return icons;
}

std::optional<QPoint> trayIcon(const std::string& windowClass) {
  auto icons = trayIcons(windowClass);
  return icons.empty() ? std::nullopt : std::optional(icons.front());
}

void pointAt(QPoint at) { output({"xdotool", "mousemove", std::to_string(at.x()), std::to_string(at.y())}); }

void clickAt(QPoint at, int button) {
  output({"xdotool", "mousemove", std::to_string(at.x()), std::to_string(at.y()), "click", std::to_string(button)});
}

bool programCaughtUp(const std::string& windowClass) {
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
  return screenshot(x);
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

ShadowedGtkWindow::ShadowedGtkWindow(const std::string& title, int width, int height)
    : compositor_({"xcompmgr"}) {
  xcb::Connection x;
  if (!x.ok()) throw std::runtime_error("no X display for the GTK window");
  // GTK draws shadows where a compositing manager owns the screen's selection
  // and the window manager lists the hint, as GNOME's, KDE's and Xfce's do.
  const xcb_atom_t selection = x.atom("_NET_WM_CM_S0");
  const bool composited = eventually([&] {
    auto owner = xcb::reply(x.get(), xcb_get_selection_owner(x.get(), selection), xcb_get_selection_owner_reply);
    return owner && owner->owner != XCB_WINDOW_NONE;
  });
  if (!composited) throw std::runtime_error("xcompmgr did not start compositing");
  const xcb_atom_t hint = x.atom("_GTK_FRAME_EXTENTS");
  const auto supported = xcb::cardinalProperty(x, x.root(), "_NET_SUPPORTED", XCB_ATOM_ATOM).value_or(std::vector<uint32_t>{});
  if (std::find(supported.begin(), supported.end(), hint) == supported.end() &&
      xcb::check(x.get(), xcb_change_property_checked(x.get(), XCB_PROP_MODE_APPEND, x.root(), x.atom("_NET_SUPPORTED"),
                                                      XCB_ATOM_ATOM, 32, 1, &hint)))
    throw std::runtime_error("cannot list _GTK_FRAME_EXTENTS among the window manager's hints");
  window_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{"/usr/bin/python3", MOXI_SOURCE_DIR "/tests/harness/gtk_csd_window.py", title,
                               std::to_string(width), std::to_string(height)},
      std::map<std::string, std::string>{{"GDK_BACKEND", "x11"}, {"GSK_RENDERER", "cairo"}, {"GTK_A11Y", "none"}});
  const bool shown = eventually([&] {
    auto ids = visibleWindows("^" + title + "$");
    if (ids.empty()) return false;
    id_ = ids.front();
    return frame().size() == QSize(width, height) && rect().size() != frame().size();
  });
  if (!shown) throw std::runtime_error("the GTK window \"" + title + "\" did not appear with its shadow");
}

QRect ShadowedGtkWindow::frame() const {
  const std::string out = runCommand({"xprop", "-id", id_, "_GTK_FRAME_EXTENTS"}).out;
  int left = 0, right = 0, top = 0, bottom = 0;
  const size_t at = out.find(" = ");
  if (at == std::string::npos || std::sscanf(out.c_str() + at, " = %d, %d, %d, %d", &left, &right, &top, &bottom) != 4)
    return {};
  return rect().adjusted(left, top, -right, -bottom);
}

Program::Program(const std::string& settings, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& desktop) {
  if (!settings.empty()) {
    std::filesystem::create_directories(home_.path() + "/config/Moxiscope");
    writeFile(home_.path() + "/config/Moxiscope/Moxiscope.conf", "[General]\n" + settings);
  }
  env_ = home_.environment();
  env_["QT_QPA_PLATFORM"] = "xcb";
  if (kQuickWithoutGL) env_["QT_QUICK_BACKEND"] = "software";
  for (const auto& [name, value] : desktop)
    if (name != "XDG_RUNTIME_DIR") env_[name] = value;  // the program's own runtime directory stays
  restart(args);
}

void Program::restart(const std::vector<std::string>& args) {
  std::vector<std::string> argv{MOXI_BINARY_DIR "/moxiscope"};
  argv.insert(argv.end(), args.begin(), args.end());
  process_.reset();
  process_ = std::make_unique<ChildProcess>(argv, env_, home_.path() + "/moxiscope.log");
}

void Program::recordWithHotKey(QPoint over, int times) {
  pointAt(over);
  pressKeys("ctrl+F1");
  ASSERT_TRUE(waitFor("START RECORDING", times)) << log();
}

int Program::waitForFrames(int atLeast) const {
  // The file grows a fragment at a time: it is read again only when it grew.
  std::uintmax_t size = 0;
  int count = 0;
  EXPECT_TRUE(eventually([&] {
    auto files = movies();
    std::error_code error;
    auto now = files.size() == 1 ? fs::file_size(files[0], error) : 0;
    if (error || now == size) return false;
    size = now;
    return (count = videoPackets(files[0])) >= atLeast;
  })) << "the recording did not reach " << atLeast << " frames";
  return count;
}

CommandResult Program::launch(const std::vector<std::string>& args, std::chrono::milliseconds timeout) const {
  std::vector<std::string> argv{MOXI_BINARY_DIR "/moxiscope"};
  argv.insert(argv.end(), args.begin(), args.end());
  return runCommand(argv, timeout, env_);
}

Program::~Program() {
  if (process_->running()) {
    process_->kill(SIGTERM);
    auto status = waitForExit();
    EXPECT_TRUE(exitedWith(status, 0)) << log();
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

std::vector<LoggedSample> Program::pointerLog() const {
  std::vector<LoggedSample> log;
  for (const auto& e : nlohmann::json::parse(readFile(documents() + "/mouse.json")))
    log.push_back({e["x"].get<double>(), e["y"].get<double>(), e["timestamp"].get<double>(), e["down"].get<bool>()});
  return log;
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

bool exitedWith(std::optional<int> status, int code) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

int videoPackets(const std::string& path) {
  const Probe p = probeFile(path, false);
  return p.video() ? static_cast<int>(p.video()->packets) : 0;
}

std::vector<QImage> frames(const std::string& path, int step) {
  const Probe probe = probeFile(path, false);
  if (!probe.video()) return {};
  const int width = probe.video()->width, height = probe.video()->height;
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

}  // namespace moxi::test
