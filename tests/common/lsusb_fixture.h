// Reads a real `lsusb -v` dump into the USB host driver's records
// (USB_DEVICE with its active configuration, interfaces and endpoints), so
// that tests can offer real devices' layouts to code that walks them.
//
// Only what such code looks at is taken: the device descriptor's ids and
// string indexes (with the strings' texts as lsusb printed them), and of the
// first configuration every interface (alternate settings included) with its
// endpoints. Class-specific descriptors, further configurations, the device
// qualifier and the BOS are skipped.
//
// The fixtures are in the repository, under tests/fixtures/lsusb.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ce/usb.h"

namespace testfix {

class LsusbDevice {
  public:
    // The records; valid as long as this object lives.
    const USB_DEVICE* Device() const { return &device_; }
    // Text lsusb printed after a string index (empty when none).
    std::string StringText(uint8_t index) const {
        auto it = strings_.find(index);
        return it == strings_.end() ? std::string() : it->second;
    }

    // Parses `text`; false with `error` set when it holds no device descriptor.
    bool Parse(const std::string& text, std::string* error) {
        enum class Section { kNone, kDevice, kConfig, kInterface, kEndpoint, kOther, kDone };
        Section section = Section::kNone;
        int configs = 0;
        std::istringstream in(text);
        std::string line;
        bool sawDevice = false;
        while (std::getline(in, line)) {
            std::string trimmed = Trim(line);
            if (trimmed.empty() || section == Section::kDone) {
                continue;
            }
            if (trimmed.rfind("Device Qualifier", 0) == 0 ||
                trimmed.rfind("Binary Object Store", 0) == 0 ||
                trimmed.rfind("Device Status", 0) == 0) {
                section = Section::kDone;
                continue;
            }
            if (trimmed.back() == ':') {
                if (trimmed == "Device Descriptor:") {
                    section = Section::kDevice;
                    sawDevice = true;
                } else if (trimmed == "Configuration Descriptor:") {
                    section = ++configs == 1 ? Section::kConfig : Section::kDone;
                } else if (trimmed == "Interface Descriptor:" && configs == 1) {
                    interfaces_.push_back(Interface{});
                    section = Section::kInterface;
                } else if (trimmed == "Endpoint Descriptor:" && !interfaces_.empty()) {
                    interfaces_.back().endpoints.push_back(USB_ENDPOINT{});
                    section = Section::kEndpoint;
                } else {
                    section = Section::kOther;
                }
                continue;
            }
            std::istringstream fields(trimmed);
            std::string name, value;
            fields >> name >> value;
            if (value.empty()) {
                continue;
            }
            std::string rest;
            std::getline(fields, rest);
            rest = Trim(rest);
            switch (section) {
                case Section::kDevice:
                    ParseDevice(name, value, rest);
                    break;
                case Section::kInterface:
                    ParseInterface(name, value);
                    break;
                case Section::kEndpoint:
                    ParseEndpoint(name, value);
                    break;
                default:
                    break;
            }
        }
        if (!sawDevice) {
            *error = "no device descriptor";
            return false;
        }
        Link();
        return true;
    }

  private:
    struct Interface {
        USB_INTERFACE_DESCRIPTOR descriptor{};
        std::vector<USB_ENDPOINT> endpoints;
    };

    static std::string Trim(const std::string& s) {
        size_t b = s.find_first_not_of(" \t\r");
        if (b == std::string::npos)
            return "";
        size_t e = s.find_last_not_of(" \t\r");
        return s.substr(b, e - b + 1);
    }
    // "0x067b", "255", or a BCD release "3.00" (read as 0x0300).
    static unsigned Number(const std::string& v) {
        size_t dot = v.find('.');
        if (dot != std::string::npos) {
            std::string digits = v.substr(0, dot) + v.substr(dot + 1);
            return static_cast<unsigned>(std::strtoul(digits.c_str(), nullptr, 16));
        }
        return static_cast<unsigned>(std::strtoul(v.c_str(), nullptr, 0));
    }

