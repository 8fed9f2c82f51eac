#include "app/flash_log.h"

#include <shlobj.h>

#include <cstdio>
#include <deque>

#include "app/kept_logs.h"
#include "util/handle.h"
#include "util/system_text.h"

namespace {

// How long the end of the program waits for the disk to take the last lines.
constexpr DWORD kCloseWaitMs = 3000;
// The writer takes what has queued up this often. Waking it for every line would cost
// the worker a system call and a thread switch per line, during the transfer too.
constexpr DWORD kWriteIntervalMs = 200;
// The memory copy is for the log window; a run that somehow logs more keeps its start.
constexpr size_t kMemoryLimitChars = 4u << 20;
// Continuation lines of a multi-line text line up under the text.
const wchar_t kContinuation[] = L"\r\n                         ";

struct LogState {
  LogState() {
    InitializeCriticalSection(&lock);
    GetLocalTime(&started);
  }
  CRITICAL_SECTION lock{};
  std::deque<std::string> queue;  // lines for the file, UTF-8, waiting for the writer
  std::wstring memory;            // every line of the run
  std::wstring path;
  HANDLE file = INVALID_HANDLE_VALUE;  // owned by the writer thread while it runs
  HANDLE wake = nullptr;               // set when the log closes
  HANDLE writer = nullptr;
  bool closing = false;
  std::wstring folder;  // where this run logs, also when no file could be made there
  SYSTEMTIME started{};
};

LogState& State() {
  static LogState* state = new LogState;  // lives to the end: threads may log late
  return *state;
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? static_cast<size_t>(n) : 0u, '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
  return out;
}

DWORD WINAPI WriterThread(void*) {
  LogState& s = State();
  for (;;) {
    WaitForSingleObject(s.wake, kWriteIntervalMs);
    std::deque<std::string> lines;
    bool closing;
    {
      CriticalSectionLock lock(s.lock);
      lines.swap(s.queue);
      closing = s.closing;
    }
    std::string block;
    for (const std::string& line : lines) block += line;
    DWORD written = 0;
    if (!block.empty() && s.file != INVALID_HANDLE_VALUE &&
        !WriteFile(s.file, block.data(), static_cast<DWORD>(block.size()), &written, nullptr)) {
      // A full or vanished disk: the rest of the run is kept in memory only.
      CloseHandle(s.file);
      s.file = INVALID_HANDLE_VALUE;
    }
    if (closing) return 0;
  }
}

std::wstring WithContinuations(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size());
  for (wchar_t c : text) {
    if (c == L'\r') continue;
    if (c == L'\n')
      out += kContinuation;
    else
      out += c;
  }
  return out;
}

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

}  // namespace

std::wstring DefaultLogFolder() {
  wchar_t base[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, base)) ||
      !base[0]) {
    return std::wstring();
  }
  return std::wstring(base) + L"\\r47flash\\Protokolle";
}

bool OpenFlashLog(const std::wstring& folder, size_t keep) {
  LogState& s = State();
  if (s.writer || folder.empty()) return false;
  {
    CriticalSectionLock lock(s.lock);
    s.folder = folder;
    // Until this file exists, no earlier one is this log's.
    s.path.clear();
  }
  // Each level in turn: CreateDirectoryW makes only the last one.
  for (size_t at = folder.find(L'\\', 3);; at = folder.find(L'\\', at + 1)) {
    CreateDirectoryW(folder.substr(0, at).c_str(), nullptr);
    if (at == std::wstring::npos) break;
  }
  SYSTEMTIME now;
  GetLocalTime(&now);
  std::wstring path = folder + L"\\" + LogFileName(now, GetCurrentProcessId());
  HANDLE file =
      CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  // A byte order mark, so that Notepad reads the umlauts as UTF-8.
  DWORD written = 0;
  WriteFile(file, "\xEF\xBB\xBF", 3, &written, nullptr);

  PruneLogFiles(folder, keep);

  HANDLE wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!wake) {
    CloseHandle(file);
    return false;
  }
  {
    CriticalSectionLock lock(s.lock);
    s.file = file;
    s.wake = wake;
    s.path = path;
    s.started = now;
    s.closing = false;
    // What was logged before the file existed goes in first.
    if (!s.memory.empty()) s.queue.push_front(Utf8(s.memory));
  }
  s.writer = CreateThread(nullptr, 0, WriterThread, nullptr, 0, nullptr);
  if (!s.writer) {
    CriticalSectionLock lock(s.lock);
    CloseHandle(s.file);
    s.file = INVALID_HANDLE_VALUE;
    CloseHandle(s.wake);
    s.wake = nullptr;
    s.path.clear();
    s.queue.clear();
    return false;
  }
  return true;
}

