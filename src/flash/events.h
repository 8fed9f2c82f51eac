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

enum class BoxIcon { None, Error, Information };

// A failure the user is told about, with the system's cause behind it.
struct FlashFailure {
  enum class Kind {
    ImageMissing,       // the image file did not open
    ImageUnreadable,    // a read failed or came short: nothing to show
    ImageDamaged,       // the header is neither image's
    ImageTooLarge,      // 4 GiB or more, or more than the memory free for it
    WorkerNotStarted,   // the worker thread could not be created
    ConnectionBroken,   // a chunk write or a status read failed: the USB link is gone
    DeviceFailed,       // the device's own failure report
    CommandPacketLost,  // the closing command packet could not be written
    ChecksumMismatch,    // the image's SHA-256 is not the one its checksum file names
    ChecksumUnreadable,  // a checksum file beside the image cannot be read or names no digest
  };
  Kind kind = Kind::ImageUnreadable;
  std::wstring text;  // the message (empty: no message)
  std::wstring caption;
  BoxIcon icon = BoxIcon::None;
  bool ownerless = false;  // shown on its own, not over the window
  DWORD systemError = 0;   // the system error code behind it, 0 when it has none
  // The checksum failures: the image, the checksum file, what it expected (empty
  // when unreadable) and what the image's bytes give. The window picks the text.
  std::wstring image, checksumFile;
  std::string expectedSha256, actualSha256;
};

class FlashEvents {
 public:
  virtual ~FlashEvents() = default;

  // The progress bar's value (the window caps it below 100 until done).
  virtual void Progress(int value, bool done) = 0;
  // A new status line text.
  virtual void Status(const std::wstring& text) = 0;
  // Something failed; the user is to be told.
  virtual void Failure(const FlashFailure& failure) = 0;
  // The image is on the device: the closing message.
  virtual void Success(const std::wstring& text, const std::wstring& caption) = 0;
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
  virtual void TransferEnded(uint32_t /*chunks*/, uint64_t /*bytesSent*/, DWORD /*systemError*/) {}
  virtual void MonitorReport(const StatusReport& /*report*/, DWORD /*bytesRead*/) {}
  virtual void CommandPacketWritten(const CommandPacket& /*packet*/, DWORD /*systemError*/) {}
};
