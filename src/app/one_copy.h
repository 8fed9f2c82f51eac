// One copy of the program per logon session: two copies would both talk to the one
// handheld, and the second would break the first one's flash.
#pragma once
#include <windows.h>

// Called first thing on start. True: this is the only copy, carry on. False: another
// copy runs; its window has been brought to the front and this copy should end.
bool ClaimOnlyCopy();
// Lets the next copy find this one: called when the main window is created. Does
// nothing unless ClaimOnlyCopy said this copy is the one.
void MarkMainWindow(HWND window);
void UnmarkMainWindow(HWND window);
// Frees the claim as the program ends, so that a copy started next runs at once.
void ReleaseOnlyCopy();
