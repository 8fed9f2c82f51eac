#include "app/log_window.h"

#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
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

// Of a log longer than this, the window shows the end, from a line start. A whole run
// writes a few KiB before the device's reports and about 150 bytes for each second
// that the device formats and writes (a report and a status line), so a run with a
// long flash stays well inside it and is shown whole. A log that grew to megabytes
// would keep the edit control busy for seconds (Wine's lays out every line it holds),
// and the user reads its end anyway; the note above it names the whole file.
constexpr size_t kShownLogBytes = 64u << 10;
// The edit control takes in this much text per message, so that the window answers
// between the pieces: under Wine it lays out every line it is given, 1 to 2 ms of
// processor time each, so 64 KiB at once would keep the window from answering for
// most of a second; a 2 KiB piece cost 20 to 50 ms, and up to 100 ms on a loaded
// machine, so the pieces are 1 KiB.
constexpr size_t kFillPieceChars = 1u << 10;
// Posted by a thread that has read a log for the window (the message carries nothing:
// the read waits in the window's data).
constexpr UINT kLogReadMessage = WM_APP + 16;
// Posted to itself while the edit control is being filled piece by piece.
constexpr UINT kLogFillMessage = WM_APP + 17;
// A read that takes longer than this says so in the window; the timer also finds a
// read whose message got lost.
constexpr UINT_PTR kReadingTimer = 1;
constexpr UINT kReadingNoticeMs = 150;

// One read of an earlier run's log, shared by the window and the thread that reads it:
// whichever lets go last frees it, so a window closed mid-read leaks nothing.
struct LogRead {
  std::wstring path;
  bool programLog = false;
  // Filled by the reading thread before `done` is set.
  bool ok = false;
  DWORD error = 0;
  std::wstring text;
  bool cut = false;
  std::atomic<bool> done{false};
};

// What one log window lists: this run first, then the kept earlier runs.
struct LogWindowData {
  std::wstring folder;
  std::vector<KeptLog> earlier;
  std::shared_ptr<LogRead> reading;  // the read the window waits for, if any
  bool readingShown = false;         // the window says that it reads
  std::wstring filling;              // the text going into the edit control
  size_t filled = 0;                 // how much of it is in
  bool fillPosted = false;           // a fill message is on its way
};

LogWindowData* DataOf(HWND dialog) { return reinterpret_cast<LogWindowData*>(GetWindowLongPtrW(dialog, DWLP_USER)); }

std::wstring DateAndTime(const SYSTEMTIME& t) {
  wchar_t text[32];
  std::swprintf(text, 32, L"%02u.%02u.%04u %02u:%02u:%02u", t.wDay, t.wMonth, t.wYear, t.wHour, t.wMinute, t.wSecond);
  return text;
}

// Text for the edit control: CRLF line ends, and a control character (a file that is
// no log, or the zeros a power loss leaves at a file's end) as "·" instead of cutting
// the text short or garbling it.
std::wstring Displayable(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size() + text.size() / 32);
  for (size_t i = 0; i < text.size(); ++i) {
    const wchar_t c = text[i];
    if (c == L'\n') {
      if (i == 0 || text[i - 1] != L'\r') out += L'\r';
      out += c;
    } else if (c == L'\r' || c == L'\t' || (c >= 0x20 && c != 0x7F)) {
      out += c;
    } else {
      out += L'\u00B7';
    }
  }
  return out;
}

// Where the piece of `text` from `from` ends: at a line's end where there is one.
size_t PieceEnd(const std::wstring& text, size_t from) {
  if (text.size() - from <= kFillPieceChars) return text.size();
  const size_t lineEnd = text.rfind(L'\n', from + kFillPieceChars - 1);
  return lineEnd == std::wstring::npos || lineEnd < from ? from + kFillPieceChars : lineEnd + 1;
}

