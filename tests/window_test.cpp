// The main window's control group, progress bar and status line, on the real dialog.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <iterator>
#include <utility>
#include <vector>

#include "app/controls.h"
#include "app/device_watch.h"
#include "app/failure_table.h"
#include "app/pictures.h"
#include "app/status_texts.h"
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

const wchar_t kNoDeviceText[] = L"Kein Ger\u00e4t im ROM-Flash-Modus gefunden (siehe Hinweise, Schritte 4 bis 7).";

// Started from the images' folder, with a good version.ver: nothing is missing.
class WindowWithImages : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Write(kOsImageName, MakeImage("X000FF\n", 64));
    dir_.Write(kBootImageName, MakeImage("B000FF\n", 64));
    dir_.Write(L"version.ver", std::string("[Version]\r\nEbootHigh=1\r\nEbootLow=3\r\nMustUpdateEboot=0\r\n"));
    wchar_t previous[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    previousDirectory_ = previous;
    SetCurrentDirectoryW(dir_.Path().c_str());
    window_.reset(new TestWindow(dir_.Path()));
  }
  void TearDown() override {
    window_.reset();
    SetCurrentDirectoryW(previousDirectory_.c_str());
  }
  TempDir dir_;
  std::wstring previousDirectory_;
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
  // Before any click the line says what is missing (through the window: no control
  // handle was looked up).
  const std::wstring atStart = window.Text(IDC_STATUS);
  EXPECT_EQ(atStart, L"Quon_r47Boot.ubi und Quon_r47PDA.ubi fehlen im Ordner von r47flash.exe.");
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

// Width in pixels of `text` in the status line's own font, on the control's DC.
int TextWidthInStatusLine(HWND status, const std::wstring& text) {
  HDC dc = GetDC(status);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(status, WM_GETFONT, 0, 0)));
  SIZE size{};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
  SelectObject(dc, old);
  ReleaseDC(status, dc);
  return size.cx;
}

// The longest fill-ins the program gives the status line's texts: a start folder of
// 60 characters, versions of 255.255, 10 of 10 tries, 100 %, the longer image name
// (both are tried; the wider counts) and its checksum file.
const wchar_t kLongFolder[] = L"C:\\Dokumente und Einstellungen\\Administrator\\Desktop\\r47 ROM";
static_assert(sizeof(kLongFolder) / sizeof(wchar_t) - 1 == 60, "a folder of 60 characters");

// A failure as the status line shows it: its box's first line.
std::wstring FailureLine(FlashFailure::Kind kind, const wchar_t* image) {
  FlashFailure f;
  f.kind = kind;
  f.imageName = image;
  f.checksumFile = std::wstring(image) + L".sha256";
  f.expectedSha256 = f.actualSha256 = std::string(64, 'f');
  f.systemError = ERROR_CRC;
  const std::wstring text = ViewOf(f).text;
  return text.substr(0, text.find(L'\n'));
}

std::wstring RefusalLine(ImageRefusal reason, const wchar_t* image) {
  RefusedImage refused;
  refused.reason = reason;
  refused.name = image;
  refused.size = 6;  // a file shorter than the header line's 7 bytes
  return RefusedImageText(refused);
}

struct StatusText {
  std::string what;  // its string-table id and its fill-ins
  std::wstring text;
};

