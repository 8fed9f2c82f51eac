// The program's stand-ins for kernel functions that Windows XP lacks. Wine has every
// newer function, so each case runs once with this system's kernel and once with an
// XP kernel (no newer functions), which takes the fallback.
#include "util/windows_compat.h"

#include <windows.h>
#include <gtest/gtest.h>

#include <cwctype>
#include <string>
#include <thread>
#include <vector>

#include "device/pipe_io.h"
#include "program_driver.h"
#include "test_support.h"
#include "util/handle.h"

using testing_support::TempDir;

namespace {

struct Kernel {
  const char* what;
  NewerKernelFunctions functions;
};

std::vector<Kernel> Kernels() { return {{"this system's kernel", NewerKernel()}, {"XP kernel", {}}}; }

std::wstring Lower(std::wstring s) {
  for (wchar_t& c : s) c = static_cast<wchar_t>(std::towlower(c));
  return s;
}

std::wstring ModulePath(HMODULE m) {
  wchar_t path[MAX_PATH * 4] = {};
  GetModuleFileNameW(m, path, MAX_PATH * 4);
  return path;
}

std::wstring SystemDirectory() {
  wchar_t dir[MAX_PATH] = {};
  GetSystemDirectoryW(dir, MAX_PATH);
  return dir;
}

// A library of the given name in a fresh current directory (a copy of this test
// program: an exe loads as a library without running).
class PlantedLibrary {
 public:
  explicit PlantedLibrary(const std::wstring& name) : dir_(L"r47plant") {
    CopyFileW(ModulePath(nullptr).c_str(), dir_.File(name).c_str(), FALSE);
    wchar_t old[MAX_PATH * 4] = {};
    GetCurrentDirectoryW(MAX_PATH * 4, old);
    old_ = old;
    SetCurrentDirectoryW(dir_.Path().c_str());
  }
  ~PlantedLibrary() { SetCurrentDirectoryW(old_.c_str()); }

 private:
  TempDir dir_;
  std::wstring old_;
};

TEST(WindowsCompat, SystemLibrariesComeFromSystem32Only) {
  PlantedLibrary planted(L"r47plant.dll");
  ASSERT_NE(GetFileAttributesW(L"r47plant.dll"), INVALID_FILE_ATTRIBUTES);
  for (const Kernel& k : Kernels()) {
    SCOPED_TRACE(k.what);
    HMODULE setupapi = LoadSystemLibrary(L"setupapi.dll", k.functions);
    ASSERT_NE(setupapi, nullptr) << GetLastError();
    EXPECT_EQ(Lower(ModulePath(setupapi)), Lower(SystemDirectory() + L"\\setupapi.dll"));
    FreeLibrary(setupapi);
    HMODULE plant = LoadSystemLibrary(L"r47plant.dll", k.functions);
    EXPECT_EQ(plant, nullptr) << "loaded from the current directory";
    if (plant) FreeLibrary(plant);
  }
}

TEST(WindowsCompat, CancelEndsAPendingRead) {
  for (const Kernel& k : Kernels()) {
    SCOPED_TRACE(k.what);
    const std::wstring name = L"\\\\.\\pipe\\r47compat-" + std::to_wstring(GetCurrentProcessId());
    UniqueHandle server(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                         PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 0, 0, 0, nullptr));
    ASSERT_TRUE(server.valid()) << GetLastError();
    UniqueHandle client(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr));
    ASSERT_TRUE(client.valid()) << GetLastError();
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED ov{};
    ov.hEvent = event.get();
    char buffer[16];
    // Nothing is ever written: the read stays pending until it is cancelled.
    ASSERT_FALSE(ReadFile(client.get(), buffer, sizeof buffer, nullptr, &ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    CancelRequest(client.get(), &ov, k.functions);
    DWORD n = 0;
    EXPECT_FALSE(GetOverlappedResult(client.get(), &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  }
}

// A bounded read that its caller stops (the program ending during the pre-flight)
// ends as stopped, not as a time-out or a broken link, whether the stop came before
// the read or while it waited.
TEST(BoundedIo, AStopEndsAPendingReadAsStopped) {
  const std::wstring name = L"\\\\.\\pipe\\r47stop-" + std::to_wstring(GetCurrentProcessId());
  UniqueHandle server(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                       PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 0, 0, 0, nullptr));
  ASSERT_TRUE(server.valid()) << GetLastError();
  UniqueHandle client(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr));
  ASSERT_TRUE(client.valid()) << GetLastError();
  UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  char buffer[16];
  DWORD got = 0;

  // Stopped while it waits: a thread sets the stop once the read is pending.
  std::thread stopper([&] {
    Sleep(100);
    SetEvent(stop.get());
  });
  IoResult read = ReadBounded(client.get(), buffer, sizeof buffer, &got, 60000, nullptr, stop.get());
  stopper.join();
  EXPECT_EQ(read.status, IoStatus::Stopped);
  EXPECT_EQ(read.error, static_cast<DWORD>(ERROR_CANCELLED));
  EXPECT_EQ(got, 0u);

  // Stopped before it began: no wait at all.
  read = ReadBounded(client.get(), buffer, sizeof buffer, &got, 60000, nullptr, stop.get());
  EXPECT_EQ(read.status, IoStatus::Stopped);
}

}  // namespace
