#include "app/one_copy.h"

namespace {

// The same name for every build and folder of the program: whichever copy runs
// first holds the device, wherever it was started from.
const wchar_t kClaimName[] = L"Local\\Quon-r47flash-a0e5cf0c-e584-47f8-ac69-571f81b7d640";
// Window property that marks the running copy's main window.
const wchar_t kMainWindowMark[] = L"Quon-r47flash-main-window";

// How long a second copy waits for the first one's window to appear (the first copy
// is still starting) or for the first one to let go (it is ending).
constexpr DWORD kOtherCopyWaitMs = 10000;
constexpr DWORD kOtherCopyPollMs = 50;

HANDLE g_claim;
bool g_isTheCopy;

BOOL CALLBACK FindMarkedWindow(HWND window, LPARAM found) {
  if (GetPropW(window, kMainWindowMark) && IsWindowVisible(window)) {
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
  }
  return TRUE;
}

HWND OtherCopysWindow() {
  HWND found = nullptr;
  EnumWindows(FindMarkedWindow, reinterpret_cast<LPARAM>(&found));
  return found;
}

void BringToFront(HWND window) {
  // Asynchronous: the other copy's thread may be busy, and this copy must not wait on it.
  if (IsIconic(window)) ShowWindowAsync(window, SW_RESTORE);
  // A box or dialog of the other copy that is open in front of its window gets the focus.
  HWND popup = GetLastActivePopup(window);
  SetForegroundWindow(popup && IsWindowVisible(popup) ? popup : window);
}

}  // namespace

bool ClaimOnlyCopy() {
  SetLastError(ERROR_SUCCESS);
  g_claim = CreateMutexW(nullptr, TRUE, kClaimName);
  const DWORD error = GetLastError();
  if (g_claim && error != ERROR_ALREADY_EXISTS) {
    g_isTheCopy = true;
    return true;
  }
  if (!g_claim && error != ERROR_ACCESS_DENIED) {
    // Nothing says another copy runs (the name could not be made at all): run.
    g_isTheCopy = true;
    return true;
  }
  // Another copy holds the name (access denied: one started under another account in
  // this session, whose window we may still find).
  // GetTickCount (not the 64-bit one, which XP lacks); the difference survives its wrap.
  const DWORD start = GetTickCount();
  for (;;) {
    if (HWND other = OtherCopysWindow()) {
      BringToFront(other);
      break;
    }
    if (g_claim) {
      // The other copy may be ending: once it lets go, this copy is the one.
      DWORD waited = WaitForSingleObject(g_claim, kOtherCopyPollMs);
      if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
        g_isTheCopy = true;
        return true;
      }
    } else {
      Sleep(kOtherCopyPollMs);
    }
    if (GetTickCount() - start >= kOtherCopyWaitMs) break;
  }
  // Found and brought forward, or a copy that shows no window in time: either way it
  // has the device, so this copy stays out.
  if (g_claim) CloseHandle(g_claim);
  g_claim = nullptr;
  return false;
}

void MarkMainWindow(HWND window) {
  if (g_isTheCopy) SetPropW(window, kMainWindowMark, reinterpret_cast<HANDLE>(1));
}

void UnmarkMainWindow(HWND window) { RemovePropW(window, kMainWindowMark); }

void ReleaseOnlyCopy() {
  if (!g_claim) return;
  if (g_isTheCopy) ReleaseMutex(g_claim);
  CloseHandle(g_claim);
  g_claim = nullptr;
  g_isTheCopy = false;
}
