// The acknowledgement rule, the Readme command and the two secondary windows.
#pragma once
#include <windows.h>

// Enables Update exactly when the update allowed flag is set and the box is ticked.
void ApplyAcknowledgementRule(HWND window);
// Opens one more Notes dialog (several may be open).
void OpenNotesDialog(HWND window);
// Opens the warning that the synchronisation service still claims the USB connection.
void OpenConnectionWarning(HWND window);
// Opens readme.txt from the program directory with the shell, or says it is missing.
void ShowReadme(HWND window);

INT_PTR CALLBACK NotesDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ConnectionWarningProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
