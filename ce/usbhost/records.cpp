// The host driver's records (USB_DEVICE and the trees below it), built from
// the raw descriptors read at enumeration, and descriptor-building helpers
// for device models.
#include <cstring>

#include "usbhost/host.h"

namespace cehost {
namespace {

void PutLe16(Bytes& b, uint16_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}

}  // namespace

// Walks each configuration: an interface descriptor opens a USB_INTERFACE,
// its endpoints follow; descriptors of other types (class-specific ones) are
// gathered as the lpvExtended block of the interface or endpoint before them.
bool BuildRecords(UsbDevice& d) {
    if (d.deviceDescriptor.size() < sizeof(USB_DEVICE_DESCRIPTOR))
        return false;
    d.record.dwCount = sizeof(USB_DEVICE);
    std::memcpy(&d.record.Descriptor, d.deviceDescriptor.data(), sizeof(USB_DEVICE_DESCRIPTOR));
    size_t n = d.configDescriptors.size();
    d.configs.assign(n, USB_CONFIGURATION{});
    d.interfaces.assign(n, {});
    d.endpoints.assign(n, {});
    // Reserve so that pointers into `extended` stay put.
    size_t blocks = 0;
    for (auto& c : d.configDescriptors)
        blocks += c.size() / 2 + 1;
    d.extended.clear();
    d.extended.reserve(blocks);

    for (size_t ci = 0; ci < n; ci++) {
        const Bytes& raw = d.configDescriptors[ci];
        if (raw.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR))
            return false;
        USB_CONFIGURATION& c = d.configs[ci];
        c.dwCount = sizeof(USB_CONFIGURATION);
        std::memcpy(&c.Descriptor, raw.data(), sizeof(USB_CONFIGURATION_DESCRIPTOR));
        auto& ifs = d.interfaces[ci];
        auto& eps = d.endpoints[ci];
        // First pass: count, so that the vectors never reallocate.
        size_t nIf = 0;
        for (size_t off = raw[0]; off + 2 <= raw.size() && raw[off] >= 2; off += raw[off])
            if (raw[off + 1] == USB_INTERFACE_DESCRIPTOR_TYPE)
                nIf++;
        ifs.reserve(nIf);
        eps.reserve(nIf);
        enum { kNone, kIf, kEp } last = kNone;
        Bytes* ext = nullptr;
        for (size_t off = raw[0]; off + 2 <= raw.size(); off += raw[off]) {
            uint8_t len = raw[off], type = raw[off + 1];
            if (len < 2 || off + len > raw.size())
                return false;
            if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
                if (len < sizeof(USB_INTERFACE_DESCRIPTOR))
                    return false;
                USB_INTERFACE i{};
                i.dwCount = sizeof(USB_INTERFACE);
                std::memcpy(&i.Descriptor, &raw[off], sizeof(USB_INTERFACE_DESCRIPTOR));
                ifs.push_back(i);
                eps.emplace_back();
                eps.back().reserve(i.Descriptor.bNumEndpoints);
                last = kIf;
                ext = nullptr;
            } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE) {
                if (len < sizeof(USB_ENDPOINT_DESCRIPTOR) || ifs.empty())
                    return false;
                if (eps.back().size() >= ifs.back().Descriptor.bNumEndpoints)
                    return false;
                USB_ENDPOINT e{};
                e.dwCount = sizeof(USB_ENDPOINT);
                std::memcpy(&e.Descriptor, &raw[off], sizeof(USB_ENDPOINT_DESCRIPTOR));
                eps.back().push_back(e);
                last = kEp;
                ext = nullptr;
            } else if (last != kNone) {
                if (!ext) {
                    d.extended.emplace_back();
                    ext = &d.extended.back();
                    if (last == kIf)
                        ifs.back().lpvExtended = ext;
                    else
                        eps.back().back().lpvExtended = ext;
                }
                ext->insert(ext->end(), raw.begin() + off, raw.begin() + off + len);
            }
        }
        // lpvExtended pointed at the Bytes object; point at its data instead.
        for (auto& i : ifs)
            if (i.lpvExtended)
                i.lpvExtended = static_cast<const Bytes*>(i.lpvExtended)->data();
        for (auto& list : eps)
            for (auto& e : list)
                if (e.lpvExtended)
                    e.lpvExtended = static_cast<const Bytes*>(e.lpvExtended)->data();
        for (size_t k = 0; k < ifs.size(); k++) {
            if (eps[k].size() != ifs[k].Descriptor.bNumEndpoints)
                return false;
            ifs[k].lpEndpoints = eps[k].empty() ? nullptr : eps[k].data();
        }
        c.dwNumInterfaces = DWORD(ifs.size());
        c.lpInterfaces = ifs.empty() ? nullptr : ifs.data();
    }
    d.record.lpConfigs = d.configs.empty() ? nullptr : d.configs.data();
    d.record.lpActiveConfig = d.record.lpConfigs;
    return true;
}

namespace usbdesc {

Bytes Device(uint16_t bcdUsb, uint8_t cls, uint8_t subClass, uint8_t protocol, uint8_t maxPacket0,
             uint16_t vendor, uint16_t product, uint16_t release, uint8_t iManufacturer,
             uint8_t iProduct, uint8_t iSerial) {
    Bytes b{18, USB_DEVICE_DESCRIPTOR_TYPE};
    PutLe16(b, bcdUsb);
    b.insert(b.end(), {cls, subClass, protocol, maxPacket0});
    PutLe16(b, vendor);
    PutLe16(b, product);
    PutLe16(b, release);
    b.insert(b.end(), {iManufacturer, iProduct, iSerial, 1});
    return b;
}

void AppendInterface(Bytes& body, uint8_t number, uint8_t alt, uint8_t numEndpoints, uint8_t cls,
                     uint8_t subClass, uint8_t protocol, uint8_t iInterface) {
    body.insert(body.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alt, numEndpoints, cls,
                             subClass, protocol, iInterface});
}

void AppendEndpoint(Bytes& body, uint8_t address, uint8_t attributes, uint16_t maxPacket,
                    uint8_t interval) {
    body.insert(body.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, attributes});
    PutLe16(body, maxPacket);
    body.push_back(interval);
}

Bytes Configuration(uint8_t numInterfaces, uint8_t value, const Bytes& body, uint8_t attributes,
                    uint8_t maxPower) {
    Bytes b{9, USB_CONFIGURATION_DESCRIPTOR_TYPE};
    PutLe16(b, uint16_t(9 + body.size()));
    b.insert(b.end(), {numInterfaces, value, 0, attributes, maxPower});
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

Bytes String(const std::string& text) {
    size_t n = text.size() > 126 ? 126 : text.size();
    Bytes b{uint8_t(2 + 2 * n), USB_STRING_DESCRIPTOR_TYPE};
    for (size_t i = 0; i < n; i++)
        PutLe16(b, uint8_t(text[i]));
    return b;
}

Bytes Languages(std::initializer_list<uint16_t> languages) {
    Bytes b{uint8_t(2 + 2 * languages.size()), USB_STRING_DESCRIPTOR_TYPE};
    for (uint16_t l : languages)
        PutLe16(b, l);
    return b;
}

Bytes EnglishStrings(uint8_t index, uint16_t language, std::initializer_list<std::string> texts) {
    constexpr uint16_t kUsEnglish = 0x0409;
    if (index == 0)
        return Languages({kUsEnglish});
    if (language != kUsEnglish || index > texts.size())
        return {};
    const std::string& text = texts.begin()[index - 1];
    return text.empty() ? Bytes{} : String(text);
}

}  // namespace usbdesc

}  // namespace cehost
