#include "harness/wayland_desktop.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <nlohmann/json.hpp>

#include "harness/test_files.h"

namespace moxi::test {

namespace {

using namespace std::chrono_literals;

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Parses the supervisor's "export KEY='value'" lines.
std::map<std::string, std::string> parseEnv(const std::string& text) {
  std::map<std::string, std::string> env;
  for (const auto& line : lines(text)) {
    if (line.rfind("export ", 0) != 0) continue;
    auto eq = line.find('=');
    if (eq == std::string::npos || line.size() < eq + 3) continue;
    env[line.substr(7, eq - 7)] = line.substr(eq + 2, line.size() - eq - 3);
  }
  return env;
}

std::string lastLines(const std::string& text, size_t chars = 2000) {
  return text.size() <= chars ? text : "..." + text.substr(text.size() - chars);
}

}  // namespace

WaylandTestWindow::WaylandTestWindow(const std::vector<std::string>& argv,
                                     const std::map<std::string, std::string>& env, const std::string& logPath) {
  if (!exists(argv.at(0))) throw std::runtime_error("the Wayland test window is missing: " + argv[0]);
  auto windowEnv = env;
  windowEnv["QT_QPA_PLATFORM"] = "wayland";
  windowEnv["GDK_BACKEND"] = "wayland";
  // No GPU here; GTK's GL renderers would fall back with a warning anyway.
  windowEnv["GSK_RENDERER"] = "cairo";
  process_ = std::make_unique<ChildProcess>(argv, windowEnv, logPath);
  if (!waitUntil([&] { return readFile(logPath).find("ready ") != std::string::npos || !process_->running(); }, 15s) ||
      !process_->running())
    throw std::runtime_error("the Wayland test window did not show: " + lastLines(readFile(logPath)));
  // The compositor grows a new window into place (mutter's map animation,
  // 250 ms): a cast started before it ends sees the window smaller than it is.
  std::this_thread::sleep_for(1s);
}

WaylandDesktop::WaylandDesktop(const std::string& desktop)
    : desktop_(desktop), workDir_(makeTempDirectory("moxi-wayland-")) {
  const std::string starter = std::string(MOXI_WAYLAND_SESSION_DIR) + "/session.py";
  const std::string log = workDir_ + "/session.log";
  supervisor_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{"/usr/bin/python3", starter, "run", workDir_, "--desktop", desktop},
      std::map<std::string, std::string>{}, log);
  const std::string envFile = workDir_ + "/env";
  bool ready = waitUntil([&] { return exists(envFile) || !supervisor_->running(); }, 90s) && exists(envFile);
  if (!ready) {
    supervisor_.reset();
    std::string why = lastLines(readFile(log));
    runCommand({"rm", "-rf", workDir_});
    throw std::runtime_error("the Wayland session did not start (needs mutter, pipewire, wireplumber, "
                             "xdg-desktop-portal, python3-gi: scripts/install-deps.sh):\n" + why);
  }
  env_ = parseEnv(readFile(envFile));
  for (const char* key : {"WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "PIPEWIRE_RUNTIME_DIR", "XDG_RUNTIME_DIR"})
    if (env_[key].empty()) throw std::runtime_error(std::string("the Wayland session gave no ") + key);
}

WaylandDesktop::~WaylandDesktop() {
  // The supervisor stops the services and waits for them; killed instead,
  // it takes them along (they die with it).
  if (supervisor_) supervisor_->stop(SIGTERM);
  supervisor_.reset();
  runCommand({"rm", "-rf", workDir_});
}

void WaylandDesktop::exportEnvironment() const {
  for (const auto& [k, v] : env_) setenv(k.c_str(), v.c_str(), 1);
  unsetenv("DISPLAY");
}

std::unique_ptr<WaylandTestWindow> WaylandDesktop::startTestWindow() {
  std::string log = workDir_ + "/test-window-" + std::to_string(++windows_) + ".log";
  return std::make_unique<WaylandTestWindow>(std::vector<std::string>{MOXI_WAYLAND_TEST_WINDOW}, env_, log);
}

std::unique_ptr<WaylandTestWindow> WaylandDesktop::startGtkWindow(const std::string& title, int width, int height) {
  std::string log = workDir_ + "/test-window-" + std::to_string(++windows_) + ".log";
  return std::make_unique<WaylandTestWindow>(
      std::vector<std::string>{"/usr/bin/python3", std::string(MOXI_GTK_TEST_WINDOW), title, std::to_string(width),
                               std::to_string(height)},
      env_, log);
}

std::string WaylandDesktop::gnomeControl(const std::vector<std::string>& args) {
  if (desktop_ != "gnome") throw std::logic_error("only the GNOME session has its own picker and shell");
  std::vector<std::string> argv{"/usr/bin/python3", std::string(MOXI_WAYLAND_SESSION_DIR) + "/gnome_control.py"};
  argv.insert(argv.end(), args.begin(), args.end());
  auto r = runCommand(argv, 60s, env_);
  if (r.exitCode != 0) throw std::runtime_error("gnome_control.py " + args.at(0) + " failed (its message is above): " + r.out);
  return r.out;
}

void WaylandDesktop::answerPicker(const std::string& title) { gnomeControl({"choose", title}); }

WaylandDesktop::WindowRects WaylandDesktop::windowRects(const std::string& title) {
  auto j = nlohmann::json::parse(gnomeControl({"window", title}));
  if (j.is_null()) throw std::runtime_error("gnome-shell shows no window titled " + title);
  auto rect = [](const nlohmann::json& r) {
    return QRect(r["x"].get<int>(), r["y"].get<int>(), r["width"].get<int>(), r["height"].get<int>());
  };
  return {rect(j["frame"]), rect(j["buffer"])};
}

double WaylandDesktop::setScale(double scale) { return std::stod(gnomeControl({"scale", std::to_string(scale)})); }

std::string WaylandDesktop::control(const std::string& method, const std::vector<std::string>& args) {
  std::vector<std::string> argv{"dbus-send", "--session", "--print-reply",
                                "--dest=org.freedesktop.impl.portal.desktop.moxitest",
                                "/org/freedesktop/portal/desktop", "org.moxitest.PortalControl." + method};
  argv.insert(argv.end(), args.begin(), args.end());
  auto r = runCommand(argv, 20s, env_);
  if (r.exitCode != 0) throw std::runtime_error("the portal backend did not answer " + method);
  return r.out;
}

namespace {
unsigned lastUint(const std::string& reply) {
  auto at = reply.rfind("uint32 ");
  return at == std::string::npos ? 0 : static_cast<unsigned>(std::stoul(reply.substr(at + 7)));
}
}  // namespace

void WaylandDesktop::cancelNextPicker() { control("CancelNextPicker"); }
unsigned WaylandDesktop::stopScreenCasts() {
  if (desktop_ == "gnome") return static_cast<unsigned>(std::stoul(gnomeControl({"stop-casts"})));
  return lastUint(control("StopSessions"));
}
void WaylandDesktop::movePointer(double x, double y) {
  if (desktop_ == "gnome")
    gnomeControl({"pointer", std::to_string(x), std::to_string(y)});
  else
    control("MovePointer", {"double:" + std::to_string(x), "double:" + std::to_string(y)});
}


pid_t WaylandDesktop::servicePid(const std::string& name) const {
  std::istringstream in(readFile(workDir_ + "/services"));
  std::string service;
  for (pid_t pid; in >> service >> pid && in.ignore(256, '\n');)
    if (service == name) return pid;
  return -1;
}

}  // namespace moxi::test
