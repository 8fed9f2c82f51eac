#include "app/connection_warning.h"

#include <string>

#include "app/controls.h"
#include "app/flash_log.h"
#include "app/pictures.h"
#include "app/window_state.h"
#include "res/resource.h"

void OpenConnectionWarning(HWND window) {
  // A dialog that stands for a message box: logged as one.
  LogBox(LoadText(IDS_CAPTION_ERROR), LoadText(IDS_SYNC_CLAIMS_USB));
  NoteUpdateFailed(LoadText(IDS_SYNC_CLAIMS_USB));
  HWND warning =
      CreateDialogParamW(AppInstance(), MAKEINTRESOURCEW(IDD_CONN_WARNING), window, ConnectionWarningProc, 0);
  if (warning) ShowWindow(warning, SW_SHOW);
}

INT_PTR CALLBACK ConnectionWarningProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) FitPictureToDpi(dialog, IDB_CONN_WARNING, WindowDpi(dialog));
  if (message == kDpiChangedMessage) FitPictureToDpi(dialog, IDB_CONN_WARNING, HIWORD(wParam));
  // Escape (the dialog manager's IDCANCEL) closes it like OK and the close box.
  if (message == WM_CLOSE || (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL))) {
    std::wstring text = LoadText(IDS_SYNC_CLAIMS_USB);
    // The warning's owner is the main window.
    HWND main = GetWindow(dialog, GW_OWNER);
    SetDlgItemTextW(main, IDC_STATUS, text.c_str());
    LogStatus(text);
    if (MainWindowState* state = StateOf(main)) SetControlsEnabled(*state, true);
    DestroyWindow(dialog);
  }
  return 0;
}
