// Decisions of the Update command that need no window: which image to send, and
// which files to name as missing.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "device/messages.h"
#include "images/discovery.h"

// Index in the sorted image list: 0 the boot image, 1 the OS image.
constexpr int kBootImageIndex = 0;
constexpr int kOsImageIndex = 1;
// The file of an image list entry when both images are listed.
const wchar_t* ImageNameAt(int index);

// The version rules: the boot loader is written when forced, when the version file
// names a newer major version, or the same major with any other minor version; the
// OS image when the device runs exactly that boot loader or a newer major version.
int ChooseImageIndex(bool mustUpdateBoot, int bootHigh, int bootLow, uint16_t deviceVersion);

// What the answers to the version queries (oldest first) say about the device: the
// latest whole answer decides, so that what the device says after its time in flash
// mode counts. A lost read or a report too short to judge is no answer and never
// overrides one read before it; no answer at all is version 0. When the latest whole
// answer is a format or write report, the device is still busy with an earlier flash.
struct DeviceVersionVerdict {
  bool busy = false;
  uint16_t version = 0;
};
DeviceVersionVerdict DecideDeviceVersion(const std::vector<VersionAnswer>& answers);

// The names for the missing-files message when fewer than two images are listed,
// joined by " ,"; a missing version file is named first.
std::wstring MissingFileNames(ImageSet imageSet, bool versionRead);

extern const wchar_t kVersionFileName[];  // "version.ver"
