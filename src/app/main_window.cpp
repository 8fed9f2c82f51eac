#include "app/main_window.h"

#include <dbt.h>

#include "app/controls.h"
#include "app/device_watch.h"
#include "app/download_view.h"
#include "app/earlier_run.h"
#include "app/failure_table.h"
#include "app/flash_guard.h"
#include "app/flash_log.h"
#include "app/log_window.h"
#include "app/notes_dialog.h"
#include "app/one_copy.h"
#include "app/pictures.h"
#include "app/readme.h"
#include "app/status_tip.h"
#include "app/update.h"
#include "app/window_messages.h"
#include "app/window_state.h"
#include "images/discovery.h"
#include "res/resource.h"

namespace {

// A dialog has no class icon: the taskbar and Alt+Tab show the program's icon only
// once the window is given it, in the sizes the system uses for both.
void SetWindowIcons(HWND window) {
  HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(window, GWLP_HINSTANCE));
  const struct {
    WPARAM which;
    int width, height;
  } icons[] = {
      {ICON_BIG, GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON)},
      {ICON_SMALL, GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON)},
  };
  for (const auto& icon : icons) {
    // Shared: the system keeps the icon for the process's lifetime; nothing to free.
    HANDLE handle = LoadImageW(instance, MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON, icon.width, icon.height, LR_SHARED);
    if (handle) SendMessageW(window, WM_SETICON, icon.which, reinterpret_cast<LPARAM>(handle));
  }
}

}  // namespace

void InitMainWindow(HWND window, MainWindowState& state) {
  AttachWindowState(window, state);
  SetWindowIcons(window);
  AddSystemMenuItems(window);
  FitPictureToDpi(window, IDB_BANNER, WindowDpi(window));
  AddStatusTip(window);
  MarkMainWindow(window);
  state.found = DiscoverImagesIn(state.programDirectory);
  const ImageDiscovery& found = state.found;
  SendDlgItemMessageW(window, IDC_IMAGE_LIST, CB_RESETCONTENT, 0, 0);
  for (const wchar_t* name : found.listed) {
    SendDlgItemMessageW(window, IDC_IMAGE_LIST, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
  }
  // With no image at all Update stays off and the controls stay uncached: nothing
  // can change them later.
  if (!found.found) EnableWindow(GetDlgItem(window, IDC_UPDATE), FALSE);
  if (found.found) CacheControls(state);
  // An image that is there but cannot be used keeps Update off: say which and why.
  if (found.refused.reason != ImageRefusal::None) {
    LogImageRefused(found.refused);
    ShowStatus(state, RefusedImageText(found.refused));
  }
  StartDeviceWatch(state);
  OfferEarlierRunNotice(state);
}

INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    InitMainWindow(window, *reinterpret_cast<MainWindowState*>(lParam));
    return 0;
  }
  MainWindowState* state = StateOf(window);
  if (!state) return 0;  // the messages before WM_INITDIALOG
  switch (message) {
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDC_UPDATE:
          RunUpdate(*state);
          break;
        case IDC_EXIT:
          // The close box and Escape arrive here too. The phase decides, as it decides
          // whether Exit is enabled: not every dialog manager refuses them for a
          // disabled Exit. During the pre-flight's waits this stops the pre-flight.
          if (EndRequested(*state)) EndProgram(window);
          break;
        case IDC_ACK:
          NoteAcknowledgement(*state, IsDlgButtonChecked(window, IDC_ACK) == BST_CHECKED);
          break;
        case IDC_NOTES:
          OpenNotesDialog(window);
          break;
        case IDC_README:
          ShowReadme(window, state->programDirectory);
          break;
      }
      return 0;
    case kDownloadReportMessage:
      HandleDownloadReport(*state);
      return 0;
    case kEarlierRunNoticeMessage:
      ShowEarlierRunNotice(*state);
      return 0;
    case kEndProgramMessage:
      // A modeless dialog ends by going; its owned Notes dialogs go with it.
      DestroyWindow(window);
      return 0;
    case WM_SYSCOMMAND:
      if (!HandleSystemMenuCommand(window, wParam)) return FALSE;  // the system's own
      SetWindowLongPtrW(window, DWLP_MSGRESULT, 0);
      return TRUE;
    case WM_QUERYENDSESSION:
      // Shutting down or logging off mid-flash can leave the handheld without a ROM.
      SetWindowLongPtrW(window, DWLP_MSGRESULT, MayEndSession(state->guard) ? TRUE : FALSE);
      return TRUE;
    case WM_TIMER:
      if (wParam == kDeviceWatchTimer) LookForDevice(*state);
      return 0;
    case WM_DEVICECHANGE:
      if (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE || wParam == DBT_DEVNODES_CHANGED)
        LookForDevice(*state);
      return 0;  // the default answer: no removal is ever refused
    case kDpiChangedMessage:
      FitPictureToDpi(window, IDB_BANNER, HIWORD(wParam));
      return 0;
    // Texts and pictures (status_tip.*, pictures.*): the whole status text in a tip
    // when the line cuts it, and the banner's frame filled in the banner's white.
    case WM_NOTIFY:
      return AnswerStatusTip(window, lParam) ? TRUE : FALSE;
    case WM_CTLCOLORSTATIC:
      return reinterpret_cast<INT_PTR>(PictureFrameBrush(reinterpret_cast<HWND>(lParam)));
    case WM_DESTROY:
      // An update ended by Exit during its waits leaves the guard to this: the window
      // it names goes now.
      EndFlashGuard(state->guard, window);
      StopDeviceWatch(*state);
      UnmarkMainWindow(window);
      // The state outlives the window: what still arrives for it finds no controls.
      state->controls = ControlHandles{};
      SetWindowLongPtrW(window, DWLP_USER, 0);
      PostQuitMessage(0);
      return 0;
  }
  return 0;
}
