// The main window's commands other than Update, and the secondary windows.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/connection_warning.h"
#include "app/controls.h"
#include "app/update.h"
#include "images/discovery.h"
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
