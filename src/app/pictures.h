// The dialogs' pictures in the size that suits the screen: each is drawn for 100 %,
// 150 % and 200 %, and a dialog shows the one nearest its own DPI, so that the
// picture grows with the dialog's text instead of staying at its 96-DPI size.
#pragma once
#include <windows.h>

// 100, 150 or 200: the drawn scale nearest to `dpi` (96 is 100 %). Halfway between
// two, the smaller: a picture a little small for its frame beats one cut off.
int PictureScaleFor(UINT dpi);
// The resource id of picture `baseId` (IDB_BANNER, IDB_NOTES, IDB_CONN_WARNING)
// drawn at `scale`; the base id itself for 100 or an unknown picture.
UINT PictureIdAtScale(UINT baseId, int scale);
// The DPI the window is shown at: its monitor's where the system tells (Windows 10
// 1607 and later), else the system's.
UINT WindowDpi(HWND window);
// Puts the right size of picture `baseId` into the dialog's picture control.
void FitPictureToDpi(HWND dialog, UINT baseId, UINT dpi);
// The answer to a dialog's WM_CTLCOLORSTATIC for `control`: behind a picture, the
// picture's own white, so that a frame wider than the picture is filled instead of
// showing grey bands beside it; null for any other control (the default colours).
HBRUSH PictureFrameBrush(HWND control);

// WM_DPICHANGED, which headers for XP do not name: a window moved to a screen with
// another scaling. The new DPI is in the high word of wParam.
constexpr UINT kDpiChangedMessage = 0x02E0;
