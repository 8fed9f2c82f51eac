// File paths of any length, through the wide file API.
#pragma once
#include <windows.h>

#include <string>

// The directory of this program's file, with its trailing backslash.
std::wstring ModuleDirectory();
// The process's current directory, without a trailing backslash.
std::wstring CurrentDirectory();
// A path that the wide file API accepts at any length: long absolute paths get the
// \\?\ prefix, which lifts the 260-character limit.
std::wstring ExtendedPath(const std::wstring& path);
// CreateFileW for reading an existing file, shared for reading.
HANDLE OpenFileForReading(const std::wstring& path);
// True for the errors of a file that is there but that another program holds: open
// without sharing (at the open) or with a range locked (at a read).
inline bool HeldByAnotherProgram(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}
