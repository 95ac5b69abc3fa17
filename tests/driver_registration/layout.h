// Devices for calling the attach entry point directly: a scripted model with
// the descriptors of an interface layout, plugged on the emulated bus without
// a client search, so the driver sees the host's own records and functions.
#pragma once

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>

#include "cehost/usb_bus.h"
#include "common/scripted_model.h"

namespace regtest {

// A layout in brief: interfaces separated by '|', each "class[.subclass]
// [/alternate][#number]:" (number: its position by default) and its
// endpoints, "<address in hex><b|i|s>[packet]" for bulk, interrupt and
// isochronous (packet 64 by default). "2.2: 81i16 | 10: 82b 02b" is a CDC
// device.
inline std::shared_ptr<testfix::ScriptedModel> LayoutModel(uint16_t vendor, uint16_t product,
                                                           const std::string& layout,
                                                           uint16_t release = 0x100,
                                                           uint8_t iProduct = 0) {
    namespace d = cehost::usbdesc;
    cehost::Bytes body;
    std::istringstream interfaces(layout);
    std::string itf;
    uint8_t count = 0;
    while (!layout.empty() && std::getline(interfaces, itf, '|')) {
        unsigned cls = 0, sub = 0, alt = 0, number = count, n = 0;
        std::sscanf(itf.c_str(), " %u.%u", &cls, &sub);
        if (auto at = itf.find('/'); at != std::string::npos)
            std::sscanf(itf.c_str() + at, "/%u", &alt);
        if (auto at = itf.find('#'); at != std::string::npos)
            std::sscanf(itf.c_str() + at, "#%u", &number);
        std::istringstream eps(itf.substr(itf.find(':') + 1));
        std::string ep;
        cehost::Bytes endpoints;
        for (; eps >> ep; ++n) {
            unsigned address = 0, packet = 64;
            char type = 'b';
            std::sscanf(ep.c_str(), "%2x%c%u", &address, &type, &packet);
            d::AppendEndpoint(endpoints, uint8_t(address),
                              type == 'b'   ? 2
                              : type == 'i' ? 3
                                            : 1,
                              uint16_t(packet), 1);
        }
        d::AppendInterface(body, uint8_t(number), uint8_t(alt), uint8_t(n), uint8_t(cls),
                           uint8_t(sub), 0);
        body.insert(body.end(), endpoints.begin(), endpoints.end());
        ++count;
    }
    auto model = std::make_shared<testfix::ScriptedModel>();
    model->SetDescriptors(d::Device(0x200, 0, 0, 0, 64, vendor, product, release, 0, iProduct, 0),
                          d::Configuration(count, 1, body));
    return model;
}

// A device plugged for the test to attach itself; unplugged (with the
// driver's notification) when it goes.
struct Plugged {
    explicit Plugged(std::shared_ptr<cehost::UsbDeviceModel> model)
        : id(bus.PlugUnclaimed(std::move(model))) {}
    USB_HANDLE Handle() const { return bus.Handle(id); }
    LPCUSB_DEVICE Device() const { return cehost::UsbFunctions()->lpGetDeviceInfo(Handle()); }
    const USB_ENDPOINT* Endpoint(size_t itf, size_t ep) const {
        return &Device()->lpActiveConfig->lpInterfaces[itf].lpEndpoints[ep];
    }
    cehost::UsbBus bus;
    cehost::UsbDeviceId id;
};

}  // namespace regtest
