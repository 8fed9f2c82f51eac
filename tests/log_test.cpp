// The flash log, the guard against sleep and shutdown during a flash, the taskbar
// state and the system menu's two items, in this process.
#include <windows.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>

#include "app/flash_guard.h"
#include "app/flash_log.h"
#include "app/kept_logs.h"
#include "app/last_run.h"
#include "app/log_window.h"
#include "app/logged_events.h"
#include "images/discovery.h"
#include "recorded_events.h"
#include "res/resource.h"
#include "test_support.h"
#include "util/system_text.h"

using namespace testing_support;

namespace {

std::string ReadBytes(const std::wstring& path) {
  std::ifstream in(Narrow(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Utf8(const std::wstring& text) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
  return out;
}

std::wstring DecodeUtf8(const std::string& bytes) {
  std::string b = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? bytes.substr(3) : bytes;
  int n = MultiByteToWideChar(CP_UTF8, 0, b.data(), static_cast<int>(b.size()), nullptr, 0);
  std::wstring out(n, L'\0');
  if (n) MultiByteToWideChar(CP_UTF8, 0, b.data(), static_cast<int>(b.size()), &out[0], n);
  return out;
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

TEST(LogFiles, NamedByTimeAndTheOldestPruned) {
  SYSTEMTIME t{};
  t.wYear = 2026, t.wMonth = 3, t.wDay = 7, t.wHour = 9, t.wMinute = 5, t.wSecond = 2;
  EXPECT_EQ(LogFileName(t, 4321), L"r47flash-20260307-090502-4321.log");

  const std::vector<std::wstring> names = {L"r47flash-20260307-090502-7.log", L"notes.txt",
                                           L"r47flash-20251231-235959-9.log", L"r47flash-20260101-000000-8.log",
                                           L"other-20200101-000000-1.log",    L"r47flash-20260307-090502-7.txt"};
  const struct {
    size_t keep;
    std::vector<std::wstring> pruned;
  } cases[] = {
      {3, {}},
      {2, {L"r47flash-20251231-235959-9.log"}},
      {1, {L"r47flash-20251231-235959-9.log", L"r47flash-20260101-000000-8.log"}},
      {0, {L"r47flash-20251231-235959-9.log", L"r47flash-20260101-000000-8.log", L"r47flash-20260307-090502-7.log"}},
  };
  for (const auto& c : cases) EXPECT_EQ(LogFilesToPrune(names, c.keep), c.pruned) << "keep " << c.keep;
}

TEST(FlashLog, EveryLineReachesItsFileAndTheOldFilesGo) {
  TempDir dir;
  const std::wstring folder = dir.Path() + L"logs\\deeper";
  CreateDirectoryW((dir.Path() + L"logs").c_str(), nullptr);
  CreateDirectoryW(folder.c_str(), nullptr);
  const std::vector<std::wstring> old = {L"r47flash-20200101-000000-1.log", L"r47flash-20200102-000000-2.log",
                                         L"r47flash-20200103-000000-3.log"};
  for (const auto& name : old) std::ofstream(Narrow(folder + L"\\" + name)) << "old";
  std::ofstream(Narrow(folder + L"\\keep-me.txt")) << "not a log";

  LogLine(L"before the file");  // kept and written first
  ASSERT_TRUE(OpenFlashLog(folder, 2));
  const std::wstring path = FlashLogPath();
  EXPECT_EQ(path.rfind(folder + L"\\r47flash-", 0), 0u) << Narrow(path);
  LogStatus(L"Lädt ROM-Daten herunter: 5 %");
  LogBox(L"USB Update Success!", L"Zeile eins\r\n\nZeile zwei");
  CloseFlashLog();

  // The newest old file and the new one stay; what is not a log stays too.
  EXPECT_FALSE(FileExists(folder + L"\\" + old[0]));
  EXPECT_FALSE(FileExists(folder + L"\\" + old[1]));
  EXPECT_TRUE(FileExists(folder + L"\\" + old[2]));
  EXPECT_TRUE(FileExists(folder + L"\\keep-me.txt"));

  const std::string file = ReadBytes(path);
  ASSERT_EQ(file.substr(0, 3), "\xEF\xBB\xBF");
  EXPECT_EQ(file.substr(3), Utf8(FlashLogText())) << "the file holds exactly the run's lines";
  std::istringstream lines(file.substr(3));
  std::vector<std::string> got;
  for (std::string line; std::getline(lines, line);) got.push_back(line);
  ASSERT_EQ(got.size(), 5u) << file;
  // Each line: a time stamp "YYYY-MM-DD hh:mm:ss.mmm", two blanks, the text; CRLF.
  for (const std::string& line : {got[0], got[1], got[2]}) {
    ASSERT_GT(line.size(), 25u);
    EXPECT_EQ(line[4], '-');
    EXPECT_EQ(line[10], ' ');
    EXPECT_EQ(line[19], '.');
    EXPECT_EQ(line.substr(23, 2), "  ");
    EXPECT_EQ(line.back(), '\r');
  }
  EXPECT_EQ(got[0].substr(25), "before the file\r");
  EXPECT_EQ(got[1].substr(25), Utf8(L"status: \"Lädt ROM-Daten herunter: 5 %\"\r"));
  EXPECT_EQ(got[2].substr(25), "message box [USB Update Success!]: \"Zeile eins\r");
  // The lines of a multi-line text line up under the text, the empty one included.
  EXPECT_EQ(got[3], std::string(25, ' ') + "\r");
  EXPECT_EQ(got[4], std::string(25, ' ') + "Zeile zwei\"\r");

  // Lines after the end stay in memory; the file is finished.
  LogLine(L"after the end");
  EXPECT_EQ(ReadBytes(path), file);
  EXPECT_NE(FlashLogText().find(L"after the end"), std::wstring::npos);
}

// A log file as a run leaves it: the byte order mark, stamped lines, CRLF.
std::string LogFileText(const std::vector<std::wstring>& lines) {
  std::string out = "\xEF\xBB\xBF";
  for (const auto& l : lines) out += "2020-01-02 03:04:05.006  " + Utf8(l) + "\r\n";
  return out;
}

// The same, begun with the start line that makes a file one of the program's logs.
std::string RunLogText(std::vector<std::wstring> lines) {
  lines.insert(lines.begin(), StartLine(L"1.0.0.0", 4321));
  return LogFileText(lines);
}

TEST(RunOutcome, TheClosingLineIsReadBackAsWritten) {
  using K = RunOutcome::Kind;
  const RunOutcome outcomes[] = {
      {K::NoUpdate, L""},
      {K::PreFlight, L""},
      {K::Download, L""},
      {K::Completed, L""},
      {K::Failed, L"USB-Verbindung unterbrochen! Zum Aktualisieren wiederholen Sie den Vorgang."},
      {K::Failed, L"Gerät: \u4e0b\u8f09 FORMAT ERROR"},
  };
  for (const auto& o : outcomes) {
    const std::wstring line = ClosingLine(o);
    EXPECT_EQ(line.rfind(L"r47flash ends; outcome: ", 0), 0u) << Narrow(line);
    const std::string file = LogFileText({L"update started", line});
    EXPECT_EQ(OutcomeOfLog(DecodeUtf8(file)), o) << Narrow(line);
  }
  // A message over several lines stays on the closing line, its breaks as blanks.
  EXPECT_EQ(OutcomeOfLog(DecodeUtf8(LogFileText({ClosingLine({K::Failed, L"Zeile eins\r\n\nZeile  zwei"})}))),
            (RunOutcome{K::Failed, L"Zeile eins Zeile zwei"}));

  const struct {
    const char* what;
    std::vector<std::wstring> lines;
    RunOutcome expected;
  } logs[] = {
      {"no closing line: killed", {L"update started", L"transfer broken"}, {K::Unknown, L""}},
      {"an empty log", {}, {K::Unknown, L""}},
      {"the mark inside another line", {L"status: \"r47flash ends; outcome: completed\""}, {K::Unknown, L""}},
      {"an outcome word this program does not write", {L"r47flash ends; outcome: exploded"}, {K::Unknown, L""}},
      {"the last closing line counts",
       {L"r47flash ends; outcome: completed", L"r47flash ends; outcome: no update"},
       {K::NoUpdate, L""}},
  };
  for (const auto& l : logs) EXPECT_EQ(OutcomeOfLog(DecodeUtf8(LogFileText(l.lines))), l.expected) << l.what;
}

TEST(RunOutcome, TheLastUpdateOfTheRunCounts) {
  using K = RunOutcome::Kind;
  EXPECT_EQ(CurrentRunOutcome(), (RunOutcome{K::NoUpdate, L""}));
  NoteUpdateFailed(L"Datei readme.txt kann nicht gefunden werden.");  // no update: no failure of one
  NoteUpdateCompleted();
  EXPECT_EQ(CurrentRunOutcome(), (RunOutcome{K::NoUpdate, L""}));

  LogUpdateStarted();
  EXPECT_EQ(CurrentRunOutcome(), (RunOutcome{K::PreFlight, L""}));
  NoteUpdateFailed(L"Das Gerät kann im ROM-Flash-Modus nicht gefunden werden.");
  NoteUpdateFailed(L"Datei readme.txt kann nicht gefunden werden.");  // at idle afterwards: not the update's
  EXPECT_EQ(CurrentRunOutcome(), (RunOutcome{K::Failed, L"Das Gerät kann im ROM-Flash-Modus nicht gefunden werden."}));

  LogUpdateStarted();  // the next press of Aktualisieren starts afresh
  EXPECT_EQ(CurrentRunOutcome(), (RunOutcome{K::PreFlight, L""}));
  NoteDownloadStarted();
  EXPECT_EQ(CurrentRunOutcome(), (RunOutcome{K::Download, L""}));
  NoteUpdateCompleted();
  NoteUpdateFailed(L"later");
  EXPECT_EQ(CurrentRunOutcome(), (RunOutcome{K::Completed, L""}));

  LogRunEnd();
  EXPECT_EQ(OutcomeOfLog(FlashLogText()), (RunOutcome{K::Completed, L""}));
  EXPECT_NE(FlashLogText().find(L"update started"), std::wstring::npos);
}

TEST(LogFiles, NamesGiveTheStartAndTheEndIsReadBack) {
  const struct {
    const wchar_t* name;
    bool valid;
    WORD year, month, day, hour, minute, second;
    DWORD pid;
  } names[] = {
      {L"r47flash-20261210-143005-1234.log", true, 2026, 12, 10, 14, 30, 5, 1234},
      {L"R47FLASH-20200101-000000-4294967295.LOG", true, 2020, 1, 1, 0, 0, 0, 4294967295u},
      {L"r47flash-20261310-143005-1234.log", false},  // month 13
      {L"r47flash-20261210-246005-1234.log", false},  // hour 24
      {L"r47flash-20261210-143005-.log", false},      // no process id
      {L"r47flash-2026121-0143005-1234.log", false},  // the dash misplaced
      {L"r47flash-20261210-143005-12a4.log", false},  // not a number
      {L"r47flash-20261210-143005-4294967296.log", false},
      {L"r47flash-20261210-143005-1234.txt", false},
  };
  for (const auto& n : names) {
    SYSTEMTIME t{};
    DWORD pid = 0;
    ASSERT_EQ(ParseLogFileName(n.name, &t, &pid), n.valid) << Narrow(n.name);
    if (!n.valid) continue;
    EXPECT_EQ((std::vector<WORD>{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond}),
              (std::vector<WORD>{n.year, n.month, n.day, n.hour, n.minute, n.second}))
        << Narrow(n.name);
    EXPECT_EQ(pid, n.pid);
  }

  // Newest first, this run's own file left out, other files ignored, each with the
  // outcome its end says, however long the file.
  TempDir dir;
  const std::wstring folder = dir.Path() + L"logs";
  CreateDirectoryW(folder.c_str(), nullptr);
  std::vector<std::wstring> longLog(20000, L"monitor report (128 bytes read): write 50 %");
  longLog.push_back(ClosingLine({RunOutcome::Kind::Failed, L"Fehler am Ende"}));
  const struct {
    const wchar_t* name;
    std::vector<std::wstring> lines;
  } files[] = {
      {L"r47flash-20260101-120000-11.log", {L"update started", ClosingLine({RunOutcome::Kind::Completed, L""})}},
      {L"r47flash-20260301-120000-33.log", {L"update started", L"transfer broken"}},
      {L"r47flash-20260201-120000-22.log", longLog},
      {L"r47flash-20260401-120000-44.log", {ClosingLine({RunOutcome::Kind::NoUpdate, L""})}},
      {L"notes-20260501-120000-55.log", {ClosingLine({RunOutcome::Kind::Completed, L""})}},
  };
  for (const auto& f : files) std::ofstream(Narrow(folder + L"\\" + f.name), std::ios::binary) << RunLogText(f.lines);
  const auto kept = KeptLogs(folder, folder + L"\\R47FLASH-20260401-120000-44.log");
  std::vector<std::wstring> paths;
  std::vector<RunOutcome> outcomes;
  for (const auto& k : kept) paths.push_back(k.path), outcomes.push_back(k.outcome);
  EXPECT_EQ(paths, (std::vector<std::wstring>{folder + L"\\r47flash-20260301-120000-33.log",
                                              folder + L"\\r47flash-20260201-120000-22.log",
                                              folder + L"\\r47flash-20260101-120000-11.log"}));
  EXPECT_EQ(outcomes, (std::vector<RunOutcome>{{RunOutcome::Kind::Unknown, L""},
                                               {RunOutcome::Kind::Failed, L"Fehler am Ende"},
                                               {RunOutcome::Kind::Completed, L""}}));
  ASSERT_FALSE(kept.empty());
  EXPECT_EQ(kept[0].started.wMonth, 3);

  // Of a file over the limit, its end from a whole line on.
  std::wstring text;
  bool cut = false;
  DWORD error = 0;
  dir.Write(L"three.log", std::string("line1\r\nline2\r\nline3\r\n"));
  ASSERT_TRUE(ReadLogFile(dir.File(L"three.log"), 10, &text, &cut, &error));
  EXPECT_TRUE(cut);
  EXPECT_EQ(text, L"line3\r\n");
  ASSERT_TRUE(ReadLogFile(dir.File(L"three.log"), 1000, &text, &cut, &error));
  EXPECT_FALSE(cut);
  EXPECT_EQ(text, L"line1\r\nline2\r\nline3\r\n");
  EXPECT_FALSE(ReadLogFile(dir.File(L"absent.log"), 1000, &text, &cut, &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(FlashLog, AFolderThatCannotBeMadeLeavesTheLogInMemory) {
  TempDir dir;
  dir.Write(L"blocker", std::string("a file where the folder would go"));
  EXPECT_FALSE(OpenFlashLog(dir.Path() + L"blocker\\logs"));
  EXPECT_EQ(FlashLogPath(), L"");
  LogLine(L"still kept");
  EXPECT_NE(FlashLogText().find(L"still kept"), std::wstring::npos);
  CloseFlashLog();  // nothing to close: harmless
}

TEST(FlashLog, SystemErrorsCarryTheirNumberAndText) {
  const struct {
    DWORD code;
    const wchar_t* start;
  } cases[] = {
      {109, L"109 (0x0000006D): "},
      {2, L"2 (0x00000002): "},
  };
  for (const auto& c : cases) {
    std::wstring text = SystemErrorText(c.code);
    EXPECT_EQ(text.rfind(c.start, 0), 0u) << Narrow(text);
    EXPECT_GT(text.size(), wcslen(c.start)) << "no system text for " << c.code;
    EXPECT_NE(text.back(), L'\n');
  }
  // A code the system has no text for still shows its number.
  EXPECT_EQ(SystemErrorText(0xE0001234), L"3758101044 (0xE0001234)");
}

TEST(LoggedEvents, EachReportGoesOnUnchangedAndIsLogged) {
  auto window = std::make_shared<testing_support::RecordedEvents>();
  std::shared_ptr<FlashEvents> events = LoggedEvents(window);
  const size_t before = FlashLogText().size();

  events->StatusPercent(35);
  events->Progress(35, false);
  events->ImageReadProgress(65536, 300007);
  events->ImageLoaded(kOsImageName, 300007, ImageKind::Os);
  events->TransferEnded(3, 49152, 109);
  FlashFailure f;
  f.kind = FlashFailure::Kind::ConnectionBroken;
  f.systemError = 109;
  events->Failure(f);
  StatusReport report{};
  report[0] = 0x20;
  report[2] = 40;
  events->MonitorReport(report, 128);
  CommandPacket packet;
  packet.fill(0x55);
  packet[0] = 100;
  events->CommandPacketWritten(packet, 0);
  events->Success(ImageKind::Os);
  events->Progress(100, true);
  events->Done();

  const std::string broken = std::to_string(static_cast<int>(FlashFailure::Kind::ConnectionBroken));
  const std::string os = std::to_string(static_cast<int>(ImageKind::Os));
  // What the window shows (status lines, boxes) it logs as it shows it: not here.
  EXPECT_EQ(window->Log(),
            (std::vector<std::string>{"status 35 %", "progress 35", "read 65536/300007", "image Quon_r47PDA.ubi 300007",
                                      "transfer 3 49152 109", "failure " + broken + " 109", "success " + os,
                                      "progress 100 done", "done"}));
  const std::wstring log = FlashLogText().substr(before);
  const std::wstring error109 = L"system error " + SystemErrorText(109);
  std::wstring packetLine = L"command packet 64";
  for (int i = 0; i < 31; ++i) packetLine += L" 55";
  packetLine += L": written";
  for (const std::wstring& expected : {
           std::wstring(L"image Quon_r47PDA.ubi: 300007 bytes, OS image"),
           L"transfer broken: 3 chunks written, 49152 bytes, " + error109,
           L"failure: connection broken, " + error109,
           std::wstring(L"monitor report (128 bytes read): kind 0x20, bytes 1-3 00 28 00: format 40 %"),
           packetLine,
           std::wstring(L"download over"),
       }) {
    EXPECT_NE(log.find(expected), std::wstring::npos) << Narrow(expected) << "\nin:\n" << Narrow(log);
  }
  EXPECT_EQ(log.find(L"message box"), std::wstring::npos) << Narrow(log);
  EXPECT_EQ(log.find(L"status: "), std::wstring::npos) << Narrow(log);
}

// A stand-in for the system's execution state: records what it is asked.
std::vector<EXECUTION_STATE> g_asked;
EXECUTION_STATE g_previousAnswer;
EXECUTION_STATE WINAPI RecordExecutionState(EXECUTION_STATE state) {
  g_asked.push_back(state);
  return g_asked.size() == 1 ? g_previousAnswer : ES_CONTINUOUS | ES_SYSTEM_REQUIRED;
}

TEST(FlashGuard, KeepsAwakeAndRefusesShutdownOnlyWhileActive) {
  TempDir dir;
  dir.Write(kOsImageName, MakeImage("X000FF\n", 64));
  TestWindow w(dir.Path());
  FlashGuard& guard = w.state().guard;  // the one the window asks at a shutdown
  guard.setter = RecordExecutionState;
  const struct {
    EXECUTION_STATE previous;  // what the system says was set before
    EXECUTION_STATE restored;  // what the end puts back
  } cases[] = {
      {ES_CONTINUOUS, ES_CONTINUOUS},
      {ES_CONTINUOUS | ES_DISPLAY_REQUIRED, ES_CONTINUOUS | ES_DISPLAY_REQUIRED},
      {0, ES_CONTINUOUS},  // the call failed: the plain state
  };
  for (const auto& c : cases) {
    g_asked.clear();
    g_previousAnswer = c.previous;
    EXPECT_EQ(SendMessageW(w.hwnd(), WM_QUERYENDSESSION, 0, 0), TRUE);
    BeginFlashGuard(guard, w.hwnd());
    BeginFlashGuard(guard, w.hwnd());  // a second begin changes nothing
    EXPECT_TRUE(guard.active);
    EXPECT_EQ(SendMessageW(w.hwnd(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), FALSE);
    EndFlashGuard(guard, w.hwnd());
    EndFlashGuard(guard, w.hwnd());
    EXPECT_FALSE(guard.active);
    EXPECT_EQ(SendMessageW(w.hwnd(), WM_QUERYENDSESSION, 0, 0), TRUE);
    EXPECT_EQ(g_asked, (std::vector<EXECUTION_STATE>{ES_CONTINUOUS | ES_SYSTEM_REQUIRED, c.restored}))
        << "previous " << c.previous;
  }
  EXPECT_NE(FlashLogText().find(L"shutdown or log-off refused"), std::wstring::npos);
}

std::wstring MenuText(HMENU menu, UINT id) {
  wchar_t text[128] = {};
  GetMenuStringW(menu, id, text, 128, MF_BYCOMMAND);
  return text;
}

std::wstring ClipboardText() {
  std::wstring text;
  if (!OpenClipboard(nullptr)) return L"(clipboard not opened)";
  if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
    if (auto* p = static_cast<const wchar_t*>(GlobalLock(data))) {
      text = p;
      GlobalUnlock(data);
    }
  }
  CloseClipboard();
  return text;
}

TEST(SystemMenu, ShowsTheLogAndCopiesIt) {
  TempDir dir;
  dir.Write(kOsImageName, MakeImage("X000FF\n", 64));
  TestWindow w(dir.Path());
  HMENU menu = GetSystemMenu(w.hwnd(), FALSE);
  EXPECT_EQ(MenuText(menu, IDM_SHOW_LOG), L"Protokoll anzeigen…");
  EXPECT_EQ(MenuText(menu, IDM_ABOUT), L"Info…");

  LogLine(L"Zeile für die Zwischenablage");
  SendMessageW(w.hwnd(), WM_SYSCOMMAND, IDM_SHOW_LOG, 0);
  HWND logWindow = nullptr;
  ASSERT_TRUE(PumpUntil([&] { return (logWindow = FindWindowW(nullptr, L"Protokoll")) != nullptr; }, 5000));
  EXPECT_EQ(GetWindow(logWindow, GW_OWNER), w.hwnd());
  HWND text = GetDlgItem(logWindow, IDC_LOG_TEXT);
  EXPECT_TRUE(GetWindowLongW(text, GWL_STYLE) & ES_READONLY);
  wchar_t shown[1 << 14] = {};
  GetWindowTextW(text, shown, 1 << 14);
  EXPECT_EQ(std::wstring(shown), FlashLogText());

  CopyToClipboard(nullptr, L"something else");
  SendMessageW(logWindow, WM_COMMAND, MAKEWPARAM(IDC_LOG_COPY, BN_CLICKED), 0);
  EXPECT_EQ(ClipboardText(), FlashLogText());

  SendMessageW(logWindow, WM_COMMAND, IDCANCEL, 0);
  EXPECT_FALSE(IsWindow(logWindow));
}

std::vector<std::wstring> ListEntries(HWND list) {
  std::vector<std::wstring> out;
  for (LRESULT i = 0, n = SendMessageW(list, CB_GETCOUNT, 0, 0); i < n; ++i) {
    std::wstring text(static_cast<size_t>(SendMessageW(list, CB_GETLBTEXTLEN, i, 0)) + 1, L'\0');
    text.resize(static_cast<size_t>(SendMessageW(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(&text[0]))));
    out.push_back(text);
  }
  return out;
}

std::wstring WindowText(HWND hwnd) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(hwnd, &text[0], static_cast<int>(text.size()))));
  return text;
}

// Picks an entry of the log window's list as the user does, and serves the window until
// it shows what `shown` looks for (an earlier run's file is read on a thread, and a long
// text goes into the window piece by piece).
bool PickRun(HWND logWindow, int entry, const std::function<bool(const std::wstring&)>& shown) {
  HWND list = GetDlgItem(logWindow, IDC_LOG_RUNS);
  SendMessageW(list, CB_SETCURSEL, entry, 0);
  SendMessageW(logWindow, WM_COMMAND, MAKEWPARAM(IDC_LOG_RUNS, CBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
  return PumpUntil([&] { return shown(WindowText(GetDlgItem(logWindow, IDC_LOG_TEXT))); }, 10000);
}

std::function<bool(const std::wstring&)> Is(const std::wstring& expected) {
  return [expected](const std::wstring& text) { return text == expected; };
}
std::function<bool(const std::wstring&)> StartsWith(const std::wstring& start) {
  return [start](const std::wstring& text) { return text.rfind(start, 0) == 0; };
}

HWND OpenLogWindowOf(const TestWindow& w) {
  SendMessageW(w.hwnd(), WM_SYSCOMMAND, IDM_SHOW_LOG, 0);
  HWND logWindow = nullptr;
  PumpUntil([&] { return (logWindow = FindWindowW(nullptr, L"Protokoll")) != nullptr; }, 5000);
  return logWindow;
}

TEST(SystemMenu, TheLogWindowListsTheKeptRunsAndShowsThePickedOne) {
  TempDir dir;
  dir.Write(kOsImageName, MakeImage("X000FF\n", 64));
  const std::wstring folder = dir.Path() + L"logs";
  const struct {
    const wchar_t* name;
    std::vector<std::wstring> lines;
  } files[] = {
      {L"r47flash-20260101-080910-11.log", {L"update started", ClosingLine({RunOutcome::Kind::Completed, L""})}},
      {L"r47flash-20260102-080910-12.log",
       {L"update started", L"transfer broken: 3 chunks written",
        ClosingLine({RunOutcome::Kind::Failed, L"USB-Verbindung unterbrochen!"})}},
      {L"r47flash-20260103-080910-13.log", {L"update started"}},
      {L"r47flash-20260104-080910-14.log", {L"update started", ClosingLine({RunOutcome::Kind::PreFlight, L""})}},
      {L"r47flash-20260105-080910-15.log", {ClosingLine({RunOutcome::Kind::NoUpdate, L""})}},
      {L"r47flash-20260106-080910-16.log",
       {L"update started", L"download to device x", ClosingLine({RunOutcome::Kind::Download, L""})}},
  };
  CreateDirectoryW(folder.c_str(), nullptr);
  for (const auto& f : files) std::ofstream(Narrow(folder + L"\\" + f.name), std::ios::binary) << RunLogText(f.lines);
  ASSERT_TRUE(OpenFlashLog(folder));
  LogLine(L"Zeile dieses Laufs");
  TestWindow w(dir.Path());

  HWND logWindow = OpenLogWindowOf(w);
  ASSERT_NE(logWindow, nullptr);
  HWND list = GetDlgItem(logWindow, IDC_LOG_RUNS);
  auto shown = [&] { return WindowText(GetDlgItem(logWindow, IDC_LOG_TEXT)); };
  const auto entries = ListEntries(list);
  ASSERT_EQ(entries.size(), 7u);
  EXPECT_NE(entries[0].find(L" – dieser Programmstart"), std::wstring::npos) << Narrow(entries[0]);
  EXPECT_EQ(std::vector<std::wstring>(entries.begin() + 1, entries.end()),
            (std::vector<std::wstring>{
                L"06.01.2026 08:09:10 – während der Übertragung beendet, ohne Ergebnis",
                L"05.01.2026 08:09:10 – ohne Aktualisierung beendet",
                L"04.01.2026 08:09:10 – während der Vorbereitung beendet, nichts geschrieben",
                L"03.01.2026 08:09:10 – Ausgang unbekannt: Das Programm wurde abgebrochen",
                L"02.01.2026 08:09:10 – fehlgeschlagen: USB-Verbindung unterbrochen!",
                L"01.01.2026 08:09:10 – Aktualisierung abgeschlossen",
            }));
  EXPECT_EQ(SendMessageW(list, CB_GETCURSEL, 0, 0), 0);
  EXPECT_EQ(shown(), FlashLogText());

  // Picking an earlier run shows its file (read on a thread of its own); picking this
  // run shows it again.
  PickRun(logWindow, 5, Is(DecodeUtf8(RunLogText(files[1].lines))));
  EXPECT_EQ(shown(), DecodeUtf8(RunLogText(files[1].lines)));
  PickRun(logWindow, 0, Is(FlashLogText()));
  EXPECT_EQ(shown(), FlashLogText());

  // A file gone since the list was made: the reason in its place.
  DeleteFileW((folder + L"\\" + files[0].name).c_str());
  const std::wstring gone = L"Das Protokoll " + folder + L"\\" + files[0].name + L" kann nicht gelesen werden: 2 (";
  PickRun(logWindow, 6, StartsWith(gone));
  EXPECT_EQ(shown().rfind(gone, 0), 0u) << Narrow(shown());
  SendMessageW(logWindow, WM_COMMAND, IDCANCEL, 0);
  CloseFlashLog();
}

// Files in the log folder that are no whole log: each is labelled for what it is and
// shown without a crash or a stop of the window, a long one from its end; and the
// reader of the last run never takes one for a run that stopped mid-flash unless it is.
TEST(SystemMenu, DamagedLogsAreLabelledForWhatTheyAre) {
  TempDir dir;
  dir.Write(kOsImageName, MakeImage("X000FF\n", 64));
  const std::wstring folder = dir.Path() + L"logs";
  CreateDirectoryW(folder.c_str(), nullptr);
  const std::string head = RunLogText({L"update started", L"image Quon_r47PDA.ubi: 300007 bytes, OS image",
                                       L"transfer started: 300007 bytes", L"status: \"Lädt ROM-Daten herunter: 7 %\""});
  std::string binary;
  for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 37) & 0xFF);
  const std::string line =
      "2020-01-02 03:04:05.006  monitor report (128 bytes read): kind 0x40, bytes 1-3 00 00 32: write 50 %\r\n";
  const std::string closing = LogFileText({ClosingLine({RunOutcome::Kind::Failed, L"Schreibfehler"})}).substr(3);
  const std::wstring killed = L"Ausgang unbekannt: Das Programm wurde abgebrochen";
  const std::wstring notALog = L"kein lesbares Protokoll";
  const struct {
    const wchar_t* name;
    std::string bytes;  // 50 MB when empty and `huge`
    bool huge;
    std::wstring label;  // after the date
    bool programLog;
    bool endedMidFlash;
    std::wstring shownStart;  // the shown text's start; "%s" for the file's path
  } files[] = {
      {L"r47flash-20260101-080910-11.log", head, false, killed, true, true, L"2020-01-02 03:04:05.006  r47"},
      {L"r47flash-20260102-080910-12.log", "", false, notALog, false, false,
       L"Die Datei %s ist kein lesbares Protokoll dieses Programms."},
      {L"r47flash-20260103-080910-13.log", "\xEF\xBB\xBF", false, notALog, false, false,
       L"Die Datei %s ist kein lesbares Protokoll dieses Programms."},
      {L"r47flash-20260104-080910-14.log", binary, false, notALog, false, false, L"Die Datei %s ist kein lesbares"},
      {L"r47flash-20260105-080910-15.log", "Einkaufsliste\nMilch\n" + closing, false, notALog, false, false,
       L"Die Datei %s ist kein lesbares Protokoll dieses Programms. Darunter steht ihr Inhalt als Text, von einer "
       L"großen Datei nur das Ende.\r\n\r\nEinkaufsliste\r\nMilch\r\n"},
      // The zeros that a power loss can leave where the last lines did not reach the disk.
      {L"r47flash-20260106-080910-16.log", head + std::string(4096, '\0'), false, killed, true, true,
       L"2020-01-02 03:04:05.006  r47"},
      {L"r47flash-20260107-080910-17.log", "", true, L"fehlgeschlagen: Schreibfehler", true, true,
       L"Hier steht nur das Ende des Protokolls. Das ganze Protokoll ist die Datei %s.\r\n\r\n2020"},
  };
  for (const auto& f : files) {
    const std::wstring path = folder + L"\\" + f.name;
    std::ofstream out(Narrow(path), std::ios::binary);
    if (!f.huge) {
      out << f.bytes;
      continue;
    }
    out << head << LogFileText({L"transfer complete: 19 chunks written, 300007 bytes"}).substr(3);
    std::string block;
    while (block.size() < (1u << 20)) block += line;
    for (size_t written = 0; written < (50u << 20); written += block.size()) out << block;
    out << closing;
  }
  ASSERT_TRUE(OpenFlashLog(folder));
  TestWindow w(dir.Path());
  HWND logWindow = OpenLogWindowOf(w);
  ASSERT_NE(logWindow, nullptr);
  const auto entries = ListEntries(GetDlgItem(logWindow, IDC_LOG_RUNS));
  ASSERT_EQ(entries.size(), 1 + std::size(files));
  const auto kept = KeptLogs(folder, FlashLogPath());
  ASSERT_EQ(kept.size(), std::size(files));
  for (size_t i = 0; i < std::size(files); ++i) {
    const auto& f = files[std::size(files) - 1 - i];  // newest first
    const std::wstring path = folder + L"\\" + f.name;
    SCOPED_TRACE(Narrow(f.name));
    std::wstring date = f.name + 9;  // after "r47flash-"
    date = date.substr(6, 2) + L"." + date.substr(4, 2) + L"." + date.substr(0, 4) + L" 08:09:10 – ";
    EXPECT_EQ(entries[i + 1], date + f.label);
    EXPECT_EQ(kept[i].programLog, f.programLog);

    LastRun run;
    DWORD error = 0;
    ASSERT_TRUE(ReadLastRunFile(path, &run, &error));
    EXPECT_EQ(run.programLog, f.programLog);
    EXPECT_EQ(EndedMidFlash(run), f.endedMidFlash);
    if (f.huge) {
      EXPECT_TRUE(run.cut);
      EXPECT_EQ(run.outcome.kind, RunOutcome::Kind::Failed);
      EXPECT_EQ(run.lastStage.percent, 50);
    }

    std::wstring shownStart = f.shownStart;
    const size_t field = shownStart.find(L"%s");
    if (field != std::wstring::npos) shownStart.replace(field, 2, path);
    const std::wstring end = L"r47flash ends; outcome: failed: Schreibfehler\r\n";
    EXPECT_TRUE(PickRun(logWindow, static_cast<int>(i + 1), [&](const std::wstring& text) {
      return text.rfind(shownStart, 0) == 0 &&
             (!f.huge || (text.size() > end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0));
    })) << Narrow(WindowText(GetDlgItem(logWindow, IDC_LOG_TEXT)).substr(0, 300));
    if (f.huge) {
      const std::wstring shown = WindowText(GetDlgItem(logWindow, IDC_LOG_TEXT));
      EXPECT_LT(shown.size(), 70000u) << "the end only";
    }
  }
  // The text's control, put in fresh where it held the long log, is the same kind.
  HWND text = GetDlgItem(logWindow, IDC_LOG_TEXT);
  EXPECT_TRUE(GetWindowLongW(text, GWL_STYLE) & ES_READONLY);
  EXPECT_TRUE(IsWindowVisible(text));
  SendMessageW(logWindow, WM_COMMAND, IDCANCEL, 0);
  CloseFlashLog();
}

TEST(SystemMenu, AFolderThatCannotBeOpenedIsReported) {
  TempDir dir;
  dir.Write(kOsImageName, MakeImage("X000FF\n", 64));
  dir.Write(L"blocker", std::string("a file where the folder would go"));
  const std::wstring folder = dir.Path() + L"blocker\\logs";
  const RunOutcome before = CurrentRunOutcome();
  EXPECT_FALSE(OpenFlashLog(folder));
  EXPECT_EQ(FlashLogFolder(), folder) << "the folder it tried";
  TestWindow w(dir.Path());
  HWND logWindow = OpenLogWindowOf(w);
  ASSERT_NE(logWindow, nullptr);
  EXPECT_EQ(ListEntries(GetDlgItem(logWindow, IDC_LOG_RUNS)).size(), 1u) << "this run only";

  BoxWatcher boxes;
  PostMessageW(logWindow, WM_COMMAND, MAKEWPARAM(IDC_LOG_FOLDER, BN_CLICKED), 0);
  ASSERT_TRUE(boxes.WaitForBoxes(1, 10000));
  const auto shown = boxes.Boxes();
  EXPECT_EQ(shown[0].caption, L"Error");
  EXPECT_EQ(shown[0].text.rfind(L"Der Ordner " + folder + L" kann nicht geöffnet werden: ", 0), 0u)
      << Narrow(shown[0].text);
  EXPECT_EQ(CurrentRunOutcome(), before) << "no failure of an update";
}

TEST(SystemMenu, InfoShowsTheProgramVersion) {
  TempDir dir;
  dir.Write(kOsImageName, MakeImage("X000FF\n", 64));
  TestWindow w(dir.Path());
  // The project version with its missing parts as 0, as the version resource holds it.
  std::wstring version = Widen(R47_PROJECT_VERSION);
  for (size_t dots = std::count(version.begin(), version.end(), L'.'); dots < 3; ++dots) version += L".0";

  BoxWatcher boxes;
  PostMessageW(w.hwnd(), WM_SYSCOMMAND, IDM_ABOUT, 0);
  ASSERT_TRUE(boxes.WaitForBoxes(1, 10000));
  auto shown = boxes.Boxes();
  EXPECT_EQ(shown[0].caption, L"Info");
  EXPECT_EQ(shown[0].text.rfind(L"Quon r47 Flash Tool\nVersion " + version, 0), 0u) << Narrow(shown[0].text);
}

}  // namespace
