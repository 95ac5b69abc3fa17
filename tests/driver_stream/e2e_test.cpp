// The serial port as an application sees it: the real library loaded by the
// emulated device manager, served over the emulated USB host by the
// simulated bulk-only adapter, whose serial line is a loopback plug or a
// line the test drives. Everything goes through CreateFileW, ReadFile,
// WriteFile, DeviceIoControl and the Comm API; assertions are on what the
// application gets back and on what the device saw.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ce/file.h"
#include "ce/serial.h"
#include "ce/sync.h"
#include "ce/thread.h"
#include "cehost/core.h"
#include "cehost/devmgr.h"
#include "cehost/process.h"
#include "cehost/regfile.h"
#include "cehost/usb_bus.h"
#include "common/platform_test.h"
#include "platform.h"
#include "sim/bulk_model.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

long ElapsedMs(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

bool Eventually(const std::function<bool()>& predicate, int ms = 2000) {
    auto start = Clock::now();
    while (!predicate()) {
        if (ElapsedMs(start) > ms)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

Bytes Pattern(size_t n, uint8_t first = 0x20) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<uint8_t>(first + i % 64);
    return bytes;
}

class StreamE2e : public PlatformTest {
  protected:
    // Plugs the adapter with `line` behind it and serves it as COM1:; a
    // `usbMode` other than -1 replaces the configured UsbMode word first.
    void Serve(std::shared_ptr<sim::SerialLine> line, long usbMode = -1) {
        model_ = std::make_shared<sim::BulkAdapterModel>(sim::BulkModelConfig{}, line);
        bus_ = std::make_unique<cehost::UsbBus>();
        ASSERT_TRUE(cehost::UsbInstallClient(u"serlynx.dll"));
        cehost::UsbDeviceId first = bus_->Plug(model_);
        ASSERT_NE(first, 0u);
        if (usbMode >= 0) {
            ASSERT_TRUE(cehost::RegWriteDword(serlynx::DeviceKeyPath(model_->DeviceDescriptor()),
                                              kValueUsbMode, static_cast<DWORD>(usbMode)));
        }
        id_ = bus_->Replug(first);
        ASSERT_EQ(bus_->Owner(id_), u"Serlynx");
    }

    void ServeScripted(long usbMode = -1) {
        line_ = std::make_shared<sim::ScriptedLine>();
        Serve(line_, usbMode);
    }

    void TearDown() override {
        if (bus_ != nullptr) {
            if (id_ != 0 && bus_->IsPlugged(id_))
                bus_->Unplug(id_);
            bus_.reset();
        }
        PlatformTest::TearDown();
    }

    static HANDLE Open(DWORD access = GENERIC_READ | GENERIC_WRITE) {
        return CreateFileW(u"COM1:", access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }

    static void Timeouts(HANDLE h, DWORD interval, DWORD multiplier, DWORD constant,
                         DWORD writeMultiplier = 0, DWORD writeConstant = 0) {
        COMMTIMEOUTS t{interval, multiplier, constant, writeMultiplier, writeConstant};
        ASSERT_TRUE(SetCommTimeouts(h, &t));
    }

    static DWORD InQueue(HANDLE h) {
        DWORD errors = 0;
        COMSTAT stat{};
        EXPECT_TRUE(ClearCommError(h, &errors, &stat));
        return stat.cbInQue;
    }

    static Bytes ReadSome(HANDLE h, DWORD count) {
        Bytes buffer(count);
        DWORD got = 0;
        EXPECT_TRUE(ReadFile(h, buffer.data(), count, &got, nullptr));
        buffer.resize(got);
        return buffer;
    }

    // Reads until `count` bytes came or a read returns nothing.
    static Bytes ReadAll(HANDLE h, DWORD count) {
        Bytes all;
        while (all.size() < count) {
            Bytes more = ReadSome(h, count - static_cast<DWORD>(all.size()));
            if (more.empty())
                break;
            all.insert(all.end(), more.begin(), more.end());
        }
        return all;
    }

    static DWORD WriteBytes(HANDLE h, const Bytes& bytes) {
        DWORD written = 0xFFFFFFFF;
        EXPECT_TRUE(
            WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
        return written;
    }

    std::unique_ptr<cehost::UsbBus> bus_;
    cehost::UsbDeviceId id_ = 0;
    std::shared_ptr<sim::BulkAdapterModel> model_;
    std::shared_ptr<sim::ScriptedLine> line_;
};

TEST_F(StreamE2e, LoopbackRoundTripAndFirstOpenDiscard) {
    ServeScripted();
    // The worker queues its four receive transfers first; a completion seen
    // before the last of them is submitted would make the wait below pass
    // before the bytes are in the ring.
    ASSERT_TRUE(Eventually([&] {
        int submitted = 0;
        for (const auto& entry : bus_->Log())
            submitted += entry.event == 'S' && entry.endpoint == 0x81;
        return submitted >= 4;
    }));
    // Bytes that arrive while no handle is open are dropped by the first open.
    line_->Inject(Pattern(40));
    // The worker has stored them once it queued a new receive transfer after
    // the one that brought them.
    ASSERT_TRUE(Eventually([&] {
        auto log = bus_->Log();
        size_t delivered = log.size();
        for (size_t i = 0; i < log.size(); ++i) {
            if (log[i].event == 'C' && log[i].endpoint == 0x81 && !log[i].data.empty()) {
                delivered = i;
            }
        }
        for (size_t i = delivered + 1; i < log.size(); ++i) {
            if (log[i].event == 'S' && log[i].endpoint == 0x81)
                return true;
        }
        return false;
    }));
    EXPECT_EQ(model_->BytesReceived(), 40u);
    HANDLE h = Open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(InQueue(h), 0u);
    Timeouts(h, MAXDWORD, 0, 0);
    EXPECT_TRUE(ReadSome(h, 100).empty());

    // A second handle shares the port; a read on it sees what arrives next.
    HANDLE second = Open(GENERIC_READ);
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    Timeouts(h, 0, 0, 2000);
    line_->Inject(Pattern(10, 0x41));
    EXPECT_EQ(ReadAll(second, 10), Pattern(10, 0x41));

    // Written bytes reach the line in order.
    Bytes out = Pattern(300);
    EXPECT_EQ(WriteBytes(h, out), 300u);
    ASSERT_TRUE(line_->WaitTransmitted(300, 2000));
    EXPECT_EQ(line_->TakeTransmitted(), out);

    // Access is checked per handle.
    DWORD written = 0;
    SetLastError(0);
    EXPECT_FALSE(WriteFile(second, out.data(), 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACCESS));
    EXPECT_TRUE(CloseHandle(second));
    EXPECT_TRUE(CloseHandle(h));
}

// The four shapes of the read timeouts and the interval bound, with bytes
// arriving from the far end (or not) while the read waits: the port's own
// timeouts first (250, 10, 100: a total of 100 + 10 x count), terms whose
// sum or product passes 32 bits (a very long bound, never a short one), and
// a tick counter that wraps during the wait. Bounds are generous: they tell
// a wait from no wait and a bounded wait from an unbounded one, nothing
// finer.
TEST_F(StreamE2e, ReadTimeouts) {
    ServeScripted();
    HANDLE h = Open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    enum Extra { kNone, kPortDefaults, kTickWrap };
    struct Case {
        const char* name;
        COMMTIMEOUTS timeouts;
        std::vector<size_t> injected;  // sizes the far end sends 100 ms apart
        DWORD count;
        size_t expected;
        long minMs, maxMs;
        Extra extra = kNone;
    };
    const Case cases[] = {
        {"port's own timeouts", {}, {}, 64, 0, 600, 3000, kPortDefaults},
        {"return at once", {MAXDWORD, 0, 0, 0, 0}, {}, 64, 0, 0, 250},
        {"wait for first bytes, none", {MAXDWORD, 0, 300, 0, 0}, {}, 64, 0, 250, 1500},
        {"wait for first bytes", {MAXDWORD, MAXDWORD, 2000, 0, 0}, {5}, 64, 5, 60, 1500},
        {"no limit until count", {0, 0, 0, 0, 0}, {3, 3, 4}, 10, 10, 250, 1500},
        {"total bound", {0, 0, 900, 0, 0}, {5}, 64, 5, 700, 3000},
        {"multiplier term", {0, 100, 50, 0, 0}, {}, 8, 0, 650, 3000},
        {"interval bound", {200, 0, 10000, 0, 0}, {5}, 64, 5, 250, 1500},
        {"interval plus 8 x multiplier", {200, 100, 0, 0, 0}, {5}, 64, 5, 900, 3000},
        {"multiplier term past 32 bits", {0, 0xFFFFFFFE, 10, 0, 0}, {2}, 2, 2, 60, 1500},
        {"interval term past 32 bits", {1, 0x20000000, 0, 0, 0}, {3, 3}, 6, 6, 150, 1500},
        {"tick count wraps", {MAXDWORD, 0, 300, 0, 0}, {}, 64, 0, 250, 1500, kTickWrap},
    };
    for (const Case& c : cases) {
        if (c.extra != kPortDefaults) {
            COMMTIMEOUTS t = c.timeouts;
            ASSERT_TRUE(SetCommTimeouts(h, &t));
        }
        if (c.extra == kTickWrap)
            cehost::SetTickCountNow(0xFFFFFFFFu - 100);
        std::thread far([&] {
            for (size_t n : c.injected) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                line_->Inject(Pattern(n));
            }
        });
        auto start = Clock::now();
        Bytes got = ReadSome(h, c.count);
        long ms = ElapsedMs(start);
        far.join();
        EXPECT_EQ(got.size(), c.expected) << c.name;
        EXPECT_GE(ms, c.minMs) << c.name;
        EXPECT_LE(ms, c.maxMs) << c.name;
        cehost::SetTickOffset(0);
        // Whatever came late does not spill into the next case.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_TRUE(PurgeComm(h, PURGE_RXCLEAR));
    }
    EXPECT_TRUE(CloseHandle(h));
}

// Zero-length packets, counted by the device: after a write that ends on a
// packet boundary when one transfer may carry the whole write, never with
// the no-ZLP flag, and for a write of nothing.
TEST_F(StreamE2e, ZeroLengthPackets) {
    struct Case {
        const char* name;
        long usbMode;
        size_t count;
        uint64_t zlps;
    };
    const Case cases[] = {
        {"whole write, 2 packets", 0x400, 128, 1},
        {"whole write, 1.5 packets", 0x400, 96, 0},
        {"whole write, no-ZLP flag", 0x600, 128, 0},
        {"default chunking", 0, 128, 0},
        {"empty write", 0, 0, 1},
        {"empty write, no-ZLP flag", 0x200, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Serve(std::make_shared<sim::LoopbackPlug>(), c.usbMode);
        HANDLE h = Open();
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(WriteBytes(h, Pattern(c.count)), c.count);
        EXPECT_TRUE(Eventually([&] { return model_->BytesSent() == c.count; }));
        EXPECT_EQ(model_->ZeroLengthPacketsOut(), c.zlps);
        EXPECT_TRUE(CloseHandle(h));
        TearDown();
        SetUp();
    }
}

TEST_F(StreamE2e, WriteTimeoutAbortsATransferThatNeverCompletes) {
    ServeScripted();
    HANDLE h = Open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    Timeouts(h, MAXDWORD, 0, 0, 0, 200);
    bus_->NeverComplete(id_, cehost::UsbFaultTarget{0x02, cehost::kAnyRequest});
    auto start = Clock::now();
    EXPECT_EQ(WriteBytes(h, Pattern(30)), 0u);
    long ms = ElapsedMs(start);
    EXPECT_GE(ms, 180);
    EXPECT_LE(ms, 1500);
    // The port goes on working.
    EXPECT_EQ(WriteBytes(h, Pattern(30)), 30u);
    ASSERT_TRUE(line_->WaitTransmitted(30, 2000));
    EXPECT_EQ(line_->TakeTransmitted(), Pattern(30));
    EXPECT_TRUE(CloseHandle(h));
}

// A write that fails on the bus halts the send pipe; the driver recovers it
// (the device's halt and the host's), and later writes reach the line whole.
TEST_F(StreamE2e, SendPipeRecoversFromErrors) {
    struct Case {
        const char* name;
        DWORD error;  // 0: the endpoint stalls
        int count;
    } const cases[] = {
        {"stall", 0, 1},
        {"CRC burst", USB_CRC_ERROR, 3},
        {"not responding", USB_DEVICE_NOT_RESPONDING_ERROR, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ServeScripted();
        HANDLE h = Open();
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        if (c.error == 0)
            bus_->Stall(id_, 0x02);
        else
            bus_->CompleteWithError(id_, {0x02, cehost::kAnyRequest}, c.error, c.count);
        EXPECT_EQ(WriteBytes(h, Pattern(30)), 0u);
        bool whole = false;
        for (int i = 0; i < 200 && !whole; i++) {
            whole = WriteBytes(h, Pattern(30, 7)) == 30;
            if (!whole)
                Sleep(2);
        }
        EXPECT_TRUE(whole);
        ASSERT_TRUE(line_->WaitTransmitted(30, 2000));
        EXPECT_EQ(line_->TakeTransmitted(), Pattern(30, 7));
        EXPECT_TRUE(CloseHandle(h));
        TearDown();
        SetUp();
    }
}

// A received XOFF holds writes back until an XON arrives, the application
// sends SETXON, or it purges the write.
TEST_F(StreamE2e, OutputHeldByReceivedXoff) {
    enum class Release { kXonReceived, kSetXon, kPurge };
    for (Release release : {Release::kXonReceived, Release::kSetXon, Release::kPurge}) {
        SCOPED_TRACE(static_cast<int>(release));
        ServeScripted();
        HANDLE h = Open();
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        DCB dcb{};
        dcb.DCBlength = sizeof(DCB);
        ASSERT_TRUE(GetCommState(h, &dcb));
        dcb.fOutX = 1;
        ASSERT_TRUE(SetCommState(h, &dcb));
        line_->Inject({0x13});
        ASSERT_TRUE(Eventually([&] {
            DWORD errors = 0;
            COMSTAT stat{};
            ClearCommError(h, &errors, &stat);
            return stat.fXoffHold == 1;
        }));
        std::atomic<DWORD> written{0xFFFFFFFF};
        std::thread writer([&] { written = WriteBytes(h, Pattern(20)); });
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        EXPECT_TRUE(line_->TakeTransmitted().empty()) << "held back";
        switch (release) {
            case Release::kXonReceived:
                line_->Inject({0x11});
                break;
            case Release::kSetXon:
                EXPECT_TRUE(EscapeCommFunction(h, SETXON));
                break;
            case Release::kPurge:
                EXPECT_TRUE(PurgeComm(h, PURGE_TXABORT));
                break;
        }
        writer.join();
        if (release == Release::kPurge) {
            EXPECT_EQ(written.load(), 0u);
        } else {
            EXPECT_EQ(written.load(), 20u);
            ASSERT_TRUE(line_->WaitTransmitted(20, 2000));
            EXPECT_EQ(line_->TakeTransmitted(), Pattern(20));
        }
        EXPECT_TRUE(CloseHandle(h));
        TearDown();
        SetUp();
    }
}

TEST_F(StreamE2e, CommEventsOnTwoHandles) {
    ServeScripted();
    HANDLE a = Open();
    HANDLE b = Open();
    ASSERT_TRUE(SetCommMask(a, EV_RXCHAR));
    ASSERT_TRUE(SetCommMask(b, EV_RXCHAR | EV_BREAK));
    DWORD ea = 0, eb = 0;
    BOOL oka = FALSE, okb = FALSE;
    std::thread ta([&] { oka = WaitCommEvent(a, &ea, nullptr); });
    std::thread tb([&] { okb = WaitCommEvent(b, &eb, nullptr); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    line_->Inject({'x'});
    ta.join();
    tb.join();
    EXPECT_TRUE(oka);
    EXPECT_EQ(ea, EV_RXCHAR);
    EXPECT_TRUE(okb);
    EXPECT_EQ(eb, EV_RXCHAR);

    // A new mask ends a wait with no events.
    std::thread tc([&] { oka = WaitCommEvent(a, &ea, nullptr); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(SetCommMask(a, EV_CTS));
    tc.join();
    EXPECT_TRUE(oka);
    EXPECT_EQ(ea, 0u);
    DWORD mask = 0;
    EXPECT_TRUE(GetCommMask(a, &mask));
    EXPECT_EQ(mask, EV_CTS);
    EXPECT_TRUE(CloseHandle(a));
    EXPECT_TRUE(CloseHandle(b));
}

TEST_F(StreamE2e, PurgeDropsReceivedBytes) {
    ServeScripted();
    HANDLE h = Open();
    line_->Inject(Pattern(300));
    ASSERT_TRUE(Eventually([&] { return InQueue(h) == 300; }));
    EXPECT_TRUE(PurgeComm(h, PURGE_RXCLEAR));
    EXPECT_EQ(InQueue(h), 0u);
    Timeouts(h, MAXDWORD, 0, 0);
    EXPECT_TRUE(ReadSome(h, 300).empty());
    line_->Inject(Pattern(3));
    Timeouts(h, 0, 0, 2000);
    EXPECT_EQ(ReadAll(h, 3), Pattern(3));
    EXPECT_TRUE(CloseHandle(h));
}

// A process that exits while its thread blocks in a read: the device manager
// tells the driver, which ends the read; the port stays usable by others.
TEST_F(StreamE2e, ProcessExitEndsItsCalls) {
    ServeScripted();
    HANDLE other = Open();
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    cehost::Process process;
    HANDLE h = INVALID_HANDLE_VALUE;
    process.Run([&] { h = Open(); });
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    Timeouts(other, 0, 0, 0);  // shared: reads wait with no limit
    std::atomic<int> readDone{0};
    std::atomic<DWORD> got{99};
    std::thread reader([&] {
        process.Run([&] {
            Bytes buffer(8);
            DWORD n = 0;
            ReadFile(h, buffer.data(), 8, &n, nullptr);
            got = n;
        });
        readDone = 1;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto start = Clock::now();
    process.Exit();
    reader.join();
    EXPECT_LT(ElapsedMs(start), 1500);
    EXPECT_EQ(got.load(), 0u);
    // The other handle still works.
    Timeouts(other, 0, 0, 2000);
    line_->Inject({'k'});
    EXPECT_EQ(ReadAll(other, 1), Bytes{'k'});
    EXPECT_TRUE(CloseHandle(other));
}

// Removal while reads, writes and waits block on several handles: every
// call returns within 1.5 s, and the handles close cleanly afterwards.
TEST_F(StreamE2e, RemovalEndsEveryBlockedCall) {
    ServeScripted();
    HANDLE reader = Open();
    HANDLE writer = Open();
    HANDLE waiter = Open();
    HANDLE idle = Open();
    Timeouts(reader, 0, 0, 0);
    bus_->NeverComplete(id_, cehost::UsbFaultTarget{0x02, cehost::kAnyRequest});
    ASSERT_TRUE(SetCommMask(waiter, EV_CTS));
    std::atomic<int> finished{0};
    BOOL readOk = TRUE, waitOk = TRUE;
    DWORD readN = 99, waitEvents = 99, written = 99;
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        Bytes b(16);
        readOk = ReadFile(reader, b.data(), 16, &readN, nullptr);
        ++finished;
    });
    threads.emplace_back([&] {
        Bytes b = Pattern(16);
        WriteFile(writer, b.data(), 16, &written, nullptr);
        ++finished;
    });
    threads.emplace_back([&] {
        waitOk = WaitCommEvent(waiter, &waitEvents, nullptr);
        ++finished;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(finished.load(), 0);
    auto start = Clock::now();
    EXPECT_TRUE(bus_->Unplug(id_));
    EXPECT_TRUE(Eventually([&] { return finished.load() == 3; }, 1500));
    long ms = ElapsedMs(start);
    for (auto& t : threads)
        t.join();
    EXPECT_LT(ms, 1500);
    EXPECT_TRUE(readOk);
    EXPECT_EQ(readN, 0u);
    EXPECT_EQ(written, 0u);
    EXPECT_FALSE(waitOk);
    for (HANDLE h : {reader, writer, waiter, idle})
        EXPECT_TRUE(CloseHandle(h));
    EXPECT_TRUE(cehost::ActiveDevices().empty());
}

}  // namespace
