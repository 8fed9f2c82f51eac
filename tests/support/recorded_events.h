// What a download reports, written down call by call, for tests of the flash code and
// of its listeners. Any thread may report; the end (Done) can be waited for.
#pragma once
#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "flash/events.h"

namespace testing_support {

class RecordedEvents : public FlashEvents {
 public:
  RecordedEvents() : done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~RecordedEvents() override { CloseHandle(done_); }
  RecordedEvents(const RecordedEvents&) = delete;
  RecordedEvents& operator=(const RecordedEvents&) = delete;

  void Progress(int value, bool done) override { Add("progress " + std::to_string(value) + (done ? " done" : "")); }
  void StatusPercent(int percent) override { Add("status " + std::to_string(percent) + " %"); }
  void Failure(const FlashFailure& f) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      failures_.push_back(f);
    }
    Add("failure " + std::to_string(static_cast<int>(f.kind)) + " " + std::to_string(f.systemError));
  }
  void Success(ImageKind kind) override { Add("success " + std::to_string(static_cast<int>(kind))); }
  void Done() override {
    Add("done");
    SetEvent(done_);
  }
  void ImageReadProgress(uint32_t done, uint32_t size) override {
    Add("read " + std::to_string(done) + "/" + std::to_string(size));
  }
  void ImageLoaded(const std::wstring& name, uint32_t size, ImageKind) override {
    Add("image " + std::string(name.begin(), name.end()) + " " + std::to_string(size));
  }
  void TransferEnded(uint32_t chunks, uint64_t bytes, DWORD error) override {
    Add("transfer " + std::to_string(chunks) + " " + std::to_string(bytes) + " " + std::to_string(error));
  }

  bool WaitForDone(DWORD ms) const { return WaitForSingleObject(done_, ms) == WAIT_OBJECT_0; }
  std::vector<std::string> Log() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
  }
  std::vector<FlashFailure> Failures() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failures_;
  }

 private:
  void Add(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back(line);
  }
  HANDLE done_;
  mutable std::mutex mutex_;
  std::vector<std::string> log_;
  std::vector<FlashFailure> failures_;
};

}  // namespace testing_support
