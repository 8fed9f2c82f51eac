// Test-side control of the simulated handheld (r47sim.exe) and the simulated
// USB bus (the setupapi.dll substitute). Windows API and standard library only.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace simctl {

// One running r47sim.exe. The destructor stops it.
class SimDevice {
 public:
  // Starts r47sim.exe from the folder of the running program with a unique
  // name and a fresh record folder under %TEMP%, plus `extraArgs` (see
  // sim/README.md). Returns null if it did not come up; LastError() says why.
  // `nameTail` is appended to the generated name (and so to the device path).
  static std::unique_ptr<SimDevice> Start(const std::vector<std::string>& extraArgs = {},
                                          const std::string& nameTail = "");

  ~SimDevice();
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  const std::string& Name() const { return name_; }
  // The device path under which the system's SetupAPI lists it.
  const std::string& DevicePath() const { return path_; }
  std::string PipePath(const char* pipe) const { return path_ + "\\" + pipe; }
  // The named pipe behind the device path: "\\.\pipe\NAME".
  const std::string& PipeName() const { return pipe_; }
  const std::string& RecordDir() const { return dir_; }

  // Asks it to quit, waits (bounded) and terminates it if it does not.
  void Stop();
  // Pulls the plug / puts it back, as a user would; the device logs "unplugged
  // (asked)" and "plugged in". Returns at once.
  void Unplug() const;
  void Plug() const;
  // Ends it at once, as a crash would: it removes nothing, so its device stays
  // listed as present while its path no longer opens. When this object goes, a
  // short-lived handheld sweeps that leftover away, so that the next test in the
  // same Wine session starts with no device listed.
  void Crash();
  bool Running() const;

  // Records; they can be read while it runs and after Stop().
  std::vector<unsigned char> ReceivedStream() const;  // bytes of the last image
  std::vector<unsigned> WriteSizes() const;           // complete write requests of the last image
  std::vector<unsigned char> CommandPacket() const;   // empty when none came
  std::string Events() const;
  std::string Output() const;  // what it printed

  // Waits until events.txt contains `text` (at or after `from` characters);
  // false after `timeoutMs`. A bound for the wait, not a measurement.
  bool WaitForEvent(const std::string& text, DWORD timeoutMs = 10000, size_t from = 0) const;

 private:
  SimDevice() = default;
  std::vector<unsigned char> ReadRecord(const char* file) const;

  std::string name_, path_, pipe_, dir_;
  HANDLE process_ = nullptr;
  HANDLE quit_ = nullptr;
  HANDLE unplug_ = nullptr;
  HANDLE plug_ = nullptr;
  bool crashed_ = false;
};

// Why the last Start() failed.
std::string LastError();

// The substitute bus, for the faults only it can make (a set that cannot be had,
// a failing detail query, a log of the record sizes passed). It is loaded by its
// full path before anything in this process asks for setupapi.dll; the loader
// then hands out that module for the name, also to a load from System32 only.
// Nothing is installed anywhere. False, with the reason in `error`, when this
// process already has another setupapi.dll or the loader does not comply.
bool UseSubstituteBus(std::string& error);

// Bus settings, as environment variables of this process; child processes
// (the program under test) inherit them.
void SetBusDevices(const std::vector<std::string>& paths);  // "!" / "!!" prefixes: see sim/README.md
void SetBusClassDevsFail(bool fail);
void SetBusLog(const std::string& file);  // empty: no log
std::string ReadTextFile(const std::string& file);

// The folder of the running program, with a trailing backslash.
std::string ExeDir();

}  // namespace simctl
