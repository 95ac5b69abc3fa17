// The two-channel port: one stream device, two serial lines; handles move
// between the channels with the IR escape functions.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "cdc_fixture.h"
#include "ce/file.h"
#include "cehost/regfile.h"
#include "platform.h"

namespace cdctest {
namespace {

using comtest::PatternBytes;
using comtest::ReadAll;
using comtest::SetTimeouts;
using comtest::WaitEvents;
using comtest::WriteAll;
namespace cdc = sim::cdc;

class CdcTwoChannel : public CdcPortTest {
  protected:
    void SetUp() override {
        CdcPortTest::SetUp();
        first_ = ServeAndOpen(sim::CdcTwoChannelConfig());
    }
    HANDLE first_ = INVALID_HANDLE_VALUE;

    // Writes `bytes` on the handle and takes them from whichever line they
    // reached; the other line must have seen nothing.
    int LineOfWrite(HANDLE h, const ByteVector& bytes) {
        EXPECT_EQ(WriteAll(h, bytes), bytes.size());
        if (!comtest::Eventually([&] {
                return line_->WaitTransmitted(bytes.size(), 0) ||
                       line2_->WaitTransmitted(bytes.size(), 0);
            })) {
            return -1;
        }
        ByteVector first = line_->TakeTransmitted(), second = line2_->TakeTransmitted();
        if (first == bytes && second.empty())
            return 0;
        if (second == bytes && first.empty())
            return 1;
        return -1;
    }
};

TEST_F(CdcTwoChannel, ChannelsCarryDifferentDataAtOnce) {
    HANDLE primary = first_;
    HANDLE second = comtest::OpenCom();
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(EscapeCommFunction(second, SETIR));
    SetTimeouts(primary, 0, 0, 5000);
    SetTimeouts(second, 0, 0, 5000);

    const size_t n = 3000;
    const ByteVector outA = PatternBytes(n, 0x20), outB = PatternBytes(n, 0x40);
    const ByteVector inA = PatternBytes(n, 0x30), inB = PatternBytes(n, 0x50);
    ByteVector gotA, gotB;
    DWORD wroteA = 0, wroteB = 0;
    std::thread a([&] {
        wroteA = WriteAll(primary, outA);
        gotA = ReadAll(primary, n);
    });
    std::thread b([&] {
        wroteB = WriteAll(second, outB);
        gotB = ReadAll(second, n);
    });
    for (size_t at = 0; at < n; at += 500) {
        line_->Inject(ByteVector(inA.begin() + at, inA.begin() + at + 500));
        line2_->Inject(ByteVector(inB.begin() + at, inB.begin() + at + 500));
    }
    a.join();
    b.join();
    EXPECT_EQ(wroteA, n);
    EXPECT_EQ(wroteB, n);
    EXPECT_EQ(gotA, inA);
    EXPECT_EQ(gotB, inB);
    ASSERT_TRUE(line_->WaitTransmitted(n, 5000));
    ASSERT_TRUE(line2_->WaitTransmitted(n, 5000));
    EXPECT_EQ(line_->TakeTransmitted(), outA);
    EXPECT_EQ(line2_->TakeTransmitted(), outB);
    EXPECT_TRUE(CloseHandle(second));
    EXPECT_TRUE(CloseHandle(primary));
}

// ENABLE_IR moves a handle to the second channel and keeps it there;
// DISABLE_IR brings it back, also when asked on the second channel. Each
// channel keeps its own settings; the second one has no class requests.
TEST_F(CdcTwoChannel, HandleSwitchesChannelsAndBack) {
    HANDLE h = first_;
    uint8_t tag = 0x20;
    for (auto [escape, line] :
         {std::pair{0ul, 0}, {SETIR, 1}, {SETIR, 1}, {CLRIR, 0}, {CLRIR, 0}, {SETIR, 1}}) {
        SCOPED_TRACE(tag);
        if (escape != 0) {
            EXPECT_TRUE(EscapeCommFunction(h, escape));
        }
        EXPECT_EQ(LineOfWrite(h, PatternBytes(100, tag++)), line);
    }

    // On the second channel now: its rate is its own, sent to no device.
    const size_t codings = model_->RequestCount(cdc::kSetLineCoding);
    DCB dcb{};
    ASSERT_TRUE(comtest::EditDcb(h, [](DCB& d) { d.BaudRate = 57600; }));
    EXPECT_EQ(model_->RequestCount(cdc::kSetLineCoding), codings);
    SetTimeouts(h, 0, 0, 5000);
    line2_->Inject({'s', 'e', 'c'});
    EXPECT_EQ(ReadAll(h, 3), (ByteVector{'s', 'e', 'c'}));

    ASSERT_TRUE(EscapeCommFunction(h, CLRIR));
    ASSERT_TRUE(GetCommState(h, &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(model_->Coding().baud, 9600u);

    // The lines belong to the primary channel: the last close drops them
    // even when it is made on the second.
    ASSERT_TRUE(EscapeCommFunction(h, SETDTR));
    ASSERT_TRUE(EscapeCommFunction(h, SETRTS));
    ASSERT_TRUE(EscapeCommFunction(h, SETIR));
    EXPECT_TRUE(model_->Dtr() && model_->Rts());
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(model_->Dtr() || model_->Rts());
}

// Comm events go to the handles on the channel that raised them, and to no
// other.
TEST_F(CdcTwoChannel, EventsReachTheHandlesOfTheirChannel) {
    HANDLE primary = first_;
    HANDLE second = comtest::OpenCom();
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(EscapeCommFunction(second, SETIR));
    ASSERT_TRUE(SetCommMask(primary, EV_RXCHAR | EV_RLSD));
    ASSERT_TRUE(SetCommMask(second, EV_RXCHAR | EV_RLSD));

    line2_->Inject({'x'});
    EXPECT_EQ(WaitEvents(second), std::optional<DWORD>(EV_RXCHAR));
    line_->SetDcd(true);
    EXPECT_EQ(WaitEvents(primary), std::optional<DWORD>(EV_RLSD));
    line2_->Inject({'y'});
    EXPECT_EQ(WaitEvents(second), std::optional<DWORD>(EV_RXCHAR));
    line_->Inject({'z'});
    EXPECT_EQ(WaitEvents(primary), std::optional<DWORD>(EV_RXCHAR));

    // Back on the primary, the handle hears the primary's events.
    ASSERT_TRUE(EscapeCommFunction(second, CLRIR));
    ASSERT_TRUE(SetCommMask(second, EV_RLSD));
    line_->SetDcd(false);
    EXPECT_EQ(WaitEvents(second), std::optional<DWORD>(EV_RLSD));
    EXPECT_TRUE(CloseHandle(second));
    EXPECT_TRUE(CloseHandle(primary));
}

// Removal wakes a reader blocked on either channel.
TEST_F(CdcTwoChannel, UnplugWakesABlockedReaderOnEitherChannel) {
    for (bool secondChannel : {false, true}) {
        SCOPED_TRACE(secondChannel ? "second channel" : "primary");
        HANDLE h = bus_->IsPlugged(id_) ? first_ : ServeAndOpen(sim::CdcTwoChannelConfig());
        if (secondChannel) {
            ASSERT_TRUE(EscapeCommFunction(h, SETIR));
        }
        SetTimeouts(h, 0, 0, 0);  // no timeout: only data or removal ends it
        std::atomic<bool> done{false};
        DWORD got = 0xDEAD;
        std::thread reader([&] {
            char buffer[16];
            ReadFile(h, buffer, sizeof(buffer), &got, nullptr);
            done = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(done.load());
        Unplug();
        EXPECT_TRUE(comtest::Eventually([&] { return done.load(); }));
        reader.join();
        EXPECT_EQ(got, 0u);
        CloseHandle(h);
    }
}

// The second channel writes under the device's write flags, as a basic
// port: a 47-byte write is cut to 46 unless flag 0x800 is set.
TEST_F(CdcPortTest, SecondChannelWritesFollowTheFlags) {
    for (auto [usbMode, transfers] : {std::pair{0x0002u, std::vector<uint32_t>{46, 1}},
                                      std::pair{0x0802u, std::vector<uint32_t>{47}}}) {
        SCOPED_TRACE(usbMode);
        HANDLE h = ServeAndOpen(sim::CdcTwoChannelConfig(), [&](const std::u16string& key) {
            ASSERT_TRUE(cehost::RegWriteDword(key, kValueUsbMode, usbMode));
        });
        ASSERT_TRUE(EscapeCommFunction(h, SETIR));
        bus_->ClearLog();
        EXPECT_EQ(WriteAll(h, PatternBytes(47)), 47u);
        ASSERT_TRUE(line2_->WaitTransmitted(47, 5000));
        EXPECT_EQ(line2_->TakeTransmitted(), PatternBytes(47));
        std::vector<uint32_t> lengths;
        for (const cehost::UsbLogEntry& e : bus_->Log()) {
            if (e.event == 'S' && e.endpoint == 0x03)
                lengths.push_back(e.urbLength);
        }
        EXPECT_EQ(lengths, transfers);
        EXPECT_TRUE(CloseHandle(h));
        Unplug();
    }
}

}  // namespace
}  // namespace cdctest
