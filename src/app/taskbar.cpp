#include "app/taskbar.h"

#include <objbase.h>
#include <shobjidl.h>

namespace {

// Defined here rather than taken from a library: the interface is looked up at run
// time, and on systems before Windows 7 the lookup fails and nothing happens.
const CLSID kTaskbarListClass = {0x56fdf344, 0xfd6d, 0x11d0, {0x95, 0x8a, 0x00, 0x60, 0x97, 0xc9, 0xa0, 0x90}};
const IID kTaskbarList3 = {0xea1afb91, 0x9e28, 0x4b86, {0x90, 0xe9, 0x9e, 0x9f, 0x8a, 0x5e, 0xef, 0xaf}};

ITaskbarList3* g_taskbar;
bool g_looked;
TaskbarState g_state = TaskbarState::None;
int g_position;

ITaskbarList3* Taskbar() {
  if (g_looked) return g_taskbar;
  g_looked = true;
  // This thread's COM may be set up already, in whatever model: either serves.
  HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(init) && init != RPC_E_CHANGED_MODE) return nullptr;
  void* object = nullptr;
  if (FAILED(CoCreateInstance(kTaskbarListClass, nullptr, CLSCTX_INPROC_SERVER, kTaskbarList3, &object)) || !object) {
    return nullptr;
  }
  g_taskbar = static_cast<ITaskbarList3*>(object);
  if (FAILED(g_taskbar->HrInit())) {
    g_taskbar->Release();
    g_taskbar = nullptr;
  }
  return g_taskbar;
}

void Apply(HWND window) {
  ITaskbarList3* taskbar = window ? Taskbar() : nullptr;
  if (!taskbar) return;
  switch (g_state) {
    case TaskbarState::None:
      taskbar->SetProgressState(window, TBPF_NOPROGRESS);
      break;
    case TaskbarState::Progress:
      taskbar->SetProgressState(window, TBPF_NORMAL);
      taskbar->SetProgressValue(window, static_cast<ULONGLONG>(g_position), 100);
      break;
    case TaskbarState::Error:
      taskbar->SetProgressState(window, TBPF_ERROR);
      taskbar->SetProgressValue(window, static_cast<ULONGLONG>(g_position), 100);
      break;
  }
}

}  // namespace

void ShowTaskbarProgress(HWND window, int position) {
  g_state = TaskbarState::Progress;
  g_position = position;
  Apply(window);
}

void ShowTaskbarError(HWND window) {
  g_state = TaskbarState::Error;
  Apply(window);
}

void ClearTaskbar(HWND window) {
  g_state = TaskbarState::None;
  g_position = 0;
  Apply(window);
}

TaskbarState LastTaskbarState() { return g_state; }
int LastTaskbarPosition() { return g_position; }
