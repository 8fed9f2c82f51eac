#include "images/discovery.h"

#include "images/image_header.h"
#include "util/handle.h"
#include "util/paths.h"

const wchar_t kBootImageName[] = L"Quon_r47Boot.ubi";
const wchar_t kOsImageName[] = L"Quon_r47PDA.ubi";

namespace {

struct OpenedImage {
  UniqueHandle file;
  uint32_t size = 0;
  bool sizeOk = false;
};

OpenedImage OpenImage(const std::wstring& directory, const std::wstring& name) {
  OpenedImage image;
  image.file.reset(OpenFileForReading(directory + name));
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

}  // namespace

ImageDiscovery DiscoverImagesIn(const std::wstring& programDirectory) {
  ImageDiscovery d;

  // A program directory we could not determine finds nothing.
  OpenedImage os = programDirectory.empty() ? OpenedImage{} : OpenImage(programDirectory, kOsImageName);
  if (os.file.valid()) {
    d.found = true;
    d.osSize = os.size;
    if (HeaderIsGood(os)) {
      d.updateAllowed = true;
      d.set = kOsImageOnly;
      d.listed.push_back(kOsImageName);
    }
    os.file.reset();
    OpenedImage boot = OpenImage(programDirectory, kBootImageName);
    if (!boot.file.valid()) return d;
    d.set = kBothImages;
    d.bootSize = boot.size;
  } else {
    OpenedImage boot = programDirectory.empty() ? OpenedImage{} : OpenImage(programDirectory, kBootImageName);
    if (!boot.file.valid()) {
      // Still allowed, so that Update can name the missing files.
      d.updateAllowed = true;
      return d;
    }
    d.found = true;
    d.set = kBootImageOnly;
    d.bootSize = boot.size;
    if (HeaderIsGood(boot)) d.updateAllowed = true;
  }
  d.listed.push_back(kBootImageName);
  return d;
}
