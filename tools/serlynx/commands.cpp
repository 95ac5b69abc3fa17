// probe, devices and registry: the subcommands that look at what the driver
// does without serving a port.
#include "commands.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "cehost/regfile.h"
#include "cehost/usb_bus.h"
#include "cehost/usb_real.h"
#include "lsusb.h"
#include "platform.h"
#include "sim/catalog.h"
#include "sim/serial_line.h"

namespace serlynx {

namespace {

void PrintProbe(const DeviceKey& key) {
    std::printf("%s", key.regText.c_str());
    std::printf("\nport type:     %s\n", PortTypeText(key.usbMode).c_str());
    std::printf("endpoints:     %s\n", EndpointsText(key).c_str());
    std::printf("friendly name: \"%s\"\n", key.friendlyName.c_str());
    if ((key.usbMode & 0xFF) != 3)
        return;
    std::vector<RateFit> fits = FtdiRateFits(key.usbMode);
    std::printf("\nbaud rates the chip represents exactly:\n ");
    for (const RateFit& f : fits) {
        if (f.exact)
            std::printf(" %u", f.requested);
    }
    std::printf("\nbaud rates it cannot (the rate it runs at instead):\n");
    for (const RateFit& f : fits) {
        if (f.exact)
            continue;
        double error = 100.0 * (double(f.actual) - double(f.requested)) / double(f.requested);
        std::printf("  %u: %u (%+.2f%%)\n", f.requested, f.actual, error);
    }
}

}  // namespace

int RunProbeModel(const std::string& name) {
    const sim::ModelEntry* entry = sim::FindModel(name);
    if (entry == nullptr) {
        std::fprintf(stderr, "serlynx probe: unknown device \"%s\"; the models are: %s\n",
                     name.c_str(), sim::ModelNames().c_str());
        return 2;
    }
    sim::BuiltModel model =
        entry->Make(std::make_shared<sim::LoopbackPlug>(), std::make_shared<sim::LoopbackPlug>());
    cehost::UsbBus bus;
    bus.SetLogging(false);
    DeviceKey key;
    std::string error;
    if (!ProbeModel(bus, model.usb, &key, &error)) {
        std::fprintf(stderr, "serlynx probe: %s\n", error.c_str());
        return 1;
    }
    PrintProbe(key);
    return 0;
}

int RunProbeLsusb(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "serlynx probe: cannot read %s\n", path.c_str());
        return 1;
    }
    std::stringstream text;
    text << in.rdbuf();
    LsusbDevice device;
    std::string error;
    if (!ParseLsusb(text.str(), &device, &error)) {
        std::fprintf(stderr, "serlynx probe: %s: %s\n", path.c_str(), error.c_str());
        return 1;
    }
    cehost::UsbBus bus;
    bus.SetLogging(false);
    DeviceKey key;
    if (!ProbeModel(bus, std::make_shared<LsusbModel>(device), &key, &error)) {
        std::fprintf(stderr, "serlynx probe: %s: %s\n", path.c_str(), error.c_str());
        return 1;
    }
    PrintProbe(key);
    return 0;
}

int RunDevices() {
    cehost::UsbBus bus;
    bus.SetLogging(false);
    int status = 0;
    for (const sim::ModelEntry& entry : sim::Models()) {
        sim::BuiltModel model = entry.Make(std::make_shared<sim::LoopbackPlug>(),
                                           std::make_shared<sim::LoopbackPlug>());
        std::printf("%s: %s\n%s", entry.name.c_str(), entry.description.c_str(),
                    DescribeDescriptors(*model.usb).c_str());
        DeviceKey key;
        std::string error;
        if (ProbeModel(bus, model.usb, &key, &error)) {
            std::printf("  port type %s\n  endpoints used: %s\n\n",
                        PortTypeText(key.usbMode).c_str(), EndpointsText(key).c_str());
        } else {
            std::printf("  the driver does not configure it: %s\n\n", error.c_str());
            status = 1;
        }
    }
    return status;
}

