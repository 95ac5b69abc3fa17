// The device models of the catalog by name ("bulk", "cdc-acm", "ftdi", ...),
// with a loopback plug behind each serial channel, and the endpoints their
// data moves on. No test framework here: the fuzz targets use it too.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include "sim/catalog.h"
#include "sim/serial_line.h"

namespace badtest {

inline const sim::ModelEntry& Model(const std::string& name) {
    if (const sim::ModelEntry* entry = sim::FindModel(name))
        return *entry;
    throw std::logic_error("no device model " + name);
}

inline sim::DataPath Path(const std::string& name) {
    return sim::DataPathOf(Model(name).config);
}

inline std::shared_ptr<cehost::UsbDeviceModel> MakeChip(const std::string& name) {
    auto plug = [] { return std::make_shared<sim::LoopbackPlug>(); };
    return Model(name).Make(plug(), plug()).usb;
}

}  // namespace badtest
