#include "images/discovery.h"

#include "images/image_header.h"
#include "util/handle.h"
#include "util/paths.h"

const wchar_t kBootImageName[] = L"Quon_r47Boot.ubi";
const wchar_t kOsImageName[] = L"Quon_r47PDA.ubi";

namespace {

struct OpenedImage {
  const wchar_t* name = nullptr;
  UniqueHandle file;
  uint32_t size = 0;
  uint64_t fullSize = 0;
  // Why it did not open, or why its size is of no use (TooLarge, Unreadable).
  ImageRefusal sizeRefusal = ImageRefusal::None;
  DWORD error = 0;
};

OpenedImage OpenImage(const std::wstring& directory, const wchar_t* name) {
  OpenedImage image;
  image.name = name;
  // A program directory we could not determine finds nothing.
  if (directory.empty()) {
    image.error = ERROR_PATH_NOT_FOUND;
    return image;
  }
  image.file.reset(OpenFileForReading(directory + name));
  if (!image.file.valid()) {
    image.error = GetLastError();
    return image;
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(image.file.get(), &size)) {
    image.error = GetLastError();
    image.sizeRefusal = ImageRefusal::Unreadable;
    return image;
  }
  image.fullSize = static_cast<uint64_t>(size.QuadPart);
  // An image the 32-bit size cannot describe is never read.
  if (image.fullSize > 0xFFFFFFFFull) {
    image.sizeRefusal = ImageRefusal::TooLarge;
    return image;
  }
  image.size = static_cast<uint32_t>(image.fullSize);
  return image;
}

RefusedImage Refusal(const OpenedImage& image, ImageRefusal reason, DWORD error) {
  RefusedImage r;
  r.reason = reason;
  r.name = image.name;
  r.size = image.fullSize;
  r.systemError = error;
  return r;
}

// Only the header decides, so only the header is read: start-up time must not grow
// with the size of the image. Reason None: a good header.
RefusedImage CheckHeaderOf(const OpenedImage& image) {
  if (image.sizeRefusal != ImageRefusal::None) return Refusal(image, image.sizeRefusal, image.error);
  if (image.size < kImageHeaderSize) return Refusal(image, ImageRefusal::TooShort, 0);
  uint8_t header[kImageHeaderSize] = {};
  DWORD got = 0;
  if (!ReadFile(image.file.get(), header, kImageHeaderSize, &got, nullptr)) {
    DWORD error = GetLastError();
    return Refusal(image, HeldByAnotherProgram(error) ? ImageRefusal::Locked : ImageRefusal::Unreadable, error);
  }
  if (got != kImageHeaderSize) return Refusal(image, ImageRefusal::Unreadable, ERROR_HANDLE_EOF);
  if (CheckImageHeader(header, got) == ImageKind::Damaged) return Refusal(image, ImageRefusal::Damaged, 0);
  return RefusedImage{};
}

// A file that did not open because another program holds it is there all the same.
void NoteIfLocked(ImageDiscovery& d, const OpenedImage& image) {
  if (image.file.valid() || !HeldByAnotherProgram(image.error) || d.refused.reason != ImageRefusal::None) return;
  d.refused = Refusal(image, ImageRefusal::Locked, image.error);
}

void Discover(ImageDiscovery& d, const std::wstring& programDirectory) {
  OpenedImage os = OpenImage(programDirectory, kOsImageName);
  if (os.file.valid()) {
    d.found = true;
    d.osSize = os.size;
    RefusedImage check = CheckHeaderOf(os);
    if (check.reason == ImageRefusal::None) {
      d.updateAllowed = true;
      d.set = kOsImageOnly;
      d.listed.push_back(kOsImageName);
    } else {
      d.refused = check;
    }
    os.file.reset();
    OpenedImage boot = OpenImage(programDirectory, kBootImageName);
    if (!boot.file.valid()) {
      NoteIfLocked(d, boot);
      return;
    }
    d.set = kBothImages;
    d.bootSize = boot.size;
  } else {
    NoteIfLocked(d, os);
    OpenedImage boot = OpenImage(programDirectory, kBootImageName);
    if (!boot.file.valid()) {
      NoteIfLocked(d, boot);
      // Still allowed, so that Update can name the missing files.
      d.updateAllowed = true;
      return;
    }
    d.found = true;
    d.set = kBootImageOnly;
    d.bootSize = boot.size;
    RefusedImage check = CheckHeaderOf(boot);
    if (check.reason == ImageRefusal::None) {
      d.updateAllowed = true;
    } else if (d.refused.reason == ImageRefusal::None) {
      d.refused = check;
    }
  }
  d.listed.push_back(kBootImageName);
}

}  // namespace

ImageDiscovery DiscoverImagesIn(const std::wstring& programDirectory) {
  ImageDiscovery d;
  Discover(d, programDirectory);
  // A locked image cannot be sent, and Update would only name it missing: Update stays
  // off, and the window says which file to free. The file is there, so the window's
  // controls are looked up as for any image found.
  if (d.refused.reason == ImageRefusal::Locked) {
    d.found = true;
    d.updateAllowed = false;
  }
  return d;
}
