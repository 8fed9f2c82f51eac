// Decimal conversion of the version file's values, apart from the file reading so that
// it can be checked alone.
#include <climits>

#include "images/version_file.h"

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
