#pragma once
// A private headless Wayland session for integration tests: its own D-Bus
// session bus, PipeWire and WirePlumber, mutter with one 1280x720 virtual
// monitor, and the real xdg-desktop-portal front end with a ScreenCast
// backend of the harness's own that picks without a dialog (see
// tests/harness/wayland/README.md). The supervisor (scripts/wayland-session/session.py)
// starts every service and waits until each answers; all of them die with
// the test process.
#include <gtest/gtest.h>
#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "harness/test_desktop.h"

namespace moxi::test {

// A native Wayland client window (harness/wayland), 640x480 of one colour
// with a stripe that moves each frame. mutter focuses it when it appears, so a
// WINDOW screencast started afterwards records it. Closing it ends such a
// screencast.
class WaylandTestWindow {
 public:
  static constexpr uint32_t kColour = 0x2060c0;  // 0xRRGGBB, the window program's default
  WaylandTestWindow(const std::map<std::string, std::string>& env, const std::string& logPath);

 private:
  std::unique_ptr<ChildProcess> process_;
};

class WaylandDesktop {
 public:
  // Starts the session; throws std::runtime_error, with the supervisor's
  // account of what did not start, when it is not ready within 60 s.
  WaylandDesktop();
  ~WaylandDesktop();
  WaylandDesktop(const WaylandDesktop&) = delete;
  WaylandDesktop& operator=(const WaylandDesktop&) = delete;

  // What a client of this session needs: WAYLAND_DISPLAY (an absolute socket
  // path), XDG_RUNTIME_DIR, DBUS_SESSION_BUS_ADDRESS, XDG_CURRENT_DESKTOP,
  // XDG_SESSION_TYPE, PIPEWIRE_RUNTIME_DIR, PIPEWIRE_REMOTE.
  const std::map<std::string, std::string>& environment() const { return env_; }
  // Sets environment() in this process and unsets DISPLAY, so that Qt and
  // libraries in the test process reach this session only.
  void exportEnvironment() const;
  // Holds the sockets and every service's log.
  const std::string& workDir() const { return workDir_; }

  std::unique_ptr<WaylandTestWindow> startTestWindow();
  // The next portal picker answers "cancelled" (response 1). A session
  // restored from a token shows no picker and is not affected.
  void cancelNextPicker();
  // Ends every running screencast from the compositor's side, as when the
  // user stops sharing; returns how many there were.
  unsigned stopScreenCasts();
  // Moves the pointer to a position on the monitor, through mutter's remote
  // desktop interface.
  void movePointer(double x, double y);
  // The process id of a service of the session ("mutter", "pipewire", ...), or -1.
  pid_t servicePid(const std::string& name) const;

 private:
  std::string control(const std::string& method, const std::vector<std::string>& args = {});

  std::string workDir_;
  std::unique_ptr<ChildProcess> supervisor_;
  std::map<std::string, std::string> env_;
  int windows_ = 0;
};

// Shares one Wayland session among all tests of a program:
//   ::testing::AddGlobalTestEnvironment(new WaylandEnvironment);
class WaylandEnvironment : public SharedEnvironment<WaylandDesktop> {
 public:
  WaylandEnvironment()
      : SharedEnvironment([] {
          auto session = std::make_unique<WaylandDesktop>();
          session->exportEnvironment();
          return session;
        }) {}
  static WaylandDesktop& desktop() { return get(); }
};

}  // namespace moxi::test
