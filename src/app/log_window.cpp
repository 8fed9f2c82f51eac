#include "app/log_window.h"

#include <cstring>

#include "app/controls.h"
#include "app/flash_log.h"
#include "app/logged_events.h"
#include "res/resource.h"
#include "text/text.h"

void AddSystemMenuItems(HWND window) {
  HMENU menu = GetSystemMenu(window, FALSE);
  if (!menu) return;
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(menu, MF_STRING, IDM_SHOW_LOG, LoadText(IDS_MENU_SHOW_LOG).c_str());
  AppendMenuW(menu, MF_STRING, IDM_ABOUT, LoadText(IDS_MENU_ABOUT).c_str());
}

bool HandleSystemMenuCommand(HWND window, WPARAM command) {
  // The system uses the low four bits of a system command for itself.
  switch (command & 0xFFF0) {
    case IDM_SHOW_LOG:
      OpenLogWindow(window);
      return true;
    case IDM_ABOUT:
      ShowMessage(window, AboutText(), IDS_ABOUT_CAPTION, MB_OK | MB_ICONINFORMATION);
      return true;
  }
  return false;
}

HWND OpenLogWindow(HWND owner) {
  HWND dialog = CreateDialogParamW(AppInstance(), MAKEINTRESOURCEW(IDD_LOG), owner, LogWindowProc, 0);
  if (dialog) ShowWindow(dialog, SW_SHOW);
  return dialog;
}

INT_PTR CALLBACK LogWindowProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG: {
      HWND text = GetDlgItem(dialog, IDC_LOG_TEXT);
      // An edit control holds 32 K characters unless told otherwise.
      SendMessageW(text, EM_SETLIMITTEXT, 0x7FFFFFFE, 0);
      SetWindowTextW(text, FlashLogText().c_str());
      // The end of the log is what the user opens it for.
      int length = GetWindowTextLengthW(text);
      SendMessageW(text, EM_SETSEL, static_cast<WPARAM>(length), length);
      SendMessageW(text, EM_SCROLLCARET, 0, 0);
      SetFocus(GetDlgItem(dialog, IDC_LOG_COPY));
      return FALSE;  // the focus is set
    }
    case WM_COMMAND:
      if (LOWORD(wParam) == IDC_LOG_COPY) {
        HWND text = GetDlgItem(dialog, IDC_LOG_TEXT);
        std::wstring content(static_cast<size_t>(GetWindowTextLengthW(text)) + 1, L'\0');
        content.resize(static_cast<size_t>(GetWindowTextW(text, &content[0], static_cast<int>(content.size()))));
        CopyToClipboard(dialog, content);
      } else if (LOWORD(wParam) == IDCANCEL) {
        DestroyWindow(dialog);
      }
      return TRUE;
    case WM_CLOSE:
      DestroyWindow(dialog);
      return TRUE;
  }
  return FALSE;
}

bool CopyToClipboard(HWND owner, const std::wstring& text) {
  const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes);
  if (!block) return false;
  void* target = GlobalLock(block);
  if (!target) {
    GlobalFree(block);
    return false;
  }
  std::memcpy(target, text.c_str(), bytes);
  GlobalUnlock(block);
  if (!OpenClipboard(owner)) {
    GlobalFree(block);
    return false;
  }
  EmptyClipboard();
  bool placed = SetClipboardData(CF_UNICODETEXT, block) != nullptr;
  CloseClipboard();
  if (!placed) GlobalFree(block);  // the clipboard owns it only once it took it
  return placed;
}

std::wstring ProgramVersion() {
  HRSRC found = FindResourceW(AppInstance(), MAKEINTRESOURCEW(VS_VERSION_INFO), MAKEINTRESOURCEW(16) /* RT_VERSION */);
  HGLOBAL loaded = found ? LoadResource(AppInstance(), found) : nullptr;
  const BYTE* data = loaded ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
  DWORD size = found ? SizeofResource(AppInstance(), found) : 0;
  if (!data) return std::wstring();
  // The fixed part follows the key "VS_VERSION_INFO"; it starts with its signature.
  for (DWORD at = 0; at + sizeof(VS_FIXEDFILEINFO) <= size; at += 4) {
    VS_FIXEDFILEINFO info;
    std::memcpy(&info, data + at, sizeof(info));
    if (info.dwSignature != 0xFEEF04BD) continue;
    return std::to_wstring(HIWORD(info.dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(info.dwFileVersionMS)) + L"." +
           std::to_wstring(HIWORD(info.dwFileVersionLS)) + L"." + std::to_wstring(LOWORD(info.dwFileVersionLS));
  }
  return std::wstring();
}

std::wstring AboutText() {
  std::wstring text = FormatTextString(IDS_ABOUT_TEXT, ProgramVersion());
  std::wstring path = FlashLogPath();
  if (!path.empty()) text += L"\n\n" + FormatTextString(IDS_ABOUT_LOG, path);
  std::wstring checksum = LastImageChecksum();
  if (!checksum.empty()) text += L"\n\n" + FormatTextString(IDS_ABOUT_CHECKSUM, checksum);
  return text;
}
