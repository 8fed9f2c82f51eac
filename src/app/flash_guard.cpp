#include "app/flash_guard.h"

#include "app/flash_log.h"
#include "res/resource.h"
#include "text/text.h"

namespace {

ExecutionStateSetter g_setter = SetThreadExecutionState;
bool g_active;
EXECUTION_STATE g_previous;
bool g_reasonCreated;

// Vista and later: resolved at run time, so that the program still starts on XP.
using ReasonCreate = BOOL(WINAPI*)(HWND, LPCWSTR);
using ReasonDestroy = BOOL(WINAPI*)(HWND);

template <typename F>
F User32Function(const char* name) {
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  return user32 ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(user32, name))) : nullptr;
}

}  // namespace

void SetExecutionStateSetter(ExecutionStateSetter setter) { g_setter = setter ? setter : SetThreadExecutionState; }

void BeginFlashGuard(HWND window) {
  if (g_active) return;
  g_active = true;
  g_previous = g_setter(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  LogLine(g_previous ? L"keeping the PC awake" : L"keeping the PC awake: the system refused");
  auto create = User32Function<ReasonCreate>("ShutdownBlockReasonCreate");
  g_reasonCreated = create && window && create(window, LoadText(IDS_SHUTDOWN_REASON).c_str());
}

void EndFlashGuard(HWND window) {
  if (!g_active) return;
  g_active = false;
  // With ES_CONTINUOUS the old flags stand again until changed; without it they would
  // apply once and leave ours in place. 0 (the earlier call failed) gives the plain state.
  g_setter(g_previous | ES_CONTINUOUS);
  LogLine(L"the PC may sleep again");
  if (g_reasonCreated) {
    auto destroy = User32Function<ReasonDestroy>("ShutdownBlockReasonDestroy");
    if (destroy) destroy(window);
    g_reasonCreated = false;
  }
}

bool FlashGuardActive() { return g_active; }

bool MayEndSession() {
  if (!g_active) return true;
  LogLine(L"shutdown or log-off refused: a flash is running");
  return false;
}
