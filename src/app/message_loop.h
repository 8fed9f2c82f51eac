// The program's one message pump. It serves this thread's messages and gives every
// dialog of the program its keys (Tab, Enter, Escape): the program's own loop, and
// every wait on the window's thread, run through it.
#pragma once
#include <windows.h>

#include <functional>

enum class LoopEnd {
  Done,      // the condition holds
  Event,     // the event was set
  TimedOut,  // the time ran out
  Quit,      // the quit message arrived
};

// Serves messages until `done` holds, `event` is set, timeoutMs have passed
// (INFINITE: never) or the quit message arrives. The quit message is posted again
// for an outer loop unless consumeQuit is set.
LoopEnd ServeMessages(DWORD timeoutMs, HANDLE event = nullptr, const std::function<bool()>& done = nullptr,
                      bool consumeQuit = false);

// A wait for an event that keeps serving this thread's messages, in the form the
// device requests take (device/pipe_io.h): WAIT_OBJECT_0 when the event was set,
// WAIT_TIMEOUT when the time ran out, WAIT_ABANDONED when the quit message came.
DWORD WaitServingMessages(HANDLE event, DWORD timeoutMs);

// The program's loop: serves messages until the quit message.
void RunMessageLoop();
