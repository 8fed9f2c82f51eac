#include "app/last_run.h"

#include <cwchar>

#include "app/kept_logs.h"
#include "flash/progress.h"

namespace {

// How much of a log's start and of its end is read. The start holds the start line and
// the pre-flight of the run's first update (a few KiB); the end holds its last update,
// the transfer's end, the device's last reports and the closing line: a whole run of
// the program writes about 10 to 60 KiB. Read whole up to 128 KiB, a log of many
// megabytes costs no more than that.
constexpr size_t kHeadBytes = 64u << 10;
constexpr size_t kTailBytes = 64u << 10;
// Files passed over when they are no logs of this program's, at most: the folder keeps
// the newest 20. Each costs a read of its first line only.
constexpr size_t kMostLogsTried = 20;
constexpr size_t kStartLineBytes = 1024;

bool StartsWith(const std::wstring& text, const wchar_t* start) { return text.compare(0, wcslen(start), start) == 0; }

// The decimal number at `at`; false without a digit. Saturates rather than wraps.
bool NumberAt(const std::wstring& text, size_t at, uint64_t* value, size_t* end = nullptr) {
  uint64_t n = 0;
  size_t i = at;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    n = n > (UINT64_MAX - 9) / 10 ? UINT64_MAX : n * 10 + static_cast<uint64_t>(text[i] - L'0');
  }
  if (i == at) return false;
  *value = n;
  if (end) *end = i;
  return true;
}

// The number right after `mark` in `text`; false when either is missing.
bool NumberAfter(const std::wstring& text, const wchar_t* mark, uint64_t* value) {
  const size_t at = text.find(mark);
  return at != std::wstring::npos && NumberAt(text, at + wcslen(mark), value);
}

// A signed number after `mark`, as the version file's values are logged.
bool SignedAfter(const std::wstring& text, const wchar_t* mark, long long* value) {
  size_t at = text.find(mark);
  if (at == std::wstring::npos) return false;
  at += wcslen(mark);
  const bool negative = at < text.size() && text[at] == L'-';
  uint64_t n = 0;
  if (!NumberAt(text, at + (negative ? 1 : 0), &n)) return false;
  const long long clipped = n > 1000000000ull ? 1000000000ll : static_cast<long long>(n);
  *value = negative ? -clipped : clipped;
  return true;
}

// Follows the lines of one log in order, the way the program wrote them.
class RunReader {
 public:
  explicit RunReader(LastRun* run) : run_(*run) {}

  void Line(const std::wstring& line) {
    std::wstring text;
    if (!SplitLogLine(line, nullptr, &text)) return;  // a continuation line
    if (text == L"update started") {
      StartUpdate();
    } else if (StartsWith(text, L"version file: ")) {
      VersionFile(text);
    } else if (StartsWith(text, L"device version taken: ")) {
      const size_t at = text.find(L"; image chosen: ");
      if (at != std::wstring::npos) run_.imageName = text.substr(at + wcslen(L"; image chosen: "));
    } else if (StartsWith(text, L"image ")) {
      ImageLine(text);
    } else if (StartsWith(text, L"transfer started: ")) {
      run_.transferStarted = true;
      uint64_t size = 0;
      if (NumberAt(text, wcslen(L"transfer started: "), &size)) run_.imageSize = size;
    } else if (StartsWith(text, L"status: \"")) {
      if (run_.transferStarted && !transferEnded_) TransferPercent(text);
    } else if (StartsWith(text, L"transfer complete: ") || StartsWith(text, L"transfer broken: ")) {
      uint64_t bytes = 0;
      run_.transferStarted = true;
      transferEnded_ = true;
      if (NumberAfter(text, L" chunks written, ", &bytes)) {
        run_.bytesSent = bytes;
        run_.bytesExact = true;
      }
    } else if (StartsWith(text, L"monitor report (")) {
      // Reports come only after the whole image went out.
      run_.transferStarted = true;
      MonitorReport(text.substr(text.rfind(L": ") + 2));
    } else if (StartsWith(text, L"failure: ")) {
      run_.failure = text.substr(wcslen(L"failure: "));
    } else if (StartsWith(text, L"update completed")) {
      run_.flashCompleted = true;
    }
  }

  // What the lines left open: the bytes that the last percentage stands for.
  void Finish() {
    if (run_.bytesExact || transferPercent_ <= 0 || run_.imageSize == 0 || run_.imageSize > UINT32_MAX) return;
    // The status line's percentage counts transfer steps of size / 35 bytes each.
    const uint64_t step = ComputeTransferSteps(static_cast<uint32_t>(run_.imageSize)).transferStep;
    const uint64_t atLeast = step * static_cast<uint64_t>(transferPercent_);
    run_.bytesSent = atLeast < run_.imageSize ? atLeast : run_.imageSize;
  }

 private:
  void StartUpdate() {
    const LastRun kept = run_;
    run_ = LastRun();
    run_.programLog = kept.programLog;
    run_.started = kept.started;
    run_.cut = kept.cut;
    run_.updateStarted = true;
    transferEnded_ = false;
    transferPercent_ = -1;
  }

  void VersionFile(const std::wstring& text) {
    long long high = 0, low = 0;
    run_.bootVersionKnown = SignedAfter(text, L"EbootHigh=", &high) && SignedAfter(text, L"EbootLow=", &low) &&
                            high >= 0 && high <= 0xFF && low >= 0 && low <= 0xFF;
    run_.bootVersion = run_.bootVersionKnown ? static_cast<uint16_t>((high << 8) | low) : 0;
  }

