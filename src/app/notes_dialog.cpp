#include "app/notes_dialog.h"

#include "app/pictures.h"
#include "res/resource.h"
#include "text/text.h"

void OpenNotesDialog(HWND window) {
  HWND notes = CreateDialogParamW(AppInstance(), MAKEINTRESOURCEW(IDD_NOTES), window, NotesDialogProc, 0);
  if (notes) ShowWindow(notes, SW_SHOW);
}

INT_PTR CALLBACK NotesDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) FitPictureToDpi(dialog, IDB_NOTES, WindowDpi(dialog));
  if (message == kDpiChangedMessage) FitPictureToDpi(dialog, IDB_NOTES, HIWORD(wParam));
  if (message == WM_CTLCOLORSTATIC) return reinterpret_cast<INT_PTR>(PictureFrameBrush(reinterpret_cast<HWND>(lParam)));
  if (message == WM_CLOSE || (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL)) DestroyWindow(dialog);
  return 0;
}
