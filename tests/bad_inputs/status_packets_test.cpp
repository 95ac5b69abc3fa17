// Control requests with null buffers and short lengths, and status packets
// of every length from 0 to 70 bytes, on served ports: each request fails
// clearly and changes nothing, each packet is taken or dropped whole, and
// the bytes already received stay in the port.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "bad_fixture.h"

namespace badtest {
namespace {

constexpr DWORD Ioctl(DWORD function) {
    return 0x001B0000u | (function << 2);
}

struct BufferRule {
    DWORD function;
    const char* name;
    DWORD inNeeded;   // 0: the input buffer is not looked at
    DWORD outNeeded;  // 0: the output buffer is not looked at
};

constexpr BufferRule kRules[] = {
    {9, "get_wait_mask", 0, 4},    {10, "set_wait_mask", 4, 0},   {11, "wait_on_mask", 0, 4},
    {12, "get_commstatus", 0, 16}, {13, "get_modemstatus", 0, 4}, {14, "get_properties", 0, 64},
    {15, "set_timeouts", 20, 0},   {16, "get_timeouts", 0, 20},   {17, "purge", 4, 0},
    {19, "immediate_char", 1, 0},  {20, "get_dcb", 0, 28},        {21, "set_dcb", 28, 0},
};

class RequestBufferTest : public BadInputTest, public testing::WithParamInterface<Kind> {
  protected:
    // Ten bytes through the loopback plug, left in the port's ring.
    void Preload(HANDLE h) {
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(h, "0123456789", 10, &written, nullptr));
        ASSERT_EQ(written, 10u);
        ASSERT_TRUE(comtest::Eventually([&] {
            DWORD errors = 0;
            COMSTAT stat{};
            return ClearCommError(h, &errors, &stat) && stat.cbInQue == 10;
        }));
    }
};

// Every request that needs a buffer refuses a null one and one a byte too
// short with ERROR_INVALID_PARAMETER, reports 0 bytes out, and leaves the
// settings and the received bytes as they were.
TEST_P(RequestBufferTest, NullAndShortBuffersAreRefused) {
    ASSERT_TRUE(Attach(GetParam()));
    HANDLE h = comtest::OpenCom();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    Preload(h);
    DCB dcbBefore{};
    dcbBefore.DCBlength = sizeof dcbBefore;
    ASSERT_TRUE(GetCommState(h, &dcbBefore));
    COMMTIMEOUTS timeoutsBefore{};
    ASSERT_TRUE(GetCommTimeouts(h, &timeoutsBefore));

    std::vector<uint8_t> in(128, 0xFF), out(128, 0xA5);
    for (const BufferRule& r : kRules) {
        SCOPED_TRACE(r.name);
        struct Try {
            const char* what;
            bool nullIn, nullOut, nullCount;
            DWORD inLen, outLen;
        };
        std::vector<Try> tries;
        if (r.inNeeded) {
            tries.push_back({"null in", true, false, false, r.inNeeded, 0});
            tries.push_back({"short in", false, false, false, r.inNeeded - 1, 0});
            tries.push_back({"empty in", false, false, false, 0, 0});
        }
        if (r.outNeeded) {
            tries.push_back({"null out", false, true, false, 0, r.outNeeded});
            tries.push_back({"null count", false, false, true, 0, r.outNeeded});
            tries.push_back({"short out", false, false, false, 0, r.outNeeded - 1});
        }
        for (const Try& t : tries) {
            SCOPED_TRACE(t.what);
            DWORD count = 0xDEAD;
            SetLastError(0);
            EXPECT_FALSE(DeviceIoControl(h, Ioctl(r.function), t.nullIn ? nullptr : in.data(),
                                         t.inLen, t.nullOut ? nullptr : out.data(), t.outLen,
                                         t.nullCount ? nullptr : &count, nullptr));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
            if (!t.nullCount && r.outNeeded) {
                EXPECT_EQ(count, 0u);
            }
        }
    }
    EXPECT_EQ(out, std::vector<uint8_t>(128, 0xA5));
    DCB dcbAfter{};
    dcbAfter.DCBlength = sizeof dcbAfter;
    ASSERT_TRUE(GetCommState(h, &dcbAfter));
    EXPECT_EQ(0, std::memcmp(&dcbBefore, &dcbAfter, sizeof dcbAfter));
    COMMTIMEOUTS timeoutsAfter{};
    ASSERT_TRUE(GetCommTimeouts(h, &timeoutsAfter));
    EXPECT_EQ(0, std::memcmp(&timeoutsBefore, &timeoutsAfter, sizeof timeoutsAfter));
    comtest::SetTimeouts(h, MAXDWORD, 0, 0);
    EXPECT_EQ(comtest::ReadAll(h, 10),
              (ByteVector{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}));
    EXPECT_TRUE(CloseHandle(h));
}

// The requests without buffer rules take null buffers of any length.
TEST_P(RequestBufferTest, RequestsWithoutBuffersTakeNulls) {
    ASSERT_TRUE(Attach(GetParam()));
    HANDLE h = comtest::OpenCom();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    for (DWORD f : {7u, 8u, 18u}) {
        SCOPED_TRACE(f);
        EXPECT_TRUE(DeviceIoControl(h, Ioctl(f), nullptr, 100, nullptr, 100, nullptr, nullptr));
    }
    EXPECT_TRUE(CloseHandle(h));
}

INSTANTIATE_TEST_SUITE_P(BadInputs, RequestBufferTest,
                         testing::Values(Kind::kBulk, Kind::kCdc, Kind::kTwoChannel, Kind::kFtdi,
                                         Kind::kFtdiHeader, Kind::kType4),
                         [](const testing::TestParamInfo<Kind>& p) {
                             return std::string(Info(p.param).name);
                         });

// ---- Status packets of every length ------------------------------------------

class StatusPacketTest : public BadInputTest {
  protected:
    // Scripts one IN transfer of `bytes` on `endpoint`: packets of `packet`
    // bytes, ended by a short (or zero-length) one.
    void ScriptTransfer(uint8_t endpoint, const Bytes& bytes, size_t packet) {
        size_t at = 0;
        for (;;) {
            size_t n = bytes.size() - at < packet ? bytes.size() - at : packet;
            model_->Script(endpoint, {cehost::UsbHandshake::kAck,
                                      Bytes(bytes.begin() + static_cast<long>(at),
                                            bytes.begin() + static_cast<long>(at + n))});
            at += n;
            if (n < packet)
                return;
        }
    }
    bool Delivered() {
        return comtest::Eventually([&] { return model_->Pending() == 0; });
    }
};

// SERIAL_STATE notifications cut short or run long, 0 to 70 bytes: none
// crashes the port, the ten bytes received before them stay, and data keeps
// flowing afterwards.
TEST_F(StatusPacketTest, CdcNotificationsOfEveryLength) {
    ASSERT_TRUE(Attach(Kind::kCdc));
    HANDLE h = comtest::OpenCom();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ByteVector first = comtest::PatternBytes(10);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, first.data(), 10, &written, nullptr));
    ASSERT_TRUE(comtest::Eventually([&] {
        DWORD errors = 0;
        COMSTAT stat{};
        return ClearCommError(h, &errors, &stat) && stat.cbInQue == 10;
    }));
    const Bytes full = {0xA1, 0x20, 0, 0, 0, 0, 2, 0, 0x7F, 0x00};
    const uint8_t statusIn = Info(Kind::kCdc).statusIn;
    for (size_t length = 0; length <= 70; ++length) {
        Bytes packet(length, 0xEE);
        std::copy(full.begin(), full.begin() + static_cast<long>(std::min(length, full.size())),
                  packet.begin());
        ScriptTransfer(statusIn, packet, 16);
        ASSERT_TRUE(Delivered()) << "length " << length;
    }
    DWORD modem = 0;
    EXPECT_TRUE(GetCommModemStatus(h, &modem));
    comtest::SetTimeouts(h, MAXDWORD, 0, 0);
    EXPECT_EQ(comtest::ReadAll(h, 10), first);
    ByteVector more = comtest::PatternBytes(30, 0x41);
    EXPECT_EQ(Echo(h, more), more);
    EXPECT_TRUE(CloseHandle(h));
}

