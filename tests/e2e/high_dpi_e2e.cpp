// The program on a screen scaled to 150 % (144 DPI): its pictures grow with the text.
// The prefix's DPI is read by each Wine process as it starts, so the scenario sets it
// for the program it starts and puts it back afterwards; it runs alone.
#include "res/resource.h"
#include "scenario.h"

namespace e2e {
namespace {

const wchar_t kDesktopKey[] = L"Control Panel\\Desktop";
const wchar_t kLogPixels[] = L"LogPixels";

class HighDpi : public Scenario {
 protected:
  void SetUp() override {
    HKEY key = nullptr;
    ASSERT_EQ(
        RegCreateKeyExW(HKEY_CURRENT_USER, kDesktopKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    DWORD size = sizeof(previous_);
    hadValue_ = RegQueryValueExW(key, kLogPixels, nullptr, nullptr, reinterpret_cast<BYTE*>(&previous_), &size) ==
                ERROR_SUCCESS;
    RegCloseKey(key);
    UseDpi(144);
  }
  // For the programs started from now on.
  void UseDpi(DWORD dpi) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kDesktopKey, 0, KEY_WRITE, &key), ERROR_SUCCESS);
    RegSetValueExW(key, kLogPixels, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi), sizeof(dpi));
    RegCloseKey(key);
  }
  void TearDown() override {
    program_.reset();
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kDesktopKey, 0, KEY_WRITE, &key) != ERROR_SUCCESS) return;
    // 144 or 192 found before the start can only be left over from an interrupted run.
    if (hadValue_ && previous_ != 144 && previous_ != 192) {
      RegSetValueExW(key, kLogPixels, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&previous_), sizeof(previous_));
    } else {
      RegDeleteValueW(key, kLogPixels);
    }
    RegCloseKey(key);
  }
  DWORD previous_ = 96;
  bool hadValue_ = false;
};

// A dialog's picture control, found from outside by its style.
HWND PictureControl(HWND dialog) {
  for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if ((GetWindowLongPtrW(child, GWL_STYLE) & SS_TYPEMASK) == SS_BITMAP) return child;
  }
  return nullptr;
}

