// How a run of the program ended: the account of its updates that its closing line
// carries, the closing line's text, and the outcome read back from a log's text.
// Knows no file and writes no line: the writer (flash_log.h) writes the closing line,
// the kept logs (kept_logs.h) read it back.
#pragma once
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
