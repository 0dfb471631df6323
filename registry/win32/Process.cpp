#include <windows.h>

#include <string>

namespace cregistry {

std::string ExecutablePath() {
  std::string buf(MAX_PATH, '\0');
  for (;;) {
    DWORD n = GetModuleFileNameA(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return {};
    if (n < buf.size()) {
      buf.resize(n);
      return buf;
    }
    buf.resize(buf.size() * 2);
  }
}

}  // namespace cregistry

namespace cregistry {

bool NarrowTextIsUtf8() { return GetACP() == CP_UTF8; }

}  // namespace cregistry
