#include "app/secondary.h"

#include <shellapi.h>

#include <string>

#include "app/controls.h"
#include "app/pictures.h"
#include "app/ui_text.h"
#include "images/discovery.h"
#include "images/paths.h"
#include "res/resource.h"

namespace {

LRESULT CALLBACK DialogKeyFilter(int code, WPARAM wParam, LPARAM lParam) {
  if (code == MSGF_DIALOGBOX) {
    MSG* msg = reinterpret_cast<MSG*>(lParam);
    HWND root = msg->hwnd ? GetAncestor(msg->hwnd, GA_ROOT) : nullptr;
    // The main window's own keys are the modal loop's business.
    if (root && root != MainWindow() && GetWindow(root, GW_OWNER) == MainWindow() &&
        msg->message >= WM_KEYFIRST && msg->message <= WM_KEYLAST && IsDialogMessageW(root, msg)) {
      return TRUE;
    }
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

}  // namespace

void EnableSecondaryDialogKeys() {
  SetWindowsHookExW(WH_MSGFILTER, DialogKeyFilter, nullptr, GetCurrentThreadId());
}

void ApplyAcknowledgementRule(HWND window) {
  bool ticked = IsDlgButtonChecked(window, IDC_ACK) == BST_CHECKED;
  EnableWindow(GetDlgItem(window, IDC_UPDATE), UpdateAllowed() && ticked ? TRUE : FALSE);
}

void OpenNotesDialog(HWND window) {
  HWND notes = CreateDialogParamW(AppInstance(), MAKEINTRESOURCEW(IDD_NOTES), window, NotesDialogProc, 0);
  if (notes) ShowWindow(notes, SW_SHOW);
}

void OpenConnectionWarning(HWND window) {
  HWND warning =
      CreateDialogParamW(AppInstance(), MAKEINTRESOURCEW(IDD_CONN_WARNING), window, ConnectionWarningProc, 0);
  if (warning) ShowWindow(warning, SW_SHOW);
}

INT_PTR CALLBACK NotesDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) FitPictureToDpi(dialog, IDB_NOTES, WindowDpi(dialog));
  if (message == kDpiChangedMessage) FitPictureToDpi(dialog, IDB_NOTES, HIWORD(wParam));
  if (message == WM_CLOSE || (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL)) DestroyWindow(dialog);
  return 0;
}

INT_PTR CALLBACK ConnectionWarningProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) FitPictureToDpi(dialog, IDB_CONN_WARNING, WindowDpi(dialog));
  if (message == kDpiChangedMessage) FitPictureToDpi(dialog, IDB_CONN_WARNING, HIWORD(wParam));
  if (message == WM_CLOSE || (message == WM_COMMAND && LOWORD(wParam) == IDOK)) {
    SetDlgItemTextW(MainWindow(), IDC_STATUS, LoadText(IDS_SYNC_CLAIMS_USB).c_str());
    SetControlsEnabled(true);
    DestroyWindow(dialog);
  }
  return 0;
}

void ShowReadme(HWND window) {
  std::wstring path = ProgramDirectory() + L"readme.txt";
  if (GetFileAttributesW(ExtendedPath(path).c_str()) == INVALID_FILE_ATTRIBUTES) {
    ShowError(window, LoadText(IDS_README_MISSING));
    return;
  }
  // The shell takes no path beyond MAX_PATH: hand it the short form of a deep path.
  if (path.size() >= MAX_PATH) {
    std::wstring extended = ExtendedPath(path);
    DWORD n = GetShortPathNameW(extended.c_str(), nullptr, 0);
    std::wstring shortPath(n, L'\0');
    if (n) shortPath.resize(GetShortPathNameW(extended.c_str(), &shortPath[0], n));
    if (shortPath.compare(0, 4, L"\\\\?\\") == 0) shortPath.erase(0, 4);
    if (shortPath.empty() || shortPath.size() >= MAX_PATH) {
      ShowError(window, LoadText(IDS_README_MISSING));
      return;
    }
    path = shortPath;
  }
  ShellExecuteW(window, L"open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}
