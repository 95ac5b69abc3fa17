// Malformed devices end to end: packet sizes, missing and misplaced
// endpoints, duplicate addresses, and registry values of the wrong type or
// size. (Odd string descriptors and over-long driver IDs are refused where
// the names and key paths are built: tests/driver_registration.) The
// fixture's teardown checks the platform's misuse and leak counters after
// each case.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bad_fixture.h"
#include "cehost/regfile.h"

namespace badtest {
namespace {

enum class Role { kDataIn, kDataOut, kStatusIn };

struct PacketCase {
    Kind kind;
    Role role;
    uint16_t size;
};

std::string PacketName(const testing::TestParamInfo<PacketCase>& p) {
    static const char* const roles[] = {"in", "out", "status"};
    return std::string(Info(p.param.kind).name) + "_" + roles[static_cast<int>(p.param.role)] +
           "_" + std::to_string(p.param.size);
}

std::vector<PacketCase> PacketCases() {
    std::vector<PacketCase> cases;
    for (Kind k : {Kind::kBulk, Kind::kCdc, Kind::kFtdi, Kind::kFtdiHeader, Kind::kType4}) {
        for (Role r : {Role::kDataIn, Role::kDataOut, Role::kStatusIn}) {
            if ((r == Role::kStatusIn && Info(k).statusIn == 0) ||
                (r == Role::kDataOut && Info(k).dataOut == 0))
                continue;
            for (uint16_t size : {0, 1, 2, 65, 1024})
                cases.push_back({k, r, size});
        }
    }
    return cases;
}

class PacketSizeTest : public BadInputTest, public testing::WithParamInterface<PacketCase> {};

// A packet size with which no byte could move makes the port's start fail:
// the device is claimed but no COM port appears. That is no packet at all, a
// bulk-OUT packet that leaves no byte below the packet size (header-framed
// chips: no byte after the header), an FTDI bulk-IN packet holding only the
// status pair. Any other size serves the port, and bytes written to the
// loopback plug all come back, in order.
TEST_P(PacketSizeTest, RefusedOrServedIntact) {
    const PacketCase c = GetParam();
    const KindInfo info = Info(c.kind);
    const uint8_t address = c.role == Role::kDataIn    ? info.dataIn
                            : c.role == Role::kDataOut ? info.dataOut
                                                       : info.statusIn;
    ASSERT_TRUE(Attach(c.kind, [&](Bytes config) {
        return testfix::SetPacketSize(std::move(config), address, c.size);
    }));
    const bool ftdi = c.kind == Kind::kFtdi || c.kind == Kind::kFtdiHeader;
    const bool refused =
        c.size == 0 ||
        (c.role == Role::kDataOut && c.size < (c.kind == Kind::kFtdiHeader ? 3 : 2)) ||
        (c.role == Role::kDataIn && ftdi && c.size <= 2);
    HANDLE h = comtest::OpenCom();
    ASSERT_EQ(h == INVALID_HANDLE_VALUE, refused);
    if (refused)
        return;
    ExpectEcho(h, 100);
    EXPECT_TRUE(CloseHandle(h));
}

INSTANTIATE_TEST_SUITE_P(BadInputs, PacketSizeTest, testing::ValuesIn(PacketCases()), PacketName);

// ---- Missing, misplaced and duplicate endpoints ----------------------------

struct EndpointCase {
    Kind kind;
    const char* what;
    std::function<Bytes(Bytes)> edit;
    bool beforeFirstAttach;  // the first attach sees the edit too
    bool served;             // a COM port appears (else none may)
};

// Which edits still leave a port: the basic port starts with whatever
// endpoints it has; a CDC-type device that shows the edit to its first
// attach is configured from what it shows. An edit made after the first
// attach leaves the configured port without an endpoint it needs, and so
// does any edit on the chips whose vendor and product fix the port type
// (FTDI, type 4): no port appears.
std::vector<EndpointCase> EndpointCases() {
    std::vector<EndpointCase> cases;
    for (Kind k : {Kind::kBulk, Kind::kCdc, Kind::kCtsChip, Kind::kTwoChannel, Kind::kFtdi,
                   Kind::kFtdiHeader, Kind::kType4}) {
        const KindInfo i = Info(k);
        const bool basic = k == Kind::kBulk;
        const bool configurable =
            basic || k == Kind::kCdc || k == Kind::kCtsChip || k == Kind::kTwoChannel;
        auto remove = [](uint8_t a) {
            return [a](Bytes c) { return testfix::RemoveEndpoint(std::move(c), a); };
        };
        auto readdress = [](uint8_t from, uint8_t to) {
            return [from, to](Bytes c) { return testfix::Readdress(std::move(c), from, to); };
        };
        cases.push_back({k, "no_data_in", remove(i.dataIn), false, basic});
        if (i.dataOut)
            cases.push_back({k, "no_data_out", remove(i.dataOut), false, basic});
        if (i.statusIn)
            cases.push_back({k, "no_status_in", remove(i.statusIn), false, basic});
        cases.push_back(
            {k, "only_in_alternates", testfix::EndpointsOnlyInAlternates, true, configurable});
        cases.push_back(
            {k, "only_in_alternates_later", testfix::EndpointsOnlyInAlternates, false, basic});
        if (i.dataOut) {
            cases.push_back(
                {k, "out_takes_in_address", readdress(i.dataOut, i.dataIn), true, configurable});
            cases.push_back(
                {k, "out_takes_in_address_later", readdress(i.dataOut, i.dataIn), false, basic});
        }
        if (i.statusIn) {
            cases.push_back({k, "status_takes_in_address", readdress(i.statusIn, i.dataIn), true,
                             configurable});
        }
    }
    return cases;
}

class EndpointLayoutTest : public BadInputTest, public testing::WithParamInterface<EndpointCase> {};

// The port either does not start (no COM port; the device stays claimed
// until it goes) or starts and moves bytes intact, as the row says; never a
// crash or a platform misuse, and the removal frees everything (fixture
// teardown).
TEST_P(EndpointLayoutTest, NoPortOrIntactPort) {
    const EndpointCase& c = GetParam();
    Attach(c.kind, c.edit, nullptr, c.beforeFirstAttach);
    HANDLE h = comtest::OpenCom();
    ASSERT_EQ(h != INVALID_HANDLE_VALUE, c.served);
    if (!c.served)
        return;
    ExpectEcho(h, 50, false);
    EXPECT_TRUE(CloseHandle(h));
}

INSTANTIATE_TEST_SUITE_P(BadInputs, EndpointLayoutTest, testing::ValuesIn(EndpointCases()),
                         [](const testing::TestParamInfo<EndpointCase>& p) {
                             return std::string(Info(p.param.kind).name) + "_" + p.param.what;
                         });

// Endpoints that exist only in alternate settings are not looked at: the
// first attach finds none, and the configured attach binds none. A basic
// port starts without endpoints; it sends and receives nothing and says so.
TEST_F(BadInputTest, EndpointsOnlyInAlternateSettingsAreNotBound) {
    Attach(
        Kind::kCdc, testfix::EndpointsOnlyInAlternates,
        [&](const std::u16string&) {
            for (const char16_t* name : {u"ClassEndp", u"ReceiveEndp", u"SendEndp", u"UsbMode"})
                EXPECT_EQ(KeyDword(name), 0u);
        },
        true);
    HANDLE h = comtest::OpenCom();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 1, got = 1;
    WriteFile(h, "abc", 3, &written, nullptr);
    EXPECT_EQ(written, 0u);
    comtest::SetTimeouts(h, MAXDWORD, 0, 0);
    BYTE buf[8];
    EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &got, nullptr));
    EXPECT_EQ(got, 0u);
    EXPECT_TRUE(CloseHandle(h));
}

