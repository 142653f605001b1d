#include "harness/session_bus.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "harness/test_files.h"

namespace moxi::test {

using namespace std::chrono_literals;

namespace {
// Whether `method` of `destination` answers on the session bus within 15 s.
bool answers(const std::string& destination, const std::string& path, const std::string& method) {
  return waitUntil(
      [&] { return runCommand({"dbus-send", "--session", "--print-reply", "--dest=" + destination, path, method}, 5s)
                       .exitCode == 0; },
      15s);
}
}  // namespace

SessionBus::SessionBus(const std::string& dir) : address_("unix:path=" + dir + "/session-bus") {
  // A bus of its own configuration: no activation of the machine's
  // services, so only what the test starts answers on it.
  const std::string config = dir + "/session-bus.conf";
  writeFile(config,
            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
            " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            "<busconfig>\n  <type>session</type>\n  <listen>" +
                address_ +
                "</listen>\n  <auth>EXTERNAL</auth>\n"
                "  <policy context=\"default\">\n    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                "    <allow eavesdrop=\"true\"/>\n    <allow own=\"*\"/>\n  </policy>\n</busconfig>\n");
  daemon_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{"dbus-daemon", "--nofork", "--nopidfile", "--config-file=" + config},
      std::map<std::string, std::string>{}, dir + "/dbus-daemon.log");
  setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
  if (!answers("org.freedesktop.DBus", "/", "org.freedesktop.DBus.GetId")) throw std::runtime_error("dbus-daemon did not start (is the dbus package installed? see " + dir +
                                         "/dbus-daemon.log)");
}

SessionBus::~SessionBus() {
  daemon_.reset();
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

NotificationServer::NotificationServer(const std::string& dir) : log_(dir + "/notifications.log") {
  monitor_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{"dbus-monitor", "--session", "interface='org.freedesktop.Notifications'"},
      std::map<std::string, std::string>{}, log_);
  // The monitor says hello (NameAcquired) once it listens.
  if (!waitUntil([&] { return !readFile(log_).empty(); }, 15s))
    throw std::runtime_error("dbus-monitor did not start");
  writeFile(dir + "/dunstrc", "[global]\n    font = DejaVu Sans 9\n");
  server_ = std::make_unique<ChildProcess>(std::vector<std::string>{"dunst", "-config", dir + "/dunstrc"},
                                           std::map<std::string, std::string>{}, dir + "/dunst.log");
  if (!answers("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
               "org.freedesktop.Notifications.GetServerInformation"))
    throw std::runtime_error("dunst did not start (see " + dir + "/dunst.log)");
}

NotificationServer::~NotificationServer() {
  server_.reset();
  monitor_.reset();
}

std::string NotificationServer::calls() const { return readFile(log_); }

int NotificationServer::notices(const std::string& summary) const {
  // Notify's arguments follow its header one a line: application, replaced
  // id, icon, then the summary.
  const std::vector<std::string> call = lines(calls());
  int n = 0;
  for (size_t i = 0; i + 4 < call.size(); ++i)
    if (call[i].find("member=Notify") != std::string::npos &&
        call[i + 4].find("string \"" + summary + "\"") != std::string::npos)
      ++n;
  return n;
}

}  // namespace moxi::test