struct Pixels {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;
  const uint8_t* At(int x, int y) const { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
};

// A picture of this program's own resources (the test carries the same ones).
Pixels BitmapPixels(UINT id) {
  Pixels p;
  HBITMAP bitmap = static_cast<HBITMAP>(
      LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  BITMAP info{};
  if (!bitmap || !GetObjectW(bitmap, sizeof(info), &info)) return p;
  p.width = info.bmWidth;
  p.height = info.bmHeight;
  BITMAPINFO want{};
  want.bmiHeader.biSize = sizeof(want.bmiHeader);
  want.bmiHeader.biWidth = p.width;
  want.bmiHeader.biHeight = -p.height;
  want.bmiHeader.biPlanes = 1;
  want.bmiHeader.biBitCount = 24;
  want.bmiHeader.biCompression = BI_RGB;
  const size_t stride = (static_cast<size_t>(p.width) * 3 + 3) & ~size_t{3};
  std::vector<uint8_t> bgr(stride * p.height);
  HDC screen = GetDC(nullptr);
  GetDIBits(screen, bitmap, 0, p.height, bgr.data(), &want, DIB_RGB_COLORS);
  ReleaseDC(nullptr, screen);
  DeleteObject(bitmap);
  p.rgb.resize(static_cast<size_t>(p.width) * p.height * 3);
  for (int y = 0; y < p.height; ++y)
    for (int x = 0; x < p.width; ++x)
      for (int c = 0; c < 3; ++c)
        p.rgb[(static_cast<size_t>(y) * p.width + x) * 3 + c] = bgr[y * stride + x * 3 + 2 - c];
  return p;
}

// Whether the middle of what the control shows is the middle of `picture`, as a
// control that centres its bitmap shows it (give or take a pixel of rounding).
bool ShowsPicture(HWND control, const Pixels& picture) {
  RECT client{};
  GetClientRect(control, &client);
  POINT origin{0, 0};
  ClientToScreen(control, &origin);
  OffsetRect(&client, origin.x, origin.y);
  Pixels shown;
  shown.width = client.right - client.left;
  shown.height = client.bottom - client.top;
  shown.rgb = CaptureScreenArea(client);
  if (shown.rgb.empty() || picture.rgb.empty()) return false;
  const int patchW = std::min({120, shown.width - 8, picture.width}),
            patchH = std::min({90, shown.height - 8, picture.height});
  const int sx = (shown.width - patchW) / 2, sy = (shown.height - patchH) / 2;
  const int px = (picture.width - patchW) / 2, py = (picture.height - patchH) / 2;
  for (int dy = -2; dy <= 2; ++dy) {
    for (int dx = -2; dx <= 2; ++dx) {
      int differing = 0;
      for (int y = 0; y < patchH; ++y) {
        for (int x = 0; x < patchW; ++x) {
          const int bx = px + x + dx, by = py + y + dy;
          if (bx < 0 || by < 0 || bx >= picture.width || by >= picture.height) {
            ++differing;
            continue;
          }
          const uint8_t* a = shown.At(sx + x, sy + y);
          const uint8_t* b = picture.At(bx, by);
          for (int c = 0; c < 3; ++c) {
            if (std::abs(a[c] - b[c]) > 8) {
              ++differing;
              break;
            }
          }
        }
      }
      if (differing * 50 < patchW * patchH) return true;  // under 2 % of the patch
    }
  }
  return false;
}

TEST_F(HighDpi, PicturesDrawnFor150PercentAreShown) {
  folder_.Write(kOsName, OsImage(4096));
  folder_.Write(kBootName, BootImage(4096));
  work_.Write(L"version.ver", VersionFileText(1, 3));
  StartProgram();
  program_->Settle();
  SaveScreenshot(L"main-window-144dpi", program_->Window());
  HWND banner = PictureControl(program_->Window());
  ASSERT_TRUE(banner);
  EXPECT_TRUE(ShowsPicture(banner, BitmapPixels(IDB_BANNER_150))) << "the main window's picture is not the 150 % one";
  EXPECT_FALSE(ShowsPicture(banner, BitmapPixels(IDB_BANNER))) << "the main window still shows its 100 % picture";

  ASSERT_TRUE(program_->Click(kNotes));
  HWND notes = nullptr;
  ASSERT_TRUE(
      ProgramRun::WaitUntil([&] { return (notes = program_->FindDialog(L"Hinweise")) != nullptr; }, kShortWait));
  program_->Settle();
  SaveScreenshot(L"notes-dialog-144dpi", notes);
  HWND notesPicture = PictureControl(notes);
  ASSERT_TRUE(notesPicture);
  EXPECT_TRUE(ShowsPicture(notesPicture, BitmapPixels(IDB_NOTES_150)));

  PostMessageW(notes, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  ASSERT_TRUE(program_->Click(kExit));
  ExpectEndsWithZero();
}

// The status line at 100 % and 200 %: it spans the group box like the progress bar,
// a text that fits is shown whole, and a longer one ends in an ellipsis on its one
// line. The pictures (build/.../screenshots/status-*.png) show the longest texts.
TEST_F(HighDpi, StatusLineSpansItsGroupBoxAtEveryScale) {
  const wchar_t* const longest[][2] = {
      {L"not-found", L"Das Gerät kann im ROM-Flash-Modus nicht gefunden werden."},
      {L"version-file-folder",
       L"version.ver fehlt in C:\\Dokumente und Einstellungen\\Administrator\\Desktop\\r47 ROM"},
      {L"connection-broken",
       L"USB-Verbindung unterbrochen! Zum Aktualisieren des ROM-Bilds wiederholen Sie den "
       L"Vorgang zum Aktualisieren des Bildes."},
  };
  folder_.Write(kOsName, OsImage(4096));
  folder_.Write(kBootName, BootImage(4096));
  work_.Write(L"version.ver", VersionFileText(1, 3));
  for (DWORD dpi : {96u, 192u}) {
    SCOPED_TRACE(dpi);
    UseDpi(dpi);
    // Held from the start: the status line names the file at once.
    HANDLE holder = CreateFileW(folder_.File(kOsName).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    StartProgram();
    const std::wstring atStart = L"Quon_r47PDA.ubi ist gesperrt. Beenden Sie das andere Programm, starten Sie neu.";
    EXPECT_TRUE(program_->WaitForText(kStatus, atStart, kShortWait)) << Narrow(program_->Text(kStatus));
    RECT status{}, bar{};
    GetWindowRect(program_->Item(kStatus), &status);
    GetWindowRect(program_->Item(kProgress), &bar);
    EXPECT_EQ(status.left, bar.left);
    EXPECT_EQ(status.right, bar.right);
    EXPECT_EQ(GetWindowLongPtrW(program_->Item(kStatus), GWL_STYLE) & SS_ELLIPSISMASK, SS_ENDELLIPSIS);
    const std::wstring suffix = L"-" + std::to_wstring(dpi) + L"dpi";
    program_->Settle();
    SaveScreenshot(L"status-held-at-start" + suffix, program_->Window());
    for (const auto& text : longest) {
      DWORD_PTR ignored = 0;
      SendMessageTimeoutW(program_->Item(kStatus), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text[1]), SMTO_NORMAL,
                          kShortWait, &ignored);
      EXPECT_EQ(program_->Text(kStatus), text[1]) << "the control keeps the whole text";
      program_->Settle();
      SaveScreenshot(std::wstring(L"status-") + text[0] + suffix, program_->Window());
    }
    ASSERT_TRUE(program_->Click(kExit));
    ExpectEndsWithZero();
    program_.reset();
    CloseHandle(holder);
  }
}

}  // namespace
}  // namespace e2e
