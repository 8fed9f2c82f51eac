#include "app/failure_table.h"

#include <windows.h>

#include <cstring>

#include "res/resource.h"
#include "text/text.h"
#include "util/system_text.h"

namespace {

// Device failure captions are Big5 whatever the system code page, so they read as written.
constexpr UINT kBig5CodePage = 950;

// The caption of each stage's failure, as the device's makers wrote it:
// "FORMAT" + 失敗 and 下載失敗.
const char* DeviceFailureCaptionBig5(FlashFailure::Stage stage) {
  switch (stage) {
    case FlashFailure::Stage::Format:
      return "\x46\x4F\x52\x4D\x41\x54\xA5\xA2\xB1\xD1";
    case FlashFailure::Stage::Write:
      return "\xA4\x55\xB8\xFC\xA5\xA2\xB1\xD1";
  }
  return "";
}

struct Row {
  FlashFailure::Kind kind;
  UINT text;           // 0: no box
  bool namesTheImage;  // the text takes the image file's name
  UINT caption;
  BoxIcon icon;
  bool ownerless;
  bool statusLine;
  ControlsAfter controls;
};

using Kind = FlashFailure::Kind;
const Row kRows[] = {
    {Kind::ImageMissing, IDS_FILE_MISSING, true, IDS_CAPTION_ERROR, BoxIcon::Error, false, true, ControlsAfter::Idle},
    {Kind::ImageLocked, IDS_IMAGE_LOCKED, true, IDS_CAPTION_ERROR, BoxIcon::Error, false, true, ControlsAfter::Idle},
    // Text with the file and the system's words (see ViewOf).
    {Kind::ImageUnreadable, 0, false, IDS_CAPTION_ERROR, BoxIcon::Error, false, true, ControlsAfter::Idle},
    // The program is ending: nothing left to show it on.
    {Kind::ImageReadGivenUp, 0, false, 0, BoxIcon::None, false, false, ControlsAfter::Idle},
    {Kind::ImageDamaged, IDS_IMAGE_DAMAGED, false, IDS_CAPTION_ERROR, BoxIcon::Error, false, true, ControlsAfter::Idle},
    {Kind::ImageTooLarge, IDS_IMAGE_TOO_LARGE, true, IDS_CAPTION_ERROR, BoxIcon::Error, false, true,
     ControlsAfter::Idle},
    {Kind::ImageNoMemory, IDS_IMAGE_NO_MEMORY, true, IDS_CAPTION_ERROR, BoxIcon::Error, false, true,
     ControlsAfter::Idle},
    {Kind::WorkerNotStarted, IDS_THREAD_FAILED, false, IDS_CAPTION_ERROR, BoxIcon::Error, false, true,
     ControlsAfter::Idle},
    {Kind::ConnectionBroken, IDS_USB_BROKEN, false, IDS_CAPTION_ERROR, BoxIcon::Error, false, true,
     ControlsAfter::OnlyExit},
    // The device's own text under its failed stage's caption (see ViewOf).
    {Kind::DeviceFailed, 0, false, 0, BoxIcon::None, false, false, ControlsAfter::Busy},
    {Kind::CommandPacketLost, IDS_PACKET_FAILED, false, IDS_CAPTION_START, BoxIcon::None, true, false,
     ControlsAfter::Busy},
    // Texts with the files and both digests (see ViewOf); nothing was sent.
    {Kind::ChecksumMismatch, 0, false, IDS_CAPTION_ERROR, BoxIcon::Error, false, true, ControlsAfter::Idle},
    {Kind::ChecksumUnreadable, 0, false, IDS_CAPTION_ERROR, BoxIcon::Error, false, true, ControlsAfter::Idle},
    {Kind::ChecksumNotListed, 0, false, IDS_CAPTION_ERROR, BoxIcon::Error, false, true, ControlsAfter::Idle},
};

std::wstring Ascii(const std::string& s) { return std::wstring(s.begin(), s.end()); }

}  // namespace

FailureView ViewOf(const FlashFailure& failure) {
  FailureView view;
  for (const Row& row : kRows) {
    if (row.kind != failure.kind) continue;
    if (row.text) view.text = row.namesTheImage ? FormatTextString(row.text, failure.imageName) : LoadText(row.text);
    if (row.caption) view.caption = LoadText(row.caption);
    view.icon = row.icon;
    view.ownerless = row.ownerless;
    view.statusLine = row.statusLine;
    view.controls = row.controls;
    break;
  }
  if (failure.kind == Kind::DeviceFailed) {
    view.text = DecodeBytes(failure.deviceText.data(), failure.deviceText.size(), CP_ACP);
    const char* caption = DeviceFailureCaptionBig5(failure.deviceStage);
    view.caption = DecodeBytes(caption, std::strlen(caption), kBig5CodePage);
  }
  if (failure.kind == Kind::ImageUnreadable) {
    std::wstring fields[2] = {failure.imageName, SystemErrorText(failure.systemError)};
    view.text = FormatText(LoadText(IDS_IMAGE_UNREADABLE), fields, 2, nullptr, 0);
  } else if (failure.kind == Kind::ChecksumMismatch) {
    std::wstring fields[4] = {failure.imageName, failure.checksumFile, Ascii(failure.expectedSha256),
                              Ascii(failure.actualSha256)};
    view.text = FormatText(LoadText(IDS_CHECKSUM_MISMATCH), fields, 4, nullptr, 0);
  } else if (failure.kind == Kind::ChecksumUnreadable) {
    std::wstring fields[3] = {failure.checksumFile, failure.imageName, Ascii(failure.actualSha256)};
    view.text = FormatText(LoadText(IDS_CHECKSUM_UNREADABLE), fields, 3, nullptr, 0);
  } else if (failure.kind == Kind::ChecksumNotListed) {
    std::wstring fields[3] = {failure.checksumFile, failure.imageName, Ascii(failure.actualSha256)};
    view.text = FormatText(LoadText(IDS_CHECKSUM_NOT_LISTED), fields, 3, nullptr, 0);
  }
  return view;
}

std::wstring ProgressStatusText(int percent) { return FormatTextNumber(IDS_PROGRESS, percent); }
std::wstring SuccessText(ImageKind kind) { return LoadText(kind == ImageKind::Os ? IDS_OS_UPDATED : IDS_BOOT_RESET); }
std::wstring SuccessCaption() { return LoadText(IDS_CAPTION_SUCCESS); }
std::wstring FinishedStatusText() { return LoadText(IDS_USB_DONE); }

std::wstring RefusedImageText(const RefusedImage& refused) {
  const std::wstring name = refused.name ? refused.name : L"";
  switch (refused.reason) {
    case ImageRefusal::TooShort: {
      const int size = static_cast<int>(refused.size);
      return FormatText(LoadText(IDS_START_IMAGE_TOO_SHORT), &name, 1, &size, 1);
    }
    case ImageRefusal::Damaged:
      return FormatTextString(IDS_START_IMAGE_DAMAGED, name);
    case ImageRefusal::TooLarge:
      return FormatTextString(IDS_IMAGE_TOO_LARGE, name);
    case ImageRefusal::Unreadable:
      return FormatTextString(IDS_START_IMAGE_UNREADABLE, name);
    case ImageRefusal::Locked:
      return FormatTextString(IDS_START_IMAGE_LOCKED, name);
    case ImageRefusal::None:
      break;
  }
  return std::wstring();
}
