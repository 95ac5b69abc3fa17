// A USB device rebuilt from `lsusb -v` output (the usbutils text format):
// its device descriptor, its first configuration with every interface
// (alternate settings included) and endpoint, and the string texts lsusb
// printed beside the string indexes. Class-specific descriptors, further
// configurations, the device qualifier and the BOS are left out: the
// driver's first attach looks only at the parts kept.
//
// The parser is a pure function; LsusbModel serves the result on the
// simulated bus (descriptors only: its data endpoints never carry data).
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "cehost/usb_device_model.h"

namespace serlynx {

struct LsusbDevice {
    cehost::Bytes device;         // 18 bytes
    cehost::Bytes configuration;  // wTotalLength bytes
    std::map<uint8_t, std::string> strings;
};

// False with `error` naming the line ("line 12: ...") when the text is not
// `lsusb -v` output of a device or a field the driver needs is unreadable.
bool ParseLsusb(const std::string& text, LsusbDevice* device, std::string* error);

class LsusbModel : public cehost::UsbDeviceModel {
  public:
    explicit LsusbModel(LsusbDevice device) : device_(std::move(device)) {}
    cehost::Bytes DeviceDescriptor() override { return device_.device; }
    cehost::Bytes ConfigurationDescriptor(uint8_t index) override {
        return index == 0 ? device_.configuration : cehost::Bytes{};
    }
    cehost::Bytes StringDescriptor(uint8_t index, uint16_t language) override;
    std::string Name() const override { return "lsusb"; }

  private:
    const LsusbDevice device_;
};

}  // namespace serlynx
