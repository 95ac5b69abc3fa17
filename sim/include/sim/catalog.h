// The device models by name: the one place where a name becomes a model.
// The tool's --device, the benchmarks, the fuzz targets and the tests all
// build their models here, so that a name nobody knows is an error and a
// new model is a new row (with the port type the driver should give it).
//
// A model is built from its configuration (one type per chip family, see
// ModelConfig); an entry holds the configuration of one ready-made device,
// which callers may copy and adjust (packet size, FIFO depth, ids) before
// building.
//
// Threads: the table is immutable; BuildModel and the functions of a
// BuiltModel may be called on any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "cehost/usb_device_model.h"
#include "sim/bulk_model.h"
#include "sim/cdc_model.h"
#include "sim/ftdi_model.h"
#include "sim/rcs310_model.h"
#include "sim/serial_line.h"

namespace sim {

// Every model type, by its configuration. A type added here must be handled
// by BuildModel and DataPath, or they do not compile.
using ModelConfig =
    std::variant<BulkModelConfig, CdcModelConfig, FtdiModelConfig, Rcs310ModelConfig>;

// A built model with what a user of any model may want from it.
struct BuiltModel {
    std::shared_ptr<cehost::UsbDeviceModel> usb;
    // One JSON object: the settings and line outputs the device decoded from
    // what the host sent (as far as the chip has them) and its byte counters.
    std::function<std::string()> stateJson;
    // Bytes waiting in the receive FIFO of the (first) serial channel, and
    // bytes that channel lost to a full FIFO.
    std::function<size_t()> pending;
    std::function<uint64_t()> dropped;
};

// Builds the model: `line` behind its (first) serial channel, `line2` behind
// the second one where it has one (ignored otherwise). Either may be null.
BuiltModel BuildModel(const ModelConfig& config, std::shared_ptr<SerialLine> line,
                      std::shared_ptr<SerialLine> line2 = nullptr);

// The endpoints the serial data of the (first) channel moves on.
struct DataPath {
    uint8_t dataIn = 0;     // bulk-IN with received data
    uint8_t dataOut = 0;    // bulk-OUT taking data to send; 0 when writes go another way
    uint8_t statusIn = 0;   // interrupt-IN with line and modem status; 0 when none
    uint16_t inPacket = 0;  // wMaxPacketSize of dataIn
};
DataPath DataPathOf(const ModelConfig& config);

struct ModelEntry {
    std::string name;         // what `serlynx serve --device` takes
    std::string description;  // one line
    // The UsbMode word (port type and flags) the driver's first attach
    // writes for this device.
    uint32_t usbMode = 0;
    ModelConfig config;

    BuiltModel Make(std::shared_ptr<SerialLine> line,
                    std::shared_ptr<SerialLine> line2 = nullptr) const {
        return BuildModel(config, std::move(line), std::move(line2));
    }
};

// Every model, in the order `serlynx devices` lists them.
const std::vector<ModelEntry>& Models();
// nullptr when there is no model of that name.
const ModelEntry* FindModel(std::string_view name);
// "ftdi, ftdi-hs, ..." for error messages.
std::string ModelNames();

}  // namespace sim
