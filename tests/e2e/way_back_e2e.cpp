// The window after a failed flash, for each kind of failure once the image began to
// go out: after the failure's own box it names the image, how much of it went out,
// the last stage the device reported and this run's log; then the program ends as
// before.
#include "device_scenario.h"

namespace e2e {
namespace {

constexpr size_t kImageSize = 300007;  // large enough for the device to format and write
const wchar_t kImageLine[] = L"Image: Betriebssystem (Quon_r47PDA.ubi)\r\n";
const wchar_t kWholeSent[] = L"0,3 von 0,3 MB übertragen (300.007 von 300.007 Byte).";
const wchar_t kNoStage[] = L"Das Gerät hat keinen Fortschritt beim Formatieren oder Schreiben gemeldet.";

struct WayBackCase {
  std::vector<std::string> fault;  // the simulated handheld's fault
  const wchar_t* boxCaption;       // the failure's own box, as before
  const wchar_t* stage;            // the stage line
  const wchar_t* deviceText;       // the device's text made readable; null: none shown
  const wchar_t* screenshot;
};

class WayBack : public DeviceScenario {
 protected:
  void Run(const WayBackCase& c) {
    folder_.Write(kOsName, OsImage(kImageSize));
    folder_.Write(kBootName, BootImage(100000));
    work_.Write(L"version.ver", VersionFileText(1, 3));
    // One stage step per report the program takes, 20 % each: the stage last
    // reported is the same on every run.
    std::vector<std::string> options = {"--version", "0x0103", "--pace-ms", "0", "--step", "20"};
    options.insert(options.end(), c.fault.begin(), c.fault.end());
    StartDevice(options);
    StartProgram();
    if (HasFatalFailure()) return;
    BoxLog boxes(program_->ProcessId(), nullptr, [&](const BoxRecord&, HWND window) {
      SaveScreenshot(c.screenshot, program_->Window(), {window});
    });
    TickAndUpdate();
    if (HasFatalFailure()) return;

    // The program still ends by itself, with 0, once the window is closed.
    ExpectEndsWithZero(kUpdateWait);
    const auto shown = boxes.Boxes();
    ASSERT_EQ(shown.size(), 1u) << Describe(shown);
    EXPECT_EQ(shown[0].caption, c.boxCaption);
    const auto wayBacks = boxes.WayBacks();
    ASSERT_EQ(wayBacks.size(), 1u) << Describe(wayBacks);
    EXPECT_EQ(wayBacks[0].caption, L"Aktualisierung nicht abgeschlossen");
    const std::wstring& text = wayBacks[0].text;
    const std::string said = Narrow(text) + "\ndevice:\n" + device_->Events();

    // The image, then the bytes sent: the complete write requests the device took.
    EXPECT_EQ(text.find(kImageLine), 0u) << said;
    uint64_t sent = 0;
    for (unsigned w : device_->WriteSizes()) sent += w;
    const std::wstring sentLine = sent == kImageSize ? std::wstring(kWholeSent) : SentLine(sent);
    EXPECT_NE(text.find(L"\r\n" + sentLine + L"\r\n" + c.stage + L"\r\n"), std::wstring::npos)
        << Narrow(sentLine) << "\n" << said;
    if (c.deviceText)
      EXPECT_NE(text.find(std::wstring(L"\r\nFehlermeldung des Geräts: ") + c.deviceText + L"\r\n"),
                std::wstring::npos)
          << said;
    else
      EXPECT_EQ(text.find(L"Fehlermeldung des Geräts"), std::wstring::npos) << said;
    EXPECT_NE(text.find(L"\r\n1. "), std::wstring::npos) << "no numbered steps\n" << said;

    // This run's log, by its full path; the log holds the window as it holds a box.
    const std::wstring logPath = ToolLogOfRun(program_->ProcessId());
    ASSERT_FALSE(logPath.empty());
    const std::wstring logLine = L"\r\n\r\nProtokoll dieses Laufs: " + logPath;
    ASSERT_GT(text.size(), logLine.size()) << said;
    EXPECT_EQ(text.substr(text.size() - logLine.size()), logLine) << said;
    bool logged = false;
    for (const auto& line : LogOfRun(program_->ProcessId()))
      logged = logged || line.rfind(L"message box [Aktualisierung nicht abgeschlossen]: \"Image: ", 0) == 0;
    EXPECT_TRUE(logged) << Joined(LogOfRun(program_->ProcessId()));
  }

  // A part of the image: rounded down to a tenth of a megabyte (10^6 bytes).
  static std::wstring SentLine(uint64_t sent) {
    const std::wstring bytes = std::to_wstring(sent);
    std::wstring grouped;
    for (size_t i = 0; i < bytes.size(); ++i) {
      if (i > 0 && (bytes.size() - i) % 3 == 0) grouped += L'.';
      grouped += bytes[i];
    }
    return L"0," + std::to_wstring(sent / 100000) + L" von 0,3 MB übertragen (" + grouped + L" von 300.007 Byte).";
  }
};


const wchar_t kError[] = L"Error";
const wchar_t kFormatFailed[] = L"FORMAT\u5931\u6557";
const wchar_t kWriteFailed[] = L"\u4E0B\u8F09\u5931\u6557";

TEST_F(WayBack, UnplugDuringTheTransfer) {
  Run({{"--unplug-at", "transfer:100000"}, kError, kNoStage, nullptr, L"e2e-way-back-transfer"});
}
TEST_F(WayBack, FormatFailure) {
  Run({{"--format-fail-at", "40", "--fail-text", "Block 12 defekt"},
       kFormatFailed,
       L"Letzte Meldung des Geräts: Formatieren 20 %",
       L" E\u00B7 Block 12 defekt",
       L"e2e-way-back-format"});
}
TEST_F(WayBack, WriteFailure) {
  Run({{"--write-fail-at", "40", "--fail-text", "Sektor 7 defekt"},
       kWriteFailed,
       L"Letzte Meldung des Geräts: Schreiben 20 %",
       L"@E \u00B7Sektor 7 defekt",
       L"e2e-way-back-write"});
}
TEST_F(WayBack, StatusChannelLostDuringTheMonitor) {
  Run({{"--unplug-at", "write:40"}, kError, L"Letzte Meldung des Geräts: Schreiben 40 %", nullptr,
       L"e2e-way-back-monitor"});
}
TEST_F(WayBack, CommandPacketLost) {
  Run({{"--unplug-at", "command"}, L"start", L"Letzte Meldung des Geräts: Image gespeichert", nullptr,
       L"e2e-way-back-command"});
}

}  // namespace
}  // namespace e2e
