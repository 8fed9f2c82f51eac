#include "app/kept_logs.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "text/text.h"
#include "util/handle.h"

namespace {

const wchar_t kLogPrefix[] = L"r47flash-";
const wchar_t kLogSuffix[] = L".log";
// How much of each kept log's end is read for its closing line: a line holds a
// failure message at most, a few hundred characters.
constexpr DWORD kClosingTailBytes = 8192;
// And of its start, for the start line: about a hundred characters.
constexpr DWORD kStartLineBytes = 1024;

std::wstring FromUtf8(const char* bytes, size_t size) {
  if (size >= 3 && std::memcmp(bytes, "\xEF\xBB\xBF", 3) == 0) bytes += 3, size -= 3;
  return DecodeBytes(bytes, size, CP_UTF8);
}

// Opens a log for reading: the run that writes it may still hold it open for writing.
HANDLE OpenLogForReading(const std::wstring& path) {
  return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Whole lines only: what follows the last line feed is dropped, unless there is none.
void DropPartLine(std::string* bytes) {
  const size_t last = bytes->rfind('\n');
  if (last != std::string::npos) bytes->resize(last + 1);
}

// From the first whole line on.
void DropFirstPartLine(std::string* bytes) {
  const size_t line = bytes->find('\n');
  bytes->erase(0, line == std::string::npos ? bytes->size() : line + 1);
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

// The names of the files in `folder` that look like logs, in no order.
std::vector<std::wstring> LogFileNamesIn(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"\\" + kLogPrefix + L"*" + kLogSuffix).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

}  // namespace

const wchar_t kLogMarkSuffix[] = L".seen";

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

void PruneLogFiles(const std::wstring& folder, size_t keep) {
  for (const std::wstring& old : LogFilesToPrune(LogFileNamesIn(folder), keep)) {
    const std::wstring path = (folder + L"\\").append(old);
    DeleteFileW(path.c_str());
    DeleteFileW((path + kLogMarkSuffix).c_str());
  }
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
  UniqueHandle file(OpenLogForReading(path));
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
    DropFirstPartLine(&bytes);
    *cut = true;
  }
  *text = FromUtf8(bytes.data(), bytes.size());
  return true;
}

bool ReadLogExcerpt(const std::wstring& path, size_t headBytes, size_t tailBytes, LogExcerpt* excerpt, DWORD* error) {
  *excerpt = LogExcerpt();
  *error = 0;
  UniqueHandle file(OpenLogForReading(path));
  LARGE_INTEGER size;
  if (!file.valid() || !GetFileSizeEx(file.get(), &size)) {
    *error = GetLastError();
    return false;
  }
  const uint64_t total = static_cast<uint64_t>(size.QuadPart);
  std::string bytes;
  if (total <= static_cast<uint64_t>(headBytes) + tailBytes) {
    if (!ReadAt(file.get(), 0, static_cast<DWORD>(total), &bytes, error)) return false;
    excerpt->head = FromUtf8(bytes.data(), bytes.size());
    return true;
  }
  if (!ReadAt(file.get(), 0, static_cast<DWORD>(headBytes), &bytes, error)) return false;
  DropPartLine(&bytes);
  excerpt->head = FromUtf8(bytes.data(), bytes.size());
  if (!ReadAt(file.get(), total - tailBytes, static_cast<DWORD>(tailBytes), &bytes, error)) return false;
  DropFirstPartLine(&bytes);
  excerpt->tail = FromUtf8(bytes.data(), bytes.size());
  excerpt->cut = true;
  return true;
}

std::vector<std::wstring> KeptLogPaths(const std::wstring& folder, const std::wstring& except) {
  std::vector<std::wstring> paths;
  if (folder.empty()) return paths;
  std::vector<std::wstring> names = LogFileNamesIn(folder);
  // The names sort by time; the newest first.
  std::sort(names.begin(), names.end());
  std::reverse(names.begin(), names.end());
  for (const std::wstring& name : names) {
    const std::wstring path = (folder + L"\\").append(name);
    if (ParseLogFileName(name, nullptr, nullptr) && _wcsicmp(path.c_str(), except.c_str()) != 0) paths.push_back(path);
  }
  return paths;
}

std::vector<KeptLog> KeptLogs(const std::wstring& folder, const std::wstring& except) {
  std::vector<KeptLog> logs;
  for (const std::wstring& path : KeptLogPaths(folder, except)) {
    KeptLog log;
    log.path = path;
    ParseLogFileName(path.substr(path.rfind(L'\\') + 1), &log.started, nullptr);
    LogExcerpt excerpt;
    DWORD error = 0;
    if (ReadLogExcerpt(path, kStartLineBytes, kClosingTailBytes, &excerpt, &error)) {
      log.programLog = BeginsWithStartLine(excerpt.head, nullptr);
      if (log.programLog) log.outcome = OutcomeOfLog(excerpt.cut ? excerpt.tail : excerpt.head);
    }
    logs.push_back(std::move(log));
  }
  return logs;
}
