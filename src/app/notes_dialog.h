// The Notes dialog: the steps before an update, as a picture. Several may be open.
#pragma once
#include <windows.h>

// Opens one more Notes dialog, owned by `window`.
void OpenNotesDialog(HWND window);

INT_PTR CALLBACK NotesDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
