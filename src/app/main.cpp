// r47flash: writes a new ROM image into the handheld over USB in its flash mode.
#include <windows.h>
#include <commctrl.h>

#include "app/controls.h"
#include "app/main_window.h"
#include "app/one_copy.h"
#include "app/secondary.h"
#include "res/resource.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // System libraries come from System32 only, never from the program's folder.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  // A copy that is already running is brought to the front instead.
  if (!ClaimOnlyCopy()) return 0;
  SetAppInstance(instance);

  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  EnableSecondaryDialogKeys();
  DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainDialogProc, 0);

  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  ReleaseOnlyCopy();
  return static_cast<int>(msg.wParam);
}
