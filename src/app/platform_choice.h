#pragma once
// Which desktop services the program uses, chosen once at start-up.
#include <functional>
#include <optional>
#include <string>

namespace moxi {

enum class DesktopPlatform { x11, wayland };

struct PlatformChoice {
  DesktopPlatform platform = DesktopPlatform::x11;
  std::string reason;  // for the log line that says why
};

// From the environment: MOXISCOPE_PLATFORM=x11|wayland decides; else a
// Wayland session (WAYLAND_DISPLAY, or XDG_SESSION_TYPE=wayland) uses the
// Wayland services, anything else X11. `environment` reads one variable.
PlatformChoice choosePlatform(const std::function<std::optional<std::string>(const char*)>& environment);
PlatformChoice choosePlatformFromEnvironment();

const char* platformName(DesktopPlatform platform);

}  // namespace moxi
