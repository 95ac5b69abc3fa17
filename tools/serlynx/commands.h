// The subcommands besides serve; each returns the process's exit status.
#pragma once

#include <string>

namespace serlynx {

int RunProbeModel(const std::string& name);
int RunProbeLsusb(const std::string& path);
int RunDevices();
// The same for the real USB devices of this machine: `selector` as
// cehost::ParseRealUsbSelector takes it. probe opens the device (the first
// attach runs on it); devices only reads sysfs.
int RunProbeUsb(const std::string& selector);
int RunDevicesUsb();
// Works on the registry kept in `store` (a .reg file; empty or missing: the
// registry of a fresh installation). "export" writes it to `file`;
// "import" adds `file` to it (a malformed file is refused with the line at
// fault and changes nothing) and saves it to `store`, or prints it when
// there is no store.
int RunRegistry(const std::string& action, const std::string& file, const std::string& store);

}  // namespace serlynx
