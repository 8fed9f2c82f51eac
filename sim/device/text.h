// printf-style text for the simulated handheld's logs, and where its events go.
#pragma once

#include <cstdarg>
#include <string>

namespace r47sim {

std::string VFormat(const char* fmt, va_list ap);
std::string Format(const char* fmt, ...);

// Receives the device's events: the recorder, or a test's list.
class EventLog {
 public:
  virtual ~EventLog() = default;
  virtual void Add(const std::string& text) = 0;
  void Event(const char* fmt, ...);
};

}  // namespace r47sim
