#include "app/readme.h"

#include <shellapi.h>

#include <string>

#include "app/controls.h"
#include "res/resource.h"
#include "util/paths.h"

void ShowReadme(HWND window, const std::wstring& programDirectory) {
  std::wstring path = programDirectory + L"readme.txt";
  if (GetFileAttributesW(ExtendedPath(path).c_str()) == INVALID_FILE_ATTRIBUTES) {
    ShowError(window, LoadText(IDS_README_MISSING));
    return;
  }
  // The shell takes no path beyond MAX_PATH: hand it the short form of a deep path.
  if (path.size() >= MAX_PATH) {
    std::wstring extended = ExtendedPath(path);
    DWORD n = GetShortPathNameW(extended.c_str(), nullptr, 0);
    std::wstring shortPath(n, L'\0');
    if (n) shortPath.resize(GetShortPathNameW(extended.c_str(), &shortPath[0], n));
    if (shortPath.compare(0, 4, L"\\\\?\\") == 0) shortPath.erase(0, 4);
    if (shortPath.empty() || shortPath.size() >= MAX_PATH) {
      ShowError(window, LoadText(IDS_README_MISSING));
      return;
    }
    path = shortPath;
  }
  ShellExecuteW(window, L"open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}
