// Finds the two image files next to the program: which of them exist, their sizes,
// which go in the image list and whether Update may be enabled. The window shows it.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

extern const wchar_t kBootImageName[];  // "Quon_r47Boot.ubi"
extern const wchar_t kOsImageName[];    // "Quon_r47PDA.ubi"

enum ImageSet : int { kNoImage = 0, kOsImageOnly = 1, kBootImageOnly = 2, kBothImages = 3 };

// The size taken for an OS image before any is found: never 0, so no step of the
// progress arithmetic divides by it.
constexpr uint32_t kOsImageSizeUnknown = 1;

// Why an image file that is there cannot be used. The window names the file and the
// reason, so that a refusal at start is never silent.
enum class ImageRefusal {
  None,
  TooShort,    // fewer bytes than the header line
  Damaged,     // the header is neither image's
  TooLarge,    // more than a 32-bit size can describe
  Unreadable,  // its size or its header could not be read
  Locked,      // another program holds it
};

struct RefusedImage {
  ImageRefusal reason = ImageRefusal::None;
  const wchar_t* name = nullptr;  // kOsImageName or kBootImageName
  uint64_t size = 0;              // as found (TooShort, TooLarge)
  DWORD systemError = 0;          // the cause (Unreadable, Locked)
};

struct ImageDiscovery {
  bool found = false;  // at least one image file exists
  ImageSet set = kNoImage;
  uint32_t osSize = kOsImageSizeUnknown;
  uint32_t bootSize = 0;
  bool updateAllowed = false;
  // The image list's entries, in the order they are added.
  std::vector<const wchar_t*> listed;
  // The first image file found but refused. A locked file counts as there: it keeps
  // Update off instead of being named missing.
  RefusedImage refused;
};

// Runs the discovery in the given directory (which ends with a backslash).
ImageDiscovery DiscoverImagesIn(const std::wstring& programDirectory);
