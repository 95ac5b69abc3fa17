// The tests' `lsusb -v` reader on arbitrary text. Whatever it accepts must
// give records whose counts and pointers hold together: every interface and
// endpoint it lists is read back in full.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/lsusb_fixture.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    testfix::LsusbDevice device;
    std::string error;
    if (!device.Parse(text, &error))
        return 0;
    const USB_DEVICE* d = device.Device();
    unsigned sum = d->Descriptor.idVendor + d->Descriptor.idProduct;
    const USB_CONFIGURATION* c = d->lpActiveConfig;
    if (c == nullptr)
        return 0;
    if (c->dwNumInterfaces != 0 && c->lpInterfaces == nullptr) {
        std::fprintf(stderr, "fuzz: %u interfaces without records\n", c->dwNumInterfaces);
        std::abort();
    }
    for (DWORD i = 0; i < c->dwNumInterfaces; ++i) {
        const USB_INTERFACE& itf = c->lpInterfaces[i];
        sum += itf.Descriptor.bInterfaceClass;
        if (itf.Descriptor.bNumEndpoints != 0 && itf.lpEndpoints == nullptr) {
            std::fprintf(stderr, "fuzz: interface %u lists %u endpoints without records\n", i,
                         itf.Descriptor.bNumEndpoints);
            std::abort();
        }
        for (unsigned e = 0; e < itf.Descriptor.bNumEndpoints; ++e)
            sum += itf.lpEndpoints[e].Descriptor.bEndpointAddress +
                   itf.lpEndpoints[e].Descriptor.wMaxPacketSize;
    }
    for (unsigned i = 0; i < 256; ++i)
        sum += static_cast<unsigned>(device.StringText(static_cast<uint8_t>(i)).size());
    return sum == 0xFFFFFFFF;  // keeps the reads
}
