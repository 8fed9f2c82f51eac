#include "util/windows_compat.h"

#include <string>

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

namespace {

template <typename T>
void Resolve(HMODULE module, const char* name, T* out) {
  *out = module ? reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}

NewerKernelFunctions LookUp() {
  // kernel32 is loaded in every process; no library is loaded here.
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  NewerKernelFunctions f{};
  Resolve(kernel32, "SetDefaultDllDirectories", &f.setDefaultDllDirectories);
  Resolve(kernel32, "CancelIoEx", &f.cancelIoEx);
  return f;
}

}  // namespace

const NewerKernelFunctions& NewerKernel() {
  static const NewerKernelFunctions functions = LookUp();
  return functions;
}

bool RestrictDllSearch(const NewerKernelFunctions& kernel) {
  if (kernel.setDefaultDllDirectories && kernel.setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) return true;
  return SetDllDirectoryW(L"") != FALSE;
}

HMODULE LoadSystemLibrary(const wchar_t* name, const NewerKernelFunctions& kernel) {
  if (kernel.setDefaultDllDirectories) {
    HMODULE module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module || GetLastError() != ERROR_INVALID_PARAMETER) return module;
  }
  wchar_t dir[MAX_PATH];
  UINT n = GetSystemDirectoryW(dir, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return nullptr;
  std::wstring path(dir, n);
  if (path.back() != L'\\') path += L'\\';
  path += name;
  return LoadLibraryW(path.c_str());
}

void CancelRequest(HANDLE file, OVERLAPPED* overlapped, const NewerKernelFunctions& kernel) {
  if (kernel.cancelIoEx)
    kernel.cancelIoEx(file, overlapped);
  else
    CancelIo(file);
}
