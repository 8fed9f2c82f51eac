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

void SetPhase(MainWindowState& state, Phase phase) {
  state.phase = phase;
  // The window goes now: its controls stay as the last phase left them.
  if (phase == Phase::Ending) return;
  // The idle look's first sight after a busy spell is not news (device_watch.*).
  if (IsBusy(phase)) state.watch.sawBusy = true;
  const ControlHandles& c = state.controls;
  const ControlStates want = ControlsFor(phase, state.found.updateAllowed && state.ackTicked);
  // Update goes off first and comes back last: whoever sees it enabled (an
  // accessibility tool, a script driving the window) sees the whole idle window.
  // Exit comes on before the rest goes off, so that the focus has somewhere to go.
  if (!want.update) EnableControl(state.window, c.update, false);
  if (want.exit) EnableControl(state.window, c.exit, true);
  EnableControl(state.window, c.ack, want.ack);
  EnableControl(state.window, c.notes, want.notes);
  EnableControl(state.window, c.readme, want.readme);
  if (!want.exit) EnableControl(state.window, c.exit, false);
  if (want.update) EnableControl(state.window, c.update, true);
  // The user never opens the list: the program selects its entry.
  EnableControl(state.window, c.imageList, false);
}

void NoteAcknowledgement(MainWindowState& state, bool ticked) {
  state.ackTicked = ticked;
  // The box is enabled only while idle; Update follows it then.
  if (state.phase != Phase::Idle) return;
  const bool update = ControlsFor(Phase::Idle, state.found.updateAllowed && ticked).update;
  EnableWindow(GetDlgItem(state.window, IDC_UPDATE), update ? TRUE : FALSE);
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

void ShowStatus(const MainWindowState& state, const std::wstring& text) {
  // Written down even where there is no status line to show it on: the log has what
  // the program meant to say.
  // The status line is there from the start, also where the other controls were
  // never looked up (no image found).
  HWND status = state.controls.status ? state.controls.status : GetDlgItem(state.window, IDC_STATUS);
  if (status) SetWindowTextW(status, text.c_str());
  LogStatus(text);
}

void ShowImageSize(HWND window, uint32_t bytes) {
  SetDlgItemTextW(window, IDC_IMAGE_SIZE, FormatTextNumber(IDS_SIZE_FORMAT, static_cast<int>(bytes >> 10)).c_str());
}

int ShowBox(HWND owner, const std::wstring& text, const std::wstring& caption, UINT flags) {
  LogBox(caption, text);
  return MessageBoxW(owner, text.c_str(), caption.c_str(), flags);
}

HWND ShowDialogBox(HWND owner, UINT dialogId, DLGPROC proc, const std::wstring& text, const std::wstring& caption) {
  // A dialog that stands for a message box: logged as one.
  LogBox(caption, text);
  HWND dialog = CreateDialogParamW(AppInstance(), MAKEINTRESOURCEW(dialogId), owner, proc, 0);
  if (dialog) ShowWindow(dialog, SW_SHOW);
  return dialog;
}

INT_PTR ShowModalDialogBox(HWND owner, UINT dialogId, DLGPROC proc, LPARAM param, const std::wstring& text,
                           const std::wstring& caption) {
  LogBox(caption, text);
  return DialogBoxParamW(AppInstance(), MAKEINTRESOURCEW(dialogId), owner, proc, param);
}

int ShowMessage(HWND owner, const std::wstring& text, UINT captionId, UINT flags) {
  return ShowBox(owner, text, LoadText(captionId), flags);
}

void ShowError(HWND owner, const std::wstring& text) {
  // During an update, the error it ends with: the log's closing line names it.
  NoteUpdateFailed(text);
  ShowMessage(owner, text, IDS_CAPTION_ERROR, MB_OK | MB_ICONERROR);
}
