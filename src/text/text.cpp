#include "text/text.h"

namespace {
HINSTANCE g_instance;
}  // namespace

void SetAppInstance(HINSTANCE instance) { g_instance = instance; }
HINSTANCE AppInstance() { return g_instance; }

std::wstring LoadText(UINT id) {
  const wchar_t* resource = nullptr;
  // With a zero buffer size LoadStringW hands out the resource itself, of any length.
  int length = LoadStringW(AppInstance(), id, reinterpret_cast<LPWSTR>(&resource), 0);
  if (length <= 0 || !resource) return std::wstring();
  return std::wstring(resource, static_cast<size_t>(length));
}

std::wstring FormatText(const std::wstring& format, const std::wstring* texts, size_t textCount, const int* numbers,
                        size_t numberCount) {
  std::wstring out;
  size_t nextText = 0, nextNumber = 0;
  for (size_t i = 0; i < format.size(); ++i) {
    wchar_t c = format[i];
    if (c != L'%' || i + 1 >= format.size()) {
      out += c;
      continue;
    }
    wchar_t kind = format[++i];
    if (kind == L'%') {
      out += L'%';
    } else if (kind == L'd') {
      if (nextNumber < numberCount) out += std::to_wstring(numbers[nextNumber++]);
    } else if (kind == L's') {
      if (nextText < textCount) out += texts[nextText++];
    } else {
      out += L'%';
      out += kind;
    }
  }
  return out;
}

std::wstring FormatTextNumber(UINT id, int number) { return FormatText(LoadText(id), nullptr, 0, &number, 1); }

std::wstring FormatTextString(UINT id, const std::wstring& text) {
  return FormatText(LoadText(id), &text, 1, nullptr, 0);
}

std::wstring DecodeBytes(const char* bytes, size_t length, UINT codePage) {
  if (length == 0) return std::wstring();
  int n = MultiByteToWideChar(codePage, 0, bytes, static_cast<int>(length), nullptr, 0);
  if (n <= 0) {
    // Code page not available: show the bytes one by one rather than nothing.
    std::wstring fallback;
    for (size_t i = 0; i < length; ++i) fallback += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]));
    return fallback;
  }
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(codePage, 0, bytes, static_cast<int>(length), &out[0], n);
  return out;
}
