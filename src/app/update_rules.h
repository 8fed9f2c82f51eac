// Decisions of the Update command that need no window: which image to send, and
// which files to name as missing.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "images/discovery.h"

// Index in the sorted image list: 0 the boot image, 1 the OS image.
constexpr int kBootImageIndex = 0;
constexpr int kOsImageIndex = 1;

// The version rules: the boot loader is written when forced, when the version file
// names a newer major version, or the same major with any other minor version; the
// OS image when the device runs exactly that boot loader or a newer major version.
int ChooseImageIndex(bool mustUpdateBoot, int bootHigh, int bootLow, uint16_t deviceVersion);

// The device version word from the answers to the version queries, oldest first:
// the latest real answer, so that what the device says after its time in flash mode
// decides. A query that got no answer (a failed read) is not an answer of version 0
// and never overrides one read before it; 0 only when no query got an answer.
uint16_t DeviceVersionFromAnswers(const std::vector<std::optional<uint16_t>>& answers);

// The names for the missing-files message when fewer than two images are listed,
// joined by " ,"; a missing version file is named first.
std::wstring MissingFileNames(ImageSet imageSet, bool versionRead);

extern const wchar_t kVersionFileName[];  // "version.ver"
