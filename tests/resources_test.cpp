// What the shipped program carries besides its dialogs: the version resource taken
// from the project version, the application icon, the pictures for each scaling, and
// the read-me that explains every text the program can show.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "app/connection_warning.h"
#include "app/main_window.h"
#include "app/notes_dialog.h"
#include "app/pictures.h"
#include "images/discovery.h"
#include "res/resource.h"
#include "test_support.h"

using namespace testing_support;

namespace {

std::wstring ShippedProgram() {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path = self;
  return path.substr(0, path.find_last_of(L'\\') + 1) + L"r47flash.exe";
}

// "1.2.3" as four numbers, missing ones 0, the way a version resource holds them.
std::vector<unsigned> FourParts(const std::string& version) {
  std::vector<unsigned> parts;
  std::istringstream in(version);
  std::string part;
  while (std::getline(in, part, '.')) parts.push_back(static_cast<unsigned>(std::stoul(part)));
  parts.resize(4, 0);
  return parts;
}

class VersionResource : public ::testing::Test {
 protected:
  void SetUp() override {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(ShippedProgram().c_str(), &ignored);
    ASSERT_NE(size, 0u) << "no version resource in " << Narrow(ShippedProgram());
    block_.resize(size);
    ASSERT_TRUE(GetFileVersionInfoW(ShippedProgram().c_str(), 0, size, block_.data()));
  }
  std::wstring Text(const wchar_t* name) {
    void* value = nullptr;
    UINT length = 0;
    std::wstring key = std::wstring(L"\\StringFileInfo\\040704B0\\") + name;
    if (!VerQueryValueW(block_.data(), key.c_str(), &value, &length) || !value) return L"(none)";
    return static_cast<const wchar_t*>(value);
  }
  std::vector<BYTE> block_;
};

TEST_F(VersionResource, CarriesTheProjectVersion) {
  const std::vector<unsigned> expected = FourParts(R47_PROJECT_VERSION);
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block_.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  ASSERT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  const std::vector<unsigned> file = {HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                                      HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS)};
  const std::vector<unsigned> product = {HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS),
                                         HIWORD(fixed->dwProductVersionLS), LOWORD(fixed->dwProductVersionLS)};
  EXPECT_EQ(file, expected);
  EXPECT_EQ(product, expected);

  std::wstring text;
  for (size_t i = 0; i < expected.size(); ++i) text += (i ? L"." : L"") + std::to_wstring(expected[i]);
  EXPECT_EQ(Text(L"FileVersion"), text);
  EXPECT_EQ(Text(L"ProductVersion"), text);
  EXPECT_EQ(Text(L"ProductName"), L"Quon r47 Flash Tool");
}

// The shipped program loaded as data, to read its resources.
class ShippedResources : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryExW(ShippedProgram().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_TRUE(module_) << "cannot load " << Narrow(ShippedProgram());
  }
  void TearDown() override {
    if (module_) FreeLibrary(module_);
  }
  std::vector<BYTE> Resource(LPCWSTR type, LPCWSTR name) const {
    HRSRC found = FindResourceW(module_, name, type);
    if (!found) return {};
    HGLOBAL loaded = LoadResource(module_, found);
    const BYTE* bytes = static_cast<const BYTE*>(LockResource(loaded));
    return bytes ? std::vector<BYTE>(bytes, bytes + SizeofResource(module_, found)) : std::vector<BYTE>();
  }
  HMODULE module_ = nullptr;
};

BOOL CALLBACK TakeFirstName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR param) {
  *reinterpret_cast<LPCWSTR*>(param) = name;
  return FALSE;
}

#pragma pack(push, 2)
struct IconGroupEntry {  // one entry of an RT_GROUP_ICON resource
  BYTE width, height, colors, reserved;
  WORD planes, bitCount;
  DWORD bytes;
  WORD id;
};
#pragma pack(pop)

