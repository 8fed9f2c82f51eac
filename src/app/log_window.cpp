#include "app/log_window.h"

#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "app/controls.h"
#include "app/flash_log.h"
#include "app/kept_logs.h"
#include "app/logged_events.h"
#include "res/resource.h"
#include "text/text.h"
#include "util/system_text.h"

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

namespace {

// An earlier run's log is shown up to this size; of a longer one, its end.
constexpr size_t kShownLogBytes = 8u << 20;

// What one log window lists: this run first, then the kept earlier runs.
struct LogWindowData {
  std::wstring folder;
  std::vector<KeptLog> earlier;
};

LogWindowData* DataOf(HWND dialog) { return reinterpret_cast<LogWindowData*>(GetWindowLongPtrW(dialog, DWLP_USER)); }

std::wstring DateAndTime(const SYSTEMTIME& t) {
  wchar_t text[32];
  std::swprintf(text, 32, L"%02u.%02u.%04u %02u:%02u:%02u", t.wDay, t.wMonth, t.wYear, t.wHour, t.wMinute, t.wSecond);
  return text;
}

void ShowText(HWND dialog, const std::wstring& content) {
  HWND text = GetDlgItem(dialog, IDC_LOG_TEXT);
  SetWindowTextW(text, content.c_str());
  // The end of a log is what the user opens it for.
  int length = GetWindowTextLengthW(text);
  SendMessageW(text, EM_SETSEL, static_cast<WPARAM>(length), length);
  SendMessageW(text, EM_SCROLLCARET, 0, 0);
}

// Shows the run at this entry of the list: 0 is this run, from memory.
void ShowRun(HWND dialog, const LogWindowData& data, size_t entry) {
  if (entry == 0 || entry > data.earlier.size()) {
    ShowText(dialog, FlashLogText());
    return;
  }
  const std::wstring& path = data.earlier[entry - 1].path;
  std::wstring content;
  bool cut = false;
  DWORD error = 0;
  if (!ReadLogFile(path, kShownLogBytes, &content, &cut, &error)) {
    const std::wstring texts[] = {path, SystemErrorText(error)};
    ShowText(dialog, FormatText(LoadText(IDS_LOG_UNREADABLE), texts, 2, nullptr, 0));
    return;
  }
  if (cut) content = FormatTextString(IDS_LOG_TAIL_ONLY, path) + L"\r\n\r\n" + content;
  ShowText(dialog, content);
}

// The list's drop-down is as wide as its widest entry: a failure's message is long.
void FitDropDownWidth(HWND list, const std::vector<std::wstring>& entries) {
  HDC dc = GetDC(list);
  if (!dc) return;
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(list, WM_GETFONT, 0, 0)));
  LONG widest = 0;
  for (const std::wstring& e : entries) {
    SIZE size{};
    if (GetTextExtentPoint32W(dc, e.c_str(), static_cast<int>(e.size()), &size)) widest = std::max(widest, size.cx);
  }
  SelectObject(dc, old);
  ReleaseDC(list, dc);
  RECT box{};
  GetWindowRect(list, &box);
  const LONG width = widest + 2 * GetSystemMetrics(SM_CXVSCROLL);
  if (width > box.right - box.left) SendMessageW(list, CB_SETDROPPEDWIDTH, static_cast<WPARAM>(width), 0);
}

void FillRunList(HWND dialog, const LogWindowData& data) {
  HWND list = GetDlgItem(dialog, IDC_LOG_RUNS);
  std::vector<std::wstring> entries;
  entries.push_back(FormatTextString(IDS_LOG_RUN_THIS, DateAndTime(FlashLogStart())));
  for (const KeptLog& log : data.earlier) {
    UINT id = IDS_LOG_RUN_UNKNOWN;
    switch (log.outcome.kind) {
      case RunOutcome::Kind::Unknown:
        id = IDS_LOG_RUN_UNKNOWN;
        break;
      case RunOutcome::Kind::NoUpdate:
        id = IDS_LOG_RUN_NO_UPDATE;
        break;
      case RunOutcome::Kind::PreFlight:
        id = IDS_LOG_RUN_PREFLIGHT;
        break;
      case RunOutcome::Kind::Download:
        id = IDS_LOG_RUN_DOWNLOAD;
        break;
      case RunOutcome::Kind::Completed:
        id = IDS_LOG_RUN_COMPLETED;
        break;
      case RunOutcome::Kind::Failed:
        id = IDS_LOG_RUN_FAILED;
        break;
    }
    const std::wstring texts[] = {DateAndTime(log.started), log.outcome.message};
    entries.push_back(FormatText(LoadText(id), texts, 2, nullptr, 0));
  }
  for (const std::wstring& e : entries) SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(e.c_str()));
  SendMessageW(list, CB_SETCURSEL, 0, 0);
  FitDropDownWidth(list, entries);
}

void OpenLogFolder(HWND dialog, const std::wstring& folder) {
  SetLastError(0);
  HINSTANCE result = ShellExecuteW(dialog, L"open", folder.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  if (reinterpret_cast<INT_PTR>(result) > 32) return;
  DWORD error = GetLastError();
  if (!error) error = static_cast<DWORD>(reinterpret_cast<INT_PTR>(result));
  const std::wstring texts[] = {folder, SystemErrorText(error)};
  // Not ShowError: a failure here is no failure of an update that may be running.
  ShowMessage(dialog, FormatText(LoadText(IDS_LOG_FOLDER_FAILED), texts, 2, nullptr, 0), IDS_CAPTION_ERROR,
              MB_OK | MB_ICONERROR);
}

}  // namespace

INT_PTR CALLBACK LogWindowProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG: {
      auto* data = new LogWindowData;
      data->folder = FlashLogFolder();
      data->earlier = KeptLogs(data->folder, FlashLogPath());
      SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(data));
      // An edit control holds 32 K characters unless told otherwise.
      SendDlgItemMessageW(dialog, IDC_LOG_TEXT, EM_SETLIMITTEXT, 0x7FFFFFFE, 0);
      FillRunList(dialog, *data);
      ShowRun(dialog, *data, 0);
      SetFocus(GetDlgItem(dialog, IDC_LOG_COPY));
      return FALSE;  // the focus is set
    }
    case WM_COMMAND: {
      LogWindowData* data = DataOf(dialog);
      if (LOWORD(wParam) == IDC_LOG_COPY) {
        HWND text = GetDlgItem(dialog, IDC_LOG_TEXT);
        std::wstring content(static_cast<size_t>(GetWindowTextLengthW(text)) + 1, L'\0');
        content.resize(static_cast<size_t>(GetWindowTextW(text, &content[0], static_cast<int>(content.size()))));
        CopyToClipboard(dialog, content);
      } else if (LOWORD(wParam) == IDC_LOG_RUNS && HIWORD(wParam) == CBN_SELCHANGE && data) {
        LRESULT entry = SendDlgItemMessageW(dialog, IDC_LOG_RUNS, CB_GETCURSEL, 0, 0);
        if (entry != CB_ERR) ShowRun(dialog, *data, static_cast<size_t>(entry));
      } else if (LOWORD(wParam) == IDC_LOG_FOLDER && data) {
        OpenLogFolder(dialog, data->folder);
      } else if (LOWORD(wParam) == IDCANCEL) {
        DestroyWindow(dialog);
      }
      return TRUE;
    }
    case WM_CLOSE:
      DestroyWindow(dialog);
      return TRUE;
    case WM_DESTROY:
      delete DataOf(dialog);
      SetWindowLongPtrW(dialog, DWLP_USER, 0);
      return FALSE;
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
