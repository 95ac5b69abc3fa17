// The `lsusb -v` reader (serlynx probe --lsusb) on arbitrary text. Whatever
// it accepts must be descriptors that hold together: an 18-byte device
// descriptor, a configuration whose total length is its size and whose
// descriptors tile it exactly, each interface followed by as many endpoints
// as it declares, and string descriptors of the length they state.
#include <string>

#include "common/fuzz_support.h"
#include "lsusb.h"

namespace {

[[noreturn]] void Finding(const char* what, size_t at) {
    fuzz::Finding("lsusb: %s (at byte %zu)", what, at);
}

void CheckConfiguration(const cehost::Bytes& c) {
    if (c.empty())
        return;  // the dump had no configuration
    if (c.size() < 9 || c[0] != 9 || c[1] != 2)
        Finding("configuration header", 0);
    if (size_t(c[2] | c[3] << 8) != c.size())
        Finding("wTotalLength is not the configuration's size", 2);
    int endpointsOwed = 0;  // below 0: an endpoint no interface declares
    size_t at = 9;
    for (; at < c.size(); at += c[at]) {
        if (at + 2 > c.size() || c[at] < 2 || at + c[at] > c.size())
            Finding("a descriptor runs past the configuration", at);
        if (c[at + 1] == 4) {
            if (endpointsOwed != 0)
                Finding("an interface lists fewer endpoints than it declares", at);
            endpointsOwed = c[at + 4];
        } else if (c[at + 1] == 5 && --endpointsOwed < 0) {
            Finding("an endpoint no interface declares", at);
        }
    }
    if (endpointsOwed != 0)
        Finding("the last interface lists fewer endpoints than it declares", at);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    serlynx::LsusbDevice device;
    std::string error;
    if (!serlynx::ParseLsusb(text, &device, &error)) {
        if (error.rfind("line ", 0) != 0)
            Finding("an error that names no line", 0);
        return 0;
    }
    if (device.device.size() != 18 || device.device[0] != 18 || device.device[1] != 1)
        Finding("device descriptor", 0);
    CheckConfiguration(device.configuration);
    serlynx::LsusbModel model(device);
    for (const auto& [index, text] : device.strings) {
        const cehost::Bytes s = model.StringDescriptor(index, 0x0409);
        if (s.size() < 2 || s[0] != s.size() || s[1] != 3)
            Finding("string descriptor", index);
    }
    return 0;
}
