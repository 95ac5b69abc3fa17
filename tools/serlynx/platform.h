// Booting the emulated platform with the real driver library, and reading
// back what the driver's first attach decided for a device: the device key,
// its port type and endpoints, and (for FTDI-type results) which baud rates
// the chip can represent exactly.
//
// The key paths and value names are the driver's own (registry_values.h),
// and DeviceKeyPath builds the path with the driver's own code (key_path.cpp):
// the tool, the benchmarks, the tests and the fuzz targets reach a device
// key through it.
//
// All functions run on the calling thread; the platform's own threads are
// the bus's and the driver's.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ce/types.h"
#include "cehost/usb_bus.h"
#include "cehost/usb_device_model.h"
#include "driver/registration/registry_values.h"

namespace serlynx {

// The library name the USB host is asked to install; the loader finds
// libserlynx.so next to the executable.
constexpr const char16_t* kDriverLibrary = u"serlynx.dll";

// "Drivers\USB\LoadClients\<vendor>_<product>_<release>\Default\Default\Serlynx"
// for the device descriptor's ids (decimal; 0 for what a short descriptor
// lacks).
std::u16string DeviceKeyPath(const cehost::Bytes& deviceDescriptor);

struct DeviceKey {
    std::u16string path;
    bool present = false;
    DWORD usbMode = 0;
    DWORD classEndpoint = 0, receiveEndpoint = 0, sendEndpoint = 0;
    std::string friendlyName;
    std::string regText;  // the key as .reg text
};
DeviceKey ReadDeviceKey(const std::u16string& path);

// "3 (FtdiPort: divisor chip)" and the like, from the UsbMode word.
std::string PortTypeText(DWORD usbMode);
// "bulk-IN 0x81, bulk-OUT 0x02, status 0x83" from the key's endpoint values.
std::string EndpointsText(const DeviceKey& key);

// One standard baud rate on an FTDI-type port: what the driver sends and
// the rate the chip then runs at.
struct RateFit {
    uint32_t requested = 0;
    uint32_t actual = 0;  // rounded to the nearest baud
    uint16_t wValue = 0;  // of the baud-rate request
    bool exact = false;
};
// For a UsbMode word of type 3: the rates from 300 to 3000000 baud.
std::vector<RateFit> FtdiRateFits(DWORD usbMode);
// One rate on the divisor chip (UsbMode flag 0x200; flag 0x100 for the
// 6 MHz computation): the divisor the driver sends and the rate it gives.
RateFit FtdiRateFit(uint32_t rate, DWORD usbMode);

// Installs the driver (arming its first attach), plugs `model`, reads the
// device key the first attach wrote and unplugs the device again. False
// with `error` set when the device was not configured.
bool ProbeModel(cehost::UsbBus& bus, const std::shared_ptr<cehost::UsbDeviceModel>& model,
                DeviceKey* key, std::string* error);

// The device's ids and its interfaces and endpoints, from its descriptors,
// as indented lines.
std::string DescribeDescriptors(cehost::UsbDeviceModel& model);

}  // namespace serlynx
