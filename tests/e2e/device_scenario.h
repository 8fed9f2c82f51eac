// Scenarios with the simulated handheld on the bus.
#pragma once
#include "scenario.h"
#include "sim_harness.h"

namespace e2e {

class DeviceScenario : public Scenario {
 protected:
  // Plugs in a simulated handheld. The program finds it through the system's own
  // SetupAPI; the test lane keeps other tests' devices out of this Wine session.
  void StartDevice(const std::vector<std::string>& options) {
    device_ = simctl::SimDevice::Start(options);
    ASSERT_TRUE(device_) << simctl::LastError();
  }
  void TearDown() override {
    if (HasFailure() && device_) {
      std::cout << "device events:\n" << device_->Events() << std::endl;
    }
    program_.reset();
    if (device_) device_->Stop();
  }

  std::unique_ptr<simctl::SimDevice> device_;
};

}  // namespace e2e
