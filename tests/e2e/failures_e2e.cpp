// Failures the user meets on the way: no device, a broken USB connection, the
// device's own failure report, a damaged boot image.
#include <algorithm>

#include "device_scenario.h"

namespace e2e {
namespace {

const wchar_t kNotFound[] = L"Das Gerät kann im ROM-Flash-Modus nicht gefunden werden.";
const wchar_t kBroken[] =
    L"USB-Verbindung unterbrochen! Zum Aktualisieren des ROM-Bilds wiederholen Sie den Vorgang zum "
    L"Aktualisieren des Bildes.";
const std::vector<int> kGroup = {kAcknowledge, kUpdate, kExit, kNotes, kReadme};

class Failures : public DeviceScenario {
 protected:
  void BothImagesAndVersionFile(const std::vector<uint8_t>& os, const std::vector<uint8_t>& boot) {
    folder_.Write(kOsName, os);
    folder_.Write(kBootName, boot);
    work_.Write(L"version.ver", VersionFileText(1, 3));
  }
  bool Idle() const {
    for (int id : kGroup)
      if (!program_->Enabled(id)) return false;
    return true;
  }
  // One "Error" box with the error icon, its text left on the status line.
  void ExpectOneErrorBox(const std::vector<BoxRecord>& shown, const std::wstring& text) const {
    ASSERT_EQ(shown.size(), 1u) << Describe(shown);
    EXPECT_EQ(shown[0].caption, L"Error");
    EXPECT_EQ(shown[0].text, text);
    EXPECT_EQ(shown[0].icon, BoxRecord::Error);
    EXPECT_EQ(program_->Text(kStatus), text);
  }
};

TEST_F(Failures, NoDeviceReturnsToIdleAndUpdateWorksAgain) {
  BothImagesAndVersionFile(OsImage(300007), BootImage(100000));
  StartProgram();
  BoxLog boxes(program_->ProcessId(),
               [&](const BoxRecord&, HWND box) { SaveScreenshot(L"e2e-no-device-box", program_->Window(), {box}); });
  TickAndUpdate();

  // During the long pre-flight the window is served: it answers and it is not marked
  // as hung. Nothing has been sent: Exit stays available (PreflightStages presses it),
  // the rest of the group is busy.
  ASSERT_TRUE(program_->WaitForText(kStatus, L"Die Datei wird heruntergeladen... Bitte warten...", kShortWait));
  for (int i = 0; i < 3; ++i) {
    DWORD_PTR result = 0;
    EXPECT_NE(SendMessageTimeoutW(program_->Window(), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, kShortWait, &result), 0);
    EXPECT_FALSE(IsHungAppWindow(program_->Window()));
    Sleep(1500);
  }
  EXPECT_TRUE(program_->Enabled(kExit));
  EXPECT_FALSE(program_->Enabled(kUpdate));
  EXPECT_FALSE(program_->Enabled(kNotes));

  ASSERT_TRUE(boxes.WaitForBoxes(1, kUpdateWait)) << "no message after the start attempts";
  ASSERT_TRUE(ProgramRun::WaitUntil([&] { return Idle(); }, kShortWait)) << "the window did not return to idle";
  ExpectOneErrorBox(boxes.Boxes(), kNotFound);
  EXPECT_TRUE(program_->Checked(kAcknowledge));
  EXPECT_TRUE(program_->Running());

  // Update can be pressed again and starts a new run.
  ASSERT_TRUE(program_->Click(kUpdate));
  EXPECT_TRUE(program_->WaitForText(kStatus, L"Die Datei wird heruntergeladen... Bitte warten...", kShortWait));
  EXPECT_TRUE(
      ProgramRun::WaitUntil([&] { return !program_->Enabled(kUpdate) && program_->Enabled(kExit); }, kShortWait));
}

TEST_F(Failures, HungVersionQueriesAreOutlasted) {
  BothImagesAndVersionFile(OsImage(300007), BootImage(100000));
  // The first two queries get no answer at all; the others the expected version.
  StartDevice({"--version-sequence", "hang*2,0x0103"});
  StartProgram();
  BoxLog boxes(program_->ProcessId());
  TickAndUpdate();

  ASSERT_TRUE(device_->WaitForEvent("no answer", kShortWait));
  DWORD_PTR result = 0;
  EXPECT_NE(SendMessageTimeoutW(program_->Window(), WM_NULL, 0, 0, SMTO_NORMAL, kShortWait, &result), 0);
  // A query that hangs is still before the first byte: Exit stays available.
  EXPECT_TRUE(program_->Enabled(kExit));

  // The queries that follow are answered: the OS image is flashed.
  ExpectEndsWithZero(kUpdateWait);
  auto shown = boxes.Boxes();
  ASSERT_EQ(shown.size(), 1u) << Describe(shown);
  EXPECT_EQ(shown[0].caption, L"USB Update Success!");
  EXPECT_EQ(shown[0].text, L"Image erfolgreich aktualisiert. r47 wird automatisch neu gestartet.");
}

struct UnplugCase {
  const char* point;  // where the device goes away
  const wchar_t* screenshot;
};

class Unplug : public Failures {
 protected:
  void UnplugAndExpect(const UnplugCase& c) {
    const auto image = OsImage(300007);
    BothImagesAndVersionFile(image, BootImage(100000));
    StartDevice({"--version", "0x0103", "--unplug-at", c.point});
    StartProgram();
    BoxLog boxes(program_->ProcessId(),
                 [&](const BoxRecord&, HWND box) { SaveScreenshot(c.screenshot, program_->Window(), {box}); });
    TickAndUpdate();

    ExpectEndsWithZero(kUpdateWait);
    auto shown = boxes.Boxes();
    ASSERT_EQ(shown.size(), 1u) << Describe(shown);  // and so no success box
    EXPECT_EQ(shown[0].caption, L"Error");
    EXPECT_EQ(shown[0].text, kBroken);
    EXPECT_EQ(shown[0].icon, BoxRecord::Error);
    // "Only Exit usable" stands only for the moment before the program ends, and the
    // controls change one by one: not something to judge from another process.
    auto received = device_->ReceivedStream();
    EXPECT_TRUE(std::equal(received.begin(), received.end(), image.begin()))
        << "the device received bytes that are not the image's";
    EXPECT_TRUE(device_->CommandPacket().empty());
  }
};

TEST_F(Unplug, DuringTheTransfer) {
  UnplugAndExpect({"transfer:100000", L"e2e-unplug-transfer-box"});
  EXPECT_LT(device_->ReceivedStream().size(), 300007u);
}

TEST_F(Unplug, DuringTheFlashMonitor) {
  UnplugAndExpect({"format:40", L"e2e-unplug-monitor-box"});
  EXPECT_EQ(device_->ReceivedStream().size(), 300007u);
}

TEST_F(Failures, DeviceReportsFormatFailure) {
  BothImagesAndVersionFile(OsImage(300007), BootImage(100000));
  StartDevice({"--version", "0x0103", "--format-fail-at", "40", "--fail-text", "Block 12 defekt"});
  StartProgram();
  BoxLog boxes(program_->ProcessId(), [&](const BoxRecord&, HWND box) {
    SaveScreenshot(L"e2e-format-failure-box", program_->Window(), {box});
  });
  TickAndUpdate();

  ExpectEndsWithZero(kUpdateWait);
  auto shown = boxes.Boxes();
  ASSERT_EQ(shown.size(), 1u) << Describe(shown);
  EXPECT_EQ(shown[0].caption, L"FORMAT\u5931\u6557");
  // The report from its first byte (the blank of a format report) to its end.
  EXPECT_EQ(shown[0].text, std::wstring(L" E\x7F Block 12 defekt"));
  EXPECT_EQ(shown[0].icon, BoxRecord::None);
  EXPECT_TRUE(device_->CommandPacket().empty());
}

// An attempt that fails for a reason of its own (a file cannot be mended by waiting)
// is shown once and ends the attempts: the window returns to idle with its message.
class RefusedImage : public Failures {
 protected:
  void ExpectOneMessage(const std::wstring& text, const wchar_t* screenshot) {
    BoxLog boxes(program_->ProcessId(),
                 [&](const BoxRecord&, HWND box) { SaveScreenshot(screenshot, program_->Window(), {box}); });
    TickAndUpdate();

    ASSERT_TRUE(boxes.WaitForBoxes(1, kUpdateWait)) << "no message";
    ASSERT_TRUE(ProgramRun::WaitUntil([&] { return Idle(); }, kShortWait)) << "the window did not return to idle";
    ExpectOneErrorBox(boxes.Boxes(), text);
    EXPECT_TRUE(program_->Running());

    // A retry would still be waiting for its pause when Exit comes, and Exit would cut
    // it short; the log says so, and has every box shown.
    const EndedByExit end = EndWithExit(*program_);
    EXPECT_TRUE(end.ended) << "the program did not end with 0 on Exit";
    EXPECT_FALSE(end.UpdateCutShort()) << Joined(end.log);
    EXPECT_EQ(end.BoxesLogged(), 1u) << Joined(end.log);
    EXPECT_LE(CountOf(device_->Events(), "PIPE01: open"), 1u) << device_->Events();
    EXPECT_TRUE(device_->ReceivedStream().empty());
  }
};

TEST_F(RefusedImage, DamagedBootImageEndsTheAttempts) {
  // Discovery does not read the boot image's header when both exist; the start does.
  BothImagesAndVersionFile(OsImage(300007), MakeImage("B000FF\r", 100000));
  StartDevice({"--version", "0x0102"});
  StartProgram();
  ExpectOneMessage(L"Image-Datei fehlerhaft!", L"e2e-damaged-image-box");
}

TEST_F(RefusedImage, VanishedImageEndsTheAttempts) {
  BothImagesAndVersionFile(OsImage(300007), BootImage(100000));
  StartDevice({"--version", "0x0103"});
  StartProgram();
  // Listed at start, gone by the time the OS image is chosen.
  folder_.Dir().Remove(kOsName);
  ExpectOneMessage(L"Datei Quon_r47PDA.ubi kann nicht gefunden werden!", L"e2e-vanished-image-box");
}

}  // namespace
}  // namespace e2e
