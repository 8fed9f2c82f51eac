#include "app/flash_log.h"

#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>

#include "text/text.h"
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
const wchar_t kLogPrefix[] = L"r47flash-";
const wchar_t kLogSuffix[] = L".log";
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
  RunOutcome::Kind phase = RunOutcome::Kind::NoUpdate;  // of the run's last update
  std::wstring failure;                                 // its message, when it failed
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

// The closing line is the last line the program writes; the list of earlier runs
// reads it back from each file's end.
const wchar_t kClosingMark[] = L"r47flash ends; outcome: ";
const struct {
  RunOutcome::Kind kind;
  const wchar_t* word;
} kOutcomeWords[] = {
    {RunOutcome::Kind::NoUpdate, L"no update"},
    {RunOutcome::Kind::PreFlight, L"ended during the pre-flight"},
    {RunOutcome::Kind::Download, L"ended during the download"},
    {RunOutcome::Kind::Completed, L"completed"},
    {RunOutcome::Kind::Failed, L"failed: "},
};
// How much of each kept log's end is read for its closing line: a line holds a
// failure message at most, a few hundred characters.
constexpr DWORD kClosingTailBytes = 8192;

// A message on one line: line breaks and runs of blanks become one blank.
std::wstring OneLine(const std::wstring& text) {
  std::wstring out;
  for (wchar_t c : text) {
    bool blank = c == L' ' || c == L'\r' || c == L'\n' || c == L'\t';
    if (blank) {
      if (!out.empty() && out.back() != L' ') out += L' ';
    } else {
      out += c;
    }
  }
  while (!out.empty() && out.back() == L' ') out.pop_back();
  return out;
}

bool UpdateUnderway(RunOutcome::Kind phase) {
  return phase == RunOutcome::Kind::PreFlight || phase == RunOutcome::Kind::Download;
}

std::wstring FromUtf8(const char* bytes, size_t size) {
  if (size >= 3 && std::memcmp(bytes, "\xEF\xBB\xBF", 3) == 0) bytes += 3, size -= 3;
  return DecodeBytes(bytes, size, CP_UTF8);
}

// Reads `count` bytes from `offset`; false with the system error.
bool ReadAt(HANDLE file, uint64_t offset, DWORD count, std::string* out, DWORD* error) {
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(offset);
  out->assign(count, '\0');
  DWORD done = 0;
  if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN) ||
      (count && !ReadFile(file, &(*out)[0], count, &done, nullptr))) {
    *error = GetLastError();
    return false;
  }
  out->resize(done);
  return true;
}

}  // namespace

std::wstring DefaultLogFolder() {
  wchar_t base[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, base)) ||
      !base[0]) {
    return std::wstring();
  }
  return std::wstring(base) + L"\\r47flash\\Protokolle";
}

std::wstring LogFileName(const SYSTEMTIME& t, DWORD processId) {
  wchar_t name[64];
  std::swprintf(name, 64, L"%ls%04u%02u%02u-%02u%02u%02u-%lu%ls", kLogPrefix, t.wYear, t.wMonth, t.wDay, t.wHour,
                t.wMinute, t.wSecond, static_cast<unsigned long>(processId), kLogSuffix);
  return name;
}

std::vector<std::wstring> LogFilesToPrune(std::vector<std::wstring> names, size_t keep) {
  auto isLog = [](const std::wstring& n) {
    const size_t prefix = wcslen(kLogPrefix), suffix = wcslen(kLogSuffix);
    return n.size() > prefix + suffix && _wcsnicmp(n.c_str(), kLogPrefix, prefix) == 0 &&
           _wcsicmp(n.c_str() + n.size() - suffix, kLogSuffix) == 0;
  };
  names.erase(std::remove_if(names.begin(), names.end(), [&](const std::wstring& n) { return !isLog(n); }),
              names.end());
  std::sort(names.begin(), names.end());
  if (names.size() <= keep) return {};
  names.resize(names.size() - keep);
  return names;
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

  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"\\" + kLogPrefix + L"*" + kLogSuffix).c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  for (const std::wstring& old : LogFilesToPrune(names, keep)) DeleteFileW((folder + L"\\").append(old).c_str());

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
  LogState& s = State();
  CriticalSectionLock lock(s.lock);
  s.phase = RunOutcome::Kind::PreFlight;
  s.failure.clear();
}

void NoteDownloadStarted() {
  LogState& s = State();
  CriticalSectionLock lock(s.lock);
  if (s.phase == RunOutcome::Kind::PreFlight) s.phase = RunOutcome::Kind::Download;
}

void NoteUpdateFailed(const std::wstring& message) {
  LogState& s = State();
  CriticalSectionLock lock(s.lock);
  if (!UpdateUnderway(s.phase)) return;
  s.phase = RunOutcome::Kind::Failed;
  s.failure = OneLine(message);
}

void NoteUpdateCompleted() {
  LogState& s = State();
  CriticalSectionLock lock(s.lock);
  if (UpdateUnderway(s.phase)) s.phase = RunOutcome::Kind::Completed;
}

RunOutcome CurrentRunOutcome() {
  LogState& s = State();
  CriticalSectionLock lock(s.lock);
  RunOutcome outcome;
  outcome.kind = s.phase;
  if (s.phase == RunOutcome::Kind::Failed) outcome.message = s.failure;
  return outcome;
}

void LogRunEnd() { LogLine(ClosingLine(CurrentRunOutcome())); }

std::wstring ClosingLine(const RunOutcome& outcome) {
  for (const auto& w : kOutcomeWords) {
    if (w.kind != outcome.kind) continue;
    std::wstring line = kClosingMark + std::wstring(w.word);
    if (outcome.kind == RunOutcome::Kind::Failed) line += OneLine(outcome.message);
    return line;
  }
  return L"r47flash ends";
}

