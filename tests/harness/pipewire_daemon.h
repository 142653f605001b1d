#pragma once
// A private PipeWire for tests: a D-Bus session bus, the pipewire daemon and
// the wireplumber session manager (which links streams to their targets),
// each in a runtime directory of its own and stopped with the object (they
// die with the test process too). Only the daemon's own modules are loaded:
// no audio devices, no cameras, no Bluetooth.
#include <memory>
#include <string>

#include "harness/test_desktop.h"

namespace moxi::test {

class PipeWireDaemon {
 public:
  // Starts the services; throws std::runtime_error when one does not answer.
  // With `becomeDefault`, PIPEWIRE_RUNTIME_DIR of this process points at it.
  explicit PipeWireDaemon(bool becomeDefault = true);
  ~PipeWireDaemon();
  PipeWireDaemon(const PipeWireDaemon&) = delete;
  PipeWireDaemon& operator=(const PipeWireDaemon&) = delete;

  // A fresh connection to the daemon, as the ScreenCast portal hands one
  // out; the caller owns the fd.
  int openConnection() const;
  // Stops the daemon (its clients see the connection close).
  void stopDaemon();

 private:
  std::string dir_;
  std::unique_ptr<ChildProcess> bus_, daemon_, sessionManager_;
};

}  // namespace moxi::test
