// Malformed devices end to end: packet sizes, missing and misplaced
// endpoints, duplicate addresses, registry values of the wrong type or size,
// and status packets of every length. Each gets a clear failure or its
// documented result, never a crash, a platform misuse or a lost byte. (Odd
// string descriptors and over-long driver IDs are refused where the names
// and key paths are built: tests/driver_registration.) The fixture's
// teardown checks the platform's misuse and leak counters after each case.
#include <gtest/gtest.h>

#include <algorithm>

#include "bad_inputs/chips.h"
#include "common/com_port_test.h"
#include "common/scripted_model.h"
#include "driver/registration/registry_values.h"

namespace badtest {

using std::placeholders::_1;
using testfix::Bytes;
using testfix::EditEndpoint;

// What the device gets after a bad input: no COM port at all (the device
// stays claimed until it goes), a port that moves no byte and says so, a
// port that moves a leading part of what is written, or all of it intact.
enum class Port { kNone, kMovesNothing, kLeadingPart, kIntact };

struct Case {
    std::string kind, what = {};                 // the device model, the input
    std::function<Bytes(Bytes)> edit = nullptr;  // of the configuration descriptor
    bool beforeFirstAttach = false;              // the first attach sees the edit too
    Port port = Port::kIntact;
    bool claimed = false;             // the device is claimed even without a port
    const char16_t* value = nullptr;  // else a registry value written before the configured attach
    DWORD type = 0;
    Bytes data = {};
};

// A device of each port type behind a ScriptedModel (descriptors editable
// between the first attach and the configured one, IN packets scriptable)
// with a loopback plug on its line.
class BadInputTest : public comtest::ComPortTest {
  protected:
    // First attach with the chip's own descriptors (or already edited when
    // the case says so), then the case's edit (for the configured attach)
    // and registry value, then the configured attach. True when the driver
    // claimed the device.
    bool Attach(const Case& c) {
        bus_ = std::make_unique<cehost::UsbBus>();
        model_ = std::make_shared<testfix::ScriptedModel>(MakeChip(c.kind));
        model_->SetConfigEdit(c.beforeFirstAttach ? c.edit : nullptr);
        EXPECT_TRUE(cehost::UsbInstallClient(u"serlynx.dll"));
        id_ = comtest::ServeTwice(*bus_, model_, [&](const std::u16string& key) {
            EXPECT_TRUE(cehost::RegKeyExists(key)) << "the first attach wrote no device key";
            model_->SetConfigEdit(c.edit);
            EXPECT_TRUE(!c.value || cehost::RegWrite(key, c.value, c.type, c.data));
        });
        return id_ != 0;
    }

    // Writes `n` pattern bytes with a write timeout and reads back from the
    // loopback plug what came: all of them, in order, when `whole`, else a
    // leading part. The count written.
    DWORD ExpectEcho(HANDLE h, size_t n, bool whole = true) {
        COMMTIMEOUTS t{0, 0, 2000, 0, 2000};
        EXPECT_TRUE(SetCommTimeouts(h, &t));
        const Bytes sent = comtest::PatternBytes(n);
        DWORD written = 0;
        WriteFile(h, sent.data(), static_cast<DWORD>(n), &written, nullptr);
        const Bytes got = comtest::ReadAll(h, written);
        EXPECT_EQ(Bytes(sent.begin(), sent.begin() + static_cast<long>(got.size())), got);
        EXPECT_TRUE(!whole || got.size() == n) << got.size() << " of " << n;
        return written;
    }

    // Scripts one IN transfer of `bytes` on `endpoint` (packets of `packet`
    // bytes, ended by a short or zero-length one) and waits until it went.
    void Deliver(uint8_t endpoint, const Bytes& bytes, size_t packet) {
        for (size_t at = 0, n = packet; n == packet; at += n) {
            n = std::min(packet, bytes.size() - at);
            const Bytes part(bytes.data() + at, bytes.data() + at + n);
            model_->Script(endpoint, {cehost::UsbHandshake::kAck, part});
        }
        ASSERT_TRUE(comtest::Eventually([&] { return model_->Pending() == 0; })) << bytes.size();
    }

