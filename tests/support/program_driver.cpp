#include "program_driver.h"

#include <commctrl.h>
#include <shlobj.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "png.h"
#include "res/resource.h"

namespace testing_support {

namespace {

// Only catches a program that never shows its window.
const DWORD kWindowWaitMs = HangBound(20000);
constexpr UINT kReplyTimeoutMs = 5000;
const wchar_t kMainTitle[] = L"Quon r47 Flash Tool";

std::wstring DirectoryOf(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::wstring ClassOf(HWND hwnd) {
  wchar_t cls[64] = {};
  GetClassNameW(hwnd, cls, 64);
  return cls;
}

DWORD ProcessOf(HWND hwnd) {
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  return pid;
}

struct TopLevelSearch {
  DWORD processId;
  std::function<bool(HWND)> match;
  std::vector<HWND> found;
};

// A named callback: on 32-bit Windows it must use the stdcall convention.
BOOL CALLBACK CollectTopLevel(HWND hwnd, LPARAM param) {
  auto* s = reinterpret_cast<TopLevelSearch*>(param);
  if (ProcessOf(hwnd) == s->processId && IsWindowVisible(hwnd) && s->match(hwnd)) s->found.push_back(hwnd);
  return TRUE;
}

std::vector<HWND> TopLevelWindows(DWORD processId, std::function<bool(HWND)> match) {
  TopLevelSearch search{processId, std::move(match), {}};
  EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

bool HasBitmapChild(HWND dialog) {
  bool found = false;
  for (HWND child = GetWindow(dialog, GW_CHILD); child && !found; child = GetWindow(child, GW_HWNDNEXT)) {
    found = ClassOf(child) == L"Static" && (GetWindowLongPtrW(child, GWL_STYLE) & SS_TYPEMASK) == SS_BITMAP;
  }
  return found;
}

// A message box keeps its text in a static control with id 0xFFFF (Windows, newer
// Wine) or 100 (older Wine), its icon in 0x14 or 1088.
HWND BoxTextControl(HWND box) {
  HWND text = GetDlgItem(box, 0xFFFF);
  return text ? text : GetDlgItem(box, 100);
}

HWND BoxIconControl(HWND box) {
  HWND icon = GetDlgItem(box, 0x14);
  return icon ? icon : GetDlgItem(box, 1088);
}

// What the screen shows inside the rectangle, as RGB rows, top row first.
std::vector<uint8_t> CaptureScreen(const RECT& area) {
  const int width = area.right - area.left, height = area.bottom - area.top;
  std::vector<uint8_t> rgb;
  if (width <= 0 || height <= 0) return rgb;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top row first
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bitmap && bits) {
    HGDIOBJ old = SelectObject(memory, bitmap);
    bool copied = BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY) != FALSE;
    GdiFlush();
    SelectObject(memory, old);
    if (copied) {
      const size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~size_t{3};
      rgb.resize(static_cast<size_t>(width) * height * 3);
      const uint8_t* src = static_cast<const uint8_t*>(bits);
      for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
          const uint8_t* p = src + y * stride + x * 3;  // blue, green, red
          uint8_t* q = &rgb[(static_cast<size_t>(y) * width + x) * 3];
          q[0] = p[2];
          q[1] = p[1];
          q[2] = p[0];
        }
      }
    }
  }
  if (bitmap) DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return rgb;
}

