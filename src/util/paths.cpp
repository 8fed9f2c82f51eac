#include "util/paths.h"

std::wstring ModuleDirectory() {
  // Grow the buffer until the whole name fits: a deep folder must not be cut off.
  std::wstring name(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, &name[0], static_cast<DWORD>(name.size()));
    if (n == 0) return std::wstring();
    if (n < name.size()) {
      name.resize(n);
      break;
    }
    if (name.size() >= 32768) return std::wstring();
    name.resize(name.size() * 2);
  }
  size_t slash = name.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : name.substr(0, slash + 1);
}

std::wstring CurrentDirectory() {
  DWORD n = GetCurrentDirectoryW(0, nullptr);
  if (n == 0) return std::wstring();
  std::wstring dir(n, L'\0');
  n = GetCurrentDirectoryW(n, &dir[0]);
  dir.resize(n);
  return dir;
}

std::wstring ExtendedPath(const std::wstring& path) {
  if (path.size() < MAX_PATH - 12 || path.compare(0, 4, L"\\\\?\\") == 0) return path;
  if (path.size() > 2 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/')) return L"\\\\?\\" + path;
  if (path.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + path.substr(2);
  return path;
}

HANDLE OpenFileForReading(const std::wstring& path) {
  return CreateFileW(ExtendedPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}
