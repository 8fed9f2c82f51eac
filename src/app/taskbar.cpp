#include "app/taskbar.h"

#include <objbase.h>

namespace {

// Defined here rather than taken from a library: the interface is looked up at run
// time, and on systems before Windows 7 the lookup fails and nothing happens.
const CLSID kTaskbarListClass = {0x56fdf344, 0xfd6d, 0x11d0, {0x95, 0x8a, 0x00, 0x60, 0x97, 0xc9, 0xa0, 0x90}};
const IID kTaskbarList3 = {0xea1afb91, 0x9e28, 0x4b86, {0x90, 0xe9, 0x9e, 0x9f, 0x8a, 0x5e, 0xef, 0xaf}};

ITaskbarList3* Taskbar(TaskbarButton& button) {
  if (button.looked) return button.list.get();
  button.looked = true;
  // This thread's COM may be set up already, in whatever model: either serves.
  HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(init) && init != RPC_E_CHANGED_MODE) return nullptr;
  void* object = nullptr;
  if (FAILED(CoCreateInstance(kTaskbarListClass, nullptr, CLSCTX_INPROC_SERVER, kTaskbarList3, &object)) || !object) {
    return nullptr;
  }
  button.list.reset(static_cast<ITaskbarList3*>(object));
  if (FAILED(button.list->HrInit())) button.list.reset();
  return button.list.get();
}

void Apply(TaskbarButton& button, HWND window) {
  ITaskbarList3* taskbar = window ? Taskbar(button) : nullptr;
  if (!taskbar) return;
  switch (button.state) {
    case TaskbarState::None:
      taskbar->SetProgressState(window, TBPF_NOPROGRESS);
      break;
    case TaskbarState::Progress:
      taskbar->SetProgressState(window, TBPF_NORMAL);
      taskbar->SetProgressValue(window, static_cast<ULONGLONG>(button.position), 100);
      break;
    case TaskbarState::Error:
      taskbar->SetProgressState(window, TBPF_ERROR);
      taskbar->SetProgressValue(window, static_cast<ULONGLONG>(button.position), 100);
      break;
  }
}

}  // namespace

void ShowTaskbarProgress(TaskbarButton& button, HWND window, int position) {
  button.state = TaskbarState::Progress;
  button.position = position;
  Apply(button, window);
}

void ShowTaskbarError(TaskbarButton& button, HWND window) {
  button.state = TaskbarState::Error;
  Apply(button, window);
  FlashTaskbarIfBehind(button, window, GetForegroundWindow());
}

void FlashTaskbarIfBehind(TaskbarButton& button, HWND window, HWND foreground) {
  if (!window || !button.flash) return;
  if (foreground && (foreground == window || GetAncestor(foreground, GA_ROOTOWNER) == window)) return;
  FLASHWINFO info{};
  info.cbSize = sizeof(info);
  info.hwnd = window;
  // Until the user brings the window to the front: a long flash may end while they
  // are away from the screen.
  info.dwFlags = FLASHW_ALL | FLASHW_TIMERNOFG;
  button.flash(&info);
}

void ClearTaskbar(TaskbarButton& button, HWND window) {
  button.state = TaskbarState::None;
  button.position = 0;
  Apply(button, window);
}
