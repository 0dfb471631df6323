#include "install/Form1.h"

namespace install {

std::uintptr_t Form1::hWnd() {
  if (!window_) window_ = platform_.CreateHiddenWindow(kCaption, kClientWidth, kClientHeight);
  return window_ ? window_->Handle() : 0;
}

}  // namespace install
