// The device models serlynx can plug, by name, and what a user may want to
// know about each: the decoded device state (for the state file and the
// status line) and a short description.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cehost/usb_device_model.h"
#include "sim/serial_line.h"

namespace serlynx {

// A plugged model with a way to read its decoded state. `stateJson` may be
// called on any thread.
struct BuiltModel {
    std::shared_ptr<cehost::UsbDeviceModel> usb;
    // One JSON object: the settings and line outputs the device decoded
    // from what the driver sent (as far as the chip has them) and its byte
    // counters.
    std::function<std::string()> stateJson;
};

struct ModelEntry {
    std::string name;         // what --device takes
    std::string description;  // one line
    // Builds the model with `line` behind its (first) serial channel and
    // `line2` behind its second one, where it has one.
    std::function<BuiltModel(std::shared_ptr<sim::SerialLine> line,
                             std::shared_ptr<sim::SerialLine> line2)>
        make;
};

const std::vector<ModelEntry>& Models();
// nullptr when there is no model of that name.
const ModelEntry* FindModel(const std::string& name);
// "ftdi, ftdi-hs, ..." for error messages.
std::string ModelNames();
constexpr const char* kDefaultModel = "ftdi";

}  // namespace serlynx
