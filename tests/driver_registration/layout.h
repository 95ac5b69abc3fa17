// Devices for calling the attach entry point directly: a scripted model with
// the descriptors of an interface layout, plugged on the emulated bus without
// a client search, so the driver sees the host's own records and functions.
// And the registry values the attach tests write.
#pragma once

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>

#include "cehost/regfile.h"
#include "cehost/usb_bus.h"
#include "common/platform_test.h"
#include "common/scripted_model.h"

namespace regtest {

constexpr DWORD N = USB_NO_INFO;
// The device key of LayoutModel(0x1234, 1, ...).
inline const std::u16string kKey =
    u"Drivers\\USB\\LoadClients\\4660_1_256\\Default\\Default\\Serlynx";

// A layout in brief: interfaces separated by '|', each "class[.subclass]
// [/alternate][#number]:" (number: its position by default) and its
// endpoints, "<address in hex><b|i|s>[packet]" for bulk, interrupt and
// isochronous (packet 64 by default). "2.2: 81i16 | 10: 82b 02b" is a CDC
// device.
inline std::shared_ptr<testfix::ScriptedModel> LayoutModel(uint16_t vendor, uint16_t product,
                                                           const std::string& layout) {
    namespace d = cehost::usbdesc;
    cehost::Bytes body;
    std::istringstream interfaces(layout);
    std::string itf;
    uint8_t count = 0;
    while (!layout.empty() && std::getline(interfaces, itf, '|')) {
        unsigned cls = 0, sub = 0, alt = 0, number = count, n = 0, address = 0, packet;
        std::sscanf(itf.c_str(), " %u.%u", &cls, &sub);
        if (auto at = itf.find('/'); at != std::string::npos)
            std::sscanf(itf.c_str() + at, "/%u", &alt);
        if (auto at = itf.find('#'); at != std::string::npos)
            std::sscanf(itf.c_str() + at, "#%u", &number);
        std::istringstream eps(itf.substr(itf.find(':') + 1));
        cehost::Bytes endpoints;
        for (std::string ep; eps >> ep; ++n) {
            char type = 'b';
            packet = 64;
            std::sscanf(ep.c_str(), "%2x%c%u", &address, &type, &packet);
            d::AppendEndpoint(endpoints, uint8_t(address), uint8_t(std::string("?sbi").find(type)),
                              uint16_t(packet), 1);
        }
        d::AppendInterface(body, uint8_t(number), uint8_t(alt), uint8_t(n), uint8_t(cls),
                           uint8_t(sub), 0);
        body.insert(body.end(), endpoints.begin(), endpoints.end());
        ++count;
    }
    auto model = std::make_shared<testfix::ScriptedModel>();
    model->SetDescriptors(d::Device(0x200, 0, 0, 0, 64, vendor, product, 0x100, 0, 0, 0),
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
    cehost::UsbBus bus;
    cehost::UsbDeviceId id;
};

inline cehost::RegValue Dword(DWORD v) {
    return {REG_DWORD, {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}};
}
inline cehost::RegValue Sz(const std::u16string& s, bool terminated = true) {
    cehost::RegValue v{REG_SZ, {}};
    for (char16_t ch : s + (terminated ? std::u16string(1, 0) : u""))
        v.data.insert(v.data.end(), {uint8_t(ch), uint8_t(ch >> 8)});
    return v;
}
inline void Write(const std::u16string& key, const std::u16string& name,
                  const cehost::RegValue& v) {
    cehost::RegWrite(key, name, v.type, v.data);
}

}  // namespace regtest
