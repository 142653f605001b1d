#include "capture/microphone/microphone_permission.h"

namespace moxi {

MicrophonePermissionAction microphonePermissionAction(MicrophoneAuthorization status, bool showAlert) {
  MicrophonePermissionAction action;
  switch (status) {
    case MicrophoneAuthorization::notDetermined:
      // The answer comes later; no alert, whatever the caller asked for.
      action.requestAccess = true;
      break;
    case MicrophoneAuthorization::restricted:
    case MicrophoneAuthorization::denied:
      action.hasMicPermission = false;
      action.raiseAlert = showAlert;
      break;
    case MicrophoneAuthorization::authorized:
      action.hasMicPermission = true;
      break;
    default:
      // An unknown status grants nothing and has nothing to tell the user.
      action.hasMicPermission = false;
      break;
  }
  return action;
}

}  // namespace moxi
