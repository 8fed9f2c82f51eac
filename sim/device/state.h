// The simulated handheld's state machine: what it answers to each status read,
// what it makes of each data connection, when it leaves the bus. It knows no
// pipe and no handle: the pipe threads tell it what happened, a clock tells it
// the time, and it writes its events to a log; a table of cases tests it alone.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "options.h"
#include "text.h"

namespace r47sim {

constexpr size_t kReportSize = 128;
constexpr uint64_t kLargeImage = 131072;  // larger images are formatted and written
constexpr size_t kCommandSize = 32;

// Milliseconds since some start; the device paces its flashing by it.
using Clock = std::function<uint64_t()>;
Clock SystemClock();

enum class Stage { BeforeImage, Receiving, Held, Flashing };

struct Report {
  enum Action { Send, Hang, Close, Unplug } action = Send;
  unsigned char bytes[kReportSize] = {};
  size_t size = kReportSize;
  std::string summary;
  bool garbage = false;
};

// A report write the PC may already have taken. The device's state moves on
// when a report is taken, and Wine tells the writing thread only when it next
// runs; so a new connection's first report waits until the writes of other
// connections have been settled (bounded, as an idle client may hold one).
struct InFlight {
  unsigned conn = 0;
  Report report;
};
constexpr auto kSettleWait = std::chrono::milliseconds(200);

// Where the flashing of a large image stands after `pos` progress steps.
struct FlashPoint {
  enum Phase { Format, FormatDone, Write, Stored, FormatFailed, WriteFailed } phase;
  unsigned progress;  // percent of the current phase
};

// What a data connection was, decided when it ends. A candidate connection (one
// after the image began) that carried exactly one command-sized write while an
// image is held is the command packet; one that carried anything else is an image.
enum class DataEnding { ImageCut, Cut, Empty, Command, Image };
struct DataConnection {
  bool image = false;  // opened as the image connection
  bool cut = false;    // ended by an unplug or a hang, not by the PC
  uint64_t bytes = 0;
  size_t writes = 0;  // whole write requests read
  bool deviceHasImage = false;
};
DataEnding ClassifyDataConnection(const DataConnection& c);
// The recorder's name for it: image-cut, cut, empty, command, image.
const char* DataEndingName(DataEnding e);

// Shared by the pipe threads: every method locks.
class Device {
 public:
  Device(const Options& opt, EventLog& log, Clock clock = SystemClock())
      : opt_(opt), rec_(log), now_(std::move(clock)) {}

  // Back to the state of a freshly plugged-in handheld.
  void Reset();

  unsigned NextConnection() { return ++connections_; }

  // ---- data channel

  enum class DataRole { Image, Candidate };
  DataRole OpenData(unsigned conn);
  bool HasImage();
  void AddImageBytes(uint64_t n);
  void ImageAbandoned(unsigned conn);
  void ImageComplete(uint64_t size);
  std::string Describe();

  // ---- status channel

  Report NextReport(unsigned conn);

  void Register(InFlight* f);
  // Called when the write of `f` has ended; `taken` when the PC read it.
  // Returns true when the device is to unplug now.
  bool Unregister(InFlight* f, bool taken);

  // Time-paced flashing is checked by the main loop; true when due to unplug.
  bool FlashUnplugDue();
  bool WantsTicks() const;

 private:
  bool AccountLocked(const Report& r);
  std::string DescribeLocked();
  void AdvanceVersionLocked();
  unsigned StepsPerPhase() const { return (100 + opt_.step - 1) / opt_.step + 1; }  // 0, s, 2s, .., 100
  uint64_t PosLocked() const;
  FlashPoint PointLocked() const;
  bool FlashUnplugDueLocked();

  // Text of a failure report: the bytes after the fields, up to a zero byte,
  // or without any zero byte when asked to.
  void FillFailureText(Report& r, size_t from, const std::string& text);

  void MakeFlashReport(Report& r);

  const Options& opt_;
  EventLog& rec_;
  Clock now_;
  std::mutex mutex_;
  std::atomic<unsigned> connections_{0};
  Stage stage_ = Stage::BeforeImage;
  unsigned imageConn_ = 0;
  uint64_t imageBytes_ = 0;
  uint64_t reads_ = 0;
  size_t versionItem_ = 0;
  unsigned versionUsed_ = 0;
  unsigned long long flashStart_ = 0;
  uint64_t pos_ = 0;
  uint64_t flashReports_ = 0;
  uint64_t garbageReports_ = 0;
  unsigned lastStatusConn_ = 0;    // connection of the latest report
  uint64_t flashConnections_ = 0;  // status connections opened while flashing
  bool unplugDone_ = false;
  std::vector<InFlight*> inflight_;
  std::condition_variable settled_;
  bool unplugPending_ = false;
};

}  // namespace r47sim
