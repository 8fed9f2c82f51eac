#include "app/connection_warning.h"

#include <string>

#include "app/controls.h"
#include "app/flash_log.h"
#include "app/pictures.h"
#include "app/window_state.h"
#include "res/resource.h"

void OpenConnectionWarning(HWND window) {
  NoteUpdateFailed(LoadText(IDS_SYNC_CLAIMS_USB));
  ShowDialogBox(window, IDD_CONN_WARNING, ConnectionWarningProc, LoadText(IDS_SYNC_CLAIMS_USB),
                LoadText(IDS_CAPTION_ERROR));
}

INT_PTR CALLBACK ConnectionWarningProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) FitPictureToDpi(dialog, IDB_CONN_WARNING, WindowDpi(dialog));
  if (message == kDpiChangedMessage) FitPictureToDpi(dialog, IDB_CONN_WARNING, HIWORD(wParam));
  // Escape (the dialog manager's IDCANCEL) closes it like OK and the close box.
  if (message == WM_CLOSE || (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL))) {
    // The warning's owner is the main window.
    if (MainWindowState* state = StateOf(GetWindow(dialog, GW_OWNER))) {
      ShowStatus(*state, LoadText(IDS_SYNC_CLAIMS_USB));
      SetPhase(*state, Phase::Idle);
    }
    DestroyWindow(dialog);
  }
  return 0;
}
