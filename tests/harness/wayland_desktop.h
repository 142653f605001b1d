#pragma once
// A private headless Wayland session for integration tests: its own D-Bus
// session bus, PipeWire and WirePlumber, a compositor with one 1280x720
// virtual monitor, and the real xdg-desktop-portal front end. The desktop
// "moxitest" is mutter with a ScreenCast backend of the harness's own that
// picks without a dialog; "gnome" is gnome-shell with GNOME's own portal
// backend, whose picker the test answers (see tests/harness/README.md). The
// supervisor (scripts/wayland-session/session.py) starts every service and
// waits until each answers; all of them die with the test process.
#include <gtest/gtest.h>
#include <sys/types.h>

#include <QRect>

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
  // The GTK window's squares in its bottom-left and bottom-right corners.
  static constexpr uint32_t kLeftCorner = 0x00ff00, kRightCorner = 0xff00ff;
  WaylandTestWindow(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                    const std::string& logPath);

 private:
  std::unique_ptr<ChildProcess> process_;
};

class WaylandDesktop {
 public:
  // Starts the session ("moxitest" or "gnome"); throws std::runtime_error,
  // with the supervisor's account of what did not start, when it is not
  // ready within 90 s.
  explicit WaylandDesktop(const std::string& desktop = "moxitest");
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
  // A GTK 4 window (harness/wayland/gtk_test_window.py) of this title and
  // size, with client-side decorations and their shadow.
  std::unique_ptr<WaylandTestWindow> startGtkWindow(const std::string& title, int width, int height);
  // The next portal picker answers "cancelled" (response 1). A session
  // restored from a token shows no picker and is not affected. moxitest only.
  void cancelNextPicker();
  // GNOME: waits for the "Share Screen" picker and chooses the window of this title.
  void answerPicker(const std::string& title);
  // GNOME: where a window is on the monitor, as the shell knows it: its
  // frame (what the user sees) and its buffer (shadows included), in logical pixels.
  struct WindowRects {
    QRect frame, buffer;
  };
  WindowRects windowRects(const std::string& title);
  // GNOME: sets the monitor's scale to the supported one nearest `scale` and returns it.
  double setScale(double scale);
  // Ends every running screencast from the compositor's side, as when the
  // user stops sharing (on GNOME with the top bar's stop button); returns
  // how many there were (on GNOME, 1 when the button was there).
  unsigned stopScreenCasts();
  // Moves the pointer to a position on the monitor (logical pixels), through
  // mutter's remote desktop interface or gnome-shell's own virtual pointer.
  void movePointer(double x, double y);
  // The process id of a service of the session ("mutter", "pipewire", ...), or -1.
  pid_t servicePid(const std::string& name) const;

 private:
  std::string control(const std::string& method, const std::vector<std::string>& args = {});
  std::string gnomeControl(const std::vector<std::string>& args);

  std::string desktop_;
  std::string workDir_;
  std::unique_ptr<ChildProcess> supervisor_;
  std::map<std::string, std::string> env_;
  int windows_ = 0;
};

// Shares one Wayland session among all tests of a program:
//   ::testing::AddGlobalTestEnvironment(new WaylandEnvironment);
class WaylandEnvironment : public SharedEnvironment<WaylandDesktop> {
 public:
  explicit WaylandEnvironment(std::string desktop = "moxitest")
      : SharedEnvironment([desktop] {
          auto session = std::make_unique<WaylandDesktop>(desktop);
          session->exportEnvironment();
          return session;
        }) {}
  static WaylandDesktop& desktop() { return get(); }
};

}  // namespace moxi::test
