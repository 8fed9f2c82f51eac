// The program's one message loop. It serves the window's thread and gives every
// dialog of the program its keys (Tab, Enter, Escape). Nothing else pumps messages:
// work that waits runs on a thread of its own and reports to the window.
#pragma once
#include <windows.h>

// Hands one message to the dialog it is for (its keys), or dispatches it.
void DeliverMessage(MSG& msg);

// The program's loop: serves messages until the quit message.
void RunMessageLoop();
