#include "test_support.h"

#include <commctrl.h>
#include <winioctl.h>

#include "app/controls.h"
#include "app/main_window.h"
#include "app/message_loop.h"
#include "app/window_messages.h"
#include "res/resource.h"

namespace testing_support {

std::wstring Widen(const std::string& s) {
  if (s.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &out[0], n);
  return out;
}

std::string Narrow(const std::wstring& s) {
  if (s.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &out[0], n, nullptr, nullptr);
  return out;
}

namespace {

std::wstring Long(const std::wstring& path) {
  if (path.size() < MAX_PATH - 12 || path.compare(0, 4, L"\\\\?\\") == 0) return path;
  return L"\\\\?\\" + path;
}

void RemoveTree(const std::wstring& dir) {
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW(Long(dir + L"*").c_str(), &fd);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = fd.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring full = dir + name;
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveTree(full + L"\\");
      else
        DeleteFileW(Long(full).c_str());
    } while (FindNextFileW(find, &fd));
    FindClose(find);
  }
  RemoveDirectoryW(Long(dir).c_str());
}

}  // namespace

TempDir::TempDir(const std::wstring& nameHint) {
  static LONG counter;
  wchar_t temp[MAX_PATH + 1];
  GetTempPathW(MAX_PATH + 1, temp);
  path_ = std::wstring(temp) + nameHint + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
          std::to_wstring(InterlockedIncrement(&counter)) + L"\\";
  CreateDirectoryW(Long(path_).c_str(), nullptr);
}

TempDir::~TempDir() { RemoveTree(path_); }

std::wstring LongPath(const std::wstring& path) { return Long(path); }

void WriteFileBytes(const std::wstring& path, const std::vector<uint8_t>& bytes) {
  HANDLE f = CreateFileW(Long(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD n = 0;
  if (!bytes.empty()) WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
  CloseHandle(f);
}

void TempDir::Write(const std::wstring& name, const std::vector<uint8_t>& bytes) const {
  WriteFileBytes(path_ + name, bytes);
}

void TempDir::Write(const std::wstring& name, const std::string& text) const {
  Write(name, std::vector<uint8_t>(text.begin(), text.end()));
}

void TempDir::Remove(const std::wstring& name) const { DeleteFileW(Long(path_ + name).c_str()); }

std::wstring TempDir::MakeDeepFolder(size_t minChars) const {
  std::wstring dir = path_;
  int level = 0;
  while (dir.size() < minChars) {
    dir += L"folder-with-a-rather-long-name-" + std::to_wstring(level++) + L"\\";
    CreateDirectoryW(Long(dir).c_str(), nullptr);
  }
  return dir;
}

std::vector<uint8_t> MakeImage(const std::string& header, size_t size) {
  std::vector<uint8_t> image(size);
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>((i * 7 + i / 251) & 0xFF);
  for (size_t i = 0; i < header.size() && i < size; ++i) image[i] = static_cast<uint8_t>(header[i]);
  return image;
}

std::vector<uint8_t> ReadFileBytes(const std::wstring& path) {
  std::vector<uint8_t> bytes;
  HANDLE f = CreateFileW(Long(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return bytes;
  LARGE_INTEGER size{};
  GetFileSizeEx(f, &size);
  bytes.resize(static_cast<size_t>(size.QuadPart));
  DWORD n = 0;
  if (!bytes.empty()) ReadFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
  bytes.resize(n);
  CloseHandle(f);
  return bytes;
}

bool MakeSparseFile(const std::wstring& path, uint64_t size) {
  HANDLE f = CreateFileW(Long(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD unused = 0;
  // Marked sparse where the file system knows it; Wine's files are sparse anyway.
  DeviceIoControl(f, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &unused, nullptr);
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  bool ok = SetFilePointerEx(f, end, nullptr, FILE_BEGIN) && SetEndOfFile(f);
  CloseHandle(f);
  return ok;
}

size_t CountOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

namespace {

INT_PTR CALLBACK TestDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    InitMainWindow(window, *reinterpret_cast<MainWindowState*>(lParam));
    return 0;
  }
  if (message == kEndProgramMessage) {
    // The program would end here. The test keeps the window, to look at what it
    // showed last, and sees the quit message the end would bring.
    PostQuitMessage(0);
    return 0;
  }
  return MainDialogProc(window, message, wParam, lParam);
}

}  // namespace

TestWindow::TestWindow(const std::wstring& programDirectory) {
  SetAppInstance(GetModuleHandleW(nullptr));
  INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&icc);
  state_.programDirectory = programDirectory;
  hwnd_ = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_MAIN), nullptr, TestDialogProc,
                             reinterpret_cast<LPARAM>(&state_));
  ShowWindow(hwnd_, SW_SHOW);
  Pump(0);
}

TestWindow::~TestWindow() {
  if (IsWindow(hwnd_)) DestroyWindow(hwnd_);
  // The destruction posts a quit message; drop it so the next test starts clean.
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
  }
}

