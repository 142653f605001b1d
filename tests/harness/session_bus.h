#pragma once
// A private D-Bus session bus for integration tests, and on it a real
// notification server (dunst, on the test display) whose calls a
// dbus-monitor writes to a log; a test desktop starts them on request
// (DesktopOptions::notifications). Everything is stopped by process id in
// the destructors.
#include <memory>
#include <string>

#include "harness/test_desktop.h"

namespace moxi::test {

class SessionBus {
 public:
  // Starts dbus-daemon with its socket in `dir`; sets DBUS_SESSION_BUS_ADDRESS
  // in this process. Throws std::runtime_error when it does not answer.
  explicit SessionBus(const std::string& dir);
  ~SessionBus();
  SessionBus(const SessionBus&) = delete;
  SessionBus& operator=(const SessionBus&) = delete;
  const std::string& address() const { return address_; }

 private:
  std::string address_;
  std::unique_ptr<ChildProcess> daemon_;
};

class NotificationServer {
 public:
  // Needs DISPLAY and the session bus set. Throws when dunst does not answer.
  explicit NotificationServer(const std::string& dir);
  ~NotificationServer();
  NotificationServer(const NotificationServer&) = delete;
  NotificationServer& operator=(const NotificationServer&) = delete;

  // What the monitor saw of org.freedesktop.Notifications calls, as dbus-monitor prints it.
  std::string calls() const;
  // How many Notify calls carried this summary.
  int notices(const std::string& summary) const;

 private:
  std::string log_;
  std::unique_ptr<ChildProcess> monitor_, server_;
};

}  // namespace moxi::test
