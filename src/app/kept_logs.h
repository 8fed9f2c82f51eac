// The log files that runs leave in the log folder: their names, which of them to
// remove, and reading them back (the whole of a short one, the end of a long one).
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "app/run_outcome.h"

// The name of a run's log file: r47flash-YYYYMMDD-HHMMSS-<process id>.log, so that
// names sort by time.
std::wstring LogFileName(const SYSTEMTIME& time, DWORD processId);
// The start time and process id a log file name carries; false for other names.
bool ParseLogFileName(const std::wstring& name, SYSTEMTIME* started, DWORD* processId);
// Of the log file names given (other names are left alone), the ones to remove so
// that the newest `keep` stay.
std::vector<std::wstring> LogFilesToPrune(std::vector<std::wstring> names, size_t keep);
// Removes the log files in `folder` beyond the newest `keep`, each with its mark.
void PruneLogFiles(const std::wstring& folder, size_t keep);
// A file beside a log that belongs to it is named like it with this ending (".seen",
// see last_run.h); it goes with the log.
extern const wchar_t kLogMarkSuffix[];

// The paths of the logs in `folder` other than the file `except`, newest first (by
// the time their names carry). Nothing is read.
std::vector<std::wstring> KeptLogPaths(const std::wstring& folder, const std::wstring& except);

// A log an earlier run left behind.
struct KeptLog {
  std::wstring path;
  SYSTEMTIME started{};     // as its name says
  bool programLog = false;  // it begins with this program's start line
  RunOutcome outcome;       // Unknown for a file that is no log of this program's
};
// The logs in `folder` other than the file `except`, newest first, each with the
// outcome its end says (only the first line and the end of each file are read).
std::vector<KeptLog> KeptLogs(const std::wstring& folder, const std::wstring& except);
// A log file's text. Of a file longer than `limitBytes` only the end is read (from a
// line start), and *cut says so. False with the system error when it cannot be read.
bool ReadLogFile(const std::wstring& path, size_t limitBytes, std::wstring* text, bool* cut, DWORD* error);
// The start and the end of a log file, each from whole lines, however long the file:
// `head` holds at most its first `headBytes`, `tail` at most its last `tailBytes`. A
// file that fits in both is read whole into `head`, and `tail` stays empty.
struct LogExcerpt {
  std::wstring head;
  std::wstring tail;
  bool cut = false;  // the file's middle was left out
};
bool ReadLogExcerpt(const std::wstring& path, size_t headBytes, size_t tailBytes, LogExcerpt* excerpt, DWORD* error);