// Icon handles belong to the process that loaded them, so a box of another process
// is told apart by what its icon control shows: the error icon is red, the
// information icon blue.
BoxRecord::Icon IconOf(HWND box) {
  HWND iconControl = BoxIconControl(box);
  if (!iconControl || !IsWindowVisible(iconControl)) return BoxRecord::None;
  DWORD_PTR icon = 0;
  SendMessageTimeoutW(iconControl, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, kReplyTimeoutMs, &icon);
  if (!icon) return BoxRecord::None;
  DWORD owner = 0;
  GetWindowThreadProcessId(box, &owner);
  if (owner == GetCurrentProcessId()) {
    // In this process the system's shared icons have the same handles.
    if (reinterpret_cast<HICON>(icon) == LoadIconW(nullptr, MAKEINTRESOURCEW(32513))) return BoxRecord::Error;
    if (reinterpret_cast<HICON>(icon) == LoadIconW(nullptr, MAKEINTRESOURCEW(32516))) return BoxRecord::Information;
    return BoxRecord::Other;
  }
  // The box may not have painted yet, and it may still be laying out its controls: look
  // again for a while (a loaded machine may take seconds), reading the place anew.
  for (int attempt = 0; attempt < 200; ++attempt) {
    RECT r{};
    GetWindowRect(iconControl, &r);
    int red = 0, blue = 0;
    std::vector<uint8_t> rgb = CaptureScreen(r);
    for (size_t i = 0; i + 2 < rgb.size(); i += 3) {
      int R = rgb[i], G = rgb[i + 1], B = rgb[i + 2];
      if (R > 150 && G < 110 && B < 110) ++red;
      if (B > 150 && R < 110) ++blue;
    }
    if (red > 40 && red > blue) return BoxRecord::Error;
    if (blue > 40 && blue > red) return BoxRecord::Information;
    // Once in a while under load the box did not show its icon for the whole look:
    // ask it, without waiting for it, to come to the top of its display and paint
    // again. What counts is still only what the screen shows.
    if (attempt % 40 == 39) {
      SetWindowPos(box, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_ASYNCWINDOWPOS);
      RedrawWindow(box, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN);
    }
    Sleep(25);
  }
  return BoxRecord::Other;
}

}  // namespace

std::vector<uint8_t> CaptureScreenArea(const RECT& area) { return CaptureScreen(area); }

std::wstring ThisProgramDirectory() {
  wchar_t path[MAX_PATH * 4] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
  return DirectoryOf(path);
}

std::string VersionFileText(int bootHigh, int bootLow, long mustUpdateBoot) {
  return "[Version]\r\nEbootHigh=" + std::to_string(bootHigh) + "\r\nEbootLow=" + std::to_string(bootLow) +
         "\r\nMustUpdateEboot=" + std::to_string(mustUpdateBoot) + "\r\n";
}

ProgramFolder::ProgramFolder(const std::wstring& nameHint, size_t minChars)
    : dir_(nameHint), path_(minChars ? dir_.MakeDeepFolder(minChars) : dir_.Path()) {
  const std::wstring from = ThisProgramDirectory();
  CopyFileW((from + L"r47flash.exe").c_str(), LongPath(Exe()).c_str(), FALSE);
  CopyFileW((from + L"readme.txt").c_str(), LongPath(File(L"readme.txt")).c_str(), FALSE);
}

void ProgramFolder::Write(const std::wstring& name, const std::vector<uint8_t>& bytes) const {
  WriteFileBytes(File(name), bytes);
}

std::wstring WindowTextOf(HWND hwnd) {
  wchar_t buf[2048] = {};
  DWORD_PTR ignored = 0;
  SendMessageTimeoutW(hwnd, WM_GETTEXT, 2048, reinterpret_cast<LPARAM>(buf), SMTO_ABORTIFHUNG, kReplyTimeoutMs,
                      &ignored);
  return buf;
}

std::unique_ptr<ProgramRun> ProgramRun::Start(const std::wstring& exe, const std::wstring& workingDirectory,
                                              std::wstring* error) {
  std::unique_ptr<ProgramRun> run(new ProgramRun());
  std::wstring commandLine = L"\"" + exe + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  if (!CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                      workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup, &run->process_)) {
    if (error) *error = L"CreateProcess failed with error " + std::to_wstring(GetLastError());
    return nullptr;
  }
  run->processId_ = run->process_.dwProcessId;
  WaitForInputIdle(run->process_.hProcess, kWindowWaitMs);
  const DWORD pid = run->processId_;
  WaitUntil(
      [&] {
        auto found = TopLevelWindows(pid, [](HWND hwnd) { return WindowTextOf(hwnd) == kMainTitle; });
        if (!found.empty()) run->window_ = found.front();
        return run->window_ != nullptr || !run->Running();
      },
      kWindowWaitMs);
  if (!run->window_) {
    if (error) *error = L"no main window appeared";
    return nullptr;
  }
  return run;
}

