#include "platform/wayland/pipewire.h"

#include <mutex>

namespace moxi::pipewire {

void ensureInitialised() {
  static std::once_flag once;
  std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

}  // namespace moxi::pipewire
