#include "app/message_loop.h"

namespace {

// A condition has no event to wake the wait: it is looked at again this often.
constexpr DWORD kConditionPollMs = 20;

// Keys for a dialog (Tab, Enter, Escape, mnemonics) are the dialog manager's, for
// the main window and the modeless Notes and warning dialogs alike.
bool GiveToDialog(MSG& msg) {
  HWND root = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
  return root && IsDialogMessageW(root, &msg);
}

}  // namespace

LoopEnd ServeMessages(DWORD timeoutMs, HANDLE event, const std::function<bool()>& done, bool consumeQuit) {
  // GetTickCount (not the 64-bit one, which XP lacks): the difference of two
  // readings is right across its wrap.
  const DWORD start = GetTickCount();
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        if (!consumeQuit) PostQuitMessage(static_cast<int>(msg.wParam));
        return LoopEnd::Quit;
      }
      if (!GiveToDialog(msg)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
    }
    if (done && done()) return LoopEnd::Done;
    if (event && WaitForSingleObject(event, 0) == WAIT_OBJECT_0) return LoopEnd::Event;
    DWORD waitMs = INFINITE;
    if (timeoutMs != INFINITE) {
      DWORD elapsed = GetTickCount() - start;
      if (elapsed >= timeoutMs) return LoopEnd::TimedOut;
      waitMs = timeoutMs - elapsed;
    }
    if (done && waitMs > kConditionPollMs) waitMs = kConditionPollMs;
    MsgWaitForMultipleObjectsEx(event ? 1 : 0, event ? &event : nullptr, waitMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
}

DWORD WaitServingMessages(HANDLE event, DWORD timeoutMs) {
  switch (ServeMessages(timeoutMs, event)) {
    case LoopEnd::Event:
      return WAIT_OBJECT_0;
    case LoopEnd::Quit:
      return WAIT_ABANDONED;
    default:
      return WAIT_TIMEOUT;
  }
}

void RunMessageLoop() { ServeMessages(INFINITE, nullptr, nullptr, true); }
