#pragma once
// Where no client may list or read other clients' windows (Wayland), the
// window to record is chosen in the desktop's own picker. The catalogue then
// shows entries that open it, and the controller asks the picker for the
// window before it records.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "capture/capturable_window.h"

namespace moxi {

struct PickResult {
  enum class Outcome { picked, cancelled, failed };
  Outcome outcome = Outcome::failed;
  std::optional<CaptureWindow> window;  // picked: the shared window (or screen) and its size
  std::string reason;                   // failed: one line for the user
};

class SourcePicker {
 public:
  virtual ~SourcePicker() = default;
  // Whether a catalogue entry opens the picker: nothing for a real window,
  // else whether it asks for the last choice again.
  virtual std::optional<bool> entryPicksAgain(uint32_t windowID) const = 0;
  // True when the last choice can be had again without asking.
  virtual bool canPickAgain() const = 0;
  // Opens the desktop's picker (or takes the last choice again); `done` runs
  // once, on the main thread. The picker may stay open for minutes.
  virtual void pick(bool again, bool showsCursor, std::function<void(PickResult)> done) = 0;
};

}  // namespace moxi
