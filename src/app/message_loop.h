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

// The program's loop: serves messages until the quit message.
void RunMessageLoop();
