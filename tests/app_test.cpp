// The main window's commands other than Update, and the secondary windows.
#include <windows.h>
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "app/connection_warning.h"
#include "app/controls.h"
#include "app/preflight.h"
#include "app/update.h"
#include "images/discovery.h"
#include "recorded_events.h"
#include "res/resource.h"
#include "test_support.h"

using namespace testing_support;

namespace {

void Tick(const TestWindow& w) { w.Click(IDC_ACK); }

TEST(AcknowledgementRule, FollowsTheBoxWhenUpdatesAreAllowed) {
  struct Case {
    const char* osHeader;
    std::vector<bool> updateAfterEachTick;
  } cases[] = {
      {"X000FF\n", {true, false, true}}, {"X000FF\r\n", {false, false, false}},  // refused image: Update stays off
  };
  for (const Case& c : cases) {
    TempDir dir;
    dir.Write(kOsImageName, MakeImage(c.osHeader, 100));
    TestWindow w(dir.Path());
    for (bool expected : c.updateAfterEachTick) {
      Tick(w);
      EXPECT_EQ(w.Enabled(IDC_UPDATE), expected) << c.osHeader;
    }
  }
}

TEST(AcknowledgementRule, AppliesAgainAfterTheGroupWasMadeIdle) {
  TempDir dir;
  dir.Write(kOsImageName, MakeImage("X000FF\n", 100));
  TestWindow w(dir.Path());
  Tick(w);
  SetPhase(w.state(), Phase::Transfer);
  SetPhase(w.state(), Phase::Idle);
  EXPECT_TRUE(w.Enabled(IDC_UPDATE));
  Tick(w);  // unticked
  EXPECT_FALSE(w.Enabled(IDC_UPDATE));
}

struct TitleSearch {
  const wchar_t* title;
  std::vector<HWND> found;
};

// A named callback: on 32-bit Windows it must use the stdcall convention.
BOOL CALLBACK CollectTitled(HWND h, LPARAM p) {
  auto* f = reinterpret_cast<TitleSearch*>(p);
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  wchar_t text[64] = {};
  GetWindowTextW(h, text, 64);
  if (pid == GetCurrentProcessId() && IsWindowVisible(h) && std::wstring(text) == f->title) f->found.push_back(h);
  return TRUE;
}

std::vector<HWND> OwnWindowsTitled(const wchar_t* title) {
  TitleSearch f{title, {}};
  EnumWindows(CollectTitled, reinterpret_cast<LPARAM>(&f));
  return f.found;
}

TEST(NotesDialog, EachPressOpensOneAndEachClosesOnItsOwn) {
  TempDir dir;
  TestWindow w(dir.Path());
  for (int i = 0; i < 3; ++i) w.Click(IDC_NOTES);
  Pump(50);
  std::vector<HWND> notes = OwnWindowsTitled(L"Hinweise");
  ASSERT_EQ(notes.size(), 3u);
  SendMessageW(GetDlgItem(notes[0], IDCANCEL), BM_CLICK, 0, 0);  // its OK button
  SendMessageW(notes[1], WM_CLOSE, 0, 0);                        // its close box
  Pump(50);
  EXPECT_FALSE(IsWindow(notes[0]));
  EXPECT_FALSE(IsWindow(notes[1]));
  EXPECT_TRUE(IsWindow(notes[2]));
  EXPECT_TRUE(IsWindow(w.hwnd()));
  // Exit ends the program at once, also with a Notes dialog open.
  w.Click(IDC_EXIT);
  EXPECT_TRUE(PumpUntilQuit(2000));
}

TEST(ConnectionWarning, ClosingItReturnsToIdleWithItsText) {
  const std::wstring kText =
      L"ActiveSync benutzt weiterhin eine USB-Verbindung.  Schalten Sie sie bitte im Fenster "
      L"Verbindungseinstellungen aus.";
  enum class Way { OkButton, CloseBox, EscapeKey };
  for (Way way : {Way::OkButton, Way::CloseBox, Way::EscapeKey}) {
    SCOPED_TRACE(static_cast<int>(way));
    TempDir dir;
    dir.Write(kOsImageName, MakeImage("X000FF\n", 100));
    TestWindow w(dir.Path());
    Tick(w);  // as for the click on Update that opened it
    SetPhase(w.state(), Phase::Warning);
    OpenConnectionWarning(w.hwnd());
    std::vector<HWND> warnings = OwnWindowsTitled(L"Error");
    ASSERT_EQ(warnings.size(), 1u);
    HWND warning = warnings[0];
    EXPECT_FALSE(w.Enabled(IDC_EXIT));
    switch (way) {
      case Way::OkButton:
        SendMessageW(GetDlgItem(warning, IDOK), BM_CLICK, 0, 0);
        break;
      case Way::CloseBox:
        SendMessageW(warning, WM_CLOSE, 0, 0);
        break;
      case Way::EscapeKey:
        // The key as the user presses it: the loop hands it to the dialog manager.
        PostMessageW(GetDlgItem(warning, IDOK), WM_KEYDOWN, VK_ESCAPE, 1);
        PostMessageW(GetDlgItem(warning, IDOK), WM_KEYUP, VK_ESCAPE, 0xC0000001);
        break;
    }
    Pump(20);
    EXPECT_FALSE(IsWindow(warning));
    EXPECT_EQ(w.Text(IDC_STATUS), kText);
    EXPECT_TRUE(w.Enabled(IDC_EXIT) && w.Enabled(IDC_UPDATE) && w.Enabled(IDC_NOTES) && w.Enabled(IDC_README) &&
                w.Enabled(IDC_ACK));
  }
}

TEST(Readme, MissingFileIsReported) {
  // Also from a folder too deep for the classic path limit.
  for (size_t depth : {0u, 400u}) {
    TempDir dir;
    std::wstring folder = depth ? dir.MakeDeepFolder(depth) : dir.Path();
    TestWindow w(folder);
    BoxWatcher boxes;
    w.Click(IDC_README);
    ASSERT_TRUE(boxes.WaitForBoxes(1, 5000));
    BoxRecord box = boxes.Boxes()[0];
    EXPECT_EQ(box.text, L"Datei readme.txt kann nicht gefunden werden.");
    EXPECT_EQ(box.caption, L"Error");
    EXPECT_EQ(box.icon, BoxRecord::Error);
  }
}

class SyncConnection : public ::testing::Test {
 protected:
  static constexpr const wchar_t* kKey = L"Software\\Microsoft\\Windows CE Services";
  void TearDown() override { RegDeleteKeyW(HKEY_CURRENT_USER, kKey); }
};

// Only a number the service keeps USB with claims the connection. The value as other
// programs may have written it: only its bytes count, as far as they fit the four of a
// number; a text "8" is the character, not the number.
TEST_F(SyncConnection, ClaimsUsbOnlyForItsFourValues) {
  struct Case {
    std::string name;
    const wchar_t* valueName;  // nullptr: no key at all
    DWORD type;
    std::vector<BYTE> bytes;
    bool free;  // false: the service claims the USB connection
  };
  std::vector<Case> cases = {
      {"no key", nullptr, REG_DWORD, {}, true},
      {"no value", L"Other", REG_DWORD, {8, 0, 0, 0}, true},
      {"REG_BINARY of 8 bytes", L"ConnectTypesAllowed", REG_BINARY, {8, 0, 0, 0, 0, 0, 0, 0}, true},
      {"REG_SZ \"8\"", L"ConnectTypesAllowed", REG_SZ, {'8', 0}, true},
      {"REG_SZ L\"8\"", L"ConnectTypesAllowed", REG_SZ, {'8', 0, 0, 0}, true},
      {"REG_BINARY 08 00 00 00", L"ConnectTypesAllowed", REG_BINARY, {8, 0, 0, 0}, false},
      {"REG_BINARY 08", L"ConnectTypesAllowed", REG_BINARY, {8}, false},
      {"REG_QWORD 8", L"ConnectTypesAllowed", REG_QWORD, {8, 0, 0, 0, 0, 0, 0, 0}, true},
  };
  const struct {
    BYTE value;
    bool free;
  } numbers[] = {{0, true},   {8, false}, {9, true},   {10, false}, {11, true},
                 {12, false}, {13, true}, {14, false}, {15, true},  {16, true}};
  for (const auto& n : numbers) {
    cases.push_back(
        {"REG_DWORD " + std::to_string(n.value), L"ConnectTypesAllowed", REG_DWORD, {n.value, 0, 0, 0}, n.free});
  }
  for (const Case& c : cases) {
    RegDeleteKeyW(HKEY_CURRENT_USER, kKey);
    if (c.valueName) {
      HKEY key;
      ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr), 0);
      RegSetValueExW(key, c.valueName, 0, c.type, c.bytes.data(), static_cast<DWORD>(c.bytes.size()));
      RegCloseKey(key);
    }
    EXPECT_EQ(CheckSyncConnection(), c.free) << c.name;
  }
}

}  // namespace