ProgramRun::~ProgramRun() {
  if (!process_.hProcess) return;
  if (Running()) {
    TerminateProcess(process_.hProcess, 1);
    WaitForSingleObject(process_.hProcess, kWindowWaitMs);
  }
  CloseHandle(process_.hThread);
  CloseHandle(process_.hProcess);
}

std::wstring ProgramRun::Text(int id) const { return WindowTextOf(Item(id)); }

int ProgramRun::ProgressPos() const {
  DWORD_PTR pos = 0;
  SendMessageTimeoutW(Item(1003), PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, kReplyTimeoutMs, &pos);
  return static_cast<int>(pos);
}

bool ProgramRun::Checked(int id) const {
  DWORD_PTR state = 0;
  SendMessageTimeoutW(Item(id), BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, kReplyTimeoutMs, &state);
  return state == BST_CHECKED;
}

bool ProgramRun::Click(int id) const {
  HWND control = Item(id);
  if (!control || !IsWindowEnabled(control)) return false;
  return PostMessageW(control, BM_CLICK, 0, 0) != FALSE;
}

bool ProgramRun::WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    if (condition()) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(20);
  }
}

bool ProgramRun::WaitForText(int id, const std::wstring& text, DWORD timeoutMs) const {
  return WaitUntil([&] { return Text(id) == text; }, timeoutMs);
}

bool ProgramRun::Running() const { return WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT; }

std::optional<DWORD> ProgramRun::WaitForExit(DWORD timeoutMs) const {
  if (WaitForSingleObject(process_.hProcess, timeoutMs) != WAIT_OBJECT_0) return std::nullopt;
  DWORD code = 0;
  GetExitCodeProcess(process_.hProcess, &code);
  return code;
}

HWND ProgramRun::FindDialog(const std::wstring& title) const {
  auto found = TopLevelWindows(processId_, [&](HWND hwnd) {
    return hwnd != window_ && ClassOf(hwnd) == L"#32770" && WindowTextOf(hwnd) == title;
  });
  return found.empty() ? nullptr : found.front();
}

void ProgramRun::Settle() const {
  DWORD_PTR ignored = 0;
  SendMessageTimeoutW(window_, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, kReplyTimeoutMs, &ignored);
  // Painting follows the last change; give the screen a moment to show it.
  Sleep(300);
  SendMessageTimeoutW(window_, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, kReplyTimeoutMs, &ignored);
}

bool IsMessageBox(HWND hwnd) {
  // The program's own dialogs all carry a picture; a message box never does.
  return ClassOf(hwnd) == L"#32770" && BoxTextControl(hwnd) && !HasBitmapChild(hwnd);
}

bool IsWayBackWindow(HWND hwnd) { return ClassOf(hwnd) == L"#32770" && GetDlgItem(hwnd, IDC_WAYBACK_TEXT); }

namespace {

// A thread beside the test that repeats one round, with a pause after each, until it
// is destroyed: how the watchers below look at another program's windows.
class Poller {
 public:
  Poller(std::function<void()> round, DWORD pauseMs)
      : thread_([this, round = std::move(round), pauseMs] {
          while (!stop_) {
            round();
            Sleep(pauseMs);
          }
        }) {}
  ~Poller() {
    stop_ = true;
    thread_.join();
  }
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;  // after stop_: it reads stop_ from its first round
};

}  // namespace

struct BoxWatcher::State {
  DWORD processId;
  Handler onBox, onWayBack;
  std::mutex mutex;
  std::vector<BoxRecord> boxes, wayBacks;
  std::vector<HWND> answered;
  std::unique_ptr<Poller> poller;