// FTDI bulk-IN transfers of every length from 0 to 70: each packet's status
// pair is taken off and only the bytes after it are data; a lone byte is no
// packet. Nothing received earlier is lost.
TEST_F(StatusPacketTest, FtdiPacketsOfEveryLength) {
    ASSERT_TRUE(Attach(Kind::kFtdi));
    HANDLE h = comtest::OpenCom();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const uint8_t dataIn = Info(Kind::kFtdi).dataIn;
    ByteVector expected;
    uint8_t next = 0x20;
    for (size_t length = 0; length <= 70; ++length) {
        Bytes transfer;
        for (size_t at = 0; at < length; at += 64) {
            const size_t packet = length - at < 64 ? length - at : 64;
            Bytes p = {0x01, 0x60};
            p.resize(packet);
            for (size_t i = 2; i < packet; ++i) {
                p[i] = next++;
                expected.push_back(p[i]);
            }
            transfer.insert(transfer.end(), p.begin(), p.end());
        }
        ScriptTransfer(dataIn, transfer, 64);
        ASSERT_TRUE(Delivered()) << "length " << length;
    }
    comtest::SetTimeouts(h, MAXDWORD, 0, 0);
    ByteVector got;
    ASSERT_TRUE(comtest::Eventually([&] {
        ByteVector more = comtest::ReadAll(h, expected.size() - got.size());
        got.insert(got.end(), more.begin(), more.end());
        return got.size() >= expected.size();
    }));
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(CloseHandle(h));
}

}  // namespace
}  // namespace badtest