namespace {

// The pre-flight's reports, in order, as text.
class RecordedPreflight : public PreflightEvents {
 public:
  explicit RecordedPreflight(std::function<void(const std::string&)> onReport = nullptr)
      : onReport_(std::move(onReport)) {}
  void Waiting() override { Add("waiting"); }
  void VersionQuery(int query, int queries) override {
    Add("query " + std::to_string(query) + "/" + std::to_string(queries));
  }
  void ImageChosen(int index, uint16_t deviceVersion) override {
    Add("chosen " + std::to_string(index) + " for " + std::to_string(deviceVersion));
  }
  void ImageVerified() override { Add("verified"); }
  void StartAttempt(int attempt, int attempts) override {
    Add("attempt " + std::to_string(attempt) + "/" + std::to_string(attempts));
  }
  void AttemptFailed() override { Add("no device"); }
  void Refused(Refusal refusal) override { Add("refused " + std::to_string(static_cast<int>(refusal))); }
  void PreflightEnded(bool started) override { Add(started ? "ended: started" : "ended"); }
  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
  }

 private:
  void Add(const std::string& line) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      log_.push_back(line);
    }
    if (onReport_) onReport_(line);
  }
  std::function<void(const std::string&)> onReport_;
  std::mutex mutex_;
  std::vector<std::string> log_;
};

