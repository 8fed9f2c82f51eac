// Version file values as any text: the conversion agrees with the C library's own
// decimal conversion clamped to int, and reads nothing past the terminating zero.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <vector>

#include "images/version_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // 16-bit characters as the system's profile reader hands them over.
  std::vector<wchar_t> text;
  for (size_t i = 0; i + 1 < size; i += 2) text.push_back(static_cast<wchar_t>(data[i] | data[i + 1] << 8));
  text.push_back(L'\0');
  int value = ParseDecimal(text.data());

  long long reference = std::wcstoll(text.data(), nullptr, 10);
  if (reference > INT_MAX) reference = INT_MAX;
  if (reference < INT_MIN) reference = INT_MIN;
  if (value != reference) {
    std::fprintf(stderr, "ParseDecimal gave %d, expected %lld\n", value, reference);
    std::abort();
  }
  return 0;
}
