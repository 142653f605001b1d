#pragma once
// Shared by the desktop tests of the application: the program started as a
// user starts it, a test window, and the user's hands (xdotool) and eyes
// (xwininfo, screenshots) on the test desktop.
#include <QColor>
#include <QImage>
#include <QPoint>
#include <QRect>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "harness/media_files.h"
#include "harness/test_desktop.h"
#include "harness/test_files.h"

namespace moxi::test {

using namespace std::chrono_literals;

// Mesa's software GL driver leaks a few bytes and is unloaded before
// LeakSanitizer reports, so no suppression can name it: the sanitizer build
// draws Qt Quick without GL (QT_QUICK_BACKEND=software).
#ifdef __SANITIZE_ADDRESS__
inline constexpr bool kQuickWithoutGL = true;
#else
inline constexpr bool kQuickWithoutGL = false;
#endif

// Visible windows whose name (or, with `byClass`, class) matches the regular expression.
std::vector<std::string> visibleWindows(const std::string& name, bool byClass = false);
// The visible alert of the program (a window named "Moxiscope"), or empty.
std::string alertWindow();
// A window's client area in root coordinates (empty when it is gone).
QRect windowRect(const std::string& id);
// The centres of the shown tray icons of the program of this class.
std::vector<QPoint> trayIcons(const std::string& windowClass = "moxiscope");
// The first of them, if one is shown.
std::optional<QPoint> trayIcon(const std::string& windowClass = "moxiscope");
void pointAt(QPoint at);
void clickAt(QPoint at, int button = 1);
// Waits until the main thread of the program with this window class has
// handled what reached it so far (a _NET_WM_PING to one of its windows comes back
// from there). Its pointer log reads the pointer's position when it handles
// a click, so a test holds the pointer still until then.
bool programCaughtUp(const std::string& windowClass = "moxiscope");
void pressKeys(const std::string& keys);
QImage screenshot();
std::string fileURL(const std::string& path);
// The open popover (a 400x400 window of the program), or empty.
std::string popoverWindow();
// The blue of the outline around the recorded window.
bool isOutlineColour(QColor c);
// One entry of the program's mouse.json.
struct LoggedSample {
  double x = 0, y = 0, timestamp = 0;
  bool down = false;
};
// The description a movie should carry for this pointer log of a window of this size.
std::string expectedDescription(const std::vector<LoggedSample>& log, int width, int height);

// Runs Qt's event loop (when there is one) until `condition` holds or 20 s pass.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 20s);

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

// A GTK 4 window with client-side decorations, `title`, width x height as
// the user sees it, under a compositing manager (xcompmgr, started and
// stopped with it) and a window manager that names _GTK_FRAME_EXTENTS among
// its hints: GTK then draws its shadow inside the X window. Waits until it
// is shown.
class ShadowedGtkWindow {
 public:
  ShadowedGtkWindow(const std::string& title, int width, int height);
  // The X window, shadow included; the window as the user sees it.
  QRect rect() const { return windowRect(id_); }
  QRect frame() const;

 private:
  ChildProcess compositor_;
  std::unique_ptr<ChildProcess> window_;
  std::string id_;
};

// The program as a user runs it, in a home of its own (with the stand-in
// opener) and its standard output in a log. On destruction a program still
// running is asked to finish as at logout; it must end cleanly, and without
// a sanitizer report.
class Program {
 public:
  // `settings`: lines for the [General] section of the settings file;
  // `args`: the command line after the program's name.
  // `desktop` replaces what reaches the X11 test desktop (a Wayland session's environment).
  explicit Program(const std::string& settings = {}, const std::vector<std::string>& args = {},
                   const std::map<std::string, std::string>& desktop = {});
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
  // Points at `over` and presses the hot key; waits for the `times`th start.
  void recordWithHotKey(QPoint over, int times = 1);
  // Waits until the one recording being written holds `atLeast` video
  // packets (every fragment on the disk); returns how many it holds then.
  int waitForFrames(int atLeast) const;
  // One more launch as the same user on the same desktop, run to its end.
  CommandResult launch(const std::vector<std::string>& args, std::chrono::milliseconds timeout = 60s) const;
  // After the first launch has ended: a new one, with this log appended to.
  void restart(const std::vector<std::string>& args = {});

  std::string documents() const { return home_.documents(); }
  std::string opened() const { return home_.opened(); }
  // The "tmp-" movies in the caches directory, oldest name first.
  std::vector<std::string> movies() const;
  // The mouse.json in its documents folder.
  std::vector<LoggedSample> pointerLog() const;
  // The path of the last "exported as file://..." line, or empty.
  std::string exported() const;
  // The raw recording beside the exported movie.
  std::string raw() const;

 private:
  PrivateHome home_{false};
  std::map<std::string, std::string> env_;
  std::unique_ptr<ChildProcess> process_;
};

// Whether a wait status (if any) is a normal exit with this code.
bool exitedWith(std::optional<int> status, int code);
int videoPackets(const std::string& path);
// Decodes every `step`-th video frame as RGB24, width x height each.
std::vector<QImage> frames(const std::string& path, int step);

}  // namespace moxi::test
