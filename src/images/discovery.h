// Finds the two image files next to the program, records their sizes and which of
// them exist, fills the image list and decides whether Update may be enabled.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

extern const wchar_t kBootImageName[];  // "Quon_r47Boot.ubi"
extern const wchar_t kOsImageName[];    // "Quon_r47PDA.ubi"

enum ImageSet : int { kNoImage = 0, kOsImageOnly = 1, kBootImageOnly = 2, kBothImages = 3 };

// Runs the discovery in the program's own directory. Returns 1 when at least one
// image file exists, 0 when neither does.
int DiscoverImages(HWND window);
// The same, in the given directory (which ends with a backslash).
int DiscoverImagesIn(HWND window, const std::wstring& programDirectory);

const std::wstring& ProgramDirectory();
uint32_t OsImageSize();
uint32_t BootImageSize();
ImageSet CurrentImageSet();
bool UpdateAllowed();