std::wstring TestWindow::Text(int id) const {
  wchar_t buf[1024] = {};
  GetDlgItemTextW(hwnd_, id, buf, 1024);
  return buf;
}

int TestWindow::ProgressPos() const { return static_cast<int>(SendMessageW(Item(IDC_PROGRESS), PBM_GETPOS, 0, 0)); }

std::vector<std::wstring> TestWindow::ListEntries() const {
  std::vector<std::wstring> entries;
  int n = static_cast<int>(SendMessageW(Item(IDC_IMAGE_LIST), CB_GETCOUNT, 0, 0));
  for (int i = 0; i < n; ++i) {
    wchar_t buf[256] = {};
    SendMessageW(Item(IDC_IMAGE_LIST), CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(buf));
    entries.push_back(buf);
  }
  return entries;
}

void TestWindow::Click(int id) const {
  // A disabled control gets no click, as with the mouse.
  if (!Enabled(id)) return;
  SendMessageW(Item(id), BM_CLICK, 0, 0);
}

namespace {

enum class PumpEnd { Done, TimedOut, Quit };

// The test's own pump: serves this thread's messages as the program's loop does,
// until `done` holds, the time runs out or the quit message comes.
PumpEnd Serve(DWORD timeoutMs, const std::function<bool()>& done) {
  const DWORD start = GetTickCount();
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) return PumpEnd::Quit;
      DeliverMessage(msg);
    }
    if (done && done()) return PumpEnd::Done;
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= timeoutMs) return PumpEnd::TimedOut;
    // A condition has no event to wake the wait: it is looked at again this often.
    DWORD waitMs = timeoutMs - elapsed;
    if (done && waitMs > 20) waitMs = 20;
    MsgWaitForMultipleObjectsEx(0, nullptr, waitMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
}

}  // namespace

void Pump(DWORD milliseconds) {
  // A quit message is for whoever pumps until it: put it back.
  if (Serve(milliseconds, nullptr) == PumpEnd::Quit) PostQuitMessage(0);
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  const PumpEnd end = Serve(timeoutMs, done);
  if (end == PumpEnd::Quit) PostQuitMessage(0);
  return end == PumpEnd::Done || done();
}

bool PumpUntilQuit(DWORD timeoutMs) { return Serve(timeoutMs, nullptr) == PumpEnd::Quit; }

ControlRecorder::ControlRecorder(HWND progress, HWND status) : progress_(progress), status_(status) {
  SetWindowSubclass(progress_, Hook, 1, reinterpret_cast<DWORD_PTR>(this));
  SetWindowSubclass(status_, Hook, 2, reinterpret_cast<DWORD_PTR>(this));
}

ControlRecorder::~ControlRecorder() {
  RemoveWindowSubclass(progress_, Hook, 1);
  RemoveWindowSubclass(status_, Hook, 2);
}

LRESULT CALLBACK ControlRecorder::Hook(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                       DWORD_PTR data) {
  auto* self = reinterpret_cast<ControlRecorder*>(data);
  if (id == 1 && message == PBM_SETPOS) {
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->positions_.push_back(static_cast<int>(wParam));
  } else if (id == 2 && message == WM_SETTEXT && lParam) {
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->texts_.push_back(reinterpret_cast<const wchar_t*>(lParam));
  }
  return DefSubclassProc(hwnd, message, wParam, lParam);
}

std::vector<int> ControlRecorder::Positions() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return positions_;
}

std::vector<std::wstring> ControlRecorder::Texts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return texts_;
}

bool RunsEmulated() {
  char mode[16] = {};
  const DWORD n = GetEnvironmentVariableA("R47_RUNS_32BIT", mode, sizeof mode);
  return n > 0 && n < sizeof mode && std::string(mode) == "emulated";
}

}  // namespace testing_support
