// Host-side view of the device manager, for tests and tools.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace cehost {

struct ActiveDeviceInfo {
    std::u16string name;       // "COM1:"
    std::u16string activeKey;  // "Drivers\Active\01"
    std::u16string deviceKey;  // the key given to ActivateDevice
    bool removing = false;     // DeactivateDevice has started
};

// Devices activated and not yet fully deactivated, in activation order.
std::vector<ActiveDeviceInfo> ActiveDevices();
// Application handles open in all processes.
size_t OpenFileHandleCount();
// Calls on application handles currently inside a driver, all devices.
size_t CallsInDrivers();

}  // namespace cehost
