#pragma once
// The microphone through the PulseAudio client API, on every desktop (PipeWire
// serves it too).
#include <memory>

#include "capture/microphone/microphone.h"

namespace moxi {

std::unique_ptr<MicrophoneAccess> makeMicrophoneAccess();
std::unique_ptr<MicrophoneSession> makeMicrophoneSession();

}  // namespace moxi
