// Shared pieces of the test programs: temporary program folders with fixture files,
// the real main window created in the test process, and a watcher that reads and
// answers message boxes.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/window_state.h"

namespace testing_support {

std::wstring Widen(const std::string& s);
std::string Narrow(const std::wstring& s);  // UTF-8

// A fresh folder under %TEMP% (its name may carry any characters), removed with all
// its contents when the object goes. Path() ends with a backslash.
class TempDir {
 public:
  explicit TempDir(const std::wstring& nameHint = L"r47test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::wstring& Path() const { return path_; }
  std::wstring File(const std::wstring& name) const { return path_ + name; }
  void Write(const std::wstring& name, const std::vector<uint8_t>& bytes) const;
  void Write(const std::wstring& name, const std::string& text) const;
  void Remove(const std::wstring& name) const;
  // Creates a nested folder of at least minChars characters inside this one.
  std::wstring MakeDeepFolder(size_t minChars) const;

 private:
  std::wstring path_;
};

// An image of the given size whose first bytes are the given header (the rest is a
// pattern that shows any shift or hole in a received stream).
std::vector<uint8_t> MakeImage(const std::string& header, size_t size);
std::vector<uint8_t> ReadFileBytes(const std::wstring& path);
// Creates or replaces the file with these bytes (paths of any length).
void WriteFileBytes(const std::wstring& path, const std::vector<uint8_t>& bytes);
// The path in the form that takes any length (\\?\ in front when it is long).
std::wstring LongPath(const std::wstring& path);
// A file of the given size that takes no disk space: all zeros (so its header is
// neither image's). False when it could not be made.
bool MakeSparseFile(const std::wstring& path, uint64_t size);
// How often `what` occurs in `text` (lines of the simulated handheld's event log).
size_t CountOf(const std::string& text, const std::string& what);

// The program's main window from its own template, created in this process with the
// discovery running in the given folder. It owns the window's state, as the program's
// entry does.
class TestWindow {
 public:
  explicit TestWindow(const std::wstring& programDirectory);
  ~TestWindow();
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;
  HWND hwnd() const { return hwnd_; }
  MainWindowState& state() { return state_; }
  HWND Item(int id) const { return GetDlgItem(hwnd_, id); }
  bool Enabled(int id) const { return IsWindowEnabled(Item(id)) != FALSE; }
  std::wstring Text(int id) const;
  int ProgressPos() const;
  std::vector<std::wstring> ListEntries() const;
  // Simulates the user's click on a button or check box (the command goes through
  // the dialog procedure as it would from the mouse).
  void Click(int id) const;

 private:
  MainWindowState state_;
  HWND hwnd_ = nullptr;
};

// Serves this thread's messages for the given time, or until done() holds.
void Pump(DWORD milliseconds);
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs);
// Serves messages until WM_QUIT arrives (true) or the time runs out (false).
bool PumpUntilQuit(DWORD timeoutMs);

// What a message box showed.
struct BoxRecord {
  std::wstring caption;
  std::wstring text;
  enum Icon { None, Error, Information, Other } icon = None;
};

// Records and answers the message boxes of one process (this one by default). The
// program's own dialogs are left alone (they carry static texts too, and an OK
// posted to them would press Update or close the warning). Each box is handed to
// onBox first, while still open (for a screenshot), then its OK button is pressed.
// The program's window after a failed flash is no message box: it is recorded apart
// (WayBacks, its caption and text; handed to onWayBack first) and closed with its
// Close button, so that the boxes counted stay the ones they were.
class BoxWatcher {
 public:
  using Handler = std::function<void(const BoxRecord&, HWND box)>;
  explicit BoxWatcher(DWORD processId = GetCurrentProcessId(), Handler onBox = nullptr, Handler onWayBack = nullptr);
  ~BoxWatcher();
  BoxWatcher(const BoxWatcher&) = delete;
  BoxWatcher& operator=(const BoxWatcher&) = delete;
  std::vector<BoxRecord> Boxes() const;
  std::vector<BoxRecord> WayBacks() const;
  // Serves this thread's messages while it waits.
  bool WaitForBoxes(size_t count, DWORD timeoutMs) const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// Records every position sent to a progress bar and every text set on a control,
// by subclassing them in this process.
class ControlRecorder {
 public:
  ControlRecorder(HWND progress, HWND status);
  ~ControlRecorder();
  std::vector<int> Positions() const;
  std::vector<std::wstring> Texts() const;

 private:
  static LRESULT CALLBACK Hook(HWND, UINT, WPARAM, LPARAM, UINT_PTR, DWORD_PTR);
  HWND progress_, status_;
  mutable std::mutex mutex_;
  std::vector<int> positions_;
  std::vector<std::wstring> texts_;
};

// Whether this test runs under qemu-i386, on a machine without 32-bit mode (scripts/test
// then sets R47_RUNS_32BIT=emulated): 32-bit programs start several times slower there,
// and bounds that only catch a hang are longer.
bool RunsEmulated();
inline DWORD HangBound(DWORD ms) { return RunsEmulated() ? ms * 3 : ms; }

}  // namespace testing_support
