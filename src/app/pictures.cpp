#include "app/pictures.h"

#include "res/resource.h"
#include "util/handle.h"

namespace {

struct PictureSizes {
  UINT base, at150, at200;
};
const PictureSizes kPictures[] = {
    {IDB_BANNER, IDB_BANNER_150, IDB_BANNER_200},
    {IDB_NOTES, IDB_NOTES_150, IDB_NOTES_200},
    {IDB_CONN_WARNING, IDB_CONN_WARNING_150, IDB_CONN_WARNING_200},
};

constexpr UINT kBaseDpi = 96;

// Each size is loaded once and kept while the program runs: every Notes dialog
// shows the same bitmap, and none of them has to free it.
struct LoadedBitmap {
  UINT id;
  HBITMAP bitmap;
};
LoadedBitmap g_loaded[3 * 3];

HBITMAP LoadedPicture(HINSTANCE instance, UINT id) {
  for (auto& slot : g_loaded) {
    if (slot.id == id) return slot.bitmap;
    if (slot.id == 0) {
      HBITMAP bitmap = static_cast<HBITMAP>(LoadImageW(instance, MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0, 0));
      if (bitmap) slot = {id, bitmap};
      return bitmap;
    }
  }
  return nullptr;
}

bool IsLoadedPicture(HBITMAP bitmap) {
  for (const auto& slot : g_loaded)
    if (slot.bitmap && slot.bitmap == bitmap) return true;
  return false;
}

bool IsPictureControl(HWND control) {
  wchar_t cls[16] = {};
  GetClassNameW(control, cls, 16);
  return lstrcmpiW(cls, L"Static") == 0 && (GetWindowLongPtrW(control, GWL_STYLE) & SS_TYPEMASK) == SS_BITMAP;
}

HWND PictureControl(HWND dialog) {
  for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (IsPictureControl(child)) return child;
  }
  return nullptr;
}

}  // namespace

int PictureScaleFor(UINT dpi) {
  // Compare dpi / 96 with the midpoints 1.25 and 1.75, in whole numbers.
  if (dpi * 4 <= kBaseDpi * 5) return 100;
  if (dpi * 4 <= kBaseDpi * 7) return 150;
  return 200;
}

UINT PictureIdAtScale(UINT baseId, int scale) {
  for (const auto& p : kPictures) {
    if (p.base != baseId) continue;
    if (scale == 150) return p.at150;
    if (scale == 200) return p.at200;
  }
  return baseId;
}

UINT WindowDpi(HWND window) {
  // GetDpiForWindow exists from Windows 10 1607 on; resolved here so that the
  // program still starts on XP.
  using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
  static const auto getDpiForWindow = reinterpret_cast<GetDpiForWindowFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  if (getDpiForWindow) {
    if (UINT dpi = getDpiForWindow(window)) return dpi;
  }
  ScreenDC screen;
  int dpi = screen.get() ? GetDeviceCaps(screen.get(), LOGPIXELSY) : 0;
  return dpi > 0 ? static_cast<UINT>(dpi) : kBaseDpi;
}

HBRUSH PictureFrameBrush(HWND control) {
  // Every picture is drawn on white. A stock brush: nothing to free.
  return control && IsPictureControl(control) ? static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)) : nullptr;
}

void FitPictureToDpi(HWND dialog, UINT baseId, UINT dpi) {
  HWND control = PictureControl(dialog);
  if (!control) return;
  const UINT id = PictureIdAtScale(baseId, PictureScaleFor(dpi));
  HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(dialog, GWLP_HINSTANCE));
  HBITMAP bitmap = LoadedPicture(instance, id);
  if (!bitmap) return;
  HBITMAP previous =
      reinterpret_cast<HBITMAP>(SendMessageW(control, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap)));
  // The control loaded the template's bitmap itself and hands it back now; ours stay.
  if (previous && previous != bitmap && !IsLoadedPicture(previous)) DeleteObject(previous);
}
