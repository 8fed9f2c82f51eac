#include "app/message_loop.h"

void DeliverMessage(MSG& msg) {
  // Keys for a dialog (Tab, Enter, Escape, mnemonics) are the dialog manager's, for
  // the main window and the modeless Notes, warning and log dialogs alike.
  HWND root = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
  if (root && IsDialogMessageW(root, &msg)) return;
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
}

void RunMessageLoop() {
  MSG msg;
  // -1 is a failure (an invalid window handle given), not a message: never spin on it.
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) DeliverMessage(msg);
}