    std::shared_ptr<testfix::ScriptedModel> model_;
};

class BadDeviceTest : public BadInputTest, public testing::WithParamInterface<Case> {};

TEST_P(BadDeviceTest, NoPortOrSoundPort) {
    const Case& c = GetParam();
    const bool claimed = Attach(c);
    HANDLE h = comtest::OpenCom();
    EXPECT_TRUE(claimed || (!c.claimed && h == INVALID_HANDLE_VALUE));
    ASSERT_EQ(h != INVALID_HANDLE_VALUE, c.port != Port::kNone);
    if (h == INVALID_HANDLE_VALUE)
        return;
    const DWORD written = ExpectEcho(h, 50, c.port == Port::kIntact);
    if (c.port == Port::kMovesNothing) {
        EXPECT_EQ(written, 0u);
        comtest::SetTimeouts(h, MAXDWORD, 0, 0);  // a read returns at once
        EXPECT_TRUE(comtest::ReadAll(h, 8).empty());
    }
    EXPECT_TRUE(CloseHandle(h));
}

// A packet size with which no byte could move makes the port's start fail:
// no packet at all, a bulk-OUT packet that leaves no byte below the packet
// size (header-framed chips: no byte after the header), an FTDI bulk-IN
// packet holding only the status pair. Any other size serves the port, and
// bytes written to the loopback plug all come back, in order.
std::vector<Case> Cases() {
    std::vector<Case> cases;
    for (std::string k : {"bulk", "cdc-acm", "ftdi", "ftdi-header", "rcs310"}) {
        const sim::DataPath i = Path(k);
        const std::tuple<const char*, uint8_t, int> roles[] = {
            {"in", i.dataIn, k.starts_with("ftdi") ? 3 : 1},
            {"out", i.dataOut, k == "ftdi-header" ? 3 : 2},
            {"status", i.statusIn, 1}};  // the smallest size that serves
        for (auto [role, address, least] : roles) {
            for (uint16_t size : {0, 1, 2, 65, 1024}) {
                if (address != 0)
                    cases.push_back({k, role + ("_" + std::to_string(size)),
                                     std::bind(EditEndpoint, _1, address, 4, size), false,
                                     size < least ? Port::kNone : Port::kIntact, true});
            }
        }
    }

    // Missing, misplaced and duplicate endpoints. The basic port starts with
    // whatever endpoints it has (none: it moves nothing); a CDC-type device that
    // shows the edit to its first attach is configured from what it shows.
    // Endpoints that exist only in alternate settings are never looked at. An
    // edit made after the first attach leaves the configured port without an
    // endpoint it needs, and so does any edit on the chips whose vendor and
    // product fix the port type (FTDI, type 4): no port appears.
    for (std::string k :
         {"bulk", "cdc-acm", "cdc-cts", "cdc-two-channel", "ftdi", "ftdi-header", "rcs310"}) {
        const sim::DataPath i = Path(k);
        const bool basic = k == "bulk", configurable = basic || k.starts_with("cdc");
        const Port part = basic ? Port::kLeadingPart : Port::kNone;
        const Port shown = configurable ? Port::kLeadingPart : Port::kNone;
        auto add = [&](uint8_t needs, std::string what, std::function<Bytes(Bytes)> edit,
                       bool first, Port port) {
            if (needs != 0)
                cases.push_back({k, std::move(what), std::move(edit), first, port});
        };
        auto remove = [](uint8_t a) { return std::bind(EditEndpoint, _1, a, 0, 0); };
        auto readdress = [&](uint8_t a) { return std::bind(EditEndpoint, _1, a, 2, i.dataIn); };
        add(i.dataIn, "no_data_in", remove(i.dataIn), false, part);
        add(i.dataOut, "no_data_out", remove(i.dataOut), false, part);
        add(i.statusIn, "no_status_in", remove(i.statusIn), false, part);
        add(1, "only_in_alternates", testfix::EndpointsOnlyInAlternates, true,
            configurable ? Port::kMovesNothing : Port::kNone);
        add(1, "only_in_alternates_later", testfix::EndpointsOnlyInAlternates, false,
            basic ? Port::kMovesNothing : Port::kNone);
        add(i.dataOut, "out_takes_in_address", readdress(i.dataOut), true, shown);
        add(i.dataOut, "out_takes_in_address_later", readdress(i.dataOut), false, part);
        add(i.statusIn, "status_takes_in_address", readdress(i.statusIn), true, shown);
    }

    // A registry value of the wrong type or size counts as absent: optional
    // values fall back to their defaults (the port runs), essential ones leave
    // no port, or (UsbMode, whose default is the basic port) a port that moves
    // bytes intact.
    const std::tuple<const char16_t*, DWORD, Bytes, bool> values[] = {
        {kValueReceiveBuffer, REG_DWORD, {0x10, 0}, true},
        {kValueReceiveBuffer, REG_DWORD, {0, 0, 0, 0}, true},
        {kValueReceiveBuffer, REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}, true},
        {kValueFriendlyName, REG_DWORD, {1, 0, 0, 0}, true},
        {kValueUsbMode, REG_SZ, {'1', 0, 0, 0}, true},
        {kValueUsbMode, REG_DWORD, {0xFF, 0, 0, 0}, false},
        {kValueReceiveEndp, REG_DWORD, {0x8F, 0, 0, 0}, false},
        {kValueSendEndp, REG_SZ, {}, false},
        {kValueClassEndp, REG_DWORD, {0x82, 0, 0, 0}, true},
        {kValueClassEndp, REG_NONE, {}, false}};
    for (const auto& [name, type, data, served] : values)
        cases.push_back({"cdc-acm", cehost::Utf8(name) + "_" + std::to_string(cases.size()),
                         nullptr, false, served ? Port::kIntact : Port::kNone, false, name, type,
                         data});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(BadInputs, BadDeviceTest, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<Case>& p) {
                             std::string name = p.param.kind + "_" + p.param.what;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

// Status packets of every length from 0 to 70 bytes on served ports: each
// packet is taken or dropped whole, and the bytes already received stay in
// the port. SERIAL_STATE notifications cut short or run long: none crashes the port,
// the ten bytes received before them stay, and data keeps flowing.
TEST_F(BadInputTest, CdcNotificationsOfEveryLength) {
    ASSERT_TRUE(Attach({.kind = "cdc-acm"}));
    HANDLE h = comtest::OpenCom();
    const Bytes first = comtest::PatternBytes(10);
    ASSERT_EQ(comtest::WriteAll(h, first), 10u);
    COMSTAT stat{};
    ASSERT_TRUE(comtest::Eventually(
        [&] { return ClearCommError(h, nullptr, &stat) && stat.cbInQue == 10; }));
    const Bytes full = {0xA1, 0x20, 0, 0, 0, 0, 2, 0, 0x7F, 0x00};
    for (size_t length = 0; length <= 70; ++length) {
        Bytes packet(length, 0xEE);
        std::copy_n(full.begin(), std::min(length, full.size()), packet.begin());
        Deliver(Path("cdc-acm").statusIn, packet, 16);
    }
    comtest::SetTimeouts(h, MAXDWORD, 0, 0);
    EXPECT_EQ(comtest::ReadAll(h, 10), first);
    ExpectEcho(h, 30);
    EXPECT_TRUE(CloseHandle(h));
}

// FTDI bulk-IN transfers of every length: each packet's status pair is taken
// off and only the bytes after it are data; a lone byte is no packet.
TEST_F(BadInputTest, FtdiPacketsOfEveryLength) {
    ASSERT_TRUE(Attach({.kind = "ftdi"}));
    HANDLE h = comtest::OpenCom();
    Bytes expected;
    for (size_t length = 0; length <= 70; ++length) {
        Bytes transfer;
        for (size_t at = 0; at < length; at += 64) {
            transfer.insert(transfer.end(), {0x01, 0x60});
            transfer.resize(std::min(length, at + 64));
            for (size_t i = at + 2; i < transfer.size(); ++i)
                expected.push_back(transfer[i] = static_cast<uint8_t>(0x20 + expected.size()));
        }
        Deliver(Path("ftdi").dataIn, transfer, 64);
    }
    comtest::SetTimeouts(h, 0, 0, 2000);
    EXPECT_EQ(comtest::ReadAll(h, expected.size()), expected);
    EXPECT_TRUE(CloseHandle(h));
}

}  // namespace badtest
