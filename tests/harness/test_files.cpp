#include "harness/test_files.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace moxi::test {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeFile(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

std::string makeTempDirectory(const char* prefix) {
  std::string pattern = std::string("/tmp/") + prefix + "XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary directory");
  return pattern;
}

}  // namespace moxi::test
