// The main window's private messages and the one way to end the program. A leaf:
// the command modules post and send these without knowing the main window's code.
#pragma once
#include <windows.h>

// Posted to the main window when reports of a running download wait for it (the
// message carries none itself). The dialog procedure calls HandleDownloadReport.
constexpr UINT kDownloadReportMessage = WM_APP + 1;

// Sent to the main window to end the program; the window goes and the quit message
// follows. Every way out (Exit, the end of a download, missing files) asks this way.
constexpr UINT kEndProgramMessage = WM_APP + 2;
inline void EndProgram(HWND window) { SendMessageW(window, kEndProgramMessage, 0, 0); }

// Posted to the main window at start when an earlier run ended mid-flash: its notice
// comes once the window is on screen, before anything else the user meets.
constexpr UINT kEarlierRunNoticeMessage = WM_APP + 3;
