#include "util/system_text.h"

#include <cstdio>

std::wstring Hex(unsigned value, int digits) {
  wchar_t buffer[16];
  std::swprintf(buffer, 16, L"%0*X", digits, value);
  return buffer;
}

std::wstring SystemErrorText(DWORD code) {
  std::wstring out = std::to_wstring(code) + L" (0x" + Hex(code, 8) + L")";
  wchar_t* text = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  if (n && text) {
    std::wstring message(text, n);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' ')) {
      message.pop_back();
    }
    if (!message.empty()) out += L": " + message;
  }
  if (text) LocalFree(text);
  return out;
}

std::wstring WindowsVersionText() {
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof(info);
  if (!GetVersionExW(&info)) return L"Windows (version unknown)";
  std::wstring text = L"Windows " + std::to_wstring(info.dwMajorVersion) + L"." + std::to_wstring(info.dwMinorVersion) +
                      L" build " + std::to_wstring(info.dwBuildNumber);
  if (info.szCSDVersion[0]) text += std::wstring(L" ") + info.szCSDVersion;
  return text;
}

std::wstring VersionText(uint16_t version) {
  return L"0x" + Hex(version, 4) + L" (" + std::to_wstring(version >> 8) + L"." + std::to_wstring(version & 0xFF) +
         L")";
}
