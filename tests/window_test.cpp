// The main window's control group, progress bar and status line, on the real dialog.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <utility>
#include <vector>

#include "app/controls.h"
#include "app/device_watch.h"
#include "app/failure_table.h"
#include "app/taskbar.h"
#include "images/discovery.h"
#include "res/resource.h"
#include "test_support.h"

using namespace testing_support;

namespace {

struct EnabledStates {
  bool ack, update, exit, notes, readme, list;
  bool operator==(const EnabledStates& o) const {
    return ack == o.ack && update == o.update && exit == o.exit && notes == o.notes && readme == o.readme &&
           list == o.list;
  }
};

std::ostream& operator<<(std::ostream& os, const EnabledStates& s) {
  return os << "ack=" << s.ack << " update=" << s.update << " exit=" << s.exit << " notes=" << s.notes
            << " readme=" << s.readme << " list=" << s.list;
}

EnabledStates StatesOf(const TestWindow& w) {
  return {w.Enabled(IDC_ACK),   w.Enabled(IDC_UPDATE), w.Enabled(IDC_EXIT),
          w.Enabled(IDC_NOTES), w.Enabled(IDC_README), w.Enabled(IDC_IMAGE_LIST)};
}

const wchar_t kNoDeviceText[] =
    L"Kein Ger\u00e4t im ROM-Flash-Modus gefunden. Bitte das Ger\u00e4t in den ROM-Flash-Modus bringen (siehe "
    L"Hinweise).";

class WindowWithImages : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Write(kOsImageName, MakeImage("X000FF\n", 64));
    dir_.Write(kBootImageName, MakeImage("B000FF\n", 64));
    window_.reset(new TestWindow(dir_.Path()));
  }
  TempDir dir_;
  std::unique_ptr<TestWindow> window_;
};

TEST_F(WindowWithImages, StartsAsTheTemplateSays) {
  EXPECT_EQ(StatesOf(*window_), (EnabledStates{true, false, true, true, true, false}));
  EXPECT_EQ(IsDlgButtonChecked(window_->hwnd(), IDC_ACK), BST_UNCHECKED);
  EXPECT_FALSE(window_->Enabled(IDC_IMAGE_SIZE));
  // The first look at the bus replaces the template's text at once (no handheld here).
  EXPECT_EQ(window_->Text(IDC_STATUS), kNoDeviceText);
  wchar_t title[64] = {};
  GetWindowTextW(window_->hwnd(), title, 64);
  EXPECT_STREQ(title, L"Quon r47 Flash Tool");
  EXPECT_EQ(window_->ProgressPos(), 0);
  EXPECT_EQ(SendMessageW(window_->Item(IDC_PROGRESS), PBM_GETRANGE, FALSE, 0), 100);
}

// Every phase's controls, as the one function derives them, on the real window; and
// whether Exit, the close box and Escape may end the program then.
TEST_F(WindowWithImages, EachPhaseSetsTheControlsAndTheWayOut) {
  using P = Phase;
  const struct {
    Phase phase;
    EnabledStates controls;
    bool mayEnd;
  } cases[] = {
      {P::Idle, {true, true, true, true, true, false}, true},
      {P::Warning, {false, false, false, false, false, false}, false},
      {P::Starting, {false, false, false, false, false, false}, false},
      {P::Preflight, {false, false, true, false, false, false}, true},
      {P::Connecting, {false, false, false, false, false, false}, false},
      {P::Transfer, {false, false, false, false, false, false}, false},
      {P::Monitor, {false, false, false, false, false, false}, false},
      {P::Broken, {false, false, true, false, false, false}, true},
      // The window goes: the controls stay as the phase before left them.
      {P::Ending, {false, false, true, false, false, false}, false},
  };
  window_->Click(IDC_ACK);
  for (const auto& c : cases) {
    SetPhase(window_->state(), c.phase);
    EXPECT_EQ(StatesOf(*window_), c.controls) << static_cast<int>(c.phase);
    EXPECT_EQ(MayEndNow(c.phase), c.mayEnd) << static_cast<int>(c.phase);
    EXPECT_EQ(IsBusy(c.phase), c.phase != P::Idle) << static_cast<int>(c.phase);
  }
  // Idle with the box unticked: Update follows the box.
  window_->state().ackTicked = false;
  SetPhase(window_->state(), P::Idle);
  EXPECT_EQ(StatesOf(*window_), (EnabledStates{true, false, true, true, true, false}));
  // The pre-flight's waits, from the busy state: Exit alone, and the focus is not put
  // on it (an Enter meant for the busy window must not end the program).
  SetPhase(window_->state(), P::Starting);
  SetFocus(window_->hwnd());
  SetPhase(window_->state(), P::Preflight);
  EXPECT_NE(GetFocus(), window_->Item(IDC_EXIT));
}

