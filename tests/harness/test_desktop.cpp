#include "harness/test_desktop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "harness/session_bus.h"
#include "harness/test_files.h"
#include "platform/x11/xcb.h"

namespace moxi::test {

namespace {

using namespace std::chrono_literals;

// Forks and execs; in the child, `prepare` runs before exec.
pid_t spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& extraEnv,
            int stdoutFd, int stderrFd, const std::function<void()>& prepare = {}) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid != 0) return pid;
  // Child: die with the test process, whatever way it ends.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);
  setpgid(0, 0);
  int devnull = open("/dev/null", O_RDWR);
  dup2(devnull, 0);
  dup2(stdoutFd >= 0 ? stdoutFd : devnull, 1);
  dup2(stderrFd >= 0 ? stderrFd : devnull, 2);
  for (const auto& [k, v] : extraEnv) setenv(k.c_str(), v.c_str(), 1);
  if (prepare) prepare();
  execvp(args[0], args.data());
  _exit(127);
}

// Reads `fd` into `into` until its end, until `enough` holds or until
// `deadline`; false when the deadline came first.
bool readUntil(int fd, std::string& into, std::chrono::steady_clock::time_point deadline,
               const std::function<bool(const std::string&)>& enough = {}) {
  char buf[4096];
  while (!(enough && enough(into))) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    into.append(buf, static_cast<size_t>(n));
  }
  return true;
}

bool displayAnswers(const std::string& display) {
  xcb::Connection c(display.c_str());
  return c.ok();
}

// openbox publishes _NET_SUPPORTING_WM_CHECK before its event loop runs, and
// a window mapped in between is never managed: it is ready once it manages a
// probe window. The probes live on one connection, and it stays open until
// openbox has let go of them, so that no later client reuses a probe's id
// while openbox still holds it.
bool waitForWindowManager(const std::string& display, std::chrono::milliseconds timeout) {
  xcb::Connection c(display.c_str());
  if (!c.ok()) return false;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::vector<xcb_window_t> probes;
  bool managed = false;
  while (!managed && std::chrono::steady_clock::now() < deadline) {
    if (!xcb::cardinalProperty(c, c.root(), "_NET_SUPPORTING_WM_CHECK")) {
      std::this_thread::sleep_for(20ms);
      continue;
    }
    xcb_window_t probe = xcb_generate_id(c.get());
    xcb_create_window(c.get(), XCB_COPY_FROM_PARENT, probe, c.root(), 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      XCB_COPY_FROM_PARENT, 0, nullptr);
    xcb_map_window(c.get(), probe);
    xcb_flush(c.get());
    probes.push_back(probe);
    managed = waitUntil(
        [&] {
          auto r = xcb::reply(c.get(), xcb_query_tree(c.get(), probe), xcb_query_tree_reply);
          return r && r->parent != c.root();
        },
        500ms);
  }
  for (xcb_window_t probe : probes) xcb_destroy_window(c.get(), probe);
  xcb_flush(c.get());
  waitUntil(
      [&] {
        return std::none_of(probes.begin(), probes.end(),
                            [&](xcb_window_t p) { return clientListsHolding(c, p) > 0; });
      },
      5s);
  return managed;
}

bool selectionOwned(const std::string& display, const char* selection) {
  xcb::Connection c(display.c_str());
  if (!c.ok()) return false;
  auto r = xcb::reply(c.get(), xcb_get_selection_owner(c.get(), c.atom(selection)),
                      xcb_get_selection_owner_reply);
  return r && r->owner != XCB_WINDOW_NONE;
}

}  // namespace

ChildProcess::ChildProcess(std::vector<std::string> argv, std::map<std::string, std::string> extraEnv,
                           std::string logPath, int fd3) {
  int fd = -1;
  if (!logPath.empty()) fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  pid_ = spawn(argv, extraEnv, fd, fd, [fd3] {
    if (fd3 >= 0) dup2(fd3, 3);
  });
  if (fd >= 0) close(fd);
  if (pid_ < 0) throw std::runtime_error("cannot start " + argv[0]);
}

ChildProcess::~ChildProcess() { stop(); }

bool ChildProcess::running() {
  if (reaped_) return false;
  if (waitpid(pid_, &status_, WNOHANG) == pid_) reaped_ = true;
  return !reaped_;
}

void ChildProcess::kill(int signal) const {
  if (!reaped_ && pid_ > 0) ::kill(pid_, signal);
}

int ChildProcess::stop(int signal) {
  if (reaped_ || pid_ <= 0) return status_;
  ::kill(pid_, signal);
  if (!waitUntil([this] { return !running(); }, 3s)) {
    ::kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
    reaped_ = true;
  }
  return status_;
}

