// Status packets of every length from 0 to 70 bytes on served ports: each
// packet is taken or dropped whole, and the bytes already received stay in
// the port. (The control requests' buffer rules are one table,
// driver/stream/requests.h, tested with the dispatch in
// tests/driver_stream/control_test.cpp.)
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bad_fixture.h"

namespace badtest {
namespace {

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
