#pragma once
// A small disk of the test's own: a tmpfs mounted over a directory (made
// when missing), lazily unmounted on destruction. A test that needs one
// fails when it cannot be mounted (it needs root); it never passes without.
#include <cstdint>
#include <string>

namespace moxi::test {

class ScratchDisk {
 public:
  // `options` as for mount -o, e.g. "size=112m"; a leading "ro," mounts it read-only.
  ScratchDisk(const std::string& dir, std::string options);
  ~ScratchDisk();
  ScratchDisk(const ScratchDisk&) = delete;
  ScratchDisk& operator=(const ScratchDisk&) = delete;
  // Writes dir/filler until at most `leaveBytes` stay free.
  void fill(uint64_t leaveBytes = 0);

 private:
  std::string dir_;
};

}  // namespace moxi::test
