#pragma once
// The system's hot-key service as the registry sees it: register a key code
// with Carbon modifier bits under a hot key ID, unregister it, and install one
// handler that receives the pressed and released events of every hot key.
#include <cstdint>
#include <functional>
#include <optional>

namespace moxi::hotkey {

using OSStatus = std::int32_t;

namespace status {
inline constexpr OSStatus noErr = 0;
inline constexpr OSStatus eventNotHandled = -9874;
// The combination is taken (by another client, or registered twice).
inline constexpr OSStatus hotKeyExists = -9878;
// The combination cannot be expressed on this keyboard.
inline constexpr OSStatus hotKeyInvalid = -9879;
// The window system cannot be reached.
inline constexpr OSStatus serviceUnavailable = -9877;
}  // namespace status

// Event kinds of the keyboard class.
namespace eventKind {
inline constexpr std::uint32_t hotKeyPressed = 5;
inline constexpr std::uint32_t hotKeyReleased = 6;
}  // namespace eventKind

struct HotKeyID {
  std::uint32_t signature = 0;
  std::uint32_t id = 0;
  friend constexpr bool operator==(const HotKeyID&, const HotKeyID&) = default;
};

// What the service delivers to the handler. `parameterStatus` is non-zero
// when the event's hot key ID cannot be read; `hotKeyID` is then meaningless.
struct HotKeyEvent {
  HotKeyID hotKeyID;
  std::uint32_t kind = 0;
  OSStatus parameterStatus = status::noErr;
};

// Opaque token for one registration, issued by the service.
using HotKeyRef = std::uint64_t;

struct HotKeyRegistration {
  OSStatus status = status::noErr;
  std::optional<HotKeyRef> ref;  // present only on success
};

class HotKeyService {
 public:
  using Handler = std::function<OSStatus(const HotKeyEvent&)>;
  using HandlerRef = std::uint64_t;

  virtual ~HotKeyService() = default;

  // Asks the system for the combination; status 0 and a reference on success.
  virtual HotKeyRegistration registerHotKey(std::uint32_t carbonKeyCode, std::uint32_t carbonModifiers,
                                            HotKeyID hotKeyID) = 0;
  // Gives the combination back; unknown references are ignored.
  virtual void unregisterHotKey(HotKeyRef ref) = 0;
  // The handler is called on the main thread for every pressed and released
  // event of every hot key registered through this service.
  virtual std::optional<HandlerRef> installHandler(Handler handler) = 0;
};

}  // namespace moxi::hotkey