TEST_F(WindowWithImages, DisablingTheFocusedControlMovesTheFocus) {
  // The keyboard must stay usable: the focus goes to an enabled window of the
  // program, never nowhere and never stays on the disabled control.
  for (int id : {IDC_NOTES, IDC_EXIT, IDC_ACK}) {
    SetPhase(window_->state(), Phase::Idle);
    SetFocus(window_->Item(id));
    ASSERT_EQ(GetFocus(), window_->Item(id)) << id;
    SetPhase(window_->state(), Phase::Transfer);
    HWND focus = GetFocus();
    ASSERT_NE(focus, nullptr) << id;
    EXPECT_TRUE(IsWindowEnabled(focus)) << id;
    EXPECT_TRUE(focus == window_->hwnd() || IsChild(window_->hwnd(), focus)) << id;
  }
}

TEST_F(WindowWithImages, ProgressBarPositions) {
  struct Case {
    int value;
    bool done;
    int position;  // sent to the bar
    int shown;     // what the bar reports (it clamps to its range)
  } cases[] = {{120, false, 95, 95}, {7, true, 100, 100}, {95, false, 95, 95}, {96, false, 95, 95},
               {0, false, 0, 0},     {50, false, 50, 50}, {-5, false, -5, 0},  {-5, true, 100, 100}};
  for (const Case& c : cases) {
    EXPECT_EQ(ProgressPosition(c.value, c.done), c.position);
    SetProgress(window_->state(), c.value, c.done);
    EXPECT_EQ(window_->ProgressPos(), c.shown) << "value " << c.value << " done " << c.done;
  }
  ResetProgress(window_->state());
  EXPECT_EQ(window_->ProgressPos(), 0);
}

// The text comes from the string table through the wide calls: a narrow step on the
// way would turn the umlaut into another character on another system code page.
TEST_F(WindowWithImages, StatusLineShowsUmlautsIntact) {
  ShowStatus(window_->state(), ProgressStatusText(17));
  EXPECT_EQ(window_->Text(IDC_STATUS), L"L\u00e4dt ROM-Daten herunter: 17 %");
}

// A text the program left on the status line stays while the presence stays; the
// looks go on every two seconds.
TEST_F(WindowWithImages, IdleLookKeepsATextLeftOnTheLineWhileNothingChanges) {
  EXPECT_TRUE(window_->state().watch.running);
  ShowStatus(window_->state(), L"Image-Datei fehlerhaft!");
  LookForDevice(window_->state());
  Pump(2500);
  EXPECT_EQ(window_->Text(IDC_STATUS), L"Image-Datei fehlerhaft!");
}

// When the image discovery refused the images, Update can never be enabled: the line
// belongs to what says why, and nothing looks at the bus.
TEST(WindowWithRefusedImage, IdleLookLeavesTheStatusLineAlone) {
  TempDir dir;
  dir.Write(kOsImageName, MakeImage("X000F\n", 64));  // a damaged header line
  TestWindow window(dir.Path());
  ASSERT_FALSE(window.state().found.updateAllowed);
  EXPECT_FALSE(window.state().watch.running);
  const std::wstring atStart = window.Text(IDC_STATUS);
  LookForDevice(window.state());
  EXPECT_EQ(window.Text(IDC_STATUS), atStart);
}

std::vector<FLASHWINFO> g_flashes;
BOOL WINAPI RecordFlash(PFLASHWINFO info) {
  g_flashes.push_back(*info);
  return TRUE;
}

