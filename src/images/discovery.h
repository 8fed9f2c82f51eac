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

struct ImageDiscovery {
  bool found = false;  // at least one image file exists
  ImageSet set = kNoImage;
  uint32_t osSize = kOsImageSizeUnknown;
  uint32_t bootSize = 0;
  bool updateAllowed = false;
  // The image list's entries, in the order they are added.
  std::vector<const wchar_t*> listed;
};

// Runs the discovery in the given directory (which ends with a backslash).
ImageDiscovery DiscoverImagesIn(const std::wstring& programDirectory);
