#pragma once
// What the recorder publishes after reading the microphone's authorisation,
// kept apart from the platform so every case can be checked on its own.
#include <optional>

#include "capture/microphone/microphone.h"

namespace moxi {

struct MicrophonePermissionAction {
  // Ask for access; the answer is published as hasMicPermission once it has
  // been moved to the main thread.
  bool requestAccess = false;
  // Publish this as hasMicPermission now (none: leave it as it is).
  std::optional<bool> hasMicPermission;
  // Set showingAlert, which makes the popover show its microphone alert.
  bool raiseAlert = false;
};

// `showAlert` is true only when the user pressed the button asking for access.
MicrophonePermissionAction microphonePermissionAction(MicrophoneAuthorization status, bool showAlert);

}  // namespace moxi
