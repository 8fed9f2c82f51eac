// The Readme command: readme.txt from the program directory, opened by the shell.
#pragma once
#include <windows.h>

#include <string>

// Opens readme.txt with the shell, or says in a box over `window` that it is missing.
void ShowReadme(HWND window, const std::wstring& programDirectory);
