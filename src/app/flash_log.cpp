#include "app/flash_log.h"

#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <deque>

#include "device/messages.h"
#include "util/handle.h"

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

class Lock {
 public:
  explicit Lock(CRITICAL_SECTION& cs) : cs_(cs) { EnterCriticalSection(&cs_); }
  ~Lock() { LeaveCriticalSection(&cs_); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

 private:
  CRITICAL_SECTION& cs_;
};

struct LogState {
  LogState() { InitializeCriticalSection(&lock); }
  CRITICAL_SECTION lock;
  std::deque<std::string> queue;  // lines for the file, UTF-8, waiting for the writer
  std::wstring memory;            // every line of the run
  std::wstring path;
  HANDLE file = INVALID_HANDLE_VALUE;  // owned by the writer thread while it runs
  HANDLE wake = nullptr;               // set when the log closes
  HANDLE writer = nullptr;
  bool closing = false;
};

LogState& State() {
  static LogState* state = new LogState;  // lives to the end: threads may log late
  return *state;
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? n : 0, '\0');
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
      Lock lock(s.lock);
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

std::wstring Hex(unsigned value, int digits) {
  wchar_t buffer[16];
  std::swprintf(buffer, 16, L"%0*X", digits, value);
  return buffer;
}

// Digests and device paths: ASCII as the system hands them out.
std::wstring Ascii(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// Set on the window's thread when an image has been read (StartDownload runs there).
std::wstring g_lastImageChecksum;

const wchar_t* KindName(FlashFailure::Kind kind) {
  switch (kind) {
    case FlashFailure::Kind::ImageMissing:
      return L"image missing";
    case FlashFailure::Kind::ImageUnreadable:
      return L"image unreadable";
    case FlashFailure::Kind::ImageDamaged:
      return L"image damaged";
    case FlashFailure::Kind::ImageTooLarge:
      return L"image too large";
    case FlashFailure::Kind::WorkerNotStarted:
      return L"worker not started";
    case FlashFailure::Kind::ConnectionBroken:
      return L"connection broken";
    case FlashFailure::Kind::DeviceFailed:
      return L"device reported a failure";
    case FlashFailure::Kind::CommandPacketLost:
      return L"command packet not written";
    case FlashFailure::Kind::ChecksumMismatch:
      return L"checksum mismatch";
    case FlashFailure::Kind::ChecksumUnreadable:
      return L"checksum file unreadable";
  }
  return L"failure";
}

const wchar_t* ImageKindName(ImageKind kind) {
  switch (kind) {
    case ImageKind::Os:
      return L"OS image";
    case ImageKind::Boot:
      return L"boot image";
    case ImageKind::Damaged:
      return L"damaged header";
    case ImageKind::Unknown:
      break;
  }
  return L"unknown";
}

// One report as the monitor read it: the fields that matter, then what they say.
std::wstring ReportSummary(const StatusReport& report, DWORD bytesRead) {
  if (bytesRead > 0 && !ReportIsWhole(report, bytesRead)) {
    return L"monitor report (" + std::to_wstring(bytesRead) + L" bytes read): kind 0x" +
           Hex(report[report_offset::kKind], 2) + L", too short for its kind: changes nothing";
  }
  DecodedReport d = DecodeReport(report);
  std::wstring out = L"monitor report (" + std::to_wstring(bytesRead) + L" bytes read): kind 0x" +
                     Hex(report[report_offset::kKind], 2) + L", bytes 1-3 " + Hex(report[1], 2) + L" " +
                     Hex(report[2], 2) + L" " + Hex(report[3], 2) + L": ";
  switch (d.stage) {
    case DecodedReport::Stage::Format:
      if (d.failed)
        out += L"format failed";
      else if (d.formatFinished)
        out += L"format finished";
      else
        out += L"format " + std::to_wstring(d.progress) + L" %";
      break;
    case DecodedReport::Stage::Write:
      if (d.failed)
        out += L"write failed";
      else if (d.stored)
        out += L"image stored";
      else
        out += L"write " + std::to_wstring(d.progress) + L" %";
      break;
    case DecodedReport::Stage::None:
      out += L"no stage";
      break;
  }
  return out;
}

class LoggingEvents : public FlashEvents {
 public:
  explicit LoggingEvents(std::shared_ptr<FlashEvents> inner) : inner_(std::move(inner)) {}

  void Progress(int value, bool done) override {
    // The status lines carry the same percentages; only the end is worth a line.
    if (done) LogLine(L"progress bar at its end");
    inner_->Progress(value, done);
  }
  void Status(const std::wstring& text) override {
    LogStatus(text);
    inner_->Status(text);
  }
  void Failure(const FlashFailure& f) override {
    std::wstring checksum;
    if (!f.checksumFile.empty()) {
      checksum = L", " + f.image + L" against " + f.checksumFile + L": expected " +
                 (f.expectedSha256.empty() ? std::wstring(L"(none readable)") : Ascii(f.expectedSha256)) +
                 L", image " + Ascii(f.actualSha256);
    }
    LogLine(std::wstring(L"failure: ") + KindName(f.kind) + checksum +
            (f.systemError ? L", system error " + SystemErrorText(f.systemError) : std::wstring()));
    if (!f.text.empty()) LogBox(f.caption, f.text);
    inner_->Failure(f);
  }
  void Success(const std::wstring& text, const std::wstring& caption) override {
    LogBox(caption, text);
    inner_->Success(text, caption);
  }
  void Done() override {
    LogLine(L"download over");
    inner_->Done();
  }
  void DeviceMissing(DWORD systemError) override {
    LogLine(L"data pipe did not open (device not in flash mode): system error " + SystemErrorText(systemError));
    inner_->DeviceMissing(systemError);
  }
  void ImageLoaded(const std::wstring& name, uint32_t size, ImageKind kind) override {
    LogLine(L"image " + name + L": " + std::to_wstring(size) + L" bytes, " + ImageKindName(kind));
    inner_->ImageLoaded(name, size, kind);
  }
  void ImageChecksum(const std::wstring& name, const std::string& sha256) override {
    g_lastImageChecksum = name + L": " + Ascii(sha256);
    LogLine(L"image " + name + L" SHA-256 " + Ascii(sha256));
    inner_->ImageChecksum(name, sha256);
  }
  void ChecksumMatched(const std::wstring& checksumFile) override {
    LogLine(L"checksum file " + checksumFile + L": matches");
    inner_->ChecksumMatched(checksumFile);
  }
  void DeviceUsed(const std::string& devicePath) override {
    LogLine(L"download to device " + Ascii(devicePath));
    inner_->DeviceUsed(devicePath);
  }
  void ImageReadProgress(uint32_t done, uint32_t size) override {
    // The reading is shown on the window; the log notes only the whole image, above.
    inner_->ImageReadProgress(done, size);
  }
  void TransferEnded(uint32_t chunks, uint64_t bytesSent, DWORD systemError) override {
    std::wstring line = L"transfer " + std::wstring(systemError ? L"broken" : L"complete") + L": " +
                        std::to_wstring(chunks) + L" chunks written, " + std::to_wstring(bytesSent) + L" bytes";
    if (systemError) line += L", system error " + SystemErrorText(systemError);
    LogLine(line);
    inner_->TransferEnded(chunks, bytesSent, systemError);
  }
  void MonitorReport(const StatusReport& report, DWORD bytesRead) override {
    LogLine(ReportSummary(report, bytesRead));
    inner_->MonitorReport(report, bytesRead);
  }
  void CommandPacketWritten(const CommandPacket& packet, DWORD systemError) override {
    std::wstring bytes;
    for (uint8_t b : packet) bytes += (bytes.empty() ? L"" : L" ") + Hex(b, 2);
    LogLine(
        L"command packet " + bytes +
        (systemError ? L": not written, system error " + SystemErrorText(systemError) : std::wstring(L": written")));
    inner_->CommandPacketWritten(packet, systemError);
  }

 private:
  std::shared_ptr<FlashEvents> inner_;
};

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
  for (const std::wstring& old : LogFilesToPrune(names, keep)) DeleteFileW((folder + L"\\" + old).c_str());

  HANDLE wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!wake) {
    CloseHandle(file);
    return false;
  }
  {
    Lock lock(s.lock);
    s.file = file;
    s.wake = wake;
    s.path = path;
    s.closing = false;
    // What was logged before the file existed goes in first.
    if (!s.memory.empty()) s.queue.push_front(Utf8(s.memory));
  }
  s.writer = CreateThread(nullptr, 0, WriterThread, nullptr, 0, nullptr);
  if (!s.writer) {
    Lock lock(s.lock);
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
    Lock lock(s.lock);
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
  Lock lock(s.lock);
  if (s.file != INVALID_HANDLE_VALUE) CloseHandle(s.file);
  s.file = INVALID_HANDLE_VALUE;
  CloseHandle(s.wake);
  s.wake = nullptr;
  s.queue.clear();
}

std::wstring FlashLogPath() {
  LogState& s = State();
  Lock lock(s.lock);
  return s.path;
}

std::wstring FlashLogText() {
  LogState& s = State();
  Lock lock(s.lock);
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
  Lock lock(s.lock);
  if (s.memory.size() + line.size() <= kMemoryLimitChars) s.memory += line;
  if (s.writer && !s.closing) s.queue.push_back(std::move(bytes));
}

void LogStatus(const std::wstring& text) { LogLine(L"status: " + Quoted(text)); }

void LogBox(const std::wstring& caption, const std::wstring& text) {
  LogLine(L"message box [" + caption + L"]: " + Quoted(text));
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
      line += answer.version == 0 ? std::wstring(L"report without a version") : L"boot loader " + VersionText(answer.version);
      break;
  }
  LogLine(line);
}