// Every text that reaches the status line, each with its longest fill-in.
std::vector<StatusText> StatusLineTexts(HWND status) {
  using K = FlashFailure::Kind;
  auto wider = [status](const std::function<std::wstring(const wchar_t*)>& make) {
    const std::wstring boot = make(kBootImageName), os = make(kOsImageName);
    return TextWidthInStatusLine(status, boot) >= TextWidthInStatusLine(status, os) ? boot : os;
  };
  auto failure = [&](K kind) { return wider([kind](const wchar_t* name) { return FailureLine(kind, name); }); };
  auto refusal = [&](ImageRefusal reason) {
    return wider([reason](const wchar_t* name) { return RefusalLine(reason, name); });
  };
  auto chosen = [&](uint16_t device) {
    return wider([device](const wchar_t* name) { return ImageChosenText(device, 255, 255, name); });
  };
  const int tenOfTen[] = {10, 10};
  return {
      {"template", L"ROM Image-Aktualisierungsprozessstatus"},
      {"180", LoadText(IDS_IDLE_DEVICE)},
      {"181", LoadText(IDS_IDLE_NO_DEVICE)},
      {"182", LoadText(IDS_IDLE_SEVERAL_DEVICES)},
      {"269", LoadText(IDS_IDLE_DEVICE_STEP2)},
      {"270", LoadText(IDS_IDLE_NO_DEVICE_STEP2)},
      {"183 image", MissingFilesLine(kOsImageOnly, VersionFileState::Read, L"")},
      {"184 both images", MissingFilesLine(kNoImage, VersionFileState::Missing, L"")},
      {"185 folder", MissingFilesLine(kBothImages, VersionFileState::Missing, kLongFolder)},
      {"186 folder", MissingFilesLine(kBothImages, VersionFileState::Incomplete, kLongFolder)},
      {"116", LoadText(IDS_DOWNLOADING)},
      {"190 10 of 10", FormatText(LoadText(IDS_STAGE_VERSION_QUERY), nullptr, 0, tenOfTen, 2)},
      {"191 255.255, 255.255, image", chosen(0xFFFF)},
      {"192 255.255, image", chosen(0)},
      {"271 255.255, 255.255, image",
       wider([](const wchar_t* name) { return ImageChosenText(0xFFFF, 255, 255, name, true); })},
      {"193 10 of 10", FormatText(LoadText(IDS_STAGE_ATTEMPT), nullptr, 0, tenOfTen, 2)},
      {"112", LoadText(IDS_SYNC_CLAIMS_USB)},
      {"114", LoadText(IDS_DEVICE_NOT_FOUND)},
      {"170", LoadText(IDS_SEVERAL_DEVICES)},
      {"171", LoadText(IDS_DEVICE_BUSY)},
      {"115 100 %", ProgressStatusText(100)},
      {"117", FinishedStatusText()},
      {"122 image", failure(K::ImageMissing)},
      {"204 image", failure(K::ImageLocked)},
      {"205 image", failure(K::ImageUnreadable)},
      {"123", failure(K::ImageDamaged)},
      {"152 image", failure(K::ImageTooLarge)},
      {"153 image", failure(K::ImageNoMemory)},
      {"150", failure(K::WorkerNotStarted)},
      {"136", failure(K::ConnectionBroken)},
      {"172 image, image.sha256", failure(K::ChecksumMismatch)},
      {"173 image.sha256, image", failure(K::ChecksumUnreadable)},
      {"200 image, 6 bytes", refusal(ImageRefusal::TooShort)},
      {"201 image", refusal(ImageRefusal::Damaged)},
      {"202 image", refusal(ImageRefusal::Unreadable)},
      {"203 image", refusal(ImageRefusal::Locked)},
      {"152 image, at start", refusal(ImageRefusal::TooLarge)},
  };
}

// The texts of the task that stay as they are written there, too long for the line:
// the status line's tip shows them whole.
bool WithTip(const std::string& what) { return what == "112" || what == "136"; }

// The environment variable that tells a second run of this program which DPI it was
// started at, and where its table goes.
const wchar_t kFitDpiVariable[] = L"R47_FIT_DPI";

