// r47flash: writes a new ROM image into the handheld over USB in its flash mode.
#include <windows.h>
#include <commctrl.h>

#include "app/earlier_run.h"
#include "app/flash_log.h"
#include "app/log_window.h"
#include "app/main_window.h"
#include "app/message_loop.h"
#include "app/one_copy.h"
#include "app/update.h"
#include "app/window_state.h"
#include "res/resource.h"
#include "text/text.h"
#include "util/paths.h"
#include "util/system_text.h"
#include "util/windows_compat.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // System libraries come from System32 only, never from the program's folder.
  RestrictDllSearch();
  // A copy that is already running is brought to the front instead.
  if (!ClaimOnlyCopy()) return 0;
  SetAppInstance(instance);
  // A log that cannot be made costs the flash nothing: it stays in memory then.
  std::wstring logFolder = DefaultLogFolder();
  bool logged = OpenFlashLog(logFolder);
  LogLine(StartLine(ProgramVersion(), GetCurrentProcessId()) +
          (logged ? std::wstring() : L"; no log file could be made in \"" + logFolder + L"\""));
  LogLine(L"on " + WindowsVersionText());

  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  // A modeless main dialog and one loop that gives every dialog of the program its
  // keys; the window ends by going (see EndProgram), which posts the quit message.
  MainWindowState state;
  state.programDirectory = ModuleDirectory();
  ReadEarlierRun(&state.earlier);
  HWND window = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainDialogProc,
                                   reinterpret_cast<LPARAM>(&state));
  if (window) {
    ShowWindow(window, SW_SHOW);
    RunMessageLoop();
  }
  WaitForPreflightEnd(state);
  LogRunEnd();
  CloseFlashLog();
  ReleaseOnlyCopy();
  return 0;
}