std::wstring LastImageChecksum() { return g_lastImageChecksum; }

void LogVersionChoice(uint16_t deviceVersion, const std::wstring& image) {
  LogLine(L"device version taken: " + VersionText(deviceVersion) + L"; image chosen: " + image);
}

std::shared_ptr<FlashEvents> LoggedEvents(std::shared_ptr<FlashEvents> inner) {
  if (!inner) return inner;
  return std::make_shared<LoggingEvents>(std::move(inner));
}

std::wstring SystemErrorText(DWORD code) {
  std::wstring out = std::to_wstring(code) + L" (0x" + Hex(code, 8) + L")";
  wchar_t* text = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  if (n && text) {
    std::wstring message(text, n);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' ')) {
      message.pop_back();
    }
    if (!message.empty()) out += L": " + message;
  }
  if (text) LocalFree(text);
  return out;
}

std::wstring WindowsVersionText() {
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof(info);
  if (!GetVersionExW(&info)) return L"Windows (version unknown)";
  std::wstring text = L"Windows " + std::to_wstring(info.dwMajorVersion) + L"." + std::to_wstring(info.dwMinorVersion) +
                      L" build " + std::to_wstring(info.dwBuildNumber);
  if (info.szCSDVersion[0]) text += std::wstring(L" ") + info.szCSDVersion;
  return text;
}

std::wstring VersionText(uint16_t version) {
  return L"0x" + Hex(version, 4) + L" (" + std::to_wstring(version >> 8) + L"." + std::to_wstring(version & 0xFF) +
         L")";
}
