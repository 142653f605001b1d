#include <cstdio>

int main() {
  std::puts("moxiscope: not built yet");
  return 1;
}
