// Soak: many flashes in a row, one program start each, against one simulated handheld
// that restarts after each; and many Update rounds in one program against a missing
// device. After each run: the program's private bytes and the connections it holds
// open at the device (Wine's GetProcessHandleCount is a stub, so the device counts
// them). Run by scripts/reliability (R47_SOAK_FLASHES, R47_SOAK_ROUNDS set the counts);
// figures go to reports/soak-*.md.
#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "device_scenario.h"
#include "reliability_report.h"

namespace e2e {
namespace {

// Private bytes of another process; 0 when they cannot be read.
uint64_t PrivateBytes(DWORD processId) {
  struct Counters {  // PROCESS_MEMORY_COUNTERS_EX
    DWORD cb;
    DWORD PageFaultCount;
    SIZE_T PeakWorkingSetSize, WorkingSetSize, QuotaPeakPagedPoolUsage, QuotaPagedPoolUsage, QuotaPeakNonPagedPoolUsage,
        QuotaNonPagedPoolUsage, PagefileUsage, PeakPagefileUsage, PrivateUsage;
  };
  using Fn = BOOL(WINAPI*)(HANDLE, Counters*, DWORD);
  auto fn = reinterpret_cast<Fn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "K32GetProcessMemoryInfo")));
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
  if (!fn || !process) {
    if (process) CloseHandle(process);
    return 0;
  }
  Counters c{};
  c.cb = sizeof(c);
  // Wine leaves PrivateUsage at 0 and reports the same commit charge as PagefileUsage,
  // which Windows fills with the private bytes too.
  uint64_t bytes = fn(process, &c, sizeof(c)) ? (c.PrivateUsage ? c.PrivateUsage : c.PagefileUsage) : 0;
  CloseHandle(process);
  return bytes;
}

// Connections to the device that are open now, from its own record.
long OpenConnections(const simctl::SimDevice& device) {
  const std::string events = device.Events();
  return static_cast<long>(CountOf(events, ": open (connection")) -
         static_cast<long>(CountOf(events, ": close (connection"));
}

int Count(const char* variable, int fallback) {
  const char* v = std::getenv(variable);
  return v && std::atoi(v) > 0 ? std::atoi(v) : fallback;
}

std::string Figures(const std::vector<uint64_t>& bytes) {
  if (bytes.empty()) return "no figures";
  auto [lo, hi] = std::minmax_element(bytes.begin(), bytes.end());
  std::ostringstream out;
  out << "first " << bytes.front() / 1024 << " KiB, last " << bytes.back() / 1024 << " KiB, min " << *lo / 1024
      << " KiB, max " << *hi / 1024 << " KiB";
  return out.str();
}

std::string Report(const char* title, const std::vector<uint64_t>& bytes, const std::vector<long>& connections) {
  std::ostringstream md;
  md << "## " << title << "\n\n"
     << Figures(bytes) << "\n\n| run | private KiB | connections open at the device |\n"
     << "|---|---|---|\n";
  for (size_t i = 0; i < bytes.size(); ++i)
    md << "| " << i + 1 << " | " << bytes[i] / 1024 << " | " << (i < connections.size() ? connections[i] : 0) << " |\n";
  return md.str() + "\n";
}

class Soak : public DeviceScenario {};

TEST_F(Soak, DISABLED_FlashesOneStartEach) {
  const int flashes = Count("R47_SOAK_FLASHES", 50);
  const auto image = OsImage(300007);
  folder_.Write(kOsName, image);
  folder_.Write(kBootName, BootImage(100000));
  work_.Write(L"version.ver", VersionFileText(1, 3));
  // The device restarts after each closing command and is back, before-image, at once.
  StartDevice({"--version", "0x0103", "--step", "50", "--pace-ms", "0", "--replug-after-ms", "300", "--lifetime-ms",
               "3600000"});
  std::vector<uint64_t> bytes;
  std::vector<long> connections;
  for (int i = 0; i < flashes; ++i) {
    SCOPED_TRACE("flash " + std::to_string(i + 1));
    StartProgram();
    uint64_t atSuccess = 0;
    long openAtSuccess = -1;
    BoxLog boxes(program_->ProcessId(), [&](const BoxRecord&, HWND) {
      atSuccess = PrivateBytes(program_->ProcessId());
      openAtSuccess = OpenConnections(*device_);
    });
    TickAndUpdate();
    ExpectEndsWithZero(kUpdateWait);
    auto shown = boxes.Boxes();
    ASSERT_EQ(shown.size(), 1u) << Describe(shown);
    EXPECT_EQ(shown[0].caption, kSuccessCaption);
    EXPECT_TRUE(device_->ReceivedStream() == image);
    // Every connection the program opened was closed by its end.
    EXPECT_TRUE(ProgramRun::WaitUntil([&] { return OpenConnections(*device_) == 0; }, kShortWait)) << device_->Events();
    EXPECT_NE(atSuccess, 0u) << "the program's private bytes could not be read";
    bytes.push_back(atSuccess);
    connections.push_back(openAtSuccess);
    // Written after every run, so a run cut short still leaves its figures.
    WriteReport(L"soak-flashes.md", Report("Flashes, one program start each", bytes, connections));
    program_.reset();
    // The next run waits for the device's restart to be over.
    const size_t command = device_->Events().rfind("PIPE01: command packet");
    ASSERT_NE(command, std::string::npos);
    ASSERT_TRUE(device_->WaitForEvent("unplugged (restart)", kShortWait, command));
    ASSERT_TRUE(device_->WaitForEvent("plugged in", kShortWait, command));
  }
  std::cout << Figures(bytes) << std::endl;
}

TEST_F(Soak, DISABLED_UpdateRoundsAgainstAMissingDevice) {
  const int rounds = Count("R47_SOAK_ROUNDS", 20);
  folder_.Write(kOsName, OsImage(300007));
  folder_.Write(kBootName, BootImage(100000));
  work_.Write(L"version.ver", VersionFileText(1, 3));
  simctl::SetBusDevices({});
  StartProgram();
  BoxLog boxes(program_->ProcessId());
  std::vector<uint64_t> bytes;
  ASSERT_TRUE(program_->Click(kAcknowledge));
  for (int i = 0; i < rounds; ++i) {
    SCOPED_TRACE("round " + std::to_string(i + 1));
    ASSERT_TRUE(ProgramRun::WaitUntil([&] { return program_->Enabled(kUpdate); }, kShortWait));
    ASSERT_TRUE(program_->Click(kUpdate));
    ASSERT_TRUE(boxes.WaitForBoxes(static_cast<size_t>(i) + 1, kUpdateWait)) << "round without its message";
    EXPECT_EQ(boxes.Boxes().back().text, kNotFoundText);
    ASSERT_TRUE(ProgramRun::WaitUntil([&] { return program_->Enabled(kUpdate); }, kShortWait));
    bytes.push_back(PrivateBytes(program_->ProcessId()));
    EXPECT_NE(bytes.back(), 0u) << "the program's private bytes could not be read";
    WriteReport(L"soak-rounds.md", Report("Update rounds in one program, no device", bytes, {}));
  }
  EXPECT_TRUE(program_->Running());
  std::cout << Figures(bytes) << std::endl;
}

}  // namespace
}  // namespace e2e