void CloseFlashLog() {
  LogState& s = State();
  if (!s.writer) return;
  {
    CriticalSectionLock lock(s.lock);
    s.closing = true;
  }
  SetEvent(s.wake);
  if (WaitForSingleObject(s.writer, kCloseWaitMs) != WAIT_OBJECT_0) {
    // The disk hangs: leave the writer to it rather than the program.
    CloseHandle(s.writer);
    s.writer = nullptr;
    return;
  }
  CloseHandle(s.writer);
  s.writer = nullptr;
  CriticalSectionLock lock(s.lock);
  if (s.file != INVALID_HANDLE_VALUE) CloseHandle(s.file);
  s.file = INVALID_HANDLE_VALUE;
  CloseHandle(s.wake);
  s.wake = nullptr;
  s.queue.clear();
}

std::wstring FlashLogPath() {
  LogState& s = State();
  CriticalSectionLock lock(s.lock);
  return s.path;
}

std::wstring FlashLogText() {
  LogState& s = State();
  CriticalSectionLock lock(s.lock);
  return s.memory;
}

void LogLine(const std::wstring& text) {
  SYSTEMTIME t;
  GetLocalTime(&t);
  wchar_t stamp[32];
  std::swprintf(stamp, 32, L"%04u-%02u-%02u %02u:%02u:%02u.%03u  ", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                t.wSecond, t.wMilliseconds);
  std::wstring line = stamp + WithContinuations(text) + L"\r\n";
  std::string bytes = Utf8(line);
  LogState& s = State();
  CriticalSectionLock lock(s.lock);
  if (s.memory.size() + line.size() <= kMemoryLimitChars) s.memory += line;
  if (s.writer && !s.closing) s.queue.push_back(std::move(bytes));
}

void LogStatus(const std::wstring& text) { LogLine(L"status: " + Quoted(text)); }

void LogBox(const std::wstring& caption, const std::wstring& text) {
  LogLine(L"message box [" + caption + L"]: " + Quoted(text));
}

void LogImageRefused(const RefusedImage& refused) {
  std::wstring line = std::wstring(L"image ") + (refused.name ? refused.name : L"") + L" refused at start: ";
  switch (refused.reason) {
    case ImageRefusal::TooShort:
      line += L"too short for the header, " + std::to_wstring(refused.size) + L" bytes";
      break;
    case ImageRefusal::Damaged:
      line += L"damaged header";
      break;
    case ImageRefusal::TooLarge:
      line += L"too large, " + std::to_wstring(refused.size) + L" bytes";
      break;
    case ImageRefusal::Unreadable:
      line += L"unreadable";
      break;
    case ImageRefusal::Locked:
      line += L"held by another program";
      break;
    case ImageRefusal::None:
      return;
  }
  if (refused.systemError) line += L", system error " + SystemErrorText(refused.systemError);
  LogLine(line);
}

void LogVersionFile(bool read, int bootHigh, int bootLow, bool mustUpdateBoot) {
  if (!read) {
    LogLine(L"version file: not read");
    return;
  }
  LogLine(L"version file: EbootHigh=" + std::to_wstring(bootHigh) + L" EbootLow=" + std::to_wstring(bootLow) +
          L" MustUpdateEboot=" + (mustUpdateBoot ? L"yes" : L"no"));
}

void LogVersionAnswer(int query, int queries, const VersionAnswer& answer, DWORD systemError) {
  std::wstring line = L"version query " + std::to_wstring(query) + L"/" + std::to_wstring(queries) + L": ";
  switch (answer.kind) {
    case VersionAnswer::Kind::Lost:
      line += L"no answer, system error " + SystemErrorText(systemError);
      break;
    case VersionAnswer::Kind::Partial:
      line += L"no answer: a report of " + std::to_wstring(answer.bytes) + L" bytes, too short to judge";
      break;
    case VersionAnswer::Kind::Busy:
      line += L"a format or write report: the device is busy with an earlier flash";
      break;
    case VersionAnswer::Kind::Version:
      line += answer.version == 0 ? std::wstring(L"report without a version")
                                  : L"boot loader " + VersionText(answer.version);
      break;
  }
  LogLine(line);
}

void LogVersionChoice(uint16_t deviceVersion, const std::wstring& image) {
  LogLine(L"device version taken: " + VersionText(deviceVersion) + L"; image chosen: " + image);
}

void LogUpdateStarted() {
  LogLine(L"update started");
  NoteUpdateStarted();
}

void LogRunEnd() { LogLine(ClosingLine(CurrentRunOutcome())); }

std::wstring FlashLogFolder() {
  {
    LogState& s = State();
    CriticalSectionLock lock(s.lock);
    if (!s.folder.empty()) return s.folder;
  }
  return DefaultLogFolder();
}

SYSTEMTIME FlashLogStart() {
  LogState& s = State();
  CriticalSectionLock lock(s.lock);
  return s.started;
}