  void Round() {
    {
      // Forget the boxes that have gone since the last round.
      std::lock_guard<std::mutex> lock(mutex);
      std::vector<HWND> still;
      for (HWND h : answered)
        if (IsWindow(h)) still.push_back(h);
      answered.swap(still);
    }
    for (HWND box : TopLevelWindows(processId, IsMessageBox)) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        bool seen = false;
        for (HWND h : answered) seen = seen || h == box;
        if (seen) continue;
      }
      BoxRecord record;
      record.caption = WindowTextOf(box);
      record.text = WindowTextOf(BoxTextControl(box));
      // Seen while it is still being built: read it again on the next round.
      if (record.caption.empty() && record.text.empty()) continue;
      record.icon = IconOf(box);
      if (onBox) onBox(record, box);
      {
        std::lock_guard<std::mutex> lock(mutex);
        answered.push_back(box);
        boxes.push_back(record);
      }
      // Every box of the program has a single OK button.
      PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    }
    for (HWND window : TopLevelWindows(processId, IsWayBackWindow)) {
      if (Answered(window)) continue;
      BoxRecord record;
      record.caption = WindowTextOf(window);
      record.text = WindowTextOf(GetDlgItem(window, IDC_WAYBACK_TEXT));
      if (record.text.empty() || !IsWindowVisible(window)) continue;  // still being built
      if (onWayBack) onWayBack(record, window);
      {
        std::lock_guard<std::mutex> lock(mutex);
        answered.push_back(window);
        wayBacks.push_back(record);
      }
      PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);  // Close
    }
  }

  bool Answered(HWND window) {
    std::lock_guard<std::mutex> lock(mutex);
    for (HWND h : answered)
      if (h == window) return true;
    return false;
  }
};

BoxWatcher::BoxWatcher(DWORD processId, Handler onBox, Handler onWayBack) : state_(std::make_shared<State>()) {
  state_->processId = processId;
  state_->onBox = std::move(onBox);
  state_->onWayBack = std::move(onWayBack);
  State* s = state_.get();
  state_->poller = std::make_unique<Poller>([s] { s->Round(); }, 30);
}

BoxWatcher::~BoxWatcher() { state_->poller.reset(); }

std::vector<BoxRecord> BoxWatcher::Boxes() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->boxes;
}

std::vector<BoxRecord> BoxWatcher::WayBacks() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->wayBacks;
}

bool BoxWatcher::WaitForBoxes(size_t count, DWORD timeoutMs) const {
  return PumpUntil([&] { return Boxes().size() >= count; }, timeoutMs);
}

// ---- What the window showed ----

struct WindowLog::State {
  DWORD processId;
  HWND window;
  std::vector<int> controls;
  mutable std::mutex mutex;
  std::vector<Change> changes;
  std::wstring lastStatus, lastEnabled;
  int lastPosition = -1;
  std::unique_ptr<Poller> poller;

  void Sample() {
    HWND status = GetDlgItem(window, 1004), progress = GetDlgItem(window, 1003);
    if (!status || !IsWindow(status)) return;
    std::wstring text = WindowTextOf(status);
    DWORD_PTR pos = 0;
    bool havePos = SendMessageTimeoutW(progress, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, kReplyTimeoutMs, &pos) != 0;
    std::wstring enabled;
    for (int id : controls) {
      HWND control = GetDlgItem(window, id);
      if (control && IsWindowEnabled(control)) enabled += (enabled.empty() ? L"" : L" ") + std::to_wstring(id);
    }
    if (!IsWindow(status)) return;  // gone while we looked: what we read may be empty
    std::lock_guard<std::mutex> lock(mutex);
    if (text != lastStatus) {
      lastStatus = text;
      changes.push_back({Change::Status, text, 0});
    }
    if (havePos && static_cast<int>(pos) != lastPosition) {
      lastPosition = static_cast<int>(pos);
      changes.push_back({Change::Progress, L"", lastPosition});
    }
    if (enabled != lastEnabled) {
      lastEnabled = enabled;
      changes.push_back({Change::Enabled, enabled, 0});
    }
  }
};

WindowLog::WindowLog(DWORD processId, HWND mainWindow, std::vector<int> controls) : state_(std::make_shared<State>()) {
  state_->processId = processId;
  state_->window = mainWindow;
  state_->controls = std::move(controls);
  State* s = state_.get();
  state_->poller = std::make_unique<Poller>([s] { s->Sample(); }, 5);
}

WindowLog::~WindowLog() { state_->poller.reset(); }

std::vector<WindowLog::Change> WindowLog::Changes() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->changes;
}

std::vector<std::wstring> WindowLog::StatusTexts() const {
  std::vector<std::wstring> out;
  for (const Change& c : Changes())
    if (c.kind == Change::Status) out.push_back(c.text);
  return out;
}