// The end of a flash flashes the taskbar button unless the window, or a window it
// owns, is in front.
TEST_F(WindowWithImages, TaskbarButtonFlashesOnlyWhileTheWindowIsBehind) {
  HWND main = window_->hwnd();
  HWND owned = CreateWindowExW(0, L"STATIC", L"owned", WS_POPUP, 0, 0, 10, 10, main, nullptr, nullptr, nullptr);
  HWND other = CreateWindowExW(0, L"STATIC", L"other", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  ASSERT_TRUE(owned && other);
  const struct {
    const char* name;
    HWND foreground;
    bool flashes;
  } cases[] = {{"the window", main, false},
               {"a window it owns", owned, false},
               {"another program's window", other, true},
               {"no window", nullptr, true}};
  TaskbarButton& button = window_->state().taskbar;
  button.flash = RecordFlash;
  for (const auto& c : cases) {
    g_flashes.clear();
    FlashTaskbarIfBehind(button, main, c.foreground);
    ASSERT_EQ(g_flashes.size(), c.flashes ? 1u : 0u) << c.name;
    if (!c.flashes) continue;
    EXPECT_EQ(g_flashes[0].hwnd, main) << c.name;
    EXPECT_EQ(g_flashes[0].dwFlags, static_cast<DWORD>(FLASHW_ALL | FLASHW_TIMERNOFG)) << c.name;
    EXPECT_EQ(g_flashes[0].cbSize, sizeof(FLASHWINFO)) << c.name;
  }
  DestroyWindow(owned);
  DestroyWindow(other);
}

TEST(WindowWithoutImages, OperationsChangeNothing) {
  TempDir dir;
  TestWindow window(dir.Path());
  EXPECT_FALSE(ControlsCached(window.state()));
  SetPhase(window.state(), Phase::Transfer);
  EXPECT_EQ(StatesOf(window), (EnabledStates{true, false, true, true, true, false}));
  SetPhase(window.state(), Phase::Broken);
  EXPECT_TRUE(window.Enabled(IDC_NOTES));
  SetProgress(window.state(), 50, false);
  EXPECT_EQ(window.ProgressPos(), 0);
  // The status line is the Update command's too, which names the missing files.
  ShowStatus(window.state(), L"x");
  EXPECT_EQ(window.Text(IDC_STATUS), L"x");
}

// The children in the order the dialog manager tabs through them (and screen
// readers read them): their ids, and the text of each one without an id.
std::vector<std::pair<int, std::wstring>> ChildrenInOrder(HWND dialog) {
  std::vector<std::pair<int, std::wstring>> out;
  for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    wchar_t text[256] = {};
    GetWindowTextW(child, text, 256);
    out.emplace_back(GetDlgCtrlID(child), text);
  }
  return out;
}

TEST_F(WindowWithImages, ReadingOrderWithEachLabelBeforeItsField) {
  const auto children = ChildrenInOrder(window_->hwnd());
  std::vector<int> ids;
  for (const auto& c : children)
    if (c.first != -1 && c.first != 0xFFFF) ids.push_back(c.first);
  EXPECT_EQ(ids, (std::vector<int>{IDC_ACK, IDC_IMAGE_LIST, IDC_IMAGE_SIZE, IDC_PROGRESS, IDC_STATUS, IDC_UPDATE,
                                   IDC_EXIT, IDC_NOTES, IDC_README}));
  const struct {
    int field;
    const wchar_t* label;
  } labelled[] = {{IDC_IMAGE_LIST, L"ROM Image-Dateiname"}, {IDC_IMAGE_SIZE, L"ROM Image-Größe"}};
  for (const auto& l : labelled) {
    auto at = std::find_if(children.begin(), children.end(), [&](const auto& c) { return c.first == l.field; });
    ASSERT_NE(at, children.end());
    ASSERT_NE(at, children.begin());
    EXPECT_EQ(std::prev(at)->second, l.label) << "before field " << l.field;
  }
}

TEST_F(WindowWithImages, EveryButtonAndTheBoxHaveTheirOwnMnemonic) {
  const struct {
    int id;
    const wchar_t* text;
  } controls[] = {{IDC_ACK, L"Ich &verstehe die Hinweise und die readme-Datei."},
                  {IDC_UPDATE, L"&Aktualisieren"},
                  {IDC_EXIT, L"&Beenden"},
                  {IDC_NOTES, L"&Hinweise"},
                  {IDC_README, L"&Readme"}};
  std::wstring letters;
  for (const auto& c : controls) {
    EXPECT_EQ(window_->Text(c.id), c.text);
    const size_t amp = std::wstring(c.text).find(L'&');
    ASSERT_NE(amp, std::wstring::npos);
    letters += static_cast<wchar_t>(towlower(c.text[amp + 1]));
  }
  std::wstring sorted = letters;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << "letters " << Narrow(letters);
}

