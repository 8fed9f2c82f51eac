// The log a run leaves behind, read after the program ended and held against what
// the simulated handheld recorded; and the refusal of a shutdown mid-flash.
#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

#include "app/last_run.h"
#include "device_scenario.h"

namespace e2e {
namespace {

// Index of the first line that starts with `start`, or -1.
int Find(const std::vector<std::wstring>& lines, const std::wstring& start, int from = 0) {
  for (size_t i = static_cast<size_t>(std::max(from, 0)); i < lines.size(); ++i)
    if (lines[i].rfind(start, 0) == 0) return static_cast<int>(i);
  return -1;
}

// The device's record of the status reports it handed out: "report taken: <summary>".
std::vector<std::string> ReportsTaken(const std::string& events) {
  std::vector<std::string> out;
  std::istringstream in(events);
  const std::string mark = "PIPE00: report taken: ";
  for (std::string line; std::getline(in, line);) {
    size_t at = line.find(mark);
    if (at != std::string::npos) out.push_back(line.substr(at + mark.size()));
  }
  return out;
}

// What the log says of a report, in the device's words for it.
std::wstring LoggedAs(const std::string& summary) {
  unsigned value = 0;
  if (summary == "format report finished") return L"format finished";
  if (summary.find("(stored)") != std::string::npos) return L"image stored";
  if (std::sscanf(summary.c_str(), "format report %u%%", &value) == 1)
    return L"format " + std::to_wstring(value) + L" %";
  if (std::sscanf(summary.c_str(), "write report %u%%", &value) == 1) return L"write " + std::to_wstring(value) + L" %";
  return L"(" + Widen(summary) + L")";
}

// The answer to a shutdown or log-off query, as Windows would ask it.
std::optional<LRESULT> AskToEndSession(HWND window) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 10000, &result)) {
    return std::nullopt;
  }
  return static_cast<LRESULT>(result);
}

class FlashLog : public DeviceScenario {
 protected:
  // Both images, and a version file that the device's boot loader 1.3 satisfies:
  // the OS image is the one to go.
  std::vector<uint8_t> WriteOsUpdateFiles() {
    auto image = OsImage(300007);
    folder_.Write(kOsName, image);
    folder_.Write(kBootName, BootImage(100000));
    work_.Write(L"version.ver", VersionFileText(1, 3));
    return image;
  }
  // An OS update whose handheld is unplugged 70000 bytes into the stream; returns
  // when the program has ended after its message.
  void RunUnpluggedMidStream() {
    WriteOsUpdateFiles();
    StartDevice({"--version", "0x0103", "--unplug-at", "transfer:70000"});
    StartProgram();
    BoxLog boxes(program_->ProcessId());
    TickAndUpdate();
    ExpectEndsWithZero(kUpdateWait);
  }
};

