#include "app/platform_choice.h"

#include <cstdlib>

namespace moxi {

PlatformChoice choosePlatform(const std::function<std::optional<std::string>(const char*)>& environment) {
  auto set = [&](const char* name) {
    std::optional<std::string> value = environment(name);
    return value && !value->empty() ? value : std::nullopt;
  };
  if (auto forced = set("MOXISCOPE_PLATFORM")) {
    if (*forced == "wayland") return {DesktopPlatform::wayland, "MOXISCOPE_PLATFORM=wayland"};
    if (*forced == "x11") return {DesktopPlatform::x11, "MOXISCOPE_PLATFORM=x11"};
    PlatformChoice fallback = choosePlatform([&](const char* name) {
      return std::string(name) == "MOXISCOPE_PLATFORM" ? std::nullopt : environment(name);
    });
    fallback.reason = "MOXISCOPE_PLATFORM=" + *forced + " is neither x11 nor wayland; " + fallback.reason;
    return fallback;
  }
  if (set("WAYLAND_DISPLAY")) return {DesktopPlatform::wayland, "WAYLAND_DISPLAY is set"};
  if (set("XDG_SESSION_TYPE") == std::optional<std::string>("wayland"))
    return {DesktopPlatform::wayland, "XDG_SESSION_TYPE=wayland"};
  return {DesktopPlatform::x11, "no Wayland session"};
}

PlatformChoice choosePlatformFromEnvironment() {
  return choosePlatform([](const char* name) -> std::optional<std::string> {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
  });
}

const char* platformName(DesktopPlatform platform) {
  return platform == DesktopPlatform::wayland ? "Wayland" : "X11";
}

}  // namespace moxi