PreflightJob QuickJob(const TempDir& dir, std::shared_ptr<RecordedPreflight> events) {
  PreflightJob job;
  job.programDirectory = dir.Path();
  job.versionFile = {1, 3, false};
  job.timing = {0, 0};
  job.preflightEvents = std::move(events);
  job.flashEvents = std::make_shared<testing_support::RecordedEvents>();
  job.control = std::make_shared<PreflightControl>();
  return job;
}

// With no handheld the pre-flight asks ten times, reads and checks the chosen image,
// tries ten starts and says the device was not found: in this order, and each start
// attempt is announced before the data pipe opens.
TEST(Preflight, WithoutADeviceReportsEachStepInOrder) {
  TempDir dir;
  dir.Write(kOsImageName, MakeImage("X000FF\n", 100));
  dir.Write(kBootImageName, MakeImage("B000FF\n", 100));
  auto events = std::make_shared<RecordedPreflight>();
  RunPreflight(QuickJob(dir, events));
  std::vector<std::string> expected = {"waiting"};
  for (int i = 1; i <= 10; ++i) expected.push_back("query " + std::to_string(i) + "/10");
  expected.push_back("chosen 0 for 0");  // no answer: the boot loader is written
  expected.push_back("verified");
  for (int i = 1; i <= 10; ++i) {
    expected.push_back("attempt " + std::to_string(i) + "/10");
    expected.push_back("no device");
  }
  expected.push_back("refused " + std::to_string(static_cast<int>(PreflightEvents::Refusal::DeviceNotFound)));
  expected.push_back("ended");
  EXPECT_EQ(events->Log(), expected);
}

// A stop ends the pre-flight at once, whichever step it comes in, and no start
// attempt follows it; a damaged image ends it before any attempt.
TEST(Preflight, AStopOrADamagedImageEndsItBeforeAnyAttempt) {
  struct Case {
    const char* name;
    const char* bootHeader;
    std::string stopAfter;  // "": never stopped
    std::string lastBeforeEnd;
  } cases[] = {
      {"stopped in the queries", "B000FF\n", "query 3/10", "query 3/10"},
      {"stopped after the check", "B000FF\n", "verified", "verified"},
      {"damaged boot image", "B000FF\r", "", "chosen 0 for 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    dir.Write(kOsImageName, MakeImage("X000FF\n", 100));
    dir.Write(kBootImageName, MakeImage(c.bootHeader, 100));
    std::shared_ptr<PreflightControl> control;
    auto events = std::make_shared<RecordedPreflight>([&](const std::string& line) {
      if (line == c.stopAfter) EXPECT_TRUE(control->Stop());
    });
    PreflightJob job = QuickJob(dir, events);
    control = job.control;
    RunPreflight(job);
    const std::vector<std::string> log = events->Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], c.lastBeforeEnd);
    EXPECT_EQ(log.back(), "ended");
    for (const std::string& line : log) EXPECT_EQ(line.rfind("attempt", 0), std::string::npos) << line;
  }
}

// Exit and an opening data pipe never both win: once an attempt committed, a stop is
// refused until the attempt gave the way back.
TEST(Preflight, StopAndCommitExcludeEachOther) {
  PreflightControl control;
  ASSERT_TRUE(control.Valid());
  EXPECT_TRUE(control.Commit());
  EXPECT_FALSE(control.Stop());
  control.Uncommit();
  EXPECT_TRUE(control.Stop());
  EXPECT_TRUE(control.Stopped());
  EXPECT_FALSE(control.Commit());
  EXPECT_EQ(WaitForSingleObject(control.StopEvent(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
}

}  // namespace
