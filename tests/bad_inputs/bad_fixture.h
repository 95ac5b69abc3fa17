// Fixture of the bad-input tests: a device of each port type behind a
// ScriptedModel (descriptors editable between the first attach and the
// configured one, IN packets scriptable) with a loopback plug on its line.
#pragma once

#include <memory>
#include <string>

#include "bad_inputs/chips.h"
#include "common/com_port_test.h"
#include "common/scripted_model.h"

namespace badtest {

using comtest::ByteVector;
using testfix::Bytes;

class BadInputTest : public comtest::ComPortTest {
  protected:
    // First attach with the chip's own descriptors (or already edited by
    // `edit` when `editFirst`), then `edit` (for the configured attach) and
    // `editKey`, then the configured attach. True when the driver claimed
    // the device.
    bool Attach(const std::string& name, std::function<Bytes(Bytes)> edit = nullptr,
                const std::function<void(const std::u16string&)>& editKey = nullptr,
                bool editFirst = false) {
        if (bus_ == nullptr)
            bus_ = std::make_unique<cehost::UsbBus>();
        model_ = std::make_shared<testfix::ScriptedModel>(MakeChip(name));
        if (editFirst)
            model_->SetConfigEdit(edit);
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

    // Writes `n` pattern bytes with a write timeout and reads back from the
    // loopback plug what came: all of them, in order, when `whole`, else a
    // leading part. The count written.
    DWORD ExpectEcho(HANDLE h, size_t n, bool whole = true) {
        COMMTIMEOUTS t{0, 0, 2000, 0, 2000};
        EXPECT_TRUE(SetCommTimeouts(h, &t));
        const ByteVector sent = comtest::PatternBytes(n);
        DWORD written = 0;
        WriteFile(h, sent.data(), static_cast<DWORD>(n), &written, nullptr);
        const ByteVector got = comtest::ReadAll(h, written);
        EXPECT_EQ(ByteVector(sent.begin(), sent.begin() + static_cast<long>(got.size())), got);
        EXPECT_TRUE(!whole || got.size() == n) << got.size() << " of " << n;
        return written;
    }

    std::shared_ptr<testfix::ScriptedModel> model_;
};

}  // namespace badtest