TEST_F(ShippedResources, IconForEveryWindowsFromXpOn) {
  // Explorer shows the first icon group of a program file: it must be ours.
  LPCWSTR first = nullptr;
  EnumResourceNamesW(module_, MAKEINTRESOURCEW(14) /* RT_GROUP_ICON */, TakeFirstName,
                     reinterpret_cast<LONG_PTR>(&first));
  ASSERT_TRUE(first && IS_INTRESOURCE(first));
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(first), static_cast<ULONG_PTR>(IDI_APP));

  std::vector<BYTE> group = Resource(MAKEINTRESOURCEW(14) /* RT_GROUP_ICON */, MAKEINTRESOURCEW(IDI_APP));
  ASSERT_GE(group.size(), 6u);
  const WORD count = *reinterpret_cast<const WORD*>(&group[4]);
  ASSERT_EQ(group.size(), 6u + count * sizeof(IconGroupEntry));
  std::vector<int> sizes;
  for (WORD i = 0; i < count; ++i) {
    const auto* entry = reinterpret_cast<const IconGroupEntry*>(&group[6 + i * sizeof(IconGroupEntry)]);
    const int size = entry->width ? entry->width : 256;
    sizes.push_back(size);
    EXPECT_EQ(entry->bitCount, 32) << size;
    std::vector<BYTE> image = Resource(MAKEINTRESOURCEW(3) /* RT_ICON */, MAKEINTRESOURCEW(entry->id));
    ASSERT_GE(image.size(), 8u) << size;
    // XP reads only bitmaps; Vista and later also read PNG, which keeps 256 small.
    const bool png = image[0] == 0x89 && image[1] == 'P' && image[2] == 'N' && image[3] == 'G';
    if (size < 256) {
      EXPECT_FALSE(png) << size;
      EXPECT_EQ(*reinterpret_cast<const DWORD*>(image.data()), sizeof(BITMAPINFOHEADER)) << size;
    } else {
      EXPECT_TRUE(png);
    }
  }
  EXPECT_EQ(sizes, (std::vector<int>{16, 32, 48, 256}));
}

TEST(MainWindowIcon, TaskbarAndCaptionGetTheProgramsIcon) {
  TempDir dir;
  dir.Write(kOsImageName, MakeImage("X000FF\n", 64));
  TestWindow window(dir.Path());
  for (WPARAM which : {ICON_BIG, ICON_SMALL}) {
    EXPECT_NE(SendMessageW(window.hwnd(), WM_GETICON, which, 0), 0) << which;
  }
}

TEST(PictureScale, NearestDrawnScale) {
  const struct {
    UINT dpi;
    int scale;
  } cases[] = {
      {72, 100},  {96, 100},  {119, 100}, {120, 100},  // 125 %: halfway, the smaller
      {121, 150}, {144, 150}, {168, 150},              // 175 %: halfway, the smaller
      {169, 200}, {192, 200}, {288, 200}, {480, 200},
  };
  for (const auto& c : cases) EXPECT_EQ(PictureScaleFor(c.dpi), c.scale) << c.dpi;
}

SIZE BitmapSize(HBITMAP bitmap) {
  BITMAP info{};
  if (!bitmap || !GetObjectW(bitmap, sizeof(info), &info)) return {0, 0};
  return {info.bmWidth, info.bmHeight};
}

SIZE ShownPictureSize(HWND dialog) {
  for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if ((GetWindowLongPtrW(child, GWL_STYLE) & SS_TYPEMASK) == SS_BITMAP)
      return BitmapSize(reinterpret_cast<HBITMAP>(SendMessageW(child, STM_GETIMAGE, IMAGE_BITMAP, 0)));
  }
  return {0, 0};
}

