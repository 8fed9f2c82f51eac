#include "images/version_file.h"

#include <windows.h>

#include <climits>

#include "images/paths.h"

int ParseDecimal(const wchar_t* text) {
  if (!text) return 0;
  while (*text == L' ' || (*text >= L'\t' && *text <= L'\r')) ++text;
  bool negative = false;
  if (*text == L'+' || *text == L'-') negative = (*text++ == L'-');
  long long value = 0;
  for (; *text >= L'0' && *text <= L'9'; ++text) {
    value = value * 10 + (*text - L'0');
    if (value > static_cast<long long>(INT_MAX) + 1) {
      value = static_cast<long long>(INT_MAX) + 1;
    }
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

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

bool ReadVersionFile(int* bootHigh, int* bootLow, bool* mustUpdateBoot) {
  std::wstring dir = CurrentDirectory();
  if (!dir.empty() && dir.back() == L'\\') dir.pop_back();  // a drive root ends with one already
  return ReadVersionFileAt(dir + L"\\version.ver", bootHigh, bootLow, mustUpdateBoot);
}
