#include "app/controls.h"

#include <commctrl.h>

#include "app/flash_log.h"
#include "app/taskbar.h"
#include "images/discovery.h"
#include "res/resource.h"

namespace {

HWND g_mainWindow;

struct ControlHandles {
  HWND progress, status, update, exit, notes, readme, imageList, ack;
};
ControlHandles g_controls;  // all null until CacheControls

void EnableControl(HWND control, bool enable) {
  if (!control) return;
  // A control that keeps the focus while it is disabled leaves the keyboard dead:
  // hand the focus on to the next control that can take it first, or, when none
  // can, to the window itself.
  bool hadFocus = !enable && g_mainWindow && GetFocus() == control;
  if (hadFocus) {
    HWND next = GetNextDlgTabItem(g_mainWindow, control, FALSE);
    if (next && next != control) SendMessageW(g_mainWindow, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(next), TRUE);
  }
  EnableWindow(control, enable ? TRUE : FALSE);
  if (hadFocus && !GetFocus()) SetFocus(g_mainWindow);
}

}  // namespace

void SetMainWindow(HWND window) { g_mainWindow = window; }
HWND MainWindow() { return g_mainWindow; }

void CacheControls(HWND window) {
  g_controls.progress = GetDlgItem(window, IDC_PROGRESS);
  g_controls.status = GetDlgItem(window, IDC_STATUS);
  g_controls.update = GetDlgItem(window, IDC_UPDATE);
  g_controls.exit = GetDlgItem(window, IDC_EXIT);
  g_controls.notes = GetDlgItem(window, IDC_NOTES);
  g_controls.readme = GetDlgItem(window, IDC_README);
  g_controls.imageList = GetDlgItem(window, IDC_IMAGE_LIST);
  g_controls.ack = GetDlgItem(window, IDC_ACK);
  SendMessageW(g_controls.progress, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
}

void ForgetControls() { g_controls = ControlHandles{}; }

bool ControlsCached() { return g_controls.progress != nullptr; }

void SetControlsEnabled(bool enable) {
  EnableControl(g_controls.ack, enable);
  EnableControl(g_controls.update, enable);
  EnableControl(g_controls.exit, enable);
  EnableControl(g_controls.notes, enable);
  EnableControl(g_controls.readme, enable);
  // The user never opens the list: the program selects its entry.
  EnableControl(g_controls.imageList, false);
}

void SetControlsFailed() {
  // Enable Exit first so that the focus has somewhere to go.
  EnableControl(g_controls.exit, true);
  EnableControl(g_controls.ack, false);
  EnableControl(g_controls.update, false);
  EnableControl(g_controls.notes, false);
  EnableControl(g_controls.readme, false);
  EnableControl(g_controls.imageList, false);
}

int ProgressPosition(int value, bool done) {
  if (done) return 100;
  return value > 95 ? 95 : value;
}

void SetProgress(int value, bool done) {
  if (!g_controls.progress) return;
  int position = ProgressPosition(value, done);
  SendMessageW(g_controls.progress, PBM_SETPOS, static_cast<WPARAM>(position), 0);
  ShowTaskbarProgress(g_mainWindow, position);
}

void ResetProgress() {
  if (!g_controls.progress) return;
  SendMessageW(g_controls.progress, PBM_SETPOS, 0, 0);
  ClearTaskbar(g_mainWindow);
}

HWND StatusLine() { return g_controls.status; }

void SetStatusText(const std::wstring& text) {
  if (g_controls.status) SetWindowTextW(g_controls.status, text.c_str());
}

void ShowImageSize(HWND window, uint32_t bytes) {
  SetDlgItemTextW(window, IDC_IMAGE_SIZE, FormatTextNumber(IDS_SIZE_FORMAT, static_cast<int>(bytes >> 10)).c_str());
}

int ShowMessage(HWND owner, const std::wstring& text, UINT captionId, UINT flags) {
  std::wstring caption = LoadText(captionId);
  LogBox(caption, text);
  return MessageBoxW(owner, text.c_str(), caption.c_str(), flags);
}

void ShowError(HWND owner, const std::wstring& text) {
  ShowMessage(owner, text, IDS_CAPTION_ERROR, MB_OK | MB_ICONERROR);
}

void ApplyAcknowledgementRule(HWND window) {
  bool ticked = IsDlgButtonChecked(window, IDC_ACK) == BST_CHECKED;
  EnableWindow(GetDlgItem(window, IDC_UPDATE), UpdateAllowed() && ticked ? TRUE : FALSE);
}
