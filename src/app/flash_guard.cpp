#include "app/flash_guard.h"

#include "app/flash_log.h"
#include "res/resource.h"
#include "text/text.h"

namespace {

// Vista and later: resolved at run time, so that the program still starts on XP.
using ReasonCreate = BOOL(WINAPI*)(HWND, LPCWSTR);
using ReasonDestroy = BOOL(WINAPI*)(HWND);

template <typename F>
F User32Function(const char* name) {
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  return user32 ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(user32, name))) : nullptr;
}

}  // namespace

void BeginFlashGuard(FlashGuard& guard, HWND window) {
  if (guard.active) return;
  guard.active = true;
  guard.previous = guard.setter(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  LogLine(guard.previous ? L"keeping the PC awake" : L"keeping the PC awake: the system refused");
  auto create = User32Function<ReasonCreate>("ShutdownBlockReasonCreate");
  guard.reasonCreated = create && window && create(window, LoadText(IDS_SHUTDOWN_REASON).c_str());
}

void EndFlashGuard(FlashGuard& guard, HWND window) {
  if (!guard.active) return;
  guard.active = false;
  // With ES_CONTINUOUS the old flags stand again until changed; without it they would
  // apply once and leave ours in place. 0 (the earlier call failed) gives the plain state.
  guard.setter(guard.previous | ES_CONTINUOUS);
  LogLine(L"the PC may sleep again");
  if (guard.reasonCreated) {
    auto destroy = User32Function<ReasonDestroy>("ShutdownBlockReasonDestroy");
    if (destroy) destroy(window);
    guard.reasonCreated = false;
  }
}

bool MayEndSession(const FlashGuard& guard) {
  if (!guard.active) return true;
  LogLine(L"shutdown or log-off refused: a flash is running");
  return false;
}
