// The handheld's three named pipes while it is plugged in: listening instances
// that are always openable, one thread per connection, and the device's
// behaviour on each of them (see sim/README.md).
#pragma once

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "options.h"
#include "recorder.h"
#include "state.h"

namespace r47sim {

enum class PipeKind { Interface, Status, Data };

const char* PipeLabel(PipeKind k);

// Why the device leaves the bus.
enum class UnplugReason {
  None,
  Fault,    // an --unplug-at point was reached
  Restart,  // the command packet arrived: the handheld restarts
  Asked,    // the test pulled the plug (--unplug-event)
};
// The event the device logs for it: "unplugged", "unplugged (restart)", ...
const char* UnplugEventText(UnplugReason reason);

// What the main thread is asked to do by a pipe thread.
struct Requests {
  HANDLE event = nullptr;  // auto-reset; wakes the main loop
  std::atomic<UnplugReason> unplug{UnplugReason::None};
  // The first reason asked for wins until the main thread has taken it.
  void AskUnplug(UnplugReason reason) {
    UnplugReason expected = UnplugReason::None;
    unplug.compare_exchange_strong(expected, reason);
  }
  UnplugReason Take() { return unplug.exchange(UnplugReason::None); }
};

// Serves the pipes from Insert() until Pull() (or the destruction).

class Plug {
 public:
  Plug(const Options& opt, Recorder& rec, Device& dev, Requests& req);
  ~Plug();
  Plug(const Plug&) = delete;
  Plug& operator=(const Plug&) = delete;

  // Starts serving; true once every pipe has a listening instance.
  bool Insert();

  // Called from a pipe thread that decided to unplug: every listening
  // instance is gone when this returns, so the PC's next open fails.
  void PullFromInside();

  // Stops everything and waits for all threads.
  void Pull();

 private:
  struct Instance {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    OVERLAPPED ov{};
    // A client that came before ConnectNamedPipe: the call says so at once, and the
    // OVERLAPPED never completes, so its result cannot tell.
    bool connectedAtOnce = false;
  };

  std::string PipeName(PipeKind k) const;

  // A listening instance. Buffers of 0: a PC write completes only once the
  // device has taken the data, and a report is taken only by a PC read.
  bool Create(PipeKind k, Instance& in);

  static void Discard(Instance& in);

  struct Session {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  // Several instances listen at all times, and a connected one is replaced
  // before it is served, so the device is always openable while plugged in,
  // also when the PC opens a pipe again right after closing it.
  void Listen(PipeKind k);

  void Serve(PipeKind k, HANDLE pipe);

  void RequestUnplug(UnplugReason reason);

  void Close(PipeKind k, unsigned conn, HANDLE pipe, const char* why);

  void ServeInterface(unsigned conn, HANDLE pipe);

  bool WaitStop(DWORD ms) { return WaitForSingleObject(stop_, ms) == WAIT_OBJECT_0; }

  enum class PeekResult { Queued, Closed, Stopped };
  PeekResult WaitForQueuedWrite(HANDLE pipe);

  void ServeStatus(unsigned conn, HANDLE pipe);

  void ServeData(unsigned conn, HANDLE pipe);

  const Options& opt_;
  Recorder& rec_;
  Device& dev_;
  Requests& req_;
  HANDLE stop_ = nullptr;
  std::vector<std::thread> listeners_;
  std::mutex mutex_;
  std::condition_variable cv_;
  unsigned listening_ = 0;
  unsigned failed_ = 0;
  size_t listenersClosed_ = 0;
};

}  // namespace r47sim