RunOutcome OutcomeOfLog(const std::wstring& text) {
  RunOutcome outcome;
  // The mark at a line's start, after the time stamp; the last one counts.
  size_t at = std::wstring::npos;
  for (size_t from = text.size();;) {
    size_t found = text.rfind(kClosingMark, from);
    if (found == std::wstring::npos) return outcome;
    size_t lineStart = text.rfind(L'\n', found);
    lineStart = lineStart == std::wstring::npos ? 0 : lineStart + 1;
    std::wstring before = text.substr(lineStart, found - lineStart);
    // "YYYY-MM-DD hh:mm:ss.mmm  " and nothing else before the mark.
    if (before.size() == 25 && before[4] == L'-' && before[19] == L'.' && before.compare(23, 2, L"  ") == 0) {
      at = found + wcslen(kClosingMark);
      break;
    }
    if (found == 0) return outcome;
    from = found - 1;
  }
  size_t end = text.find_first_of(L"\r\n", at);
  const std::wstring rest = text.substr(at, end == std::wstring::npos ? std::wstring::npos : end - at);
  for (const auto& w : kOutcomeWords) {
    const size_t n = wcslen(w.word);
    if (w.kind == RunOutcome::Kind::Failed ? rest.compare(0, n, w.word) == 0 : rest == w.word) {
      outcome.kind = w.kind;
      if (w.kind == RunOutcome::Kind::Failed) outcome.message = rest.substr(n);
      break;
    }
  }
  return outcome;
}

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

bool ParseLogFileName(const std::wstring& name, SYSTEMTIME* started, DWORD* processId) {
  // r47flash-YYYYMMDD-HHMMSS-<pid>.log
  const size_t prefix = wcslen(kLogPrefix), suffix = wcslen(kLogSuffix);
  if (name.size() < prefix + 17 + 1 + suffix || _wcsnicmp(name.c_str(), kLogPrefix, prefix) != 0 ||
      _wcsicmp(name.c_str() + name.size() - suffix, kLogSuffix) != 0) {
    return false;
  }
  const std::wstring stamp = name.substr(prefix, 15);
  const std::wstring pid = name.substr(prefix + 16, name.size() - prefix - 16 - suffix);
  if (stamp[8] != L'-' || name[prefix + 15] != L'-' || pid.empty() || pid.size() > 10) return false;
  auto isDigit = [](wchar_t c) { return c >= L'0' && c <= L'9'; };
  for (size_t i = 0; i < stamp.size(); ++i)
    if (i != 8 && !isDigit(stamp[i])) return false;
  uint64_t id = 0;
  for (wchar_t c : pid) {
    if (!isDigit(c)) return false;
    id = id * 10 + static_cast<uint64_t>(c - L'0');
  }
  auto number = [&](size_t from, size_t count) {
    WORD n = 0;
    for (size_t i = from; i < from + count; ++i) n = static_cast<WORD>(n * 10 + (stamp[i] - L'0'));
    return n;
  };
  SYSTEMTIME t{};
  t.wYear = number(0, 4), t.wMonth = number(4, 2), t.wDay = number(6, 2);
  t.wHour = number(9, 2), t.wMinute = number(11, 2), t.wSecond = number(13, 2);
  if (t.wMonth < 1 || t.wMonth > 12 || t.wDay < 1 || t.wDay > 31 || t.wHour > 23 || t.wMinute > 59 || t.wSecond > 59 ||
      id > 0xFFFFFFFFu) {
    return false;
  }
  if (started) *started = t;
  if (processId) *processId = static_cast<DWORD>(id);
  return true;
}

bool ReadLogFile(const std::wstring& path, size_t limitBytes, std::wstring* text, bool* cut, DWORD* error) {
  *cut = false;
  *error = 0;
  // The run that writes it may still hold it open for writing.
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    *error = GetLastError();
    return false;
  }
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file.get(), &size)) {
    *error = GetLastError();
    return false;
  }
  const uint64_t total = static_cast<uint64_t>(size.QuadPart);
  const uint64_t from = total > limitBytes ? total - limitBytes : 0;
  std::string bytes;
  if (!ReadAt(file.get(), from, static_cast<DWORD>(total - from), &bytes, error)) return false;
  if (from > 0) {
    // From the first whole line on.
    size_t line = bytes.find('\n');
    bytes.erase(0, line == std::string::npos ? bytes.size() : line + 1);
    *cut = true;
  }
  *text = FromUtf8(bytes.data(), bytes.size());
  return true;
}

std::vector<KeptLog> KeptLogs(const std::wstring& folder, const std::wstring& except) {
  std::vector<KeptLog> logs;
  if (folder.empty()) return logs;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"\\" + kLogPrefix + L"*" + kLogSuffix).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return logs;
  std::vector<std::wstring> names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  // The names sort by time; the newest first.
  std::sort(names.begin(), names.end());
  std::reverse(names.begin(), names.end());
  for (const std::wstring& name : names) {
    KeptLog log;
    log.path = folder;
    log.path.append(L"\\").append(name);
    if (!ParseLogFileName(name, &log.started, nullptr) || _wcsicmp(log.path.c_str(), except.c_str()) == 0) continue;
    std::wstring tail;
    bool cut = false;
    DWORD error = 0;
    if (ReadLogFile(log.path, kClosingTailBytes, &tail, &cut, &error)) log.outcome = OutcomeOfLog(tail);
    logs.push_back(std::move(log));
  }
  return logs;
}
