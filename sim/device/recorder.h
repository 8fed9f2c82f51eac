// What the simulated handheld records in its record folder (see sim/README.md):
// events.txt, writes.txt, stream.bin, command.bin.
#pragma once

#include <windows.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "text.h"

namespace r47sim {

class Recorder : public EventLog {
 public:
  Recorder() = default;
  ~Recorder() override;
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Empties the record files of an earlier run; false when the folder cannot be written.
  bool Open(const std::string& dir);

  // Printed and appended to events.txt with the time since the start.
  void Add(const std::string& text) override;

  // One line of writes.txt.
  void Write(const char* fmt, ...);

  // A new image replaces the recorded stream.
  void StartStream();
  void AppendStream(const unsigned char* data, size_t size);
  void WriteWholeFile(const char* name, const unsigned char* data, size_t size);

 private:
  std::string Path(const char* name) const { return dir_ + "\\" + name; }
  std::string dir_;
  std::mutex mutex_;
  FILE* events_ = nullptr;
  FILE* writes_ = nullptr;
  FILE* stream_ = nullptr;
  unsigned long long start_ = 0;
};

}  // namespace r47sim
