#include "app/window_state.h"

void AttachWindowState(HWND window, MainWindowState& state) {
  state.window = window;
  SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(&state));
}

MainWindowState* StateOf(HWND window) {
  return window ? reinterpret_cast<MainWindowState*>(GetWindowLongPtrW(window, DWLP_USER)) : nullptr;
}
