// Whole flashes against the simulated handheld: the image the version rules choose
// reaches the device byte for byte, and the user sees the closing message.
#include <algorithm>
#include <functional>

#include "device_scenario.h"

namespace e2e {
namespace {

const wchar_t kOsDone[] = L"Image erfolgreich aktualisiert. r47 wird automatisch neu gestartet.";
const wchar_t kBootDone[] =
    L"Gehen Sie folgendermaßen vor, um das Upgrade vorzunehmen:\r\n\n"
    L"1. Stellen Sie den Hard-Reset-Schalter in die OFF \n(AUS)-Position.\r\n\n"
    L"2. Halten Sie den Stromschalter gedrückt und stellen \n    den Hard-Reset-Schalter in die ON "
    L"(EIN)-Position.\r\n\n"
    L"3. Warten Sie bitte fünf Sekunden, bevor Sie den Stromschalter loslassen.\r\n";

class Flash : public DeviceScenario {
 protected:
  // Version file and device answer that make the boot loader due.
  struct BootCase {
    long mustUpdate;
    const char* deviceVersion;
    const wchar_t* screenshot;
  };

  void FlashBootImage(const BootCase& c) {
    const auto boot = BootImage(100000);
    folder_.Write(kOsName, OsImage(300007));
    folder_.Write(kBootName, boot);
    work_.Write(L"version.ver", VersionFileText(1, 3, c.mustUpdate));
    StartDevice({"--version", c.deviceVersion});

    FlashAndExpect(kBootDone, L"97 K", c.screenshot);
    EXPECT_TRUE(device_->ReceivedStream() == boot) << "the device did not receive the boot image unchanged";
    // A small image has no flash monitor, so no closing command.
    EXPECT_TRUE(device_->CommandPacket().empty());
  }

  // Nine answers name exactly the version file's boot loader; the tenth read brings no
  // report. A lost report is no answer: the OS image goes, the boot loader stays.
  void FlashOsImageAfterLostTenthReport(const char* sequence, const char* lostEvent, const wchar_t* screenshot) {
    const auto image = OsImage(300007);
    folder_.Write(kOsName, image);
    folder_.Write(kBootName, BootImage(100000));
    work_.Write(L"version.ver", VersionFileText(1, 3));
    StartDevice({"--version-sequence", sequence});

    FlashAndExpect(kOsDone, L"292 K", screenshot);
    EXPECT_TRUE(device_->ReceivedStream() == image) << "the device did not receive the OS image unchanged";
    std::string events = device_->Events();
    EXPECT_EQ(CountOf(events, "report taken: version reply 0x0103"), 9u) << events;
    EXPECT_NE(events.find(lostEvent), std::string::npos) << events;
  }

  // Runs an update to its end and checks the closing box and what the window showed.
  // beforeUpdate runs once the program is up, before the user presses Update.
  void FlashAndExpect(const wchar_t* closingText, const std::wstring& sizeText, const wchar_t* screenshot,
                      const std::function<void()>& beforeUpdate = nullptr) {
    StartProgram();
    if (HasFatalFailure()) return;  // no program to drive
    if (beforeUpdate) beforeUpdate();
    BoxLog boxes(program_->ProcessId(), [&](const BoxRecord&, HWND box) {
      SaveScreenshot(std::wstring(screenshot) + L"-closing-box", program_->Window(), {box});
    });
    WindowLog window(program_->ProcessId(), program_->Window(), {kAcknowledge, kUpdate, kExit, kNotes, kReadme});
    TickAndUpdate();

    ASSERT_TRUE(ProgramRun::WaitUntil(
        [&] { return program_->Text(kStatus).rfind(L"Lädt ROM-Daten herunter:", 0) == 0 || !program_->Running(); },
        kUpdateWait))
        << "the transfer never showed its progress";
    EXPECT_EQ(program_->Text(kSizeField), sizeText);
    EXPECT_FALSE(program_->Enabled(kUpdate));
    EXPECT_FALSE(program_->Enabled(kExit));
    SaveScreenshot(std::wstring(screenshot) + L"-mid-flash", program_->Window());

    ExpectEndsWithZero(kUpdateWait);
    auto shown = boxes.Boxes();
    ASSERT_EQ(shown.size(), 1u) << Describe(shown);
    EXPECT_EQ(shown[0].caption, L"USB Update Success!");
    EXPECT_EQ(shown[0].text, closingText);
    EXPECT_EQ(shown[0].icon, BoxRecord::Information);

    // The last text, "USB erfolgreich heruntergeladen!", stands only until the program
    // ends a moment later: too short to be read reliably from outside.
    auto texts = window.StatusTexts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), L"Lädt ROM-Daten herunter: 100 %"), texts.end());
    // The bar only moves on, and stays at 95 or below until the end sets 100.
    auto positions = window.Positions();
    ASSERT_FALSE(positions.empty());
    EXPECT_EQ(positions.back(), 100);
    for (size_t i = 0; i + 1 < positions.size(); ++i) {
      EXPECT_LE(positions[i], 95) << "position " << i;
      EXPECT_LE(positions[i], positions[i + 1]) << "position " << i;
    }
  }
};

TEST_F(Flash, OsImageStartToEnd) {
  const auto image = OsImage(300007);
  folder_.Write(kOsName, image);
  folder_.Write(kBootName, BootImage(100000));
  work_.Write(L"version.ver", VersionFileText(1, 3));
  StartDevice({"--version", "0x0103"});

  FlashAndExpect(kOsDone, L"292 K", L"e2e-os-image");
  EXPECT_TRUE(device_->ReceivedStream() == image) << "the device did not receive the OS image unchanged";
  std::vector<unsigned char> packet(32, 0x55);
  packet[0] = 0x64;
  EXPECT_EQ(device_->CommandPacket(), packet);
}

// The image is replaced after the program started and sized the old one: the new
// file goes whole, and the size field shows the size of what the device received.
TEST_F(Flash, ImageReplacedAfterStartIsSentWholeAndItsSizeShown) {
  folder_.Write(kOsName, OsImage(300007));
  folder_.Write(kBootName, BootImage(100000));
  work_.Write(L"version.ver", VersionFileText(1, 3));
  StartDevice({"--version", "0x0103"});
  const auto replacement = OsImage(500000);

  FlashAndExpect(kOsDone, L"488 K", L"e2e-replaced-image", [&] { folder_.Write(kOsName, replacement); });
  const auto received = device_->ReceivedStream();
  EXPECT_EQ(std::to_wstring(received.size() >> 10) + L" K", L"488 K");
  EXPECT_TRUE(received == replacement) << "the device received " << received.size() << " bytes, not the replacement's "
                                       << replacement.size();
}

TEST_F(Flash, OsImageWhenTheTenthVersionReportIsCutOff) {
  FlashOsImageAfterLostTenthReport("0x0103*9,close", "connection closed unanswered", L"e2e-lost-report-closed");
}
TEST_F(Flash, OsImageWhenTheTenthVersionReportNeverComes) {
  FlashOsImageAfterLostTenthReport("0x0103*9,hang", "no answer (version sequence)", L"e2e-lost-report-hang");
}

TEST_F(Flash, BootImageWhenTheMinorVersionDiffers) { FlashBootImage({0, "0x0102", L"e2e-boot-image"}); }
TEST_F(Flash, BootImageForcedByTheVersionFile) { FlashBootImage({27884766, "0x0103", L"e2e-boot-forced"}); }

}  // namespace
}  // namespace e2e
