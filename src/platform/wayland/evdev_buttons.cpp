#include "platform/wayland/evdev_buttons.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

#include "common/log.h"

namespace moxi {

namespace {

template <size_t N>
bool readBits(int fd, int type, std::bitset<N>& into) {
  unsigned char bytes[(N + 7) / 8] = {};
  if (ioctl(fd, EVIOCGBIT(type, sizeof bytes), bytes) < 0) return false;
  for (size_t i = 0; i < N; ++i) into[i] = (bytes[i / 8] >> (i % 8)) & 1;
  return true;
}

}  // namespace

bool isPointerDevice(const InputCapabilities& c) {
  if (!c.keys[BTN_LEFT]) return false;
  // A keyboard with a pointing stick reports letters too: never read those.
  for (int key = KEY_Q; key <= KEY_M; ++key)
    if (c.keys[key]) return false;
  return (c.relative[REL_X] && c.relative[REL_Y]) || (c.absolute[ABS_X] && c.absolute[ABS_Y]);
}

std::unique_ptr<EvdevButtons> EvdevButtons::open(Handler handler, std::string& why, const std::string& directory) {
  std::vector<UniqueFd> devices;
  int refused = 0;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(directory.c_str()), closedir);
  for (dirent* entry = dir ? readdir(dir.get()) : nullptr; entry; entry = readdir(dir.get())) {
    if (std::strncmp(entry->d_name, "event", 5) != 0) continue;
    const std::string path = directory + "/" + entry->d_name;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
      if (errno == EACCES || errno == EPERM) ++refused;
      continue;
    }
    std::bitset<EV_CNT> types;
    if (!readBits(fd.get(), 0, types)) continue;  // not an input device
    InputCapabilities caps;
    if (types[EV_KEY]) readBits(fd.get(), EV_KEY, caps.keys);
    if (types[EV_REL]) readBits(fd.get(), EV_REL, caps.relative);
    if (types[EV_ABS]) readBits(fd.get(), EV_ABS, caps.absolute);
    if (isPointerDevice(caps)) devices.push_back(std::move(fd));
  }
  if (devices.empty()) {
    why = refused > 0 ? "Clicks are not logged: this user may not read the mouse. To log clicks, add yourself to "
                        "the \"input\" group (sudo usermod -aG input $USER), then log out and in again."
                      : "Clicks are not logged: no mouse or touchpad was found.";
    return nullptr;
  }
  return std::unique_ptr<EvdevButtons>(new EvdevButtons(std::move(devices), std::move(handler)));
}

EvdevButtons::EvdevButtons(std::vector<UniqueFd> devices, Handler handler)
    : devices_(std::move(devices)), handler_(std::move(handler)), wake_(eventfd(0, EFD_CLOEXEC)) {
  reader_ = std::thread([this] { run(); });
}

EvdevButtons::~EvdevButtons() {
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wake_.get(), &one, sizeof one);
  reader_.join();
}

void EvdevButtons::run() {
  std::vector<pollfd> fds;
  fds.push_back({wake_.get(), POLLIN, 0});
  for (const UniqueFd& d : devices_) fds.push_back({d.get(), POLLIN, 0});
  while (true) {
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      logLine(std::string("reading the mouse failed: ") + std::strerror(errno));
      return;
    }
    if (fds[0].revents) return;
    for (size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) fds[i].fd = -1;  // unplugged: poll skips it
      if (!(fds[i].revents & POLLIN)) continue;
      input_event events[32];
      ssize_t n;
      while ((n = read(fds[i].fd, events, sizeof events)) > 0) {
        for (ssize_t k = 0; k < n / static_cast<ssize_t>(sizeof(input_event)); ++k) {
          const input_event& e = events[k];
          // value 2 is auto-repeat: not a new press.
          if (e.type == EV_KEY && (e.code == BTN_LEFT || e.code == BTN_RIGHT) && e.value != 2)
            handler_(e.code, e.value == 1);
        }
      }
    }
  }
}

}  // namespace moxi