std::vector<int> WindowLog::Positions() const {
  std::vector<int> out;
  for (const Change& c : Changes())
    if (c.kind == Change::Progress) out.push_back(c.position);
  return out;
}

std::vector<std::wstring> WindowLog::EnabledSets() const {
  std::vector<std::wstring> out;
  for (const Change& c : Changes())
    if (c.kind == Change::Enabled) out.push_back(c.text);
  return out;
}

// ---- Screenshots ----

std::wstring ScreenshotDirectory() {
  // Test and demo programs live in <build tree>/bin; the pictures go to <build tree>/screenshots.
  std::wstring dir = ThisProgramDirectory() + L"..\\screenshots\\";
  wchar_t full[MAX_PATH * 4] = {};
  GetFullPathNameW(dir.c_str(), MAX_PATH * 4, full, nullptr);
  CreateDirectoryW(full, nullptr);
  return full;
}

std::wstring SaveScreenshot(const std::wstring& name, HWND window, const std::vector<HWND>& extra) {
  RECT area{};
  if (!GetWindowRect(window, &area)) return std::wstring();
  for (HWND other : extra) {
    RECT r{};
    if (other && GetWindowRect(other, &r)) UnionRect(&area, &area, &r);
  }
  const int width = area.right - area.left, height = area.bottom - area.top;
  // Programs of tests that run side by side sit centred on the same desktop: lift
  // this one (its boxes after it) above them for the moment of the picture.
  const UINT keep = SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_ASYNCWINDOWPOS;
  std::vector<HWND> raised = {window};
  for (HWND other : extra)
    if (other) raised.push_back(other);
  for (HWND w : raised) SetWindowPos(w, HWND_TOPMOST, 0, 0, 0, 0, keep);
  for (HWND w : raised) {
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(w, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, kReplyTimeoutMs, &ignored);
  }
  Sleep(300);  // time to paint what came to light
  std::vector<uint8_t> rgb = CaptureScreen(area);
  for (HWND w : raised) SetWindowPos(w, HWND_NOTOPMOST, 0, 0, 0, 0, keep);
  if (rgb.empty()) return std::wstring();

  const std::wstring path = ScreenshotDirectory() + name + L".png";
  const std::vector<uint8_t> png = EncodePng(rgb, width, height);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::wstring();
  DWORD written = 0;
  BOOL ok = WriteFile(file, png.data(), static_cast<DWORD>(png.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == png.size() ? path : std::wstring();
}

std::wstring ToolLogFolder() {
  wchar_t base[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, base))) return L"";
  return std::wstring(base) + L"\\r47flash\\Protokolle\\";
}

void ClearToolLogFolder() {
  const std::wstring folder = ToolLogFolder();
  if (folder.empty()) return;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileW((folder + found.cFileName).c_str());
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

std::wstring ToolLogOfRun(DWORD processId) {
  const std::wstring folder = ToolLogFolder();
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"r47flash-*-" + std::to_wstring(processId) + L".log").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return L"";
  std::wstring newest;
  do {
    if (newest < found.cFileName) newest = found.cFileName;
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return folder + newest;
}

std::vector<std::wstring> LogOfRun(DWORD processId) {
  const std::wstring path = ToolLogOfRun(processId);
  if (path.empty()) return {};
  std::ifstream in(Narrow(path), std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
  std::vector<std::wstring> lines;
  std::istringstream split(bytes);
  for (std::string line; std::getline(split, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // "YYYY-MM-DD hh:mm:ss.mmm  text"
    if (line.size() > 25 && line[4] == '-' && line[19] == '.') lines.push_back(Widen(line.substr(25)));
  }
  return lines;
}

std::vector<std::wstring> LinesStartingWith(const std::vector<std::wstring>& lines, const std::wstring& start) {
  std::vector<std::wstring> out;
  for (const auto& l : lines)
    if (l.rfind(start, 0) == 0) out.push_back(l);
  return out;
}

std::string Joined(const std::vector<std::wstring>& lines) {
  std::string out;
  for (const auto& l : lines) out += Narrow(l) + "\n";
  return out;
}

}  // namespace testing_support
