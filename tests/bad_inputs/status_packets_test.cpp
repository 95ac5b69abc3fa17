// Status packets of every length from 0 to 70 bytes on served ports: each
// packet is taken or dropped whole, and the bytes already received stay in
// the port.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bad_fixture.h"

namespace badtest {
namespace {

class StatusPacketTest : public BadInputTest {
  protected:
    HANDLE Open(const std::string& name) {
        return Attach(name) ? comtest::OpenCom() : INVALID_HANDLE_VALUE;
    }
    // Scripts one IN transfer of `bytes` on `endpoint` (packets of `packet`
    // bytes, ended by a short or zero-length one) and waits until it went.
    void Deliver(uint8_t endpoint, const Bytes& bytes, size_t packet) {
        for (size_t at = 0, n = packet; n == packet; at += n) {
            n = std::min(packet, bytes.size() - at);
            model_->Script(endpoint, {cehost::UsbHandshake::kAck,
                                      Bytes(bytes.begin() + static_cast<long>(at),
                                            bytes.begin() + static_cast<long>(at + n))});
        }
        ASSERT_TRUE(comtest::Eventually([&] { return model_->Pending() == 0; })) << bytes.size();
    }
};

// SERIAL_STATE notifications cut short or run long: none crashes the port,
// the ten bytes received before them stay, and data keeps flowing.
TEST_F(StatusPacketTest, CdcNotificationsOfEveryLength) {
    HANDLE h = Open("cdc-acm");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const ByteVector first = comtest::PatternBytes(10);
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
TEST_F(StatusPacketTest, FtdiPacketsOfEveryLength) {
    HANDLE h = Open("ftdi");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ByteVector expected;
    uint8_t next = 0x20;
    for (size_t length = 0; length <= 70; ++length) {
        Bytes transfer;
        for (size_t at = 0; at < length; at += 64) {
            transfer.insert(transfer.end(), {0x01, 0x60});
            transfer.resize(std::min(length, at + 64));
            for (size_t i = at + 2; i < transfer.size(); ++i)
                expected.push_back(transfer[i] = next++);
        }
        Deliver(Path("ftdi").dataIn, transfer, 64);
    }
    comtest::SetTimeouts(h, 0, 0, 2000);
    EXPECT_EQ(comtest::ReadAll(h, expected.size()), expected);
    EXPECT_TRUE(CloseHandle(h));
}

}  // namespace
}  // namespace badtest
