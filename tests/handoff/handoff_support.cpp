#include "handoff/handoff_support.h"

#include <QCoreApplication>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace moxi::test {

PrivateHome::PrivateHome() {
  std::string pattern = "/tmp/moxi-home-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary home");
  path_ = pattern;
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

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace moxi::test