// Puts the next piece of the text into the edit control, and asks for the next one.
void FillNextPiece(HWND dialog, LogWindowData& data) {
  HWND text = GetDlgItem(dialog, IDC_LOG_TEXT);
  do {
    const size_t end = PieceEnd(data.filling, data.filled);
    const std::wstring piece = data.filling.substr(data.filled, end - data.filled);
    if (data.filled == 0) {
      SetWindowTextW(text, piece.c_str());
    } else {
      const int length = GetWindowTextLengthW(text);
      SendMessageW(text, EM_SETSEL, static_cast<WPARAM>(length), length);
      SendMessageW(text, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(piece.c_str()));
    }
    data.filled = end;
    if (data.filled < data.filling.size() && !data.fillPosted) {
      data.fillPosted = PostMessageW(dialog, kLogFillMessage, 0, 0) != FALSE;
    }
    // A post that failed: the rest goes in now.
  } while (data.filled < data.filling.size() && !data.fillPosted);
  if (data.filled < data.filling.size()) return;
  data.filling.clear();
  data.filled = 0;
  // The end of a log is what the user opens it for.
  const int length = GetWindowTextLengthW(text);
  SendMessageW(text, EM_SETSEL, static_cast<WPARAM>(length), length);
  SendMessageW(text, EM_SCROLLCARET, 0, 0);
}

// A fresh edit control in the place of `old`, which goes. Wine's edit control takes
// about as long to let go of a long text as to take it in, while a control that goes
// lets go of its text at once.
void ReplaceTextControl(HWND dialog, HWND old) {
  RECT place{};
  GetWindowRect(old, &place);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&place), 2);
  HWND fresh = CreateWindowExW(static_cast<DWORD>(GetWindowLongW(old, GWL_EXSTYLE)), L"EDIT", L"",
                               static_cast<DWORD>(GetWindowLongW(old, GWL_STYLE)), place.left, place.top,
                               place.right - place.left, place.bottom - place.top, dialog,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_LOG_TEXT)), AppInstance(), nullptr);
  if (!fresh) return;  // the old one then lets go of its text itself
  SendMessageW(fresh, WM_SETFONT, static_cast<WPARAM>(SendMessageW(old, WM_GETFONT, 0, 0)), FALSE);
  SendMessageW(fresh, EM_SETLIMITTEXT, 0x7FFFFFFE, 0);
  // Its place among the controls, which the Tab key follows.
  SetWindowPos(fresh, old, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  const bool focused = GetFocus() == old;
  DestroyWindow(old);
  if (focused) SetFocus(fresh);
}

void ShowText(HWND dialog, LogWindowData& data, std::wstring content) {
  HWND text = GetDlgItem(dialog, IDC_LOG_TEXT);
  if (static_cast<size_t>(GetWindowTextLengthW(text)) > kFillPieceChars) ReplaceTextControl(dialog, text);
  data.filling = std::move(content);
  data.filled = 0;
  FillNextPiece(dialog, data);
}

// This run's log, from memory: its end, like a long earlier one.
std::wstring ThisRunText() {
  std::wstring text = FlashLogText();
  if (text.size() <= kShownLogBytes) return text;
  text.erase(0, text.size() - kShownLogBytes);
  const size_t line = text.find(L'\n');
  text.erase(0, line == std::wstring::npos ? text.size() : line + 1);
  const std::wstring path = FlashLogPath();
  return path.empty() ? text : FormatTextString(IDS_LOG_TAIL_ONLY, path) + L"\r\n\r\n" + text;
}

void ReadForWindow(LogRead& read) {
  read.ok = ReadLogFile(read.path, kShownLogBytes, &read.text, &read.cut, &read.error);
}

struct ReadJob {
  HWND dialog;
  std::shared_ptr<LogRead> read;
};

DWORD WINAPI ReadingThread(void* parameter) {
  std::unique_ptr<ReadJob> job(static_cast<ReadJob*>(parameter));
  ReadForWindow(*job->read);
  job->read->done.store(true, std::memory_order_release);
  // A window that is gone, or a post that fails, loses nothing: the read is freed
  // with the last holder, and the window's timer looks for it too.
  PostMessageW(job->dialog, kLogReadMessage, 0, 0);
  return 0;
}

