// How a run of the program ended: the account of its updates that its closing line
// carries, the texts of a run's first and last lines, and both read back from a log's
// text. Knows no file and writes no line: the writer (flash_log.h) writes the lines,
// the kept logs (kept_logs.h) and the last run's reader (last_run.h) read them back.
#pragma once
#include <windows.h>

#include <string>

// How a run ended, as its log's closing line says.
struct RunOutcome {
  enum class Kind {
    Unknown,    // no closing line: the program did not reach its end (killed, crashed, power lost)
    NoUpdate,   // no update was started
    PreFlight,  // ended during the last update's pre-flight, before anything was sent
    Download,   // ended while the image went to the device, without a result
    Completed,  // the last update succeeded
    Failed,     // the last update failed; `message` is what the user was told
  };
  Kind kind = Kind::Unknown;
  std::wstring message;
  bool operator==(const RunOutcome& o) const { return kind == o.kind && message == o.message; }
};

// The course of the run's updates, for its closing line. Any thread. A later update
// starts the account afresh; failures outside an update (a missing readme) do not count.
void NoteUpdateStarted();  // LogUpdateStarted (flash_log.h) also logs it
void NoteDownloadStarted();
void NoteUpdateFailed(const std::wstring& message);
void NoteUpdateCompleted();
// The outcome the closing line will carry if the run ends now.
RunOutcome CurrentRunOutcome();

// The text of a closing line, and the outcome read back from a log's text (its last
// closing line; Unknown when it has none).
std::wstring ClosingLine(const RunOutcome& outcome);
RunOutcome OutcomeOfLog(const std::wstring& text);

// A run's first line: "r47flash <version> started, process <id>". A log whose first
// line is not one is no log of this program's.
std::wstring StartLine(const std::wstring& version, DWORD processId);
// Whether `text` (a log's text from its start) begins with a start line; its time
// stamp in *started.
bool BeginsWithStartLine(const std::wstring& text, SYSTEMTIME* started);

// One line of a log: its time stamp and what follows it. False for a line without the
// stamp (the continuation of a multi-line text, or a line of some other file).
bool SplitLogLine(const std::wstring& line, SYSTEMTIME* time, std::wstring* text);
