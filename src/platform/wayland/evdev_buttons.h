#pragma once
// Mouse buttons read from the kernel's pointer devices (/dev/input/event*),
// for desktops that tell a client nothing of clicks over other windows.
// Devices are opened read-only and never grabbed, so every other program
// still gets every event; keyboards are never opened.
#include <linux/input.h>

#include <atomic>
#include <bitset>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/unique_fd.h"

namespace moxi {

struct InputCapabilities {
  std::bitset<KEY_CNT> keys;
  std::bitset<REL_CNT> relative;
  std::bitset<ABS_CNT> absolute;
};

// A mouse, touchpad or tablet with a left button; nothing that types letters.
bool isPointerDevice(const InputCapabilities& capabilities);

class EvdevButtons {
 public:
  // `button` is BTN_LEFT or BTN_RIGHT; called on the reading thread.
  using Handler = std::function<void(int button, bool down)>;

  // Starts reading every pointer device in `directory` that this user may
  // read. Null, with `why` saying in plain words how to enable it, when none.
  static std::unique_ptr<EvdevButtons> open(Handler handler, std::string& why,
                                            const std::string& directory = "/dev/input");
  ~EvdevButtons();
  EvdevButtons(const EvdevButtons&) = delete;
  EvdevButtons& operator=(const EvdevButtons&) = delete;

 private:
  EvdevButtons(std::vector<UniqueFd> devices, Handler handler);
  void run();

  std::vector<UniqueFd> devices_;
  Handler handler_;
  UniqueFd wake_;  // an eventfd that ends the reading thread
  std::thread reader_;
};

}  // namespace moxi
