// The Update command's pre-flight, on a thread of its own: the check for a second
// handheld, the version queries and their pauses, the version rules, the read and
// check of the chosen image, and the start attempts with their pauses. It shows
// nothing and touches no window: it reports kinds and data, in order, and the window
// decides what to show. Nothing goes to the device before the image is verified.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "flash/events.h"
#include "util/handle.h"

// What version.ver asks for.
struct VersionFileValues {
  int bootHigh = 0, bootLow = 0;
  bool mustUpdateBoot = false;
};

// What the pre-flight reports besides the download's own events. Called on the
// pre-flight's thread.
class PreflightEvents {
 public:
  virtual ~PreflightEvents() = default;
  enum class Refusal {
    SeveralDevices,  // more than one handheld in flash mode
    DeviceBusy,      // still formatting or writing an earlier image
    DeviceNotFound,  // no start attempt found the device
  };
  // The first checks passed: the waits begin. Nothing has been sent.
  virtual void Waiting() = 0;
  virtual void VersionQuery(int query, int queries) = 0;
  // The version rules chose this image list entry for a device with this version
  // word (0: no answer). The image is read and checked next.
  virtual void ImageChosen(int index, uint16_t deviceVersion) = 0;
  // The chosen image was read whole and checked: it is the one to be written.
  virtual void ImageVerified() = 0;
  // The data pipe is about to open: from now on the device may receive.
  virtual void StartAttempt(int attempt, int attempts) = 0;
  // That attempt found no device in flash mode: back to waiting, nothing sent.
  virtual void AttemptFailed() = 0;
  // Ended without sending anything, for this reason.
  virtual void Refused(Refusal refusal) = 0;
  // The thread's last report. `started`: the download runs on its own worker now.
  virtual void PreflightEnded(bool started) = 0;
};

// Shared by the window and the pre-flight's thread: the window's stop, and the
// thread's commitment to open the data pipe. Exactly one of the two wins, so that
// Exit never ends the program while the device may be receiving.
class PreflightControl {
 public:
  PreflightControl() : stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  bool Valid() const { return stop_.valid(); }
  // Set by Stop: every wait of the thread watches it.
  HANDLE StopEvent() const { return stop_.get(); }

  // The window's side: true when the pre-flight stops and sends nothing; false while
  // the thread is opening the data pipe.
  bool Stop() {
    int expected = kWaiting;
    if (!state_.compare_exchange_strong(expected, kStopped) && expected != kStopped) return false;
    SetEvent(stop_.get());
    return true;
  }
  // The thread's side: true when the data pipe may open (no stop came first).
  bool Commit() {
    int expected = kWaiting;
    return state_.compare_exchange_strong(expected, kCommitted);
  }
  // The data pipe did not open: a stop may come again.
  void Uncommit() {
    int expected = kCommitted;
    state_.compare_exchange_strong(expected, kWaiting);
  }
  bool Stopped() const { return state_ == kStopped; }

 private:
  enum { kWaiting, kCommitted, kStopped };
  UniqueHandle stop_;
  std::atomic<int> state_{kWaiting};
};

// The pauses: ten queries a second apart give the device its time in flash mode; up
// to ten start attempts three seconds apart wait for one that is not there yet.
struct PreflightTiming {
  DWORD queryPauseMs = 1000;
  DWORD attemptPauseMs = 3000;
};
constexpr int kVersionQueries = 10;
constexpr int kStartAttempts = 10;

struct PreflightJob {
  std::wstring programDirectory;  // ends with a backslash
  VersionFileValues versionFile;
  PreflightTiming timing;
  std::shared_ptr<PreflightEvents> preflightEvents;
  std::shared_ptr<FlashEvents> flashEvents;  // the image read and the download
  std::shared_ptr<PreflightControl> control;
};

// Starts the pre-flight's thread; its handle, or null when no thread could be made
// (nothing was reported then).
HANDLE StartPreflight(const PreflightJob& job);

// The pre-flight's steps on the calling thread, for StartPreflight's thread.
void RunPreflight(const PreflightJob& job);