// Each dialog's picture at 100, 150 and 200 %: the sizes the layouts are made for,
// and the window's own DPI when the dialog opens (96 in the test prefix).
TEST(Pictures, EachDialogShowsTheSizeForItsDpi) {
  TempDir dir;
  dir.Write(kOsImageName, MakeImage("X000FF\n", 64));
  TestWindow main(dir.Path());
  HWND notes =
      CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_NOTES), main.hwnd(), NotesDialogProc, 0);
  HWND warning = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_CONN_WARNING), main.hwnd(),
                                    ConnectionWarningProc, 0);
  ASSERT_TRUE(notes && warning);
  ASSERT_EQ(WindowDpi(main.hwnd()), 96u) << "the test prefix is expected at 100 %";

  const struct {
    const char* name;
    HWND dialog;
    UINT picture;
    SIZE at100;
  } dialogs[] = {
      {"main window", main.hwnd(), IDB_BANNER, {236, 184}},
      {"notes", notes, IDB_NOTES, {180, 320}},
      {"connection warning", warning, IDB_CONN_WARNING, {250, 305}},
  };
  for (const auto& d : dialogs) {
    SCOPED_TRACE(d.name);
    SIZE shown = ShownPictureSize(d.dialog);
    EXPECT_EQ(shown.cx, d.at100.cx);
    EXPECT_EQ(shown.cy, d.at100.cy);
    const struct {
      UINT dpi;
      LONG numerator;  // size = at100 * numerator / 2, rounded up
    } scales[] = {{144, 3}, {192, 4}, {96, 2}};
    for (const auto& s : scales) {
      FitPictureToDpi(d.dialog, d.picture, s.dpi);
      shown = ShownPictureSize(d.dialog);
      EXPECT_EQ(shown.cx, (d.at100.cx * s.numerator + 1) / 2) << s.dpi;
      EXPECT_EQ(shown.cy, (d.at100.cy * s.numerator + 1) / 2) << s.dpi;
    }
  }
  // A change of screen (WM_DPICHANGED) picks again.
  RECT suggested{};
  GetWindowRect(notes, &suggested);
  SendMessageW(notes, kDpiChangedMessage, MAKEWPARAM(192, 192), reinterpret_cast<LPARAM>(&suggested));
  EXPECT_EQ(ShownPictureSize(notes).cx, 360);
  DestroyWindow(notes);
  DestroyWindow(warning);
}

// The palette indices that a stored picture gives each pixel, bottom row first, as
// the bitmap format defines them: uncompressed rows, or BI_RLE8 runs and escapes.
// A pixel that the data skips (end of line or of bitmap too early, a delta) stays
// -1: what the screen shows there is up to whoever loads it.
std::vector<int> StoredIndices(const BITMAPINFOHEADER& header, const BYTE* data, size_t size) {
  const LONG width = header.biWidth, height = header.biHeight;
  std::vector<int> pixels(static_cast<size_t>(width) * height, -1);
  if (header.biCompression == BI_RGB) {
    const size_t stride = (static_cast<size_t>(width) + 3) & ~size_t{3};
    for (LONG y = 0; y < height; ++y)
      for (LONG x = 0; x < width && y * stride + x < size; ++x) pixels[y * width + x] = data[y * stride + x];
    return pixels;
  }
  LONG x = 0, y = 0;
  auto put = [&](int index) {
    if (x < width && y < height) pixels[static_cast<size_t>(y) * width + x] = index;
    ++x;
  };
  for (size_t i = 0; i + 1 < size && y < height;) {
    const BYTE count = data[i], value = data[i + 1];
    i += 2;
    if (count > 0) {
      for (BYTE n = 0; n < count; ++n) put(value);
    } else if (value == 0) {  // end of line
      x = 0;
      ++y;
    } else if (value == 1) {  // end of bitmap
      break;
    } else if (value == 2 && i + 1 < size) {  // delta
      x += data[i];
      y += data[i + 1];
      i += 2;
    } else {  // `value` pixels as they are, padded to a whole word
      for (BYTE n = 0; n < value && i + n < size; ++n) put(data[i + n]);
      i += (value + 1u) & ~1u;
    }
  }
  return pixels;
}