  // "image <name>: <size> bytes, <kind>": the image as read, before any of it went out.
  // (Other image lines, the checksum's and a refusal at start, have no size there.)
  void ImageLine(const std::wstring& text) {
    const size_t colon = text.find(L": ", 6);
    uint64_t size = 0;
    size_t end = 0;
    if (colon == std::wstring::npos || !NumberAt(text, colon + 2, &size, &end) ||
        text.compare(end, wcslen(L" bytes, "), L" bytes, ") != 0) {
      return;
    }
    const std::wstring kind = text.substr(end + wcslen(L" bytes, "));
    run_.imageName = text.substr(6, colon - 6);
    run_.imageSize = size;
    run_.image = kind == L"boot image" ? ImageKind::Boot : kind == L"OS image" ? ImageKind::Os : ImageKind::Unknown;
  }

  // status: "<text> <n> %": during the transfer, the share of it sent.
  void TransferPercent(const std::wstring& text) {
    const size_t mark = text.rfind(L" %\"");
    if (mark == std::wstring::npos || mark + 3 != text.size()) return;
    size_t digits = mark;
    while (digits > 0 && text[digits - 1] >= L'0' && text[digits - 1] <= L'9') --digits;
    uint64_t percent = 0;
    if (digits < mark && NumberAt(text, digits, &percent) && percent <= 100)
      transferPercent_ = static_cast<int>(percent);
  }

  // What a report said, as the monitor's line ends: "format 40 %", "image stored", ...
  void MonitorReport(const std::wstring& said) {
    DeviceStage& stage = run_.lastStage;
    uint64_t percent = 0;
    if (said == L"format finished") {
      stage = DeviceStage{DeviceStage::Kind::Format, 100, true, false};
    } else if (said == L"image stored") {
      stage = DeviceStage{DeviceStage::Kind::Write, 100, true, false};
    } else if (said == L"format failed" || said == L"write failed") {
      const DeviceStage::Kind kind = said[0] == L'f' ? DeviceStage::Kind::Format : DeviceStage::Kind::Write;
      stage = DeviceStage{kind, stage.kind == kind ? stage.percent : 0, false, true};
    } else if (StartsWith(said, L"format ") && NumberAt(said, 7, &percent)) {
      stage = DeviceStage{DeviceStage::Kind::Format, static_cast<int>(percent > 255 ? 255 : percent), false, false};
    } else if (StartsWith(said, L"write ") && NumberAt(said, 6, &percent)) {
      stage = DeviceStage{DeviceStage::Kind::Write, static_cast<int>(percent > 255 ? 255 : percent), false, false};
    }
    // "no stage", and a report too short for its kind, change nothing.
  }

  LastRun& run_;
  bool transferEnded_ = false;
  int transferPercent_ = -1;
};

void ReadLines(const std::wstring& text, RunReader& reader) {
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find(L'\n', at);
    if (end == std::wstring::npos) end = text.size();
    size_t stop = end;
    if (stop > at && text[stop - 1] == L'\r') --stop;
    reader.Line(text.substr(at, stop - at));
    at = end + 1;
  }
}

std::wstring MarkPath(const std::wstring& logPath) { return logPath + kLogMarkSuffix; }

}  // namespace

LastRun ReadRunFromText(const std::wstring& head, const std::wstring& tail) {
  LastRun run;
  run.programLog = BeginsWithStartLine(head, &run.started);
  if (!run.programLog) return LastRun();
  run.cut = !tail.empty();
  RunReader reader(&run);
  ReadLines(head, reader);
  ReadLines(tail, reader);
  reader.Finish();
  run.outcome = OutcomeOfLog(tail.empty() ? head : tail);
  run.closed = run.outcome.kind != RunOutcome::Kind::Unknown;
  // The closing line is the program's own account of its last update.
  if (run.outcome.kind == RunOutcome::Kind::Completed) run.flashCompleted = true;
  return run;
}

bool EndedMidFlash(const LastRun& run) { return run.programLog && run.transferStarted && !run.flashCompleted; }

bool WroteBootLoader(const LastRun& run) {
  return run.programLog && run.flashCompleted && run.image == ImageKind::Boot;
}

bool ConfirmsBootLoader(const LastRun& run, uint16_t deviceVersion) {
  return WroteBootLoader(run) && run.bootVersionKnown && run.bootVersion == deviceVersion;
}

bool ReadLastRunFile(const std::wstring& path, LastRun* run, DWORD* error) {
  LogExcerpt excerpt;
  if (!ReadLogExcerpt(path, kHeadBytes, kTailBytes, &excerpt, error)) return false;
  *run = ReadRunFromText(excerpt.head, excerpt.tail);
  return true;
}

bool ReadNewestFlashRun(const std::wstring& folder, const std::wstring& except, std::wstring* path, LastRun* run) {
  const std::vector<std::wstring> paths = KeptLogPaths(folder, except);
  for (size_t i = 0; i < paths.size() && i < kMostLogsTried; ++i) {
    LogExcerpt start;
    LastRun found;
    DWORD error = 0;
    if (!ReadLogExcerpt(paths[i], kStartLineBytes, 0, &start, &error) || !BeginsWithStartLine(start.head, nullptr) ||
        !ReadLastRunFile(paths[i], &found, &error) || !found.programLog || !found.transferStarted) {
      continue;
    }
    *path = paths[i];
    *run = found;
    return true;
  }
  return false;
}

bool MidFlashNoticeShown(const std::wstring& logPath) {
  return GetFileAttributesW(MarkPath(logPath).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool MarkMidFlashNoticeShown(const std::wstring& logPath) {
  HANDLE mark =
      CreateFileW(MarkPath(logPath).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (mark == INVALID_HANDLE_VALUE) return false;
  CloseHandle(mark);
  return true;
}
