// Reads and writes on the device's pipes, each bounded by a time-out, so that a hung
// or vanished device can never hold the program forever.
#pragma once
#include <windows.h>

// A status report is answered by the device at once from its current state; five
// seconds is far beyond any answer of a working device and still short enough that
// the user is not left staring at a frozen window.
constexpr DWORD kStatusReadTimeoutMs = 5000;
// A 16 KiB chunk takes about 16 ms at USB full speed; a device that has not taken it
// after fifteen seconds is gone, not slow. The command packet uses the same bound.
constexpr DWORD kDataWriteTimeoutMs = 15000;

enum class IoStatus {
  Ok,
  Failed,
  TimedOut,
  Stopped,  // the caller's stop event was set: the request was cancelled
};

// The outcome of a request with its cause: the system error code of a failure
// (ERROR_TIMEOUT for a request that ran out of time), 0 when it went through.
struct IoResult {
  IoStatus status = IoStatus::Ok;
  DWORD error = 0;
  bool operator==(IoStatus s) const { return status == s; }
  bool operator!=(IoStatus s) const { return status != s; }
};

// Waits up to timeoutMs for `event`, or until `stop` (when given) is set:
// WAIT_OBJECT_0 for the event, WAIT_OBJECT_0 + 1 for the stop, else WAIT_TIMEOUT. The
// stop is looked at first, so that a stopped wait never reports success.
DWORD WaitOrStop(HANDLE event, HANDLE stop, DWORD timeoutMs);

// Each call may be given a manual-reset event to wait on; a caller that makes many
// requests (the transfer) passes one, so that no event is created per request.
// Without one, the call makes its own. A request whose caller sets `stop` (a
// manual-reset event, when given) is cancelled at once: a thread that waits for the
// device on behalf of a closing window never holds it up.

// One read request of up to length bytes; got receives the bytes delivered.
IoResult ReadBounded(HANDLE pipe, void* buffer, DWORD length, DWORD* got, DWORD timeoutMs, HANDLE event = nullptr,
                     HANDLE stop = nullptr);
// One write request; written receives the bytes the device accepted.
IoResult WriteBounded(HANDLE pipe, const void* buffer, DWORD length, DWORD* written, DWORD timeoutMs,
                      HANDLE event = nullptr);
// Writes all of buffer, issuing further requests for what a short write left over,
// so the device never receives a stream with a hole. Ok only when every byte went.
IoResult WriteAll(HANDLE pipe, const void* buffer, DWORD length, DWORD timeoutMs, HANDLE event = nullptr);