// Shows the read that has ended, and forgets it.
void ShowRead(HWND dialog, LogWindowData& data) {
  KillTimer(dialog, kReadingTimer);
  const std::shared_ptr<LogRead> read = std::move(data.reading);
  if (!read->ok) {
    const std::wstring texts[] = {read->path, SystemErrorText(read->error)};
    ShowText(dialog, data, FormatText(LoadText(IDS_LOG_UNREADABLE), texts, 2, nullptr, 0));
    return;
  }
  std::wstring content = Displayable(read->text);
  if (!read->programLog) {
    content = FormatTextString(IDS_LOG_NOT_A_LOG, read->path) + (content.empty() ? L"" : L"\r\n\r\n") + content;
  } else if (read->cut) {
    content = FormatTextString(IDS_LOG_TAIL_ONLY, read->path) + L"\r\n\r\n" + content;
  }
  ShowText(dialog, data, std::move(content));
}

// Shows the run at this entry of the list: 0 is this run, from memory. An earlier
// run's file is read on a thread of its own, so that a slow disk never stops the window.
void ShowRun(HWND dialog, LogWindowData& data, size_t entry) {
  data.reading.reset();  // a read still under way is no longer wanted
  data.readingShown = false;
  KillTimer(dialog, kReadingTimer);
  if (entry == 0 || entry > data.earlier.size()) {
    ShowText(dialog, data, ThisRunText());
    return;
  }
  auto read = std::make_shared<LogRead>();
  read->path = data.earlier[entry - 1].path;
  read->programLog = data.earlier[entry - 1].programLog;
  data.reading = read;
  auto* job = new ReadJob{dialog, read};
  HANDLE thread = CreateThread(nullptr, 0, ReadingThread, job, 0, nullptr);
  if (!thread) {
    // No thread to spare: the read is bounded, so it is done here.
    delete job;
    ReadForWindow(*read);
    read->done = true;
    ShowRead(dialog, data);
    return;
  }
  CloseHandle(thread);
  SetTimer(dialog, kReadingTimer, kReadingNoticeMs, nullptr);
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
        // Without a closing line a log of this program's is a run that was killed;
        // another file says nothing about any run.
        id = log.programLog ? IDS_LOG_RUN_UNKNOWN : IDS_LOG_RUN_NOT_A_LOG;
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
        // The whole of what is shown, also while it still goes in.
        HWND text = GetDlgItem(dialog, IDC_LOG_TEXT);
        std::wstring content(static_cast<size_t>(GetWindowTextLengthW(text)) + 1, L'\0');
        content.resize(static_cast<size_t>(GetWindowTextW(text, &content[0], static_cast<int>(content.size()))));
        CopyToClipboard(dialog, data && !data->filling.empty() ? data->filling : content);
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
    case kLogFillMessage: {
      LogWindowData* data = DataOf(dialog);
      if (!data) return TRUE;
      data->fillPosted = false;
      if (!data->filling.empty()) FillNextPiece(dialog, *data);
      return TRUE;
    }
    case kLogReadMessage: {
      LogWindowData* data = DataOf(dialog);
      if (data && data->reading && data->reading->done.load(std::memory_order_acquire)) ShowRead(dialog, *data);
      return TRUE;
    }
    case WM_TIMER: {
      LogWindowData* data = DataOf(dialog);
      if (wParam != kReadingTimer || !data || !data->reading) return TRUE;
      if (data->reading->done.load(std::memory_order_acquire)) {
        ShowRead(dialog, *data);
      } else if (!data->readingShown) {
        data->readingShown = true;
        ShowText(dialog, *data, FormatTextString(IDS_LOG_READING, data->reading->path));
      }
      return TRUE;
    }
    case WM_CLOSE:
      DestroyWindow(dialog);
      return TRUE;
    case WM_DESTROY:
      KillTimer(dialog, kReadingTimer);
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
