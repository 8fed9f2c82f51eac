#include "recorder.h"

#include <cstdarg>

namespace r47sim {

bool Recorder::Open(const std::string& dir) {
  dir_ = dir;
  CreateDirectoryA(dir.c_str(), nullptr);
  DeleteFileA(Path("ready").c_str());
  DeleteFileA(Path("stream.bin").c_str());
  DeleteFileA(Path("command.bin").c_str());
  events_ = std::fopen(Path("events.txt").c_str(), "wb");
  writes_ = std::fopen(Path("writes.txt").c_str(), "wb");
  start_ = GetTickCount64();
  // The system's tick count at the start of events.txt's times: a benchmark lines
  // them up with its own readings of the same clock.
  if (FILE* clock = std::fopen(Path("clock.txt").c_str(), "wb")) {
    std::fprintf(clock, "%llu\n", start_);
    std::fclose(clock);
  }
  return events_ && writes_;
}

Recorder::~Recorder() {
  for (FILE* f : {events_, writes_, stream_})
    if (f) std::fclose(f);
}

void Recorder::Add(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  unsigned long long ms = GetTickCount64() - start_;
  std::fprintf(stdout, "%8llu %s\n", ms, text.c_str());
  std::fflush(stdout);
  if (events_) {
    std::fprintf(events_, "%llu %s\n", ms, text.c_str());
    std::fflush(events_);
  }
}

void Recorder::Write(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = VFormat(fmt, ap);
  va_end(ap);
  std::lock_guard<std::mutex> lock(mutex_);
  if (writes_) {
    std::fprintf(writes_, "%s\n", text.c_str());
    std::fflush(writes_);
  }
}

void Recorder::StartStream() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stream_) std::fclose(stream_);
  stream_ = std::fopen(Path("stream.bin").c_str(), "wb");
}

void Recorder::AppendStream(const unsigned char* data, size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stream_ && size) {
    std::fwrite(data, 1, size, stream_);
    std::fflush(stream_);
  }
}

void Recorder::WriteWholeFile(const char* name, const unsigned char* data, size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (FILE* f = std::fopen(Path(name).c_str(), "wb")) {
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
}

}  // namespace r47sim
