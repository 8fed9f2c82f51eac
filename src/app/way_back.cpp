#include "app/way_back.h"

#include "app/controls.h"
#include "app/flash_log.h"
#include "app/log_window.h"
#include "app/way_back_rules.h"
#include "res/resource.h"
#include "text/text.h"

namespace {

struct WayBackData {
  std::wstring caption, text;
};

INT_PTR CALLBACK WayBackProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      const auto* data = reinterpret_cast<const WayBackData*>(lParam);
      SetWindowTextW(dialog, data->caption.c_str());
      SetDlgItemTextW(dialog, IDC_WAYBACK_TEXT, data->text.c_str());
      // The focus on Close, not in the text: a focused edit control selects all of it.
      SetFocus(GetDlgItem(dialog, IDCANCEL));
      return FALSE;
    }
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDC_WAYBACK_LOG:
          // Over this window, which keeps the main window disabled; it goes with it.
          OpenLogWindow(dialog);
          return TRUE;
        case IDCANCEL:  // Close, Escape and the close box
          EndDialog(dialog, IDCANCEL);
          return TRUE;
      }
      break;
  }
  return FALSE;
}

}  // namespace

void ShowWayBack(MainWindowState& state, const FlashFailure& failure, Phase phaseAtFailure) {
  if (!ShowsWayBack(failure.kind, phaseAtFailure)) return;
  WayBackData data{LoadText(IDS_WAYBACK_CAPTION), WayBackText(state.seen, failure, FlashLogPath())};
  ShowModalDialogBox(state.window, IDD_WAYBACK, WayBackProc, reinterpret_cast<LPARAM>(&data), data.text, data.caption);
}
