// Kernel functions newer than Windows XP SP3, the oldest system the program runs on.
// They are looked up at run time; where one is missing, a fallback that is just as safe
// takes its place. Code that needs one of them calls the helpers below.
#pragma once
#include <windows.h>

struct NewerKernelFunctions {
  BOOL(WINAPI* setDefaultDllDirectories)(DWORD flags);             // Windows 8; Vista/7 with KB2533623
  BOOL(WINAPI* cancelIoEx)(HANDLE file, LPOVERLAPPED overlapped);  // Vista
};

// What this system's kernel32 has, looked up once.
const NewerKernelFunctions& NewerKernel();

// Keeps the program's folder and the current directory out of the search for system
// libraries: SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32), or where that is
// missing, SetDllDirectoryW(L"") (no current directory in the search). False if neither
// could be applied.
bool RestrictDllSearch(const NewerKernelFunctions& kernel = NewerKernel());

// Loads a system library from System32 only: with LOAD_LIBRARY_SEARCH_SYSTEM32 where the
// system knows that flag (it comes with SetDefaultDllDirectories), else by its full path.
HMODULE LoadSystemLibrary(const wchar_t* name, const NewerKernelFunctions& kernel = NewerKernel());

// Cancels the request `overlapped` on `file`. Without CancelIoEx, CancelIo cancels every
// request of the calling thread on that handle: callers issue and cancel each request
// on one thread and have only that one outstanding.
void CancelRequest(HANDLE file, OVERLAPPED* overlapped, const NewerKernelFunctions& kernel = NewerKernel());