// Every text that reaches the status line fits it whole, without "…", in the line's
// own font at the DPI this program was started at (96 in the test prefix; 144 when
// StatusLine.EveryTextFitsAt144Dpi starts it again). The table is printed.
TEST(StatusLine, EveryTextFitsAtThisDpi) {
  TempDir dir;
  dir.Write(kOsImageName, MakeImage("X000FF\n", 64));
  TestWindow window(dir.Path());
  HWND status = window.Item(IDC_STATUS);
  wchar_t expected[16] = {};
  const UINT dpi = GetEnvironmentVariableW(kFitDpiVariable, expected, 16) ? _wtoi(expected) : 96;
  ASSERT_EQ(WindowDpi(window.hwnd()), dpi) << "the window is not at the scale to measure";
  RECT client{};
  GetClientRect(status, &client);
  std::printf("status line at %u DPI: %ld pixels\n", dpi, client.right);
  for (const StatusText& t : StatusLineTexts(status)) {
    const int width = TextWidthInStatusLine(status, t.text);
    const bool fits = width <= client.right;
    std::printf("%5d %-6s %-28s %s\n", width, fits ? "fits" : (WithTip(t.what) ? "tip" : "CUT"), t.what.c_str(),
                Narrow(t.text).c_str());
    if (!WithTip(t.what)) EXPECT_TRUE(fits) << t.what << " is cut at " << dpi << " DPI: " << Narrow(t.text);
  }
}

// The same at 150 %: a second run of this program, started with the prefix at 144 DPI
// (a Wine program reads the DPI once, as it starts).
TEST(StatusLine, EveryTextFitsAt144Dpi) {
  const wchar_t kDesktop[] = L"Control Panel\\Desktop";
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kDesktop, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  DWORD previous = 0, size = sizeof(previous);
  const bool hadValue =
      RegQueryValueExW(key, L"LogPixels", nullptr, nullptr, reinterpret_cast<BYTE*>(&previous), &size) == ERROR_SUCCESS;
  const DWORD dpi = 144;
  RegSetValueExW(key, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi), sizeof(dpi));

  TempDir out;
  const std::wstring table = out.File(L"table.txt");
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE file = CreateFileW(table.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(self) + L"\" --gtest_filter=StatusLine.EveryTextFitsAtThisDpi";
  SetEnvironmentVariableW(kFitDpiVariable, L"144");
  STARTUPINFOW start{};
  start.cb = sizeof(start);
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdOutput = start.hStdError = file;
  PROCESS_INFORMATION process{};
  const bool started =
      CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &process) != FALSE;
  SetEnvironmentVariableW(kFitDpiVariable, nullptr);
  CloseHandle(file);
  DWORD exitCode = 1;
  if (started) {
    // Only a hang is caught here; the run takes about a second.
    if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 1);
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }
  if (hadValue && previous != dpi) {
    RegSetValueExW(key, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&previous), sizeof(previous));
  } else {
    RegDeleteValueW(key, L"LogPixels");
  }
  RegCloseKey(key);

  ASSERT_TRUE(started) << "error " << GetLastError();
  const std::vector<uint8_t> bytes = ReadFileBytes(table);
  const std::string output(bytes.begin(), bytes.end());
  std::printf("%s", output.c_str());
  EXPECT_EQ(exitCode, 0u) << "a text is cut at 144 DPI (see its run above)";
}

// A text that the line cuts is shown whole in the line's tip; one that fits has none.
TEST_F(WindowWithImages, TipShowsACutTextWhole) {
  HWND status = window_->Item(IDC_STATUS);
  auto tip = [&] {
    NMTTDISPINFOW info{};
    info.hdr.hwndFrom = nullptr;
    info.hdr.idFrom = reinterpret_cast<UINT_PTR>(status);
    info.hdr.code = TTN_GETDISPINFOW;
    info.uFlags = TTF_IDISHWND;
    SendMessageW(window_->hwnd(), WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&info));
    return std::wstring(info.lpszText ? info.lpszText : L"");
  };
  const std::wstring cut = LoadText(IDS_USB_BROKEN), whole = LoadText(IDS_DEVICE_NOT_FOUND);
  ShowStatus(window_->state(), cut);
  EXPECT_EQ(tip(), cut);
  ShowStatus(window_->state(), whole);
  EXPECT_EQ(tip(), L"");
  EXPECT_TRUE(GetWindowLongPtrW(status, GWL_STYLE) & SS_NOTIFY) << "the line must see the mouse for its tip";
}

}  // namespace
