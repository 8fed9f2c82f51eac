#include "images/version_file.h"

#include <windows.h>

#include "util/paths.h"

namespace {

// 127 characters and the terminating zero, as the file format allows.
bool ReadKey(const std::wstring& path, const wchar_t* key, int* out) {
  wchar_t text[128] = {};
  DWORD n = GetPrivateProfileStringW(L"Version", key, L"", text, 128, path.c_str());
  if (n == 0) return false;
  *out = ParseDecimal(text);
  return true;
}

}  // namespace

bool ReadVersionFileAt(const std::wstring& path, int* bootHigh, int* bootLow, bool* mustUpdateBoot) {
  if (!ReadKey(path, L"EbootHigh", bootHigh)) return false;
  if (!ReadKey(path, L"EbootLow", bootLow)) return false;
  int must = 0;
  if (!ReadKey(path, L"MustUpdateEboot", &must)) return false;
  *mustUpdateBoot = (must == kForceBootUpdate);
  return true;
}

std::wstring VersionFileFolder() { return CurrentDirectory(); }

namespace {

std::wstring VersionFilePath() {
  std::wstring dir = VersionFileFolder();
  if (!dir.empty() && dir.back() == L'\\') dir.pop_back();  // a drive root ends with one already
  return dir + L"\\version.ver";
}

}  // namespace

bool ReadVersionFile(int* bootHigh, int* bootLow, bool* mustUpdateBoot) {
  return ReadVersionFileAt(VersionFilePath(), bootHigh, bootLow, mustUpdateBoot);
}

bool VersionFileExists() {
  const DWORD attributes = GetFileAttributesW(ExtendedPath(VersionFilePath()).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}