// ---- Registry values -----------------------------------------------------------

struct ValueCase {
    const char16_t* name;
    DWORD type;
    Bytes data;
    bool served;  // the port starts and moves bytes intact (else no port appears)
};

class RegistryValueTest : public BadInputTest, public testing::WithParamInterface<ValueCase> {};

// A value of the wrong type or size counts as absent: optional values fall
// back to their defaults (the port runs), essential ones leave no port, or
// (UsbMode, whose default is the basic port) a port that moves bytes intact;
// never a crash.
TEST_P(RegistryValueTest, DefaultOrNoPort) {
    const ValueCase& c = GetParam();
    const bool claimed = Attach(Kind::kCdc, nullptr, [&](const std::u16string& key) {
        ASSERT_TRUE(cehost::RegWrite(key, c.name, c.type, c.data));
    });
    HANDLE h = comtest::OpenCom();
    ASSERT_EQ(h != INVALID_HANDLE_VALUE, c.served);
    if (!c.served)
        return;
    EXPECT_TRUE(claimed);
    ExpectEcho(h, 50);
    EXPECT_TRUE(CloseHandle(h));
}

Bytes Le32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

INSTANTIATE_TEST_SUITE_P(
    BadInputs, RegistryValueTest,
    testing::Values(ValueCase{u"ReceiveBuffer", REG_SZ, {'8', 0, 0, 0}, true},
                    ValueCase{u"ReceiveBuffer", REG_DWORD, {0x10, 0}, true},
                    ValueCase{u"ReceiveBuffer", REG_BINARY, Le32(16), true},
                    ValueCase{u"ReceiveBuffer", REG_DWORD, Le32(0), true},
                    ValueCase{u"ReceiveBuffer", REG_DWORD, Le32(0xFFFFFFFF), true},
                    ValueCase{u"Priority256", REG_MULTI_SZ, {0, 0}, true},
                    ValueCase{u"Priority256", REG_DWORD, {1, 2, 3, 4, 5, 6, 7, 8}, true},
                    ValueCase{u"Priority256", REG_DWORD, Le32(0xFFFFFFFF), true},
                    ValueCase{u"FriendlyName", REG_DWORD, Le32(1), true},
                    ValueCase{u"UsbMode", REG_SZ, {'1', 0, 0, 0}, true},
                    ValueCase{u"UsbMode", REG_DWORD, {1}, true},
                    ValueCase{u"UsbMode", REG_DWORD, Le32(0xFF), false},
                    ValueCase{u"ReceiveEndp", REG_BINARY, {0x82}, false},
                    ValueCase{u"ReceiveEndp", REG_DWORD, Le32(0x8F), false},
                    ValueCase{u"SendEndp", REG_SZ, {}, false},
                    ValueCase{u"ClassEndp", REG_DWORD, Le32(0x82), true},
                    ValueCase{u"ClassEndp", REG_NONE, {}, false}),
    [](const testing::TestParamInfo<ValueCase>& p) {
        std::u16string n = p.param.name;
        return std::string(n.begin(), n.end()) + "_" + std::to_string(p.index);
    });

}  // namespace
}  // namespace badtest
