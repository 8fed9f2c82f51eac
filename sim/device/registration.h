// The simulated handheld as the system's device setup lists it: a USB device
// instance with one interface of the r47 class, present only while plugged in.
//
// A program that enumerates present interfaces of the class with the system's
// own SetupAPI finds it, and its device path opens the simulator's pipes:
// <path>, <path>\PIPE00 and <path>\PIPE01.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <string>

namespace r47sim {

class Registration {
 public:
  Registration() = default;
  ~Registration();
  Registration(const Registration&) = delete;
  Registration& operator=(const Registration&) = delete;

  // Registers the device instance USB\VID_...&PID_...\<name> with an interface
  // whose reference string is <name>, not yet present. Leftovers of simulators
  // that ended without removing theirs are removed first. False with a reason
  // in `error` when the system refuses.
  bool Create(const std::string& name, std::string& error);

  // Present: the interface is marked linked and its device path leads to the
  // named pipes. The pipes must already listen.
  bool Plug(std::string& error);
  // Not present: unlisted for present-only enumerations, the path no longer opens.
  void Unplug();
  // Deletes the device instance and its interface (also done by the destructor).
  void Remove();

  // The interface's device path as the system's SetupAPI reports it.
  const std::string& DevicePath() const { return path_; }

 private:
  bool SetLinked(DWORD value);

  HDEVINFO set_ = INVALID_HANDLE_VALUE;
  SP_DEVINFO_DATA device_{};
  bool created_ = false;
  std::string path_;
  std::wstring linkName_;      // \??\<device path without \\?\ and without \<name>>
  std::wstring interfaceKey_;  // under HKLM: the interface's own key
  HANDLE link_ = nullptr;      // the object-manager link lives while this is open
  HANDLE alive_ = nullptr;     // tells other simulators that this device has an owner
};

}  // namespace r47sim
