#include "handoff/handoff_support.h"

#include <QCoreApplication>
#include <cstdlib>
#include <filesystem>

namespace moxi::test {

PrivateHome::PrivateHome() : path_(makeTempDirectory("moxi-home-")) {
  setenv("HOME", path_.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (path_ + "/config").c_str(), 1);
  setenv("XDG_CACHE_HOME", (path_ + "/cache").c_str(), 1);
  QCoreApplication::setOrganizationName("Moxiscope");
  QCoreApplication::setApplicationName("Moxiscope");
}

PrivateHome::~PrivateHome() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace moxi::test
