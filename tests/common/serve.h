// A device model served by the real driver library: plugged once for its
// first attach (which writes the device key), `between` run with that key's
// path, and plugged again for the configured attach. The driver must be
// installed as a USB client first. No test framework here: the fuzz targets
// use it too.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "cehost/usb_bus.h"
#include "platform.h"

namespace comtest {

// The per-device key the first attach writes for a device descriptor.
using serlynx::DeviceKeyPath;

// The configured attach's device when the driver claimed it, else 0.
inline cehost::UsbDeviceId ServeTwice(
    cehost::UsbBus& bus, const std::shared_ptr<cehost::UsbDeviceModel>& model,
    const std::function<void(const std::u16string& key)>& between = nullptr) {
    const cehost::UsbDeviceId first = bus.Plug(model);
    if (between)
        between(DeviceKeyPath(model->DeviceDescriptor()));
    const cehost::UsbDeviceId id = first != 0 ? bus.Replug(first) : 0;
    return id != 0 && bus.Owner(id) == u"Serlynx" ? id : 0;
}

}  // namespace comtest