TEST_F(FlashLog, SuccessfulFlashIsLoggedAsTheDeviceSawItAndShutdownWaits) {
  const auto image = WriteOsUpdateFiles();
  StartDevice({"--version", "0x0103", "--pace-ms", "0", "--step", "50"});
  StartProgram();
  BoxLog boxes(program_->ProcessId());

  EXPECT_EQ(AskToEndSession(program_->Window()), std::optional<LRESULT>(TRUE)) << "idle: Windows may end the session";
  TickAndUpdate();
  ASSERT_TRUE(ProgramRun::WaitUntil(
      [&] { return program_->Text(kStatus).rfind(L"Lädt ROM-Daten herunter:", 0) == 0 || !program_->Running(); },
      kUpdateWait));
  EXPECT_EQ(AskToEndSession(program_->Window()), std::optional<LRESULT>(FALSE)) << "mid-flash: refused";
  ExpectEndsWithZero(kUpdateWait);

  const auto log = LogOfRun(program_->ProcessId());
  ASSERT_FALSE(log.empty()) << "no log for process " << program_->ProcessId() << " in " << Narrow(ToolLogFolder());
  const std::string events = device_->Events();
  const std::string shown = Joined(log) + "\ndevice:\n" + events;

  // The version file, then each answer the device gave, then the choice.
  int at = Find(log, L"version file: EbootHigh=1 EbootLow=3 MustUpdateEboot=no");
  EXPECT_GE(at, 0) << shown;
  std::vector<std::wstring> answers;
  for (const std::string& r : ReportsTaken(events)) {
    unsigned version = 0;
    if (std::sscanf(r.c_str(), "version reply 0x%x", &version) == 1) {
      wchar_t text[48];
      swprintf(text, 48, L"boot loader 0x%04X (%u.%u)", version, version >> 8, version & 0xFF);
      answers.push_back(text);
    }
  }
  ASSERT_EQ(answers.size(), 10u) << shown;
  for (size_t i = 0; i < answers.size(); ++i) {
    int line = Find(log, L"version query " + std::to_wstring(i + 1) + L"/10: " + answers[i], at);
    EXPECT_GT(line, at) << "answer " << i + 1 << "\n" << shown;
    at = std::max(at, line);
  }
  int choice = Find(log, L"device version taken: 0x0103 (1.3); image chosen: Quon_r47PDA.ubi", at);
  EXPECT_GT(choice, at) << shown;
  at = std::max(at, choice);

  // The image and the transfer, as the device took it.
  ASSERT_TRUE(device_->ReceivedStream() == image);
  const auto writes = device_->WriteSizes();
  EXPECT_GT(Find(log, L"image Quon_r47PDA.ubi: 300007 bytes, OS image", at), at) << shown;
  EXPECT_GE(Find(log, L"transfer complete: " + std::to_wstring(writes.size()) + L" chunks written, " +
                          std::to_wstring(device_->ReceivedStream().size()) + L" bytes"),
            0)
      << shown;

  // Every report the device handed out after the image, in its order.
  std::vector<std::wstring> expected, logged;
  bool afterImage = false;
  for (const std::string& r : ReportsTaken(events)) {
    if (r.rfind("format report", 0) == 0) afterImage = true;
    if (afterImage) expected.push_back(LoggedAs(r));
  }
  for (const auto& line : LinesStartingWith(log, L"monitor report (128 bytes read): ")) {
    logged.push_back(line.substr(line.rfind(L": ") + 2));
  }
  EXPECT_EQ(logged, expected) << shown;
  ASSERT_FALSE(logged.empty()) << shown;
  EXPECT_EQ(logged.back(), L"image stored") << shown;

  // The command packet, byte for byte as the device received it.
  std::wstring packet;
  for (unsigned char b : device_->CommandPacket()) {
    wchar_t hex[4];
    swprintf(hex, 4, L"%02X", b);
    packet += (packet.empty() ? L"" : L" ") + std::wstring(hex);
  }
  EXPECT_GE(Find(log, L"command packet " + packet + L": written"), 0) << shown;

  // What the user saw: the status lines and the closing box.
  for (const wchar_t* line :
       {L"status: \"Die Datei wird heruntergeladen... Bitte warten...\"", L"status: \"Lädt ROM-Daten herunter: 100 %\"",
        L"message box [USB Update Success!]: \"Image erfolgreich aktualisiert. r47 wird "
        L"automatisch neu gestartet.\"",
        L"status: \"USB erfolgreich heruntergeladen!\"", L"shutdown or log-off refused"}) {
    EXPECT_GE(Find(log, line), 0) << Narrow(line) << "\n" << shown;
  }
  EXPECT_LT(Find(log, L"transfer complete"), Find(log, L"monitor report")) << shown;
  EXPECT_LT(Find(log, L"command packet"), Find(log, L"message box [USB Update Success!]")) << shown;
  EXPECT_EQ(Find(log, L"failure"), -1) << shown;
  EXPECT_LT(Find(log, L"transfer started: 300007 bytes"), Find(log, L"status: \"Lädt ROM-Daten herunter: ")) << shown;

  // What the next start reads from this log: a completed flash of the OS image.
  LastRun run;
  DWORD error = 0;
  ASSERT_TRUE(ReadLastRunFile(ToolLogOfRun(program_->ProcessId()), &run, &error)) << error;
  EXPECT_TRUE(run.programLog && run.closed && run.flashCompleted) << shown;
  EXPECT_EQ(run.image, ImageKind::Os);
  EXPECT_EQ(run.bytesSent, image.size());
  EXPECT_TRUE(run.lastStage.finished);
  EXPECT_FALSE(EndedMidFlash(run));
  EXPECT_FALSE(WroteBootLoader(run));
}