    void ParseDevice(const std::string& name, const std::string& value, const std::string& rest) {
        USB_DEVICE_DESCRIPTOR& d = device_.Descriptor;
        unsigned n = Number(value);
        if (name == "idVendor")
            d.idVendor = static_cast<USHORT>(n);
        if (name == "idProduct")
            d.idProduct = static_cast<USHORT>(n);
        if (name == "bcdDevice")
            d.bcdDevice = static_cast<USHORT>(n);
        if (name == "bDeviceClass")
            d.bDeviceClass = static_cast<UCHAR>(n);
        if (name == "iManufacturer" || name == "iProduct" || name == "iSerial") {
            if (name == "iManufacturer")
                d.iManufacturer = static_cast<UCHAR>(n);
            if (name == "iProduct")
                d.iProduct = static_cast<UCHAR>(n);
            if (name == "iSerial")
                d.iSerialNumber = static_cast<UCHAR>(n);
            if (n != 0 && !rest.empty())
                strings_[static_cast<uint8_t>(n)] = rest;
        }
    }
    void ParseInterface(const std::string& name, const std::string& value) {
        USB_INTERFACE_DESCRIPTOR& d = interfaces_.back().descriptor;
        UCHAR n = static_cast<UCHAR>(Number(value));
        if (name == "bInterfaceNumber")
            d.bInterfaceNumber = n;
        if (name == "bAlternateSetting")
            d.bAlternateSetting = n;
        if (name == "bNumEndpoints")
            d.bNumEndpoints = n;
        if (name == "bInterfaceClass")
            d.bInterfaceClass = n;
        if (name == "bInterfaceSubClass")
            d.bInterfaceSubClass = n;
        if (name == "bInterfaceProtocol")
            d.bInterfaceProtocol = n;
    }
    void ParseEndpoint(const std::string& name, const std::string& value) {
        USB_ENDPOINT_DESCRIPTOR& d = interfaces_.back().endpoints.back().Descriptor;
        unsigned n = Number(value);
        if (name == "bEndpointAddress")
            d.bEndpointAddress = static_cast<UCHAR>(n);
        if (name == "bmAttributes")
            d.bmAttributes = static_cast<UCHAR>(n);
        if (name == "wMaxPacketSize")
            d.wMaxPacketSize = static_cast<USHORT>(n);
        if (name == "bInterval")
            d.bInterval = static_cast<UCHAR>(n);
    }

    void Link() {
        records_.clear();
        for (Interface& i : interfaces_) {
            for (USB_ENDPOINT& e : i.endpoints) {
                e.dwCount = sizeof(USB_ENDPOINT);
                e.Descriptor.bLength = sizeof(USB_ENDPOINT_DESCRIPTOR);
                e.Descriptor.bDescriptorType = USB_ENDPOINT_DESCRIPTOR_TYPE;
            }
            USB_INTERFACE r{};
            r.dwCount = sizeof(USB_INTERFACE);
            r.Descriptor = i.descriptor;
            r.Descriptor.bLength = sizeof(USB_INTERFACE_DESCRIPTOR);
            r.Descriptor.bDescriptorType = USB_INTERFACE_DESCRIPTOR_TYPE;
            r.lpEndpoints = i.endpoints.empty() ? nullptr : i.endpoints.data();
            // A cut or damaged dump may announce more endpoints than it
            // lists; the records never claim more than they hold.
            if (r.Descriptor.bNumEndpoints > i.endpoints.size())
                r.Descriptor.bNumEndpoints = static_cast<UCHAR>(i.endpoints.size());
            records_.push_back(r);
        }
        config_ = USB_CONFIGURATION{};
        config_.dwCount = sizeof(USB_CONFIGURATION);
        config_.dwNumInterfaces = static_cast<DWORD>(records_.size());
        config_.lpInterfaces = records_.empty() ? nullptr : records_.data();
        device_.dwCount = sizeof(USB_DEVICE);
        device_.Descriptor.bLength = sizeof(USB_DEVICE_DESCRIPTOR);
        device_.Descriptor.bDescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
        device_.lpConfigs = &config_;
        device_.lpActiveConfig = &config_;
    }

    USB_DEVICE device_{};
    USB_CONFIGURATION config_{};
    std::deque<Interface> interfaces_;
    std::vector<USB_INTERFACE> records_;
    std::map<uint8_t, std::string> strings_;
};

// Directory of the lsusb fixtures (tests/fixtures/lsusb of the source tree).
inline std::filesystem::path LsusbFixtureDir() {
    return SERLYNX_LSUSB_FIXTURES;
}

// Loads the fixture file `name` (e.g. "04-pl2303-067b-2303.txt"); null with
// `error` set when it is missing or unreadable.
inline std::unique_ptr<LsusbDevice> LoadLsusbFixture(const std::string& name, std::string* error) {
    std::filesystem::path dir = LsusbFixtureDir();
    std::ifstream file(dir / name);
    if (!file) {
        *error = "cannot read " + (dir / name).string();
        return nullptr;
    }
    std::stringstream text;
    text << file.rdbuf();
    auto device = std::make_unique<LsusbDevice>();
    if (!device->Parse(text.str(), error)) {
        return nullptr;
    }
    return device;
}

}  // namespace testfix
