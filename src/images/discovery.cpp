#include "images/discovery.h"

#include "images/image_header.h"
#include "images/paths.h"
#include "res/resource.h"
#include "util/handle.h"

const wchar_t kBootImageName[] = L"Quon_r47Boot.ubi";
const wchar_t kOsImageName[] = L"Quon_r47PDA.ubi";

namespace {

std::wstring g_programDirectory;
uint32_t g_osImageSize;
uint32_t g_bootImageSize;
ImageSet g_imageSet;
bool g_updateAllowed;

struct OpenedImage {
  UniqueHandle file;
  uint32_t size = 0;
  bool sizeOk = false;
};

OpenedImage OpenImage(const std::wstring& name) {
  OpenedImage image;
  image.file.reset(OpenFileForReading(g_programDirectory + name));
  if (!image.file.valid()) return image;
  LARGE_INTEGER size{};
  // An image the 32-bit size cannot describe is treated like an unreadable one.
  if (GetFileSizeEx(image.file.get(), &size) && size.QuadPart <= 0xFFFFFFFFLL) {
    image.size = static_cast<uint32_t>(size.QuadPart);
    image.sizeOk = true;
  }
  return image;
}

// Only the header decides, so only the header is read: start-up time must not grow
// with the size of the image. A read error counts as a damaged image.
bool HeaderIsGood(const OpenedImage& image) {
  if (!image.sizeOk) return false;
  uint8_t header[kImageHeaderSize] = {};
  DWORD want = image.size < kImageHeaderSize ? image.size : static_cast<DWORD>(kImageHeaderSize);
  DWORD got = 0;
  if (want > 0 && (!ReadFile(image.file.get(), header, want, &got, nullptr) || got != want)) return false;
  return CheckImageHeader(header, got) != ImageKind::Damaged;
}

void AddToList(HWND window, const wchar_t* name) {
  SendDlgItemMessageW(window, IDC_IMAGE_LIST, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
}

}  // namespace

int DiscoverImages(HWND window) { return DiscoverImagesIn(window, ModuleDirectory()); }

int DiscoverImagesIn(HWND window, const std::wstring& programDirectory) {
  g_programDirectory = programDirectory;
  g_osImageSize = 1;
  g_updateAllowed = false;
  g_imageSet = kNoImage;
  SendDlgItemMessageW(window, IDC_IMAGE_LIST, CB_RESETCONTENT, 0, 0);

  // A program directory we could not determine finds nothing.
  OpenedImage os = g_programDirectory.empty() ? OpenedImage{} : OpenImage(kOsImageName);
  if (os.file.valid()) {
    g_osImageSize = os.size;
    if (HeaderIsGood(os)) {
      g_updateAllowed = true;
      g_imageSet = kOsImageOnly;
      AddToList(window, kOsImageName);
    }
    os.file.reset();
    OpenedImage boot = OpenImage(kBootImageName);
    if (!boot.file.valid()) return 1;
    g_imageSet = kBothImages;
    g_bootImageSize = boot.size;
  } else {
    OpenedImage boot = g_programDirectory.empty() ? OpenedImage{} : OpenImage(kBootImageName);
    if (!boot.file.valid()) {
      g_imageSet = kNoImage;
      EnableWindow(GetDlgItem(window, IDC_UPDATE), FALSE);
      // Still allowed, so that Update can name the missing files.
      g_updateAllowed = true;
      return 0;
    }
    g_imageSet = kBootImageOnly;
    g_bootImageSize = boot.size;
    if (HeaderIsGood(boot)) g_updateAllowed = true;
  }
  AddToList(window, kBootImageName);
  return 1;
}

const std::wstring& ProgramDirectory() { return g_programDirectory; }
uint32_t OsImageSize() { return g_osImageSize; }
uint32_t BootImageSize() { return g_bootImageSize; }
ImageSet CurrentImageSet() { return g_imageSet; }
bool UpdateAllowed() { return g_updateAllowed; }
