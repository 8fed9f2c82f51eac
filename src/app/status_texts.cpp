#include "app/status_texts.h"

#include "images/version_file.h"
#include "res/resource.h"
#include "text/text.h"

namespace {

// Versions as major.minor.
std::wstring VersionNumber(int high, int low) { return std::to_wstring(high) + L"." + std::to_wstring(low); }

// A folder as Explorer's address bar shows it: without a trailing backslash, except
// for a drive's root.
std::wstring FolderForDisplay(std::wstring folder) {
  if (folder.size() > 3 && folder.back() == L'\\') folder.pop_back();
  return folder;
}

}  // namespace

std::wstring ImageChosenText(uint16_t deviceVersion, int bootHigh, int bootLow, const std::wstring& image,
                             bool confirmed) {
  const std::wstring needed = VersionNumber(bootHigh, bootLow);
  if (deviceVersion == 0) {
    const std::wstring texts[] = {needed, image};
    return FormatText(LoadText(IDS_STAGE_NO_ANSWER), texts, 2, nullptr, 0);
  }
  const std::wstring texts[] = {VersionNumber(deviceVersion >> 8, deviceVersion & 0xFF), needed, image};
  return FormatText(LoadText(confirmed ? IDS_STAGE_BOOT_CONFIRMED : IDS_STAGE_IMAGE_CHOSEN), texts, 3, nullptr, 0);
}

std::wstring MissingFilesLine(ImageSet images, VersionFileState versionFile, const std::wstring& versionFolder) {
  switch (images) {
    case kNoImage: {
      const std::wstring both[] = {kBootImageName, kOsImageName};
      return FormatText(LoadText(IDS_IDLE_IMAGES_MISSING), both, 2, nullptr, 0);
    }
    case kOsImageOnly:
      return FormatTextString(IDS_IDLE_IMAGE_MISSING, kBootImageName);
    case kBootImageOnly:
      return FormatTextString(IDS_IDLE_IMAGE_MISSING, kOsImageName);
    case kBothImages:
      break;
  }
  switch (versionFile) {
    case VersionFileState::Missing:
      return FormatTextString(IDS_IDLE_VERSION_MISSING, FolderForDisplay(versionFolder));
    case VersionFileState::Incomplete:
      return FormatTextString(IDS_IDLE_VERSION_INCOMPLETE, FolderForDisplay(versionFolder));
    case VersionFileState::Read:
      break;
  }
  return std::wstring();
}

std::wstring MissingFilesLineNow(ImageSet images) {
  int high = 0, low = 0;
  bool must = false;
  VersionFileState state = VersionFileState::Read;
  if (!ReadVersionFile(&high, &low, &must))
    state = VersionFileExists() ? VersionFileState::Incomplete : VersionFileState::Missing;
  return MissingFilesLine(images, state, VersionFileFolder());
}

std::wstring MissingFilesBoxText(const std::wstring& names, bool versionMissing, const std::wstring& versionFolder) {
  std::wstring text = FormatTextString(IDS_FILE_MISSING, names);
  if (versionMissing) text += L"\n\n" + FormatTextString(IDS_VERSION_FILE_FOLDER, FolderForDisplay(versionFolder));
  return text;
}
