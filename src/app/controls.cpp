#include "app/controls.h"

#include <commctrl.h>

#include "app/flash_log.h"
#include "app/taskbar.h"
#include "app/window_state.h"
#include "res/resource.h"

namespace {

void EnableControl(HWND window, HWND control, bool enable) {
  if (!control) return;
  // A control that keeps the focus while it is disabled leaves the keyboard dead:
  // hand the focus on to the next control that can take it first, or, when none
  // can, to the window itself.
  bool hadFocus = !enable && window && GetFocus() == control;
  if (hadFocus) {
    HWND next = GetNextDlgTabItem(window, control, FALSE);
    if (next && next != control) SendMessageW(window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(next), TRUE);
  }
  EnableWindow(control, enable ? TRUE : FALSE);
  if (hadFocus && !GetFocus()) SetFocus(window);
}

}  // namespace

void CacheControls(MainWindowState& state) {
  HWND window = state.window;
  ControlHandles& c = state.controls;
  c.progress = GetDlgItem(window, IDC_PROGRESS);
  c.status = GetDlgItem(window, IDC_STATUS);
  c.update = GetDlgItem(window, IDC_UPDATE);
  c.exit = GetDlgItem(window, IDC_EXIT);
  c.notes = GetDlgItem(window, IDC_NOTES);
  c.readme = GetDlgItem(window, IDC_README);
  c.imageList = GetDlgItem(window, IDC_IMAGE_LIST);
  c.ack = GetDlgItem(window, IDC_ACK);
  SendMessageW(c.progress, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
}

bool ControlsCached(const MainWindowState& state) { return state.controls.progress != nullptr; }

void SetControlsEnabled(MainWindowState& state, bool enable) {
  const ControlHandles& c = state.controls;
  // Update goes off first and comes back last: whoever sees it enabled (an
  // accessibility tool, a script driving the window) sees the whole idle window.
  if (!enable) EnableControl(state.window, c.update, false);
  EnableControl(state.window, c.ack, enable);
  EnableControl(state.window, c.exit, enable);
  EnableControl(state.window, c.notes, enable);
  EnableControl(state.window, c.readme, enable);
  if (enable) EnableControl(state.window, c.update, true);
  // The user never opens the list: the program selects its entry.
  EnableControl(state.window, c.imageList, false);
}

void SetControlsFailed(MainWindowState& state) {
  const ControlHandles& c = state.controls;
  // Enable Exit first so that the focus has somewhere to go.
  EnableControl(state.window, c.exit, true);
  EnableControl(state.window, c.ack, false);
  EnableControl(state.window, c.update, false);
  EnableControl(state.window, c.notes, false);
  EnableControl(state.window, c.readme, false);
  EnableControl(state.window, c.imageList, false);
}

void SetControlsPreflight(MainWindowState& state) {
  // Exit alone, as after a broken connection. The focus stays where the busy state
  // left it (with the window): an Enter meant for the busy window must not end the
  // program; Escape and Tab reach Exit from there.
  SetControlsFailed(state);
}

int ProgressPosition(int value, bool done) {
  if (done) return 100;
  return value > 95 ? 95 : value;
}

void SetProgress(MainWindowState& state, int value, bool done) {
  if (!state.controls.progress) return;
  int position = ProgressPosition(value, done);
  SendMessageW(state.controls.progress, PBM_SETPOS, static_cast<WPARAM>(position), 0);
  ShowTaskbarProgress(state.taskbar, state.window, position);
}

void ResetProgress(MainWindowState& state) {
  if (!state.controls.progress) return;
  SendMessageW(state.controls.progress, PBM_SETPOS, 0, 0);
  ClearTaskbar(state.taskbar, state.window);
}

void SetStatusText(const MainWindowState& state, const std::wstring& text) {
  if (state.controls.status) SetWindowTextW(state.controls.status, text.c_str());
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
  // During an update, the error it ends with: the log's closing line names it.
  NoteUpdateFailed(text);
  ShowMessage(owner, text, IDS_CAPTION_ERROR, MB_OK | MB_ICONERROR);
}

void ApplyAcknowledgementRule(const MainWindowState& state) {
  HWND window = state.window;
  bool ticked = IsDlgButtonChecked(window, IDC_ACK) == BST_CHECKED;
  EnableWindow(GetDlgItem(window, IDC_UPDATE), state.found.updateAllowed && ticked ? TRUE : FALSE);
}