TEST_F(FlashLog, UnplugIsLoggedWithTheSystemErrorAndWhatWasSent) {
  RunUnpluggedMidStream();
  ASSERT_TRUE(device_->WaitForEvent("unplug", 10000));

  const auto log = LogOfRun(program_->ProcessId());
  ASSERT_FALSE(log.empty());
  const std::string shown = Joined(log) + "\ndevice:\n" + device_->Events();
  // Complete chunks only: the one the unplug cut off did not arrive whole.
  const auto writes = device_->WriteSizes();
  uint64_t whole = 0;
  for (unsigned w : writes) whole += w;
  const std::wstring transfer = L"transfer broken: " + std::to_wstring(writes.size()) + L" chunks written, " +
                                std::to_wstring(whole) + L" bytes, system error ";
  int at = Find(log, transfer);
  ASSERT_GE(at, 0) << Narrow(transfer) << "\n" << shown;
  // The system error: its number and the system's text for it, on the failure line too.
  const std::wstring error = log[at].substr(transfer.size());
  EXPECT_NE(error.find(L"): "), std::wstring::npos) << Narrow(error);
  EXPECT_GT(Find(log, L"failure: connection broken, system error " + error, at), at) << shown;
  EXPECT_GT(Find(log, L"message box [Error]: \"USB-Verbindung unterbrochen!", at), at) << shown;
  EXPECT_EQ(Find(log, L"monitor report"), -1) << shown;
  EXPECT_EQ(Find(log, L"command packet"), -1) << shown;
  EXPECT_EQ(Find(log, L"message box [USB Update Success!]"), -1) << shown;
  EXPECT_GE(Find(log, L"download over"), 0) << shown;

  // What the next start reads from this log: a flash that ended after its first byte.
  LastRun run;
  DWORD readError = 0;
  ASSERT_TRUE(ReadLastRunFile(ToolLogOfRun(program_->ProcessId()), &run, &readError)) << readError;
  EXPECT_TRUE(EndedMidFlash(run)) << shown;
  EXPECT_EQ(run.outcome.kind, RunOutcome::Kind::Failed);
  EXPECT_EQ(run.image, ImageKind::Os);
  EXPECT_EQ(run.imageSize, 300007u);
  EXPECT_EQ(run.bytesSent, whole);
  EXPECT_TRUE(run.bytesExact);
  EXPECT_EQ(run.lastStage.kind, DeviceStage::Kind::None);
}

// The log window of a running program, driven from here as a user would: its system
// menu item, the list of runs, the text.
constexpr WPARAM kShowLogCommand = 0x0110;
constexpr WPARAM kAboutCommand = 0x0120;
constexpr int kLogText = 1020;
constexpr int kLogRuns = 1022;

std::wstring TextOf(HWND control) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(control, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length)) return L"";
  std::wstring text(length + 1, L'\0');
  DWORD_PTR got = 0;
  SendMessageTimeoutW(control, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]), SMTO_ABORTIFHUNG, 5000,
                      &got);
  text.resize(got);
  return text;
}

std::vector<std::wstring> EntriesOf(HWND list) {
  std::vector<std::wstring> out;
  DWORD_PTR count = 0;
  SendMessageTimeoutW(list, CB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, 5000, &count);
  for (WPARAM i = 0; i < count; ++i) {
    wchar_t text[1024] = {};
    DWORD_PTR got = 0;
    SendMessageTimeoutW(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, &got);
    out.push_back(text);
  }
  return out;
}

