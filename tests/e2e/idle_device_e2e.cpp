// The idle window's status line says whether a handheld in ROM flash mode is
// connected, follows plug-in and unplug, and leaves a failure text of a run standing
// until the presence changes.
#include <iostream>

#include "device_scenario.h"

namespace e2e {
namespace {

const wchar_t kDevice[] = L"Gerät im ROM-Flash-Modus verbunden.";
const wchar_t kNoDevice[] = L"Kein Gerät im ROM-Flash-Modus gefunden (siehe Hinweise, Schritte 4 bis 7).";
const wchar_t kSeveralDevices[] = L"Mehrere Geräte im ROM-Flash-Modus verbunden. Trennen Sie alle bis auf eines.";
const wchar_t kNotFound[] = L"Das Gerät kann im ROM-Flash-Modus nicht gefunden werden.";
const wchar_t kBusy[] = L"Das Gerät ist noch beschäftigt. Bringen Sie es neu in den ROM-Flash-Modus.";

// Longer than two looks at the bus: a text that is still there was looked over.
constexpr DWORD kTwoLooks = 5000;

class IdleDevice : public DeviceScenario {
 protected:
  void SetUp() override {
    folder_.Write(kOsName, OsImage(4096));
    folder_.Write(kBootName, BootImage(4096));
    work_.Write(L"version.ver", VersionFileText(1, 3));
  }
  // Waits for the status line to show `text` after a change on the bus, and notes how
  // long it took (for the record: the look runs every two seconds).
  void ExpectStatusAfterChange(const wchar_t* text, const char* change) {
    const DWORD start = GetTickCount();
    EXPECT_TRUE(program_->WaitForText(kStatus, text, kShortWait))
        << change << ": the status line shows \"" << Narrow(program_->Text(kStatus)) << "\"";
    std::cout << change << ": the status line followed after " << GetTickCount() - start << " ms" << std::endl;
  }
};

TEST_F(IdleDevice, StatusLineFollowsPlugInAndUnplug) {
  StartProgram();
  ASSERT_FALSE(HasFatalFailure());
  // The first look is made as the window opens: the template's text is gone at once.
  EXPECT_EQ(program_->Text(kStatus), kNoDevice);

  StartDevice({"--version", "0x0103"});
  ASSERT_FALSE(HasFatalFailure());
  ExpectStatusAfterChange(kDevice, "plugged in");
  program_->Settle();
  SaveScreenshot(L"e2e-idle-device-connected", program_->Window());

  auto second = simctl::SimDevice::Start({"--version", "0x0103"});
  ASSERT_TRUE(second) << simctl::LastError();
  ExpectStatusAfterChange(kSeveralDevices, "a second one plugged in");
  second->Unplug();
  ExpectStatusAfterChange(kDevice, "the second one unplugged");

  device_->Unplug();
  ExpectStatusAfterChange(kNoDevice, "unplugged");
  device_->Plug();
  ExpectStatusAfterChange(kDevice, "plugged in again");

  // Looking opens the device interface and closes it again, never a pipe.
  for (const simctl::SimDevice* d : {device_.get(), second.get()}) {
    const std::string events = d->Events();
    EXPECT_GT(CountOf(events, "interface: open"), 0u) << events;
    EXPECT_EQ(events.find("PIPE0"), std::string::npos) << events;
  }
  second->Stop();
  ASSERT_TRUE(program_->Click(kExit));
  ExpectEndsWithZero();
}

// The text a run leaves on the line stays over the looks that follow, until a handheld
// is plugged in or unplugged.
TEST_F(IdleDevice, FailureTextStaysUntilThePresenceChanges) {
  const struct {
    const char* name;
    bool deviceAtStart;  // a handheld that answers "still busy", or none at all
    const wchar_t* failure;
    const wchar_t* afterChange;
  } cases[] = {
      {"busy handheld, then unplugged", true, kBusy, kNoDevice},
      {"no handheld, then one plugged in", false, kNotFound, kDevice},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    program_.reset();
    if (device_) device_->Stop();
    device_.reset();
    if (c.deviceAtStart) StartDevice({"--version-sequence", "busy"});
    StartProgram();
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(program_->Text(kStatus), c.deviceAtStart ? kDevice : kNoDevice);

    BoxLog boxes(program_->ProcessId());
    TickAndUpdate();
    ASSERT_TRUE(ProgramRun::WaitUntil(
        [&] { return !boxes.Boxes().empty() && program_->Enabled(kUpdate) && program_->Enabled(kNotes); }, kUpdateWait))
        << "the run did not end idle: " << Describe(boxes.Boxes());
    EXPECT_EQ(boxes.Boxes()[0].text, c.failure);
    EXPECT_EQ(program_->Text(kStatus), c.failure);
    if (c.deviceAtStart) {
      // The handheld records each look as an opening of its interface; the run's own
      // openings are over once its box came.
      const size_t before = CountOf(device_->Events(), "interface: open");
      EXPECT_TRUE(ProgramRun::WaitUntil([&] { return CountOf(device_->Events(), "interface: open") >= before + 2; },
                                        kShortWait))
          << "no two looks at the bus after the run";
    } else {
      Sleep(kTwoLooks);  // with no handheld a look leaves no record anywhere
    }
    EXPECT_EQ(program_->Text(kStatus), c.failure) << "a look at the bus overwrote the run's text";

    if (c.deviceAtStart) {
      device_->Unplug();
    } else {
      StartDevice({"--version", "0x0103"});
      ASSERT_FALSE(HasFatalFailure());
    }
    ExpectStatusAfterChange(c.afterChange, "after the run");
    const EndedByExit end = EndWithExit(*program_);
    EXPECT_TRUE(end.ended) << "the program did not end with 0 on Exit";
    // Every status line is in the log: none came between the run's text and the change.
    const std::vector<std::wstring> status = end.StatusLines();
    ASSERT_GE(status.size(), 2u) << Joined(end.log);
    EXPECT_EQ(status[status.size() - 2], LoggedStatus(c.failure)) << Joined(end.log);
    EXPECT_EQ(status.back(), LoggedStatus(c.afterChange)) << Joined(end.log);
  }
}

// Started from a folder without version.ver: the line names it and that folder before
// any click, and turns to the handheld once the file is put there, without a restart.
TEST_F(IdleDevice, MissingVersionFileIsNamedUntilItIsThere) {
  work_.Remove(L"version.ver");
  StartProgram();
  ASSERT_FALSE(HasFatalFailure());
  std::wstring folder = work_.Path();
  folder.pop_back();
  const std::wstring missing = L"version.ver fehlt in " + folder;
  EXPECT_EQ(program_->Text(kStatus), missing);
  Sleep(kTwoLooks);
  EXPECT_EQ(program_->Text(kStatus), missing) << "a look at the bus replaced what is missing";
  work_.Write(L"version.ver", VersionFileText(1, 3));
  ExpectStatusAfterChange(kNoDevice, "version.ver put in place");
  ASSERT_TRUE(program_->Click(kExit));
  ExpectEndsWithZero();
}

}  // namespace
}  // namespace e2e
