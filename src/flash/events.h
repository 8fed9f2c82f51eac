// What a download reports while it runs. The flash code shows nothing and knows no
// window: the dialog side implements these calls and does the showing on its own
// thread, and a log can listen to the same calls. They come from the thread that
// runs the step: StartDownload's caller until the worker runs, then the worker.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

#include "device/messages.h"
#include "images/image_header.h"

// A failure the user is told about: what happened and the system's cause behind it.
// How it is shown (text, caption, icon, owner, the controls after it) is the
// window's business.
struct FlashFailure {
  enum class Kind {
    ImageMissing,        // the image file did not open
    ImageLocked,         // another program holds the image file
    ImageUnreadable,     // a read failed, came short or stalled
    ImageReadGivenUp,    // the read was given up because the program is ending
    ImageDamaged,        // the header is neither image's
    ImageTooLarge,       // 4 GiB or more
    ImageNoMemory,       // more than the memory free for it
    WorkerNotStarted,    // the worker thread could not be created
    ConnectionBroken,    // a chunk write or a status read failed: the USB link is gone
    DeviceFailed,        // the device's own failure report
    CommandPacketLost,   // the closing command packet could not be written
    ChecksumMismatch,    // the image's SHA-256 is not the one its checksum file names
    ChecksumUnreadable,  // a checksum file beside the image cannot be read or names no digest
    ChecksumNotListed,   // a checksum list beside the image does not name it
  };
  Kind kind = Kind::ImageUnreadable;
  DWORD systemError = 0;   // the system error code behind it, 0 when it has none
  std::wstring imageName;  // the image failures: the file's name
  // A device failure: the stage whose failure the device reported, and the report's
  // bytes up to its first zero.
  enum class Stage { Format, Write };
  Stage deviceStage = Stage::Format;
  std::string deviceText;
  // The checksum failures (with imageName): the checksum file, the digest it names
  // (empty when unreadable) and the digest of the image's bytes.
  std::wstring checksumFile;
  std::string expectedSha256, actualSha256;
};

class FlashEvents {
 public:
  virtual ~FlashEvents() = default;

  // The progress bar's value (the window caps it below 100 until done).
  virtual void Progress(int value, bool done) = 0;
  // The status line's percentage of the transfer or of the device's stages.
  virtual void StatusPercent(int percent) = 0;
  // Something failed; the user is to be told.
  virtual void Failure(const FlashFailure& failure) = 0;
  // The image of `kind` is on the device: the closing message, then the last status.
  virtual void Success(ImageKind kind) = 0;
  // The download is over, whichever way: the program ends. Nothing follows it.
  virtual void Done() = 0;

  // The device exchanges in summary, for whoever keeps a record.
  virtual void DeviceMissing(DWORD /*systemError*/) {}  // the data pipe did not open: not in flash mode
  // The image file as read whole, before anything of it is sent: `size` is what a
  // started download sends. The window shows it.
  virtual void ImageLoaded(const std::wstring& /*name*/, uint32_t /*size*/, ImageKind /*kind*/) {}
  // Bytes of the image file read so far. Called on the thread that reads the file,
  // while StartDownload's caller keeps serving its window.
  virtual void ImageReadProgress(uint32_t /*done*/, uint32_t /*size*/) {}
  // The SHA-256 of the image as read, before anything of it is sent.
  virtual void ImageChecksum(const std::wstring& /*name*/, const std::string& /*sha256*/) {}
  // A checksum file beside the image named the same digest.
  virtual void ChecksumMatched(const std::wstring& /*checksumFile*/) {}
  // The device this download talks to, from its first opening on.
  virtual void DeviceUsed(const std::string& /*devicePath*/) {}
  // The worker is about to write the image's first byte: from here on the device may
  // hold part of it. `size` is what the transfer sends.
  virtual void TransferStarted(uint32_t /*size*/) {}
  virtual void TransferEnded(uint32_t /*chunks*/, uint64_t /*bytesSent*/, DWORD /*systemError*/) {}
  virtual void MonitorReport(const StatusReport& /*report*/, DWORD /*bytesRead*/) {}
  virtual void CommandPacketWritten(const CommandPacket& /*packet*/, DWORD /*systemError*/) {}
};
