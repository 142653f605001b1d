#pragma once
// Files and directories of the tests' own.
#include <string>

namespace moxi::test {

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
// A fresh directory /tmp/<prefix>XXXXXX (mode 0700), removed by the caller.
std::string makeTempDirectory(const char* prefix);

}  // namespace moxi::test
