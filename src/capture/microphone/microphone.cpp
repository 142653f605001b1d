#include "capture/microphone/microphone.h"

namespace moxi {

std::vector<std::string> microphoneSetupMessages(const MicrophoneConfiguration& configuration) {
  std::vector<std::string> lines;
  if (configuration.noDevice)
    lines.emplace_back("No microphone: the sound server has no default source, recording without audio");
  else if (!configuration.inputError.empty())
    lines.push_back("couldn't create audio input device. Error - " + configuration.inputError);
  else if (!configuration.inputAdded)
    lines.emplace_back("CAM - Couldn't add audio input device to session.");
  if (!configuration.outputAdded) lines.emplace_back("Couldn't add audio output");
  return lines;
}

}  // namespace moxi
