#include <unistd.h>

#include <string>

namespace cregistry {

std::string ExecutablePath() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

}  // namespace cregistry

namespace cregistry {

bool NarrowTextIsUtf8() { return true; }

}  // namespace cregistry
