#include "app/run_outcome.h"

#include <cwchar>

#include "util/handle.h"

namespace {

struct Course {
  Course() { InitializeCriticalSection(&lock); }
  CRITICAL_SECTION lock{};
  RunOutcome::Kind phase = RunOutcome::Kind::NoUpdate;  // of the run's last update
  std::wstring failure;                                 // its message, when it failed
};

Course& TheCourse() {
  static Course* course = new Course;  // lives to the end: threads may note late
  return *course;
}

bool UpdateUnderway(RunOutcome::Kind phase) {
  return phase == RunOutcome::Kind::PreFlight || phase == RunOutcome::Kind::Download;
}

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

const wchar_t kStartWords[] = L"r47flash ";
const wchar_t kStartProcess[] = L" started, process ";
// "YYYY-MM-DD hh:mm:ss.mmm" and two blanks, as LogLine writes it.
constexpr size_t kStampChars = 25;

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

}  // namespace

void NoteUpdateStarted() {
  Course& c = TheCourse();
  CriticalSectionLock lock(c.lock);
  c.phase = RunOutcome::Kind::PreFlight;
  c.failure.clear();
}

void NoteDownloadStarted() {
  Course& c = TheCourse();
  CriticalSectionLock lock(c.lock);
  if (c.phase == RunOutcome::Kind::PreFlight) c.phase = RunOutcome::Kind::Download;
}

void NoteUpdateFailed(const std::wstring& message) {
  Course& c = TheCourse();
  CriticalSectionLock lock(c.lock);
  if (!UpdateUnderway(c.phase)) return;
  c.phase = RunOutcome::Kind::Failed;
  c.failure = OneLine(message);
}

void NoteUpdateCompleted() {
  Course& c = TheCourse();
  CriticalSectionLock lock(c.lock);
  if (UpdateUnderway(c.phase)) c.phase = RunOutcome::Kind::Completed;
}

RunOutcome CurrentRunOutcome() {
  Course& c = TheCourse();
  CriticalSectionLock lock(c.lock);
  RunOutcome outcome;
  outcome.kind = c.phase;
  if (c.phase == RunOutcome::Kind::Failed) outcome.message = c.failure;
  return outcome;
}

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
    // The time stamp and nothing else before the mark.
    if (found - lineStart == kStampChars && SplitLogLine(text.substr(lineStart, kStampChars), nullptr, nullptr)) {
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

std::wstring StartLine(const std::wstring& version, DWORD processId) {
  return kStartWords + version + kStartProcess + std::to_wstring(processId);
}

bool BeginsWithStartLine(const std::wstring& text, SYSTEMTIME* started) {
  const std::wstring first = text.substr(0, text.find_first_of(L"\r\n"));
  std::wstring line;
  SYSTEMTIME time{};
  if (!SplitLogLine(first, &time, &line) || line.compare(0, wcslen(kStartWords), kStartWords) != 0) return false;
  // The version is whatever the version resource said, possibly nothing; the process
  // id follows, and after it at most a remark of its own.
  const size_t process = line.find(kStartProcess);
  if (process == std::wstring::npos) return false;
  size_t at = process + wcslen(kStartProcess), digits = 0;
  while (at < line.size() && line[at] >= L'0' && line[at] <= L'9') ++at, ++digits;
  if (digits == 0 || digits > 10 || (at < line.size() && line[at] != L';')) return false;
  if (started) *started = time;
  return true;
}

bool SplitLogLine(const std::wstring& line, SYSTEMTIME* time, std::wstring* text) {
  // "YYYY-MM-DD hh:mm:ss.mmm  "
  if (line.size() < kStampChars) return false;
  static const wchar_t kShape[] = L"0000-00-00 00:00:00.000  ";
  unsigned fields[7] = {};
  int field = 0;
  for (size_t i = 0; i < kStampChars; ++i) {
    const wchar_t c = line[i];
    if (kShape[i] == L'0') {
      if (c < L'0' || c > L'9') return false;
      fields[field] = fields[field] * 10 + static_cast<unsigned>(c - L'0');
    } else if (c != kShape[i]) {
      return false;
    } else if (i < 23) {
      ++field;
    }
  }
  if (fields[1] < 1 || fields[1] > 12 || fields[2] < 1 || fields[2] > 31 || fields[3] > 23 || fields[4] > 59 ||
      fields[5] > 60) {
    return false;
  }
  if (time) {
    SYSTEMTIME t{};
    t.wYear = static_cast<WORD>(fields[0]), t.wMonth = static_cast<WORD>(fields[1]);
    t.wDay = static_cast<WORD>(fields[2]), t.wHour = static_cast<WORD>(fields[3]);
    t.wMinute = static_cast<WORD>(fields[4]), t.wSecond = static_cast<WORD>(fields[5]);
    t.wMilliseconds = static_cast<WORD>(fields[6]);
    *time = t;
  }
  if (text) *text = line.substr(kStampChars);
  return true;
}
