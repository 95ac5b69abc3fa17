// Fixture of the bad-input tests: a device of each port type behind a
// ScriptedModel (descriptors editable between the first attach and the
// configured one, IN packets scriptable) with a loopback plug on its line.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "common/com_port_test.h"
#include "common/scripted_model.h"
#include "sim/catalog.h"
#include "sim/serial_line.h"

namespace badtest {

using comtest::ByteVector;
using testfix::Bytes;

enum class Kind { kBulk, kCdc, kCtsChip, kTwoChannel, kFtdi, kFtdiHeader, kType4 };

struct KindInfo {
    Kind kind;
    const char* name;
    uint8_t dataIn, dataOut, statusIn;  // 0: none
};

// The kind's name in test names and its device model in the catalog.
inline std::pair<const char*, const char*> Names(Kind k) {
    switch (k) {
        case Kind::kBulk:
            return {"bulk", "bulk"};
        case Kind::kCdc:
            return {"cdc", "cdc-acm"};
        case Kind::kCtsChip:
            return {"ctschip", "cdc-cts"};
        case Kind::kTwoChannel:
            return {"twochannel", "cdc-two-channel"};
        case Kind::kFtdi:
            return {"ftdi", "ftdi"};
        case Kind::kFtdiHeader:
            return {"ftdiheader", "ftdi-header"};
        case Kind::kType4:
            return {"type4", "rcs310"};
    }
    throw std::logic_error("a kind without a device model");
}

inline const sim::ModelEntry& Model(Kind k) {
    const sim::ModelEntry* entry = sim::FindModel(Names(k).second);
    if (entry == nullptr)
        throw std::logic_error(std::string("no device model \"") + Names(k).second + "\"");
    return *entry;
}

inline KindInfo Info(Kind k) {
    const sim::DataPath path = sim::DataPathOf(Model(k).config);
    return {k, Names(k).first, path.dataIn, path.dataOut, path.statusIn};
}

// The kind's device with a loopback plug behind each serial channel.
inline std::shared_ptr<cehost::UsbDeviceModel> MakeChip(Kind k) {
    return Model(k)
        .Make(std::make_shared<sim::LoopbackPlug>(), std::make_shared<sim::LoopbackPlug>())
        .usb;
}

class BadInputTest : public comtest::ComPortTest {
  protected:
    // First attach with the chip's own descriptors, then `edit` (descriptor
    // edit for the configured attach) and `editKey`, then the configured
    // attach. True when the driver claimed the device.
    bool Attach(Kind k, std::function<Bytes(Bytes)> edit = nullptr,
                const std::function<void(const std::u16string&)>& editKey = nullptr) {
        if (bus_ == nullptr)
            bus_ = std::make_unique<cehost::UsbBus>();
        model_ = std::make_shared<testfix::ScriptedModel>(MakeChip(k));
        EXPECT_TRUE(cehost::UsbInstallClient(u"serlynx.dll"));
        key_ = comtest::DeviceKeyPath(model_->DeviceDescriptor());
        cehost::UsbDeviceId first = bus_->Plug(model_);
        EXPECT_NE(first, 0u);
        if (first == 0 || !cehost::RegKeyExists(key_)) {
            ADD_FAILURE() << "the first attach wrote no device key";
            return false;
        }
        model_->SetConfigEdit(std::move(edit));
        if (editKey)
            editKey(key_);
        id_ = bus_->Replug(first);
        EXPECT_NE(id_, 0u);
        return bus_->Owner(id_) == u"Serlynx";
    }

    // Writes `bytes` with a write timeout and reads them back from the
    // loopback plug; what came back.
    ByteVector Echo(HANDLE h, const ByteVector& bytes) {
        COMMTIMEOUTS t{0, 0, 2000, 0, 2000};
        EXPECT_TRUE(SetCommTimeouts(h, &t));
        DWORD written = 0;
        EXPECT_TRUE(
            WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
        return comtest::ReadAll(h, written);
    }

    std::shared_ptr<testfix::ScriptedModel> model_;
};

}  // namespace badtest
