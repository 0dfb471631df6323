// The entry point of install-templates: hands control to Main, which runs the install pass and ends
// the process. On Windows a GUI-subsystem program: no console, no window shown.
#include "install/modMain.h"

#ifdef _WIN32
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  install::Main();
  return 0;
}
#else
int main() {
  install::Main();
  return 0;
}
#endif
