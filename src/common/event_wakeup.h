#pragma once
// An eventfd that wakes a thread from its poll: signal() from any thread,
// clear() by the woken one.
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace moxi {

class EventWakeup {
 public:
  EventWakeup() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~EventWakeup() {
    if (fd_ >= 0) close(fd_);
  }
  EventWakeup(const EventWakeup&) = delete;
  EventWakeup& operator=(const EventWakeup&) = delete;
  bool valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // False only when the descriptor is bad (a wakeup already pending still counts).
  bool signal() const {
    const uint64_t one = 1;
    return write(fd_, &one, sizeof one) == sizeof one || errno == EAGAIN;
  }
  void clear() const {
    uint64_t value;
    while (read(fd_, &value, sizeof value) > 0) {
    }
  }

 private:
  int fd_;
};

}  // namespace moxi