int RunProbeUsb(const std::string& text) {
    cehost::RealUsbSelector selector;
    std::string error;
    if (!cehost::ParseRealUsbSelector(text, &selector, &error)) {
        std::fprintf(stderr, "serlynx probe: --usb %s\n", error.c_str());
        return 2;
    }
    const std::vector<cehost::RealUsbDevice> devices = cehost::ListRealUsbDevices();
    const int at = cehost::SelectRealUsbDevice(devices, selector, &error);
    if (at < 0) {
        std::fprintf(stderr, "serlynx probe: %s\n", error.c_str());
        return 1;
    }
    auto model = std::make_shared<cehost::RealUsbDeviceModel>(devices[size_t(at)]);
    std::printf("probing %s\n\n", cehost::DescribeRealUsbDevice(model->Device()).c_str());
    cehost::UsbBus bus(cehost::UsbTiming::kReal);
    bus.SetLogging(false);
    DeviceKey key;
    if (!ProbeModel(bus, model, &key, &error)) {
        const std::string why =
            model->Error() != cehost::RealUsbError::kNone ? model->ErrorText() : error;
        std::fprintf(stderr, "serlynx probe: %s\n", why.c_str());
        return 1;
    }
    PrintProbe(key);
    return 0;
}

// Reads sysfs only: the first attach runs on the simulated bus with the
// descriptors and strings the kernel keeps, so no device is disturbed and
// no permission is needed.
int RunDevicesUsb() {
    const std::vector<cehost::RealUsbDevice> devices = cehost::ListRealUsbDevices();
    if (devices.empty()) {
        std::printf("no USB devices are connected (or /sys/bus/usb is not there)\n");
        return 0;
    }
    cehost::UsbBus bus;
    bus.SetLogging(false);
    for (const cehost::RealUsbDevice& d : devices) {
        auto model = std::make_shared<cehost::RealUsbDeviceModel>(d);
        std::printf("%s\n%s", cehost::DescribeRealUsbDevice(d).c_str(),
                    DescribeDescriptors(*model).c_str());
        for (const std::string& bound : d.drivers)
            std::printf("  kernel driver: interface %s\n", bound.c_str());
        DeviceKey key;
        std::string error;
        if (ProbeModel(bus, model, &key, &error)) {
            std::printf("  port type %s\n  endpoints used: %s\n\n",
                        PortTypeText(key.usbMode).c_str(), EndpointsText(key).c_str());
        } else {
            std::printf("  the driver does not configure it: %s\n\n", error.c_str());
        }
    }
    if (!cehost::RealUsbSupported())
        std::printf("note: this build cannot serve them (it was built without libusb-1.0)\n");
    return 0;
}

int RunRegistry(const std::string& action, const std::string& file, const std::string& store) {
    const char* what = action == "import" ? "serlynx registry import" : "serlynx registry export";
    cehost::RegFileError error;
    // The registry to work on: the store when it exists, else that of a
    // fresh installation (the driver's catch-all entry armed).
    if (!store.empty() && std::ifstream(store).good()) {
        if (!cehost::ImportRegFile(store, &error)) {
            std::fprintf(stderr, "%s: %s: %s\n", what, store.c_str(), error.ToString().c_str());
            return 1;
        }
    } else if (!cehost::UsbInstallClient(kDriverLibrary)) {
        std::fprintf(stderr,
                     "%s: the driver library could not be installed (is libserlynx.so "
                     "next to serlynx?)\n",
                     what);
        return 1;
    }
    if (action == "export") {
        if (!cehost::ExportRegFile(file, u"", &error)) {
            std::fprintf(stderr, "%s: %s: %s\n", what, file.c_str(), error.ToString().c_str());
            return 1;
        }
        std::printf("wrote the registry%s%s to %s\n", store.empty() ? "" : " of ", store.c_str(),
                    file.c_str());
        return 0;
    }
    // import: the whole file is checked before anything changes.
    if (!cehost::ImportRegFile(file, &error)) {
        std::fprintf(stderr, "%s: %s: %s\n", what, file.c_str(), error.ToString().c_str());
        return 1;
    }
    if (store.empty()) {
        std::printf("%s", cehost::ExportRegText().c_str());
        return 0;
    }
    if (!cehost::ExportRegFile(store, u"", &error)) {
        std::fprintf(stderr, "%s: %s: %s\n", what, store.c_str(), error.ToString().c_str());
        return 1;
    }
    std::printf("imported %s into %s\n", file.c_str(), store.c_str());
    return 0;
}

}  // namespace serlynx
