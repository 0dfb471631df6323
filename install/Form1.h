// Form1: the program's only form. It is never shown and only supplies a window handle (the owner of
// the shell's folder look-up). The window comes into being the first time its handle is asked for.
#pragma once

#include <cstdint>
#include <memory>

#include "install/platform/Platform.h"

namespace install {

class Form1 {
 public:
  static constexpr const char* kCaption = "Form1";
  static constexpr int kClientWidth = 312;   // 4680 twips at 96 dpi
  static constexpr int kClientHeight = 206;  // 3090 twips at 96 dpi

  explicit Form1(platform::Platform& p = platform::Default()) : platform_(p) {}

  // The window handle, creating the window on first use (0 when it cannot be made, and on Linux).
  std::uintptr_t hWnd();

  // Destroys the window; a later hWnd() makes a new one.
  void Unload() { window_.reset(); }

  bool Loaded() const { return window_ != nullptr; }

 private:
  platform::Platform& platform_;
  std::unique_ptr<platform::Window> window_;
};

}  // namespace install
