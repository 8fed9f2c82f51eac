#include "app/status_tip.h"

#include <commctrl.h>

#include <string>

#include "res/resource.h"

namespace {

// What the tip shows until it asks again; only the window's thread asks.
std::wstring g_tipText;

}  // namespace

bool FitsStatusLine(HWND status, const wchar_t* text) {
  RECT client{};
  GetClientRect(status, &client);
  HDC dc = GetDC(status);
  if (!dc) return true;
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(status, WM_GETFONT, 0, 0)));
  SIZE size{};
  const BOOL measured = GetTextExtentPoint32W(dc, text, lstrlenW(text), &size);
  SelectObject(dc, old);
  ReleaseDC(status, dc);
  return !measured || size.cx <= client.right - client.left;
}

void AddStatusTip(HWND window) {
  HWND status = GetDlgItem(window, IDC_STATUS);
  if (!status) return;
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_BAR_CLASSES};  // the tooltip class
  InitCommonControlsEx(&controls);
  HWND tip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP,
                             CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window, nullptr,
                             reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(window, GWLP_HINSTANCE)), nullptr);
  if (!tip) return;
  // The size that every version of the common controls from XP on accepts.
  TOOLINFOW tool{};
  tool.cbSize = TTTOOLINFOW_V2_SIZE;
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = window;
  tool.uId = reinterpret_cast<UINT_PTR>(status);
  tool.lpszText = LPSTR_TEXTCALLBACKW;
  SendMessageW(tip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  // A long text wraps in the tip at the status line's width instead of running off.
  RECT line{};
  GetWindowRect(status, &line);
  SendMessageW(tip, TTM_SETMAXTIPWIDTH, 0, line.right - line.left);
  // Long enough to read a text of two lines.
  SendMessageW(tip, TTM_SETDELAYTIME, TTDT_AUTOPOP, MAKELPARAM(30000, 0));
}

bool AnswerStatusTip(HWND window, LPARAM lParam) {
  const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
  HWND status = GetDlgItem(window, IDC_STATUS);
  if (!header || header->code != TTN_GETDISPINFOW || header->idFrom != reinterpret_cast<UINT_PTR>(status)) {
    return false;
  }
  auto* info = reinterpret_cast<NMTTDISPINFOW*>(lParam);
  const int length = GetWindowTextLengthW(status);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(status, &text[0], length + 1)));
  // A text that the line shows whole needs no tip: an empty one is never shown.
  g_tipText = FitsStatusLine(status, text.c_str()) ? std::wstring() : text;
  info->lpszText = const_cast<wchar_t*>(g_tipText.c_str());
  info->szText[0] = L'\0';
  info->hinst = nullptr;
  return true;
}
