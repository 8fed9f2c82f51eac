#include "app/controls.h"

#include <commctrl.h>

#include <memory>

#include "res/resource.h"

namespace {

HINSTANCE g_instance;
HWND g_mainWindow;

struct ControlHandles {
  HWND progress, status, update, exit, notes, readme, imageList, ack;
};
ControlHandles g_controls;  // all null until CacheControls

// Texts for the status line from other threads travel in a posted message that the
// line applies itself, in order. A cross-thread WM_SETTEXT would make the worker
// wait for the window's thread on every change, which costs more than the 16 KiB
// write it reports on. The message owns its text.
constexpr UINT kPostedStatusText = WM_APP + 47;

LRESULT CALLBACK StatusLineProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR) {
  if (message == kPostedStatusText) {
    std::unique_ptr<std::wstring> text(reinterpret_cast<std::wstring*>(lParam));
    if (text) SetWindowTextW(window, text->c_str());
    return 0;
  }
  if (message == WM_NCDESTROY) RemoveWindowSubclass(window, StatusLineProc, 0);
  return DefSubclassProc(window, message, wParam, lParam);
}

void EnableControl(HWND control, bool enable) {
  if (!control) return;
  // A control that keeps the focus while it is disabled leaves the keyboard dead;
  // hand the focus to the window first.
  if (!enable && GetFocus() == control && g_mainWindow) SetFocus(g_mainWindow);
  EnableWindow(control, enable ? TRUE : FALSE);
}

}  // namespace

void SetAppInstance(HINSTANCE instance) { g_instance = instance; }
HINSTANCE AppInstance() { return g_instance; }
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
  SetWindowSubclass(g_controls.status, StatusLineProc, 0, 0);
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
  EnableControl(g_controls.imageList, enable);
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
  // From the worker this does not wait for the window's thread (a cross-thread send
  // costs more than a 16 KiB write under some systems); the position still arrives
  // in order with the worker's other window calls.
  SendNotifyMessageW(g_controls.progress, PBM_SETPOS, static_cast<WPARAM>(ProgressPosition(value, done)), 0);
}

void ResetProgress() {
  if (!g_controls.progress) return;
  SendMessageW(g_controls.progress, PBM_SETPOS, 0, 0);
}

HWND StatusLine() { return g_controls.status; }

void SetStatusText(const std::wstring& text) {
  if (!g_controls.status) return;
  if (GetWindowThreadProcessId(g_controls.status, nullptr) == GetCurrentThreadId()) {
    SetWindowTextW(g_controls.status, text.c_str());
    return;
  }
  auto posted = std::make_unique<std::wstring>(text);
  if (PostMessageW(g_controls.status, kPostedStatusText, 0, reinterpret_cast<LPARAM>(posted.get()))) {
    posted.release();  // the status line frees it
  }
}
