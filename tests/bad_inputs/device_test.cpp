// Malformed devices end to end: packet sizes, missing and misplaced
// endpoints, duplicate addresses, and registry values of the wrong type or
// size. (Odd string descriptors and over-long driver IDs are refused where
// the names and key paths are built: tests/driver_registration.) The
// fixture's teardown checks the platform's misuse and leak counters after
// each case.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bad_fixture.h"
#include "cehost/regfile.h"
#include "driver/registration/registry_values.h"

namespace badtest {
namespace {

// What the device gets after a bad input: no COM port at all (the device
// stays claimed until it goes), a port that moves no byte and says so, a
// port that moves a leading part of what is written, or all of it intact.
enum class Port { kNone, kMovesNothing, kLeadingPart, kIntact };

struct Case {
    std::string kind, what;            // the device model, the input
    std::function<Bytes(Bytes)> edit;  // of the configuration descriptor
    bool beforeFirstAttach;            // the first attach sees the edit too
    Port port;
    bool claimed = false;             // the device is claimed even without a port
    const char16_t* value = nullptr;  // else a registry value written before the configured attach
    DWORD type = 0;
    Bytes data = {};
};

class BadDeviceTest : public BadInputTest, public testing::WithParamInterface<Case> {};

// Never a crash or a platform misuse, and the removal frees everything
// (fixture teardown).
TEST_P(BadDeviceTest, NoPortOrSoundPort) {
    const Case& c = GetParam();
    const bool claimed = Attach(
        c.kind, c.edit,
        [&](const std::u16string& key) {
            EXPECT_TRUE(!c.value || cehost::RegWrite(key, c.value, c.type, c.data));
        },
        c.beforeFirstAttach);
    EXPECT_TRUE(claimed || !c.claimed);
    HANDLE h = comtest::OpenCom();
    ASSERT_EQ(h != INVALID_HANDLE_VALUE, c.port != Port::kNone);
    if (h == INVALID_HANDLE_VALUE)
        return;
    EXPECT_TRUE(claimed);
    const DWORD written = ExpectEcho(h, 50, c.port == Port::kIntact);
    if (c.port == Port::kMovesNothing) {
        EXPECT_EQ(written, 0u);
        comtest::SetTimeouts(h, MAXDWORD, 0, 0);
        BYTE buf[8];
        DWORD got = 1;
        EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &got, nullptr));
        EXPECT_EQ(got, 0u);
    }
    EXPECT_TRUE(CloseHandle(h));
}

// A packet size with which no byte could move makes the port's start fail:
// no packet at all, a bulk-OUT packet that leaves no byte below the packet
// size (header-framed chips: no byte after the header), an FTDI bulk-IN
// packet holding only the status pair. Any other size serves the port, and
// bytes written to the loopback plug all come back, in order.
void AddPacketSizes(std::vector<Case>& cases) {
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
                                     [a = address, size](Bytes c) {
                                         return testfix::SetPacketSize(c, a, size);
                                     },
                                     false, size < least ? Port::kNone : Port::kIntact, true});
            }
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
void AddEndpointLayouts(std::vector<Case>& cases) {
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
        auto remove = [](uint8_t a) {
            return [a](Bytes c) { return testfix::RemoveEndpoint(std::move(c), a); };
        };
        auto readdress = [&](uint8_t from) {
            return [from, to = i.dataIn](Bytes c) {
                return testfix::Readdress(std::move(c), from, to);
            };
        };
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
}

// A registry value of the wrong type or size counts as absent: optional
// values fall back to their defaults (the port runs), essential ones leave
// no port, or (UsbMode, whose default is the basic port) a port that moves
// bytes intact.
void AddRegistryValues(std::vector<Case>& cases) {
    const Bytes ones = {0xFF, 0xFF, 0xFF, 0xFF};
    const std::tuple<const char16_t*, DWORD, Bytes, bool> values[] = {
        {kValueReceiveBuffer, REG_SZ, {'8', 0, 0, 0}, true},
        {kValueReceiveBuffer, REG_DWORD, {0x10, 0}, true},
        {kValueReceiveBuffer, REG_DWORD, {0, 0, 0, 0}, true},
        {kValueReceiveBuffer, REG_DWORD, ones, true},
        {kValuePriority256, REG_DWORD, {1, 2, 3, 4, 5, 6, 7, 8}, true},
        {kValueFriendlyName, REG_DWORD, {1, 0, 0, 0}, true},
        {kValueUsbMode, REG_SZ, {'1', 0, 0, 0}, true},
        {kValueUsbMode, REG_DWORD, {0xFF, 0, 0, 0}, false},
        {kValueReceiveEndp, REG_BINARY, {0x82}, false},
        {kValueReceiveEndp, REG_DWORD, {0x8F, 0, 0, 0}, false},
        {kValueSendEndp, REG_SZ, {}, false},
        {kValueClassEndp, REG_DWORD, {0x82, 0, 0, 0}, true},
        {kValueClassEndp, REG_NONE, {}, false}};
    for (const auto& [name, type, data, served] : values) {
        const std::u16string n = name;
        cases.push_back(
            {"cdc-acm", std::string(n.begin(), n.end()) + "_" + std::to_string(cases.size()),
             nullptr, false, served ? Port::kIntact : Port::kNone, false, name, type, data});
    }
}

std::vector<Case> Cases() {
    std::vector<Case> cases;
    AddPacketSizes(cases);
    AddEndpointLayouts(cases);
    AddRegistryValues(cases);
    return cases;
}

INSTANTIATE_TEST_SUITE_P(BadInputs, BadDeviceTest, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<Case>& p) {
                             std::string name = p.param.kind + "_" + p.param.what;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

}  // namespace
}  // namespace badtest
