// Scenarios with the simulated handheld on the bus.
#pragma once
#include "scenario.h"
#include "sim_harness.h"

namespace e2e {

class DeviceScenario : public Scenario {
 protected:
  // Plugs in a simulated handheld that only this test's program sees.
  void StartDevice(const std::vector<std::string>& options) {
    device_ = simctl::SimDevice::Start(options);
    ASSERT_TRUE(device_) << simctl::LastError();
    simctl::SetBusDevices({device_->DevicePath()});
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
