#include "app/update_rules.h"

const wchar_t kVersionFileName[] = L"version.ver";

int ChooseImageIndex(bool mustUpdateBoot, int bootHigh, int bootLow, uint16_t deviceVersion) {
  const int deviceHigh = (deviceVersion >> 8) & 0xFF;
  const int deviceLow = deviceVersion & 0xFF;
  if (mustUpdateBoot) return kBootImageIndex;
  if (bootHigh == deviceHigh) return bootLow == deviceLow ? kOsImageIndex : kBootImageIndex;
  return bootHigh > deviceHigh ? kBootImageIndex : kOsImageIndex;
}

DeviceVersionVerdict DecideDeviceVersion(const std::vector<VersionAnswer>& answers) {
  DeviceVersionVerdict verdict;
  for (auto it = answers.rbegin(); it != answers.rend(); ++it) {
    if (!it->IsAnswer()) continue;
    verdict.busy = it->kind == VersionAnswer::Kind::Busy;
    verdict.version = verdict.busy ? 0 : it->version;
    break;
  }
  return verdict;
}

std::wstring MissingFileNames(ImageSet imageSet, bool versionRead) {
  static const wchar_t kSeparator[] = L" ,";
  std::wstring names;
  auto add = [&names](const wchar_t* name) {
    if (!names.empty()) names += kSeparator;
    names += name;
  };
  if (!versionRead) add(kVersionFileName);
  switch (imageSet) {
    case kNoImage:
      add(kBootImageName);
      add(kOsImageName);
      break;
    case kOsImageOnly:
      add(kBootImageName);
      break;
    case kBootImageOnly:  // NOLINT(bugprone-branch-clone): the same name for another reason, below
      add(kOsImageName);
      break;
    case kBothImages:
      // Both files exist but only one is listed: the OS image was refused for its
      // header. Name it rather than claim that nothing is missing.
      add(kOsImageName);
      break;
  }
  return names;
}

const wchar_t* ImageNameAt(int index) { return index == kOsImageIndex ? kOsImageName : kBootImageName; }