// Every picture at every scale, as the program loads it (LoadImage, a bitmap for the
// screen) and as a section: 8-bit palette pictures, RLE8 or not, with every pixel
// given and shown in its palette colour.
TEST_F(ShippedResources, EachPictureLoadsWithLoadImageAtEachScale) {
  const struct {
    UINT id;
    SIZE at100;
  } pictures[] = {{IDB_BANNER, {236, 184}}, {IDB_NOTES, {180, 320}}, {IDB_CONN_WARNING, {250, 305}}};
  for (const auto& p : pictures) {
    for (int scale : {100, 150, 200}) {
      const UINT id = PictureIdAtScale(p.id, scale);
      SCOPED_TRACE("bitmap " + std::to_string(id));
      const LONG width = (p.at100.cx * scale / 50 + 1) / 2, height = (p.at100.cy * scale / 50 + 1) / 2;
      const std::vector<BYTE> stored = Resource(MAKEINTRESOURCEW(2) /* RT_BITMAP */, MAKEINTRESOURCEW(id));
      ASSERT_GE(stored.size(), sizeof(BITMAPINFOHEADER));
      BITMAPINFOHEADER header;
      std::memcpy(&header, stored.data(), sizeof header);
      ASSERT_EQ(header.biSize, sizeof(BITMAPINFOHEADER));
      EXPECT_EQ(header.biWidth, width);
      ASSERT_EQ(header.biHeight, height) << "bottom-up rows";
      ASSERT_EQ(header.biBitCount, 8);
      ASSERT_TRUE(header.biCompression == BI_RGB || header.biCompression == BI_RLE8) << header.biCompression;
      const size_t colours = header.biClrUsed ? header.biClrUsed : 256;
      ASSERT_LE(colours, 256u);
      ASSERT_GE(stored.size(), sizeof header + colours * sizeof(RGBQUAD));
      const RGBQUAD* palette = reinterpret_cast<const RGBQUAD*>(stored.data() + sizeof header);
      const size_t bitsAt = sizeof header + colours * sizeof(RGBQUAD);
      const std::vector<int> indices = StoredIndices(header, stored.data() + bitsAt, stored.size() - bitsAt);

      for (UINT flags : {0u, static_cast<UINT>(LR_CREATEDIBSECTION)}) {
        SCOPED_TRACE(flags ? "as a section" : "as the program loads it");
        HBITMAP bitmap = static_cast<HBITMAP>(LoadImageW(module_, MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0, flags));
        ASSERT_TRUE(bitmap) << "LoadImage failed, error " << GetLastError();
        BITMAPINFO want{};
        want.bmiHeader.biSize = sizeof(want.bmiHeader);
        want.bmiHeader.biWidth = width;
        want.bmiHeader.biHeight = height;  // bottom-up, like the stored rows
        want.bmiHeader.biPlanes = 1;
        want.bmiHeader.biBitCount = 32;
        want.bmiHeader.biCompression = BI_RGB;
        std::vector<RGBQUAD> shown(static_cast<size_t>(width) * height);
        HDC screen = GetDC(nullptr);
        const int rows = GetDIBits(screen, bitmap, 0, height, shown.data(), &want, DIB_RGB_COLORS);
        ReleaseDC(nullptr, screen);
        DeleteObject(bitmap);
        ASSERT_EQ(rows, height);
        size_t skipped = 0, wrong = 0;
        for (size_t i = 0; i < shown.size(); ++i) {
          if (indices[i] < 0 || static_cast<size_t>(indices[i]) >= colours) {
            ++skipped;
            continue;
          }
          const RGBQUAD& a = shown[i];
          const RGBQUAD& b = palette[indices[i]];
          if (a.rgbRed != b.rgbRed || a.rgbGreen != b.rgbGreen || a.rgbBlue != b.rgbBlue) ++wrong;
        }
        EXPECT_EQ(skipped, 0u) << "pixels the stored picture leaves out or points past its palette";
        EXPECT_EQ(wrong, 0u) << "pixels shown in another colour than stored";
      }
    }
  }
}

// The read-me beside the shipped program, as Notepad reads it: UTF-8 behind a
// byte-order mark (which Notepad honours from XP on, whatever the code page), with
// CRLF line ends. Empty when it is not valid UTF-8.
std::wstring ReadmeText(bool* crlfOnly, bool* byteOrderMark) {
  std::vector<uint8_t> bytes = ReadFileBytes(ShippedProgram().substr(0, ShippedProgram().size() - 12) + L"readme.txt");
  *crlfOnly = true;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r')) *crlfOnly = false;
    if (bytes[i] == '\r' && (i + 1 == bytes.size() || bytes[i + 1] != '\n')) *crlfOnly = false;
  }
  *byteOrderMark = bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF;
  if (!*byteOrderMark) return L"";
  const char* text = reinterpret_cast<const char*>(bytes.data()) + 3;
  const int size = static_cast<int>(bytes.size()) - 3;
  int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, size, nullptr, 0);
  if (n <= 0) return L"";
  std::wstring wide(n, L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, size, &wide[0], n);
  return wide;
}

// Runs of blanks and line breaks as one blank: the read-me wraps its lines.
std::wstring Folded(const std::wstring& text) {
  std::wstring out;
  for (wchar_t c : text) {
    const bool blank = c == L' ' || c == L'\r' || c == L'\n' || c == L'\t';
    if (blank && (out.empty() || out.back() == L' ')) continue;
    out += blank ? L' ' : c;
  }
  while (!out.empty() && out.back() == L' ') out.pop_back();
  return out;
}

