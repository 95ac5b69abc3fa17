// The serial port as an application sees it: the real library loaded by the
// emulated device manager, served over the emulated USB host by the
// simulated bulk-only adapter, whose serial line the test drives. What the
// unit tests cannot see: the read timeouts against a real clock and the
// send pipe's recovery from bus errors. (Removal with calls blocked on
// every handle is tested on the stream entry points and, through the whole
// stack on every port type, by the stress suite.)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "cehost/core.h"
#include "cehost/devmgr.h"
#include "common/com_port_test.h"
#include "sim/bulk_model.h"

namespace {

using comtest::ByteVector;
using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class StreamE2e : public comtest::ComPortTest {
  protected:
    // Serves the adapter with a scripted line as COM1:.
    void ServeAdapter() {
        line_ = std::make_shared<sim::ScriptedLine>();
        Serve(std::make_shared<sim::BulkAdapterModel>(sim::BulkModelConfig{}, line_));
    }

    std::shared_ptr<sim::ScriptedLine> line_;
};

// The four shapes of the read timeouts and the interval bound, with bytes
// arriving from the far end (or not) while the read waits: the port's own
// timeouts first (250, 10, 100: a total of 100 + 10 x count), terms whose
// sum or product passes 32 bits (a very long bound, never a short one), and
// a tick counter that wraps during the wait. Bounds are generous: they tell
// a wait from no wait and a bounded wait from an unbounded one, nothing
// finer.
TEST_F(StreamE2e, ReadTimeouts) {
    ServeAdapter();
    HANDLE h = comtest::OpenCom();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    enum Extra { kNone, kPortDefaults, kTickWrap };
    const struct Case {
        const char* name;
        COMMTIMEOUTS timeouts;
        std::vector<size_t> injected;  // sizes the far end sends 100 ms apart
        DWORD count;
        size_t expected;
        long minMs, maxMs;
        Extra extra = kNone;
    } cases[] = {
        {"port's own timeouts", {}, {}, 64, 0, 600, 3000, kPortDefaults},
        {"return at once", {MAXDWORD, 0, 0, 0, 0}, {}, 64, 0, 0, 250},
        {"wait for first bytes", {MAXDWORD, MAXDWORD, 2000, 0, 0}, {5}, 64, 5, 60, 1500},
        {"no limit until count", {0, 0, 0, 0, 0}, {3, 3, 4}, 10, 10, 250, 1500},
        {"multiplier term", {0, 100, 50, 0, 0}, {}, 8, 0, 650, 3000},
        {"interval plus 8 x multiplier", {200, 100, 0, 0, 0}, {5}, 64, 5, 900, 3000},
        {"multiplier term past 32 bits", {0, 0xFFFFFFFE, 10, 0, 0}, {2}, 2, 2, 60, 1500},
        {"interval term past 32 bits", {1, 0x20000000, 0, 0, 0}, {3, 3}, 6, 6, 150, 1500},
        {"tick count wraps", {MAXDWORD, 0, 300, 0, 0}, {}, 64, 0, 250, 1500, kTickWrap},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        COMMTIMEOUTS t = c.timeouts;
        if (c.extra != kPortDefaults) {
            ASSERT_TRUE(SetCommTimeouts(h, &t));
        }
        if (c.extra == kTickWrap)
            cehost::SetTickCountNow(0xFFFFFFFFu - 100);
        std::thread far([&] {
            for (size_t n : c.injected) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                line_->Inject(comtest::PatternBytes(n));
            }
        });
        auto start = Clock::now();
        ByteVector got(c.count);
        DWORD n = 0;
        EXPECT_TRUE(ReadFile(h, got.data(), c.count, &n, nullptr));
        long ms = ElapsedMs(start);
        far.join();
        EXPECT_EQ(n, c.expected);
        EXPECT_GE(ms, c.minMs);
        EXPECT_LE(ms, c.maxMs);
        cehost::SetTickOffset(0);
        // Whatever came late does not spill into the next case.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_TRUE(PurgeComm(h, PURGE_RXCLEAR));
    }
    EXPECT_TRUE(CloseHandle(h));
}

// A write that fails on the bus halts the send pipe; the driver recovers it
// (the device's halt and the host's), and later writes reach the line whole.
TEST_F(StreamE2e, SendPipeRecoversFromErrors) {
    const struct Case {
        const char* name;
        DWORD error;  // 0: the endpoint stalls
        int count;
    } cases[] = {
        {"stall", 0, 1},
        {"CRC burst", USB_CRC_ERROR, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ServeAdapter();
        HANDLE h = comtest::OpenCom();
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        if (c.error == 0)
            bus_->Stall(id_, 0x02);
        else
            bus_->CompleteWithError(id_, {0x02, cehost::kAnyRequest}, c.error, c.count);
        EXPECT_EQ(comtest::WriteAll(h, comtest::PatternBytes(30)), 0u);
        const ByteVector later = comtest::PatternBytes(30, 0x27);
        EXPECT_TRUE(comtest::Eventually([&] { return comtest::WriteAll(h, later) == 30; }, 400));
        ASSERT_TRUE(line_->WaitTransmitted(30, 2000));
        EXPECT_EQ(line_->TakeTransmitted(), later);
        EXPECT_TRUE(CloseHandle(h));
        TearDown();
        SetUp();
    }
}

}  // namespace
