#include "text.h"

#include <cstdio>

namespace r47sim {

std::string VFormat(const char* fmt, va_list ap) {
  char text[1024];
  std::vsnprintf(text, sizeof text, fmt, ap);
  return text;
}

std::string Format(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = VFormat(fmt, ap);
  va_end(ap);
  return text;
}

void EventLog::Event(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = VFormat(fmt, ap);
  va_end(ap);
  Add(text);
}

}  // namespace r47sim