// What of a string-table text the read-me must quote: its first piece of some length
// between format fields and line breaks, or each short piece in quotes.
std::vector<std::wstring> QuotableParts(const std::wstring& text) {
  std::vector<std::wstring> pieces;
  std::wstring piece;
  for (size_t i = 0; i <= text.size(); ++i) {
    const bool end = i == text.size() || text[i] == L'\r' || text[i] == L'\n' || text[i] == L'%';
    if (!end) {
      piece += text[i];
      continue;
    }
    if (!Folded(piece).empty()) pieces.push_back(Folded(piece));
    piece.clear();
    if (i < text.size() && text[i] == L'%') ++i;  // the field's letter, or the second %
  }
  for (const auto& p : pieces)
    if (p.size() >= 12) return {p};
  std::vector<std::wstring> quoted;
  for (const auto& p : pieces)
    if (p.size() >= 3) quoted.push_back(L"\"" + p + L"\"");
  return quoted;
}

BOOL CALLBACK CollectStringBlock(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR param) {
  if (IS_INTRESOURCE(name)) reinterpret_cast<std::vector<UINT>*>(param)->push_back(LOWORD(name));
  return TRUE;
}

TEST_F(ShippedResources, ReadmeExplainsEveryTextOfTheStringTable) {
  bool crlfOnly = false, byteOrderMark = false;
  const std::wstring readme = ReadmeText(&crlfOnly, &byteOrderMark);
  EXPECT_TRUE(byteOrderMark) << "without it Notepad takes the umlauts for the system's code page";
  ASSERT_FALSE(readme.empty()) << "not UTF-8";
  EXPECT_TRUE(crlfOnly) << "Notepad on XP shows a bare line feed as a box";
  // One width throughout, wrapped for a window of Notepad at its usual size.
  size_t lineNumber = 1, lineStart = 0;
  for (size_t i = 0; i <= readme.size(); ++i) {
    if (i < readme.size() && readme[i] != L'\r') continue;
    EXPECT_LE(i - lineStart, 72u) << "line " << lineNumber << ": " << Narrow(readme.substr(lineStart, i - lineStart));
    lineStart = i + 2;  // past the CRLF
    ++lineNumber;
  }
  const std::wstring folded = Folded(readme);

  std::vector<UINT> blocks;
  EnumResourceNamesW(module_, MAKEINTRESOURCEW(6) /* RT_STRING */, CollectStringBlock,
                     reinterpret_cast<LONG_PTR>(&blocks));
  ASSERT_FALSE(blocks.empty());
  for (UINT block : blocks) {
    for (UINT id = (block - 1) * 16; id < block * 16; ++id) {
      wchar_t buffer[1024] = {};
      if (LoadStringW(module_, id, buffer, 1024) <= 0) continue;
      for (const std::wstring& part : QuotableParts(buffer)) {
        EXPECT_NE(folded.find(part), std::wstring::npos) << "string " << id << ": " << Narrow(part);
      }
    }
  }
  // The device's own failure boxes and the ActiveSync dialog are explained too.
  for (const wchar_t* text : {L"\"FORMAT\" und zwei chinesischen Schriftzeichen", L"vier chinesischen Schriftzeichen",
                              L"Fenster \"Error\" mit Bild"}) {
    EXPECT_NE(folded.find(text), std::wstring::npos) << Narrow(text);
  }
  // One spelling and one form of address throughout.
  for (const wchar_t* wrong : {L"Hard-Resetschalter", L" du ", L" Du ", L" dein", L" dich "}) {
    EXPECT_EQ(folded.find(wrong), std::wstring::npos) << Narrow(wrong);
  }
}

TEST(ReadmeQuotes, PartsOfATextThatTheReadmeMustQuote) {
  const struct {
    std::wstring text;
    std::vector<std::wstring> parts;
  } cases[] = {
      {L"Datei %s kann nicht gefunden werden!", {L"kann nicht gefunden werden!"}},
      {L"Lädt ROM-Daten herunter: %d %%", {L"Lädt ROM-Daten herunter:"}},
      {L"Vorgehen:\r\n\n1. Stellen Sie den Schalter um", {L"1. Stellen Sie den Schalter um"}},
      {L"Error", {L"\"Error\""}},
      {L"%d K", {}},
      {L"A  long   text here\nwrapped", {L"A long text here"}},
  };
  for (const auto& c : cases) EXPECT_EQ(QuotableParts(c.text), c.parts) << Narrow(c.text);
}

}  // namespace
