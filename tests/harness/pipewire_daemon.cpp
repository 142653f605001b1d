#include "harness/pipewire_daemon.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>

#include "harness/test_files.h"

namespace moxi::test {

namespace {

using namespace std::chrono_literals;

// The daemon's modules for clients, streams and links, and a driver for
// graphs whose nodes drive nothing themselves.
constexpr const char* kDaemonConfig = R"(
context.properties = {
    core.daemon = true
    core.name = pipewire-0
    support.dbus = false
}
context.spa-libs = {
    support.* = support/libspa-support
}
context.modules = [
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-access }
    { name = libpipewire-module-spa-node-factory }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-client-device }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-link-factory }
    { name = libpipewire-module-session-manager }
]
context.objects = [
    { factory = spa-node-factory
        args = {
            factory.name = support.node.driver
            node.name = Dummy-Driver
            node.group = pipewire.dummy
            priority.driver = 20000
        }
    }
]
)";

// wireplumber's own policy links streams; its device monitors stay off.
constexpr const char* kSessionManagerMain = R"(
alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
)";
constexpr const char* kSessionManagerBluetooth = "bluez_monitor.enabled = false\n";

bool exists(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0;
}

int connectTo(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

PipeWireDaemon::PipeWireDaemon(bool becomeDefault) : dir_(makeTempDirectory("moxi-pipewire-")) {
  for (const char* sub : {"/home", "/config", "/config/wireplumber", "/config/wireplumber/main.lua.d",
                          "/config/wireplumber/bluetooth.lua.d"})
    mkdir((dir_ + sub).c_str(), 0700);
  writeFile(dir_ + "/pipewire.conf", kDaemonConfig);
  writeFile(dir_ + "/config/wireplumber/main.lua.d/99-moxi-test.lua", kSessionManagerMain);
  writeFile(dir_ + "/config/wireplumber/bluetooth.lua.d/99-moxi-test.lua", kSessionManagerBluetooth);

  const std::string bus = "unix:path=" + dir_ + "/bus";
  std::map<std::string, std::string> env{{"XDG_RUNTIME_DIR", dir_},           {"PIPEWIRE_RUNTIME_DIR", dir_},
                                         {"HOME", dir_ + "/home"},            {"XDG_CONFIG_HOME", dir_ + "/config"},
                                         {"DBUS_SESSION_BUS_ADDRESS", bus},   {"PIPEWIRE_REMOTE", "pipewire-0"},
                                         {"DISPLAY", ""}};
  // wireplumber gives up without a session bus.
  bus_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{"dbus-daemon", "--session", "--nofork", "--address=" + bus}, env,
      dir_ + "/dbus.log");
  if (!waitUntil([&] { return exists(dir_ + "/bus"); }, 10s))
    throw std::runtime_error("the D-Bus session bus did not start (see " + dir_ + "/dbus.log)");
  daemon_ = std::make_unique<ChildProcess>(std::vector<std::string>{"pipewire", "-c", dir_ + "/pipewire.conf"},
                                           env, dir_ + "/pipewire.log");
  if (!waitUntil([&] { return exists(dir_ + "/pipewire-0"); }, 10s))
    throw std::runtime_error("pipewire did not start (see " + dir_ + "/pipewire.log)");
  sessionManager_ = std::make_unique<ChildProcess>(std::vector<std::string>{"wireplumber"}, env,
                                                   dir_ + "/wireplumber.log");
  // Ready once its policy has published the default-nodes metadata.
  std::map<std::string, std::string> clientEnv{{"PIPEWIRE_RUNTIME_DIR", dir_}, {"PIPEWIRE_REMOTE", "pipewire-0"}};
  if (!waitUntil(
          [&] {
            if (!sessionManager_->running()) return true;
            return runCommand({"pw-dump"}, 5s, clientEnv).out.find("\"WirePlumber\"") != std::string::npos;
          },
          15s) ||
      !sessionManager_->running())
    throw std::runtime_error("wireplumber did not start (see " + dir_ + "/wireplumber.log)");
  if (becomeDefault) {
    setenv("PIPEWIRE_RUNTIME_DIR", dir_.c_str(), 1);
    setenv("PIPEWIRE_REMOTE", "pipewire-0", 1);
  }
}

PipeWireDaemon::~PipeWireDaemon() {
  sessionManager_.reset();
  daemon_.reset();
  bus_.reset();
  runCommand({"rm", "-rf", dir_});
}

int PipeWireDaemon::openConnection() const { return connectTo(dir_ + "/pipewire-0"); }

void PipeWireDaemon::stopDaemon() {
  sessionManager_.reset();
  daemon_.reset();
}

}  // namespace moxi::test