CommandResult runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                         const std::map<std::string, std::string>& extraEnv) {
  CommandResult result;
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return result;
  pid_t pid = spawn(argv, extraEnv, pipeFds[1], -1);
  close(pipeFds[1]);
  if (pid < 0) {
    close(pipeFds[0]);
    return result;
  }
  const bool timedOut = !readUntil(pipeFds[0], result.out, std::chrono::steady_clock::now() + timeout);
  close(pipeFds[0]);
  if (timedOut) ::kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exitCode = (!timedOut && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string output(const std::vector<std::string>& argv) {
  auto r = runCommand(argv, 60s);
  EXPECT_EQ(r.exitCode, 0) << argv[0] << " " << argv.back();
  return r.out;
}

void xdotool(std::vector<std::string> args) {
  args.insert(args.begin(), "xdotool");
  ASSERT_EQ(runCommand(args).exitCode, 0) << args[1];
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

int clientListsHolding(xcb::Connection& c, xcb_window_t w) {
  int holding = 0;
  for (const char* name : {"_NET_CLIENT_LIST", "_NET_CLIENT_LIST_STACKING"}) {
    auto list = xcb::cardinalProperty(c, c.root(), name, XCB_ATOM_WINDOW).value_or(std::vector<uint32_t>{});
    holding += std::find(list.begin(), list.end(), w) != list.end();
  }
  return holding;
}

TestDesktop::TestDesktop(DesktopOptions options) : options_(options), workDir_(makeTempDirectory("moxi-desktop-")) {
  // Xvfb picks a free display number and writes it to the descriptor once it
  // accepts connections.
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const std::string log = workDir_ + "/xvfb.log";
  const std::string screen =
      options_.screenWidth > 0 && options_.screenHeight > 0
          ? std::to_string(options_.screenWidth) + "x" + std::to_string(options_.screenHeight) + "x24"
          : std::to_string(1920 * std::max(1, options_.monitors)) + "x1080x24";
  xvfb_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{"Xvfb", "-displayfd", "3", "-screen", "0", screen, "-nolisten", "tcp", "-noreset"},
      std::map<std::string, std::string>{}, log, pipeFds[1]);
  close(pipeFds[1]);
  std::string number;
  readUntil(pipeFds[0], number, std::chrono::steady_clock::now() + 20s,
            [](const std::string& text) { return text.find('\n') != std::string::npos; });
  close(pipeFds[0]);
  if (number.find('\n') == std::string::npos)
    throw std::runtime_error("Xvfb did not start (is the xvfb package installed? see " + log + ")");
  display_ = ":" + number.substr(0, number.find('\n'));
  setenv("DISPLAY", display_.c_str(), 1);
  if (!waitUntil([this] { return displayAnswers(display_); }, 10s))
    throw std::runtime_error("Xvfb on " + display_ + " does not answer");

  // RandR monitors, as a desktop with two displays side by side has them.
  for (int i = 0; i < options_.monitors && options_.monitors > 1; ++i)
    if (runCommand({"xrandr", "--setmonitor", "moxi-" + std::to_string(i),
                    "1920/508x1080/286+" + std::to_string(1920 * i) + "+0", i == 0 ? "screen" : "none"})
            .exitCode != 0)
      throw std::runtime_error("xrandr cannot make monitor " + std::to_string(i) + " on " + display_);
  if (options_.windowManager) replaceWindowManager();
  if (options_.tray) startTray();
  if (options_.sound) startSoundServer();
  if (options_.notifications) {
    bus_ = std::make_unique<SessionBus>(workDir_);
    notifications_ = std::make_unique<NotificationServer>(workDir_);
  }
}

NotificationServer& TestDesktop::notifications() {
  if (!notifications_) throw std::runtime_error("no notification server: ask for one in the desktop's options");
  return *notifications_;
}

void TestDesktop::startSoundServer() {
  std::string runtime = workDir_ + "/pulse-runtime";
  std::string home = workDir_ + "/pulse-home";
  mkdir(runtime.c_str(), 0700);
  mkdir(home.c_str(), 0700);
  std::map<std::string, std::string> env{{"XDG_RUNTIME_DIR", runtime}, {"HOME", home}};
  sound_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{"pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n", "--disallow-exit",
                               "--log-target=stderr", "--load=module-null-sink sink_name=nullsink",
                               "--load=module-native-protocol-unix",
                               "--load=module-sine-source source_name=sine frequency=440"},
      env, workDir_ + "/pulseaudio.log");
  setenv("PULSE_SERVER", ("unix:" + runtime + "/pulse/native").c_str(), 1);
  if (!waitUntil([] { return runCommand({"pactl", "info"}, 5s).exitCode == 0; }, 15s))
    throw std::runtime_error("PulseAudio did not start (see " + workDir_ + "/pulseaudio.log)");
  if (runCommand({"pactl", "set-default-source", "sine"}).exitCode != 0)
    throw std::runtime_error("cannot make the sine source the default source");
}

void TestDesktop::stopSoundServer() { sound_.reset(); }

void TestDesktop::replaceWindowManager() {
  auto next = std::make_unique<ChildProcess>(std::vector<std::string>{"openbox", "--sm-disable", "--replace"},
                                             std::map<std::string, std::string>{}, workDir_ + "/openbox.log");
  if (windowManager_ && !waitUntil([this] { return !windowManager_->running(); }, 10s))
    throw std::runtime_error("openbox did not give way to its replacement on " + display_);
  windowManager_ = std::move(next);
  if (!waitForWindowManager(display_, 15s)) throw std::runtime_error("openbox did not start on " + display_);
}

void TestDesktop::stopWindowManager() { windowManager_.reset(); }

void TestDesktop::startTray() {
  tray_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{"trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width",
                               "160", "--height", "24", "--SetDockType", "true", "--SetPartialStrut", "true",
                               "--transparent", "false", "--tint", "0x202020"},
      std::map<std::string, std::string>{}, workDir_ + "/trayer.log");
  if (!waitUntil([this] { return selectionOwned(display_, "_NET_SYSTEM_TRAY_S0"); }, 15s))
    throw std::runtime_error("trayer did not take the system tray selection on " + display_);
}

void TestDesktop::stopTray() { tray_.reset(); }

std::vector<pid_t> TestDesktop::servicePids() const {
  std::vector<pid_t> pids;
  for (const auto* child : {xvfb_.get(), windowManager_.get(), tray_.get(), sound_.get()})
    if (child) pids.push_back(child->pid());
  return pids;
}

TestDesktop::~TestDesktop() {
  notifications_.reset();
  bus_.reset();
  sound_.reset();
  tray_.reset();
  windowManager_.reset();
  xvfb_.reset();
  runCommand({"rm", "-rf", workDir_});
}

}  // namespace moxi::test