TEST_F(WindowWithImages, AltWithTheLetterPressesTheControl) {
  // As the keyboard delivers it: Alt+letter reaches the focused control and the
  // program's loop hands it to the dialog manager.
  auto pressAlt = [&](wchar_t letter) {
    PostMessageW(GetFocus() ? GetFocus() : window_->hwnd(), WM_SYSCHAR, letter, 1 << 29);
  };
  SetFocus(window_->Item(IDC_NOTES));
  pressAlt(L'v');
  Pump(50);
  EXPECT_EQ(IsDlgButtonChecked(window_->hwnd(), IDC_ACK), BST_CHECKED);
  EXPECT_TRUE(window_->Enabled(IDC_UPDATE)) << "the acknowledgement rule ran";

  SetFocus(window_->Item(IDC_NOTES));
  pressAlt(L'b');
  EXPECT_TRUE(PumpUntilQuit(2000)) << "Alt+B did not press Beenden";
}

TEST(ExitCommand, PostsQuit) {
  TempDir dir;
  TestWindow window(dir.Path());
  window.Click(IDC_EXIT);
  EXPECT_TRUE(PumpUntilQuit(2000));
}

}  // namespace

namespace {

TEST(ExitCommand, CloseBoxAndEscapeAreRefusedWhileBusy) {
  TempDir dir;
  dir.Write(kOsImageName, MakeImage("X000FF\n", 64));
  TestWindow window(dir.Path());
  SetPhase(window.state(), Phase::Transfer);
  SendMessageW(window.hwnd(), WM_CLOSE, 0, 0);
  SendMessageW(window.hwnd(), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);  // what Escape sends
  EXPECT_FALSE(PumpUntilQuit(300));
  SetPhase(window.state(), Phase::Idle);
  SendMessageW(window.hwnd(), WM_CLOSE, 0, 0);
  EXPECT_TRUE(PumpUntilQuit(2000));
}

}  // namespace

namespace {

// The status line fills the inside of its group box, like the progress bar above it,
// and a text longer than that ends in an ellipsis on its one line.
TEST(StatusLine, FillsItsGroupBoxAndEndsLongTextsWithAnEllipsis) {
  TempDir dir;
  dir.Write(kOsImageName, MakeImage("X000FF\n", 64));
  TestWindow window(dir.Path());
  RECT status{}, progress{};
  GetWindowRect(window.Item(IDC_STATUS), &status);
  GetWindowRect(window.Item(IDC_PROGRESS), &progress);
  EXPECT_EQ(status.left, progress.left);
  EXPECT_EQ(status.right, progress.right);
  const LONG_PTR style = GetWindowLongPtrW(window.Item(IDC_STATUS), GWL_STYLE);
  EXPECT_EQ(style & SS_ELLIPSISMASK, SS_ENDELLIPSIS);
  EXPECT_EQ(style & SS_TYPEMASK, SS_LEFTNOWORDWRAP) << "one line, never wrapped out of sight";
  EXPECT_TRUE(style & SS_NOPREFIX) << "an & in a folder name is shown as it is";
  EXPECT_TRUE(style & WS_VISIBLE);
}

// Width in pixels of `text` in the status line's font.
int TextWidthInStatusLine(HWND status, const std::wstring& text) {
  HDC dc = GetDC(status);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(status, WM_GETFONT, 0, 0)));
  SIZE size{};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
  SelectObject(dc, old);
  ReleaseDC(status, dc);
  return size.cx;
}

// What stays on the status line while the window waits (the refusals at start, and
// the search that found no device) is read whole, without an ellipsis.
TEST(StatusLine, IdleTextsFitWhole) {
  TempDir dir;
  dir.Write(kOsImageName, MakeImage("X000FF\n", 64));
  TestWindow window(dir.Path());
  HWND status = window.Item(IDC_STATUS);
  RECT client{};
  GetClientRect(status, &client);
  std::vector<std::wstring> texts = {LoadText(IDS_DEVICE_NOT_FOUND), LoadText(IDS_DOWNLOADING)};
  for (const wchar_t* name : {kOsImageName, kBootImageName}) {
    for (ImageRefusal reason : {ImageRefusal::TooShort, ImageRefusal::Damaged, ImageRefusal::Unreadable,
                                ImageRefusal::Locked, ImageRefusal::TooLarge}) {
      RefusedImage refused;
      refused.reason = reason;
      refused.name = name;
      refused.size = 6;
      texts.push_back(RefusedImageText(refused));
    }
  }
  for (const std::wstring& text : texts) {
    EXPECT_LE(TextWidthInStatusLine(status, text), client.right) << Narrow(text);
  }
}

}  // namespace
