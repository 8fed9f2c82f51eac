// One handheld per run: the device that answered is the device that is written.
// Every pipe of a run is opened through a DevicePin. Until something is pinned it
// opens the first present device; once pinned, only the device under that path,
// found anew among the present interfaces for each opening (a handheld replugged
// into the same port keeps its path). A pinned device that is gone counts as
// missing; another handheld is never taken in its place.
#pragma once
#include <windows.h>

#include <string>

class DevicePin {
 public:
  bool Pinned() const { return !path_.empty(); }
  const std::string& Path() const { return path_; }
  // Fixes the device for the rest of the run; a pinned device stays pinned.
  void Pin(const std::string& devicePath) {
    if (path_.empty()) path_ = devicePath;
  }

 private:
  std::string path_;
};

// Opens <device path>\<pipeName> for overlapped I/O (see pipe_io.h), of the pinned
// device or, while nothing is pinned, of the first present one. *opened (when
// given) receives the device path used; *error the system error code of a failure.
HANDLE OpenDevicePipe(const DevicePin& pin, const char* pipeName, std::string* opened = nullptr,
                      DWORD* error = nullptr);