TEST_F(FlashLog, TheFailedRunsLogIsFoundThroughTheLogWindowAfterARestart) {
  const std::wstring kBroken =
      L"USB-Verbindung unterbrochen! Zum Aktualisieren des ROM-Bilds wiederholen Sie den Vorgang zum "
      L"Aktualisieren des Bildes.";
  RunUnpluggedMidStream();
  const DWORD failedRun = program_->ProcessId();

  // The user starts the program again and looks for what went wrong. The start names
  // the failed run first.
  StartProgram();
  if (HasFatalFailure()) return;
  {
    BoxLog notice(program_->ProcessId());
    ASSERT_TRUE(notice.WaitForBoxes(1, kShortWait));
    const BoxRecord shown = notice.Boxes()[0];
    EXPECT_EQ(shown.caption, L"Letzte Aktualisierung nicht abgeschlossen");
    EXPECT_NE(shown.text.find(L"nicht abgeschlossen: Sie brach mit einer Fehlermeldung ab."), std::wstring::npos)
        << Narrow(shown.text);
    const std::wstring logLine = L"Protokoll jenes Laufs: " + ToolLogOfRun(failedRun);
    EXPECT_EQ(shown.text.substr(shown.text.size() - std::min(shown.text.size(), logLine.size())), logLine)
        << Narrow(shown.text);
    ASSERT_TRUE(ProgramRun::WaitUntil([&] { return IsWindowEnabled(program_->Window()) != FALSE; }, kShortWait));
  }
  ASSERT_TRUE(PostMessageW(program_->Window(), WM_SYSCOMMAND, kShowLogCommand, 0));
  HWND logWindow = nullptr;
  ASSERT_TRUE(
      ProgramRun::WaitUntil([&] { return (logWindow = program_->FindDialog(L"Protokoll")) != nullptr; }, kShortWait));
  HWND list = GetDlgItem(logWindow, kLogRuns);
  const auto entries = EntriesOf(list);
  std::string shown;
  for (const auto& e : entries) shown += Narrow(e) + "\n";
  ASSERT_GE(entries.size(), 2u) << shown;
  EXPECT_NE(entries[0].find(L" – dieser Programmstart"), std::wstring::npos) << shown;
  // The newest earlier run is the failed one, with the message it ended with.
  EXPECT_NE(entries[1].find(L" – fehlgeschlagen: " + kBroken), std::wstring::npos) << shown;

  DWORD_PTR ignored = 0;
  SendMessageTimeoutW(list, CB_SETCURSEL, 1, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
  SendMessageTimeoutW(logWindow, WM_COMMAND, MAKEWPARAM(kLogRuns, CBN_SELCHANGE), reinterpret_cast<LPARAM>(list),
                      SMTO_ABORTIFHUNG, 5000, &ignored);
  // The file is read on a thread of the program's, and shown when it has been read.
  std::wstring text;
  ProgramRun::WaitUntil(
      [&] {
        return (text = TextOf(GetDlgItem(logWindow, kLogText))).find(L"r47flash ends; outcome:") != std::wstring::npos;
      },
      kShortWait);
  const std::string failedLog = Narrow(text);
  EXPECT_NE(text.find(L"started, process " + std::to_wstring(failedRun)), std::wstring::npos) << failedLog;
  EXPECT_NE(text.find(L"  transfer broken: "), std::wstring::npos) << failedLog;
  EXPECT_NE(text.find(L"  failure: connection broken, system error "), std::wstring::npos) << failedLog;
  EXPECT_NE(text.find(L"  r47flash ends; outcome: failed: " + kBroken), std::wstring::npos) << failedLog;
  EXPECT_EQ(text.find(L"started, process " + std::to_wstring(program_->ProcessId()) + L"\r"), std::wstring::npos)
      << "this run's log is not the one shown";
  program_->Settle();
  SaveScreenshot(L"e2e-log-window", logWindow);
  PostMessageW(logWindow, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  ASSERT_TRUE(ProgramRun::WaitUntil([&] { return !IsWindow(logWindow); }, kShortWait));

  // Info names the version and this run's log.
  BoxLog boxes(program_->ProcessId(), [&](const BoxRecord&, HWND box) {
    Sleep(300);  // let it paint before the picture
    SaveScreenshot(L"e2e-info-box", program_->Window(), {box});
  });
  ASSERT_TRUE(PostMessageW(program_->Window(), WM_SYSCOMMAND, kAboutCommand, 0));
  ASSERT_TRUE(boxes.WaitForBoxes(1, kShortWait));
  EXPECT_EQ(boxes.Boxes()[0].caption, L"Info");
  EXPECT_EQ(boxes.Boxes()[0].text.rfind(L"Quon r47 Flash Tool\nVersion ", 0), 0u) << Narrow(boxes.Boxes()[0].text);
  EXPECT_NE(boxes.Boxes()[0].text.find(L"\n\nProtokoll dieses Programmstarts:\n"), std::wstring::npos)
      << Narrow(boxes.Boxes()[0].text);

  ASSERT_TRUE(program_->Click(kExit));
  ExpectEndsWithZero();
}

}  // namespace
}  // namespace e2e
