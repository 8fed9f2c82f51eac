// What the next start knows of the run before it, from that run's log: a flash that
// was killed is named once, with how far it got; after the boot loader the idle line
// names the second step, and the next run confirms the version the device reports.
#include <cwchar>

#include "device_scenario.h"

namespace e2e {
namespace {

constexpr size_t kOsSize = 300007;
const wchar_t kNoticeCaption[] = L"Letzte Aktualisierung nicht abgeschlossen";
const wchar_t kDownloading[] = L"Lädt ROM-Daten herunter: ";

class EarlierRun : public DeviceScenario {
 protected:
  void WriteFiles(int bootHigh, int bootLow) {
    folder_.Write(kOsName, OsImage(kOsSize));
    folder_.Write(kBootName, BootImage(100000));
    work_.Write(L"version.ver", VersionFileText(bootHigh, bootLow));
  }
};

// "r47flash-20260102-080500-12.log" as the notice names the run: "02.01.2026 um 08:05".
std::wstring WhenOfLog(const std::wstring& path) {
  const size_t at = path.rfind(L"r47flash-") + 9;
  const std::wstring d = path.substr(at, 8), t = path.substr(at + 9, 4);
  return d.substr(6, 2) + L"." + d.substr(4, 2) + L"." + d.substr(0, 4) + L" um " + t.substr(0, 2) + L":" +
         t.substr(2, 2);
}

// The bytes that "(mindestens 77.139 von ..." names, without the dots.
uint64_t AtLeastBytes(const std::wstring& text) {
  const std::wstring mark = L"(mindestens ";
  const size_t at = text.find(mark);
  if (at == std::wstring::npos) return 0;
  uint64_t n = 0;
  for (size_t i = at + mark.size(); i < text.size() && text[i] != L' '; ++i)
    if (text[i] >= L'0' && text[i] <= L'9') n = n * 10 + static_cast<uint64_t>(text[i] - L'0');
  return n;
}

// Killed as the Task Manager ends it, while the image goes out. The next start names
// that run before anything else; the start after it does not again.
TEST_F(EarlierRun, AFlashKilledMidTransferIsNamedOnceAtTheNextStart) {
  WriteFiles(1, 3);
  // The device stops taking data a third of the way: the transfer stands still there.
  StartDevice({"--version", "0x0103", "--hang", "writes:100000"});
  StartProgram();
  if (HasFatalFailure()) return;
  TickAndUpdate();
  if (HasFatalFailure()) return;
  const DWORD killedRun = program_->ProcessId();
  // Killed once its log on disk has a percentage of the transfer, as a log has it
  // after the program's writer caught up.
  ASSERT_TRUE(ProgramRun::WaitUntil(
      [&] {
        for (const auto& line : LinesStartingWith(LogOfRun(killedRun), std::wstring(L"status: \"") + kDownloading))
          if (line != LoggedStatus(std::wstring(kDownloading) + L"0 %")) return true;
        return false;
      },
      kUpdateWait))
      << Joined(LogOfRun(killedRun));
  const std::wstring killedLog = ToolLogOfRun(killedRun);
  program_.reset();  // TerminateProcess
  device_->Stop();
  const uint64_t took = device_->ReceivedStream().size();

  // The next start: the notice, then an idle window that Exit ends.
  StartProgram();
  if (HasFatalFailure()) return;
  {
    BoxLog boxes(program_->ProcessId());
    ASSERT_TRUE(boxes.WaitForBoxes(1, kShortWait)) << "no notice about the killed run";
    const auto shown = boxes.Boxes();
    ASSERT_EQ(shown.size(), 1u) << Describe(shown);
    EXPECT_EQ(shown[0].caption, kNoticeCaption);
    const std::wstring& text = shown[0].text;
    const std::string said = Narrow(text);
    EXPECT_EQ(text.find(L"Die Aktualisierung vom " + WhenOfLog(killedLog) +
                        L" Uhr wurde nicht abgeschlossen: Das Programm wurde währenddessen beendet"),
              0u)
        << said;
    EXPECT_NE(text.find(L"\r\nImage: Betriebssystem (Quon_r47PDA.ubi)\r\nMindestens "), std::wstring::npos) << said;
    // As the log recorded it: some of the image, never more than the device took.
    const uint64_t atLeast = AtLeastBytes(text);
    EXPECT_GT(atLeast, 0u) << said;
    EXPECT_LE(atLeast, took) << said;
    EXPECT_NE(text.find(L"von 300.007 Byte).\r\nDas Gerät hat keinen Fortschritt beim Formatieren oder Schreiben "
                        L"gemeldet.\r\n"),
              std::wstring::npos)
        << said;
    EXPECT_NE(text.find(L"\r\n1. "), std::wstring::npos) << "no numbered steps\n" << said;
    const std::wstring logLine = L"\r\n\r\nProtokoll jenes Laufs: " + killedLog;
    ASSERT_GT(text.size(), logLine.size()) << said;
    EXPECT_EQ(text.substr(text.size() - logLine.size()), logLine) << said;
  }
  const EndedByExit second = EndWithExit(*program_);
  EXPECT_TRUE(second.ended);
  EXPECT_EQ(second.BoxesLogged(), 1u) << Joined(second.log);

  // The start after it: the same run is the last that sent an image, its notice shown.
  StartProgram();
  if (HasFatalFailure()) return;
  const EndedByExit third = EndWithExit(*program_);
  EXPECT_TRUE(third.ended);
  // The notice is posted as the window starts, so it would have come before Exit.
  EXPECT_EQ(third.BoxesLogged(), 0u) << Joined(third.log);
  EXPECT_EQ(
      LinesStartingWith(third.log, L"earlier run ended mid-flash: " + killedLog + L" (its notice was shown before)")
          .size(),
      1u)
      << Joined(third.log);
}

// The boot loader written: the next start's idle line names the second step, and its
// update confirms the version that the device now reports, on the line and in the log.
TEST_F(EarlierRun, AfterTheBootLoaderTheSecondStepIsNamedAndTheVersionConfirmed) {
  WriteFiles(1, 3);
  StartDevice({"--version", "0x0102"});
  StartProgram();
  if (HasFatalFailure()) return;
  {
    BoxLog boxes(program_->ProcessId());
    TickAndUpdate();
    if (HasFatalFailure()) return;
    ExpectEndsWithZero(kUpdateWait);
    ASSERT_EQ(boxes.Boxes().size(), 1u) << Describe(boxes.Boxes());
    EXPECT_EQ(boxes.Boxes()[0].caption, L"USB Update Success!");
  }
  // The handheld starts again with the boot loader that was written.
  device_->Stop();
  StartDevice({"--version", "0x0103"});

  StartProgram();
  if (HasFatalFailure()) return;
  BoxLog boxes(program_->ProcessId());
  EXPECT_TRUE(program_->WaitForText(
      kStatus, L"Boot-Loader geschrieben. Schritt 2: \"Aktualisieren\" schreibt das Betriebssystem.", kShortWait))
      << Narrow(program_->Text(kStatus));
  TickAndUpdate();
  if (HasFatalFailure()) return;
  ExpectEndsWithZero(kUpdateWait);
  const auto shown = boxes.Boxes();
  ASSERT_EQ(shown.size(), 1u) << Describe(shown);
  EXPECT_EQ(shown[0].text, L"Image erfolgreich aktualisiert. r47 wird automatisch neu gestartet.");
  const auto log = LogOfRun(program_->ProcessId());
  EXPECT_EQ(LinesStartingWith(
                log, LoggedStatus(L"Gerät: Boot-Loader 1.3 bestätigt – benötigt: 1.3 – gewählt: Quon_r47PDA.ubi"))
                .size(),
            1u)
      << Joined(log);
}

}  // namespace
}  // namespace e2e
