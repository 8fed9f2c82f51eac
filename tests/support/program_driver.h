// Drives the real r47flash.exe from another process, as a user would: a program
// folder with the images next to the program, a working directory with the version
// file, clicks on the main window's controls and a look at what it shows.
#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "test_support.h"

namespace testing_support {

// Folder of this (test or demo) program, with its trailing backslash.
std::wstring ThisProgramDirectory();

// A version file in the program's INI format.
std::string VersionFileText(int bootHigh, int bootLow, long mustUpdateBoot = 0);

// A fresh copy of the tool in a folder of its own, with readme.txt beside it, so that
// each run sees exactly the image files its test puts there.
class ProgramFolder {
 public:
  // nameHint names the folder; with minChars, the program sits in nested folders at
  // least that long a path down.
  explicit ProgramFolder(const std::wstring& nameHint = L"r47prog", size_t minChars = 0);
  const std::wstring& Path() const { return path_; }
  std::wstring Exe() const { return path_ + L"r47flash.exe"; }
  std::wstring File(const std::wstring& name) const { return path_ + name; }
  const TempDir& Dir() const { return dir_; }
  void Write(const std::wstring& name, const std::vector<uint8_t>& bytes) const;
  void Write(const std::wstring& name, const std::string& text) const {
    Write(name, std::vector<uint8_t>(text.begin(), text.end()));
  }

 private:
  TempDir dir_;
  std::wstring path_;
};

// One running instance of the tool. Killed when the object goes, if still running.
class ProgramRun {
 public:
  // Starts the program and waits (bounded) for its main window. Null when either
  // failed; the reason is in *error.
  static std::unique_ptr<ProgramRun> Start(const std::wstring& exe, const std::wstring& workingDirectory,
                                           std::wstring* error = nullptr);
  ~ProgramRun();
  ProgramRun(const ProgramRun&) = delete;
  ProgramRun& operator=(const ProgramRun&) = delete;

  DWORD ProcessId() const { return processId_; }
  HWND Window() const { return window_; }
  HWND Item(int id) const { return GetDlgItem(window_, id); }

  std::wstring Text(int id) const;
  int ProgressPos() const;
  bool Enabled(int id) const { return IsWindowEnabled(Item(id)) != FALSE; }
  bool Checked(int id) const;
  // Presses a button or check box without waiting for the program (the Update
  // handler runs for many seconds). False when the control is disabled: a user's
  // click would do nothing either.
  bool Click(int id) const;

  // Waits until the condition holds; false when the time ran out first.
  static bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs);
  bool WaitForText(int id, const std::wstring& text, DWORD timeoutMs) const;
  bool Running() const;
  // Waits for the program's end; the exit code when it ended in time.
  std::optional<DWORD> WaitForExit(DWORD timeoutMs) const;

  // A visible top-level window of this program with the given title other than the
  // main window (a dialog), or null.
  HWND FindDialog(const std::wstring& title) const;
  // Waits until the program's thread that owns the main window has served its
  // pending messages, so that what it last drew is on the screen.
  void Settle() const;

 private:
  ProgramRun() = default;
  PROCESS_INFORMATION process_{};
  DWORD processId_ = 0;
  HWND window_ = nullptr;
};

// The same watcher, named for the end-to-end scenarios' use.
using BoxLog = BoxWatcher;

// What the main window showed over time, sampled every few milliseconds: each new
// status text and progress position, and each new set of enabled controls. A state
// that stands only a moment (the last one before the program ends) may be missed:
// Wine delivers no change events of another process.
class WindowLog {
 public:
  struct Change {
    enum Kind { Status, Progress, Enabled } kind;
    std::wstring text;  // Status: the text; Enabled: the enabled controls' ids, e.g. "2 1007"
    int position = 0;   // Progress
  };
  WindowLog(DWORD processId, HWND mainWindow, std::vector<int> controls);
  ~WindowLog();
  WindowLog(const WindowLog&) = delete;
  WindowLog& operator=(const WindowLog&) = delete;
  std::vector<Change> Changes() const;
  std::vector<std::wstring> StatusTexts() const;
  std::vector<int> Positions() const;
  std::vector<std::wstring> EnabledSets() const;
  size_t Size() const { return Changes().size(); }

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// True for a message box (not one of the program's own dialogs).
bool IsMessageBox(HWND hwnd);

// Window texts as the screen shows them.
std::wstring WindowTextOf(HWND hwnd);

// Saves what the screen shows inside the window's rectangle (with the rectangles of
// the extra windows joined in, e.g. a box over the main window) as
// build/screenshots/<name>.png. Returns the file's path, empty on failure.
std::wstring SaveScreenshot(const std::wstring& name, HWND window, const std::vector<HWND>& extra = {});
// The folder that screenshots go to (build/screenshots\, created on demand).
std::wstring ScreenshotDirectory();

// What the screen shows inside `area` (screen coordinates) as 8-bit RGB rows, top row
// first, 3 bytes per pixel; empty on failure.
std::vector<uint8_t> CaptureScreenArea(const RECT& area);

// Where the tool writes its logs: <local application data>\r47flash\Protokolle\.
std::wstring ToolLogFolder();
// Empties it: the program reads what earlier runs left there (a notice about a flash
// that did not complete, the second step after a boot loader), so a test that is not
// about earlier runs starts each program with none.
void ClearToolLogFolder();
// The log file of the tool's run with this process id ("" when there is none).
// Process ids come round again: of the files with this one, the newest is the run's.
std::wstring ToolLogOfRun(DWORD processId);
// The texts of the lines of that run's log, without their time stamps; continuation
// lines (which start with blanks) are left out.
std::vector<std::wstring> LogOfRun(DWORD processId);
// The lines that start with `start`, in their order.
std::vector<std::wstring> LinesStartingWith(const std::vector<std::wstring>& lines, const std::wstring& start);
// Lines one per line, for a failure message.
std::string Joined(const std::vector<std::wstring>& lines);

}  // namespace testing_support
