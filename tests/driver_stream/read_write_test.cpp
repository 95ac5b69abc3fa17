// COM_Read and COM_Write: the ring's wrap, one reader and one writer per
// port, read and write timeouts, the output flow-control gate, zero-length
// packets, and transfers that fail, never complete or cannot be issued.
#include <functional>
#include <tuple>

#include "cehost/core.h"

#include "ce/windows.h"
#include "driver/port/line_status.h"
#include "driver/stream/com_entry.h"
#include "driver_stream/stream_fixture.h"

namespace streamtest {
namespace {

using ReadWrite = StreamTest;

// Reads of blocks that end exactly at the ring's end and that wrap; a host
// that reports more than a transfer asked for delivers no more than it asked
// (never what lies past its slot), and a write counts no more than it
// offered.
TEST_F(ReadWrite, ReadsAcrossTheRingEndInOrder) {
    DWORD_PTR h = StartPort(0, 1024);
    SetTimeouts(h, MAXDWORD, 0, 0);
    for (int i = 0; i < 4; ++i) {  // the ring's positions to 1000
        Feed(Pattern(250));
        EXPECT_EQ(Read(h, 250).size(), 250u);
    }
    // Blocks of n bytes counting up from `first`, and where the tail ends.
    for (auto [n, first, tailAfter] : {std::tuple<DWORD, BYTE, LONG>{24, 1, 1024},
                                       {100, 2, 100},
                                       {250, 7, 350},
                                       {700, 10, 26}}) {
        Feed(Pattern(n, first));
        EXPECT_EQ(Read(h, n), Pattern(n, first));
        EXPECT_EQ(ReadAcquire(&port->ringTail), tailAfter);
    }
    host.OverReport(10);
    Feed(Pattern(64, 0x40), 64);
    EXPECT_EQ(Read(h, 200), Pattern(64, 0x40));
    EXPECT_EQ(Write(h, Pattern(40)), 40u);
}

// One reader and one writer per port; access, buffer and handle checks.
TEST_F(ReadWrite, EntryRefusals) {
    DWORD_PTR both = StartPort();
    DWORD_PTR readOnly = Open(GENERIC_READ), writeOnly = Open(GENERIC_WRITE);
    SetTimeouts(both, 0, 0, 0);
    host.HoldWrites(true);
    // A reader and a writer block on `both`.
    std::thread reader([&] { Read(both, 5); });
    std::thread writer = Started(
        [&] { Write(both, Pattern(5)); },
        [&] { return ReadAcquire(&port->readBusy) != 0 && host.Pending(kOut).size() == 1; });
    // The handle, a read (or a write), with a buffer (or none), the error.
    BYTE byte = 0;
    for (auto [h, read, buffer, error] :
         {std::tuple<DWORD_PTR, bool, BYTE*, DWORD>{readOnly, true, &byte, ERROR_ACCESS_DENIED},
          {writeOnly, false, &byte, ERROR_ACCESS_DENIED},
          {writeOnly, true, &byte, ERROR_INVALID_ACCESS},
          {readOnly, true, nullptr, ERROR_INVALID_PARAMETER},
          {0, true, &byte, ERROR_INVALID_HANDLE}}) {
        SCOPED_TRACE(error);
        SetLastError(0);
        EXPECT_EQ(read ? COM_Read(h, buffer, 1) : COM_Write(h, buffer, 1), 0xFFFFFFFFu);
        EXPECT_EQ(GetLastError(), error);
        EXPECT_TRUE(h == 0 || ReadAcquire(&Rec(h)->busyCount) == 0);
    }
    host.Receive(Pattern(5));
    host.ReleaseWrites();
    reader.join();
    writer.join();
    // Both directions are free again; a read of 0 bytes returns 0 at once,
    // and neither transfer of nothing needs a buffer.
    EXPECT_EQ(COM_Read(readOnly, nullptr, 0), 0u);
    EXPECT_EQ(COM_Write(writeOnly, nullptr, 0), 0u);
    // With no transfer to be had the write ends at once, nothing sent.
    host.FailIssues(-1);
    EXPECT_EQ(Write(both, Pattern(10)), 0u);
    host.FailIssues(0);
}

// Read and write timeouts with the device acting (or not) while the call
// waits. Reads: the port's own timeouts (250, 10, 100: a total of 100 + 10 x
// count), the four shapes and the interval bound, terms whose sum or product
// passes 32 bits (a very long bound, never a short one), a tick counter that
// wraps during the wait. Writes whose transfer never completes are aborted
// at constant + multiplier x count (plus the 20 ms any transfer is given)
// with the partial count the host reported; a deadline past 32 bits waits
// for the host. Bounds are generous: a wait from no wait, a bounded wait
// from an unbounded one.
TEST_F(ReadWrite, Timeouts) {
    const struct Case {
        bool write;
        DWORD interval, multiplier, constant;  // the first row keeps the port's own
        std::vector<size_t> device;            // 100 ms apart: bytes sent, or the writes released
        DWORD count, expected;
        long minMs, maxMs;
        bool tickWraps = false;
    } cases[] = {
        {false, 0, 0, 0, {}, 64, 0, 600, 3000},
        {false, MAXDWORD, MAXDWORD, 2000, {5}, 64, 5, 60, 1500},
        {false, 0, 0, 0, {3, 3, 4}, 10, 10, 250, 1500},
        {false, 0, 100, 50, {}, 8, 0, 650, 3000},
        {false, 200, 100, 0, {5}, 64, 5, 900, 3000},
        {false, 0, 0xFFFFFFFE, 10, {2}, 2, 2, 60, 1500},
        {false, 1, 0x20000000, 0, {3, 3}, 6, 6, 150, 1500},
        {false, MAXDWORD, 0, 300, {}, 64, 0, 250, 1500, true},
        {true, 0, 10, 50, {}, 40, 7, 380, 2000},
        {true, 0, 0x80000000u, 10, {1}, 40, 40, 60, 3000},
    };
    DWORD_PTR h = StartPort();
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        if (c.write)
            SetTimeouts(h, 0, 0, 0, c.multiplier, c.constant);
        else if (&c != cases)
            SetTimeouts(h, c.interval, c.multiplier, c.constant);
        if (c.tickWraps)
            cehost::SetTickCountNow(0xFFFFFFFFu - 100);
        host.HoldWrites(c.write, 7);
        const int aborts = host.Aborts();
        std::thread device([&] {
            for (size_t n : c.device) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                c.write ? host.ReleaseWrites() : host.Receive(Pattern(n));
            }
        });
        auto start = std::chrono::steady_clock::now();
        const size_t n = c.write ? Write(h, Pattern(c.count)) : Read(h, c.count).size();
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        device.join();
        EXPECT_EQ(n, c.expected);
        EXPECT_GE(ms.count(), c.minMs);
        EXPECT_LE(ms.count(), c.maxMs);
        EXPECT_EQ(host.Aborts(), aborts + (c.write && c.device.empty() ? 1 : 0));
        cehost::SetTickOffset(0);
        EXPECT_TRUE(Purge(h, PURGE_RXCLEAR));
    }
    host.HoldWrites(false);
    EXPECT_EQ(Write(h, Pattern(10)), 10u);
}

// A write that fails on the bus ends with what the host reported; the send
// pipe it halted is recovered (the endpoint's halt cleared, then the host's
// pipe reset), and the next write goes whole.
TEST_F(ReadWrite, FailedWriteRecoversTheSendPipe) {
    static USB_PIPE reset;
    static USB_FUNCS funcs;  // outlives the test: the removal in TearDown uses it
    funcs = *host.Funcs(), reset = nullptr;
    funcs.lpResetPipe = [](USB_PIPE pipe) -> BOOL { return reset = pipe, TRUE; };
    usbFuncs = &funcs;
    DWORD_PTR h = StartPort();
    host.HoldWrites(true);
    std::atomic<DWORD> written{99};
    std::thread writer = Started([&] { written = Write(h, Pattern(30)); },
                                 [&] { return host.Pending(kOut).size() == 1; });
    host.SetPipeHalted(TRUE, TRUE);
    host.Complete(host.Pending(kOut)[0], {0}, USB_STALL_ERROR);
    writer.join();
    EXPECT_EQ(written.load(), 1u);
    EXPECT_EQ(host.ClearedHalts().back(), kOut);
    EXPECT_EQ(reset, port->sendPipe);
    host.SetPipeHalted(TRUE, FALSE);
    host.HoldWrites(false);
    EXPECT_EQ(Write(h, Pattern(30)), 30u);
}

// The output gate: a write held back by each flow-control condition sends
// nothing until the condition is lifted (by the line, by SET_XON, by input
// resuming, by the settings), ends at its deadline, and ends on
// PURGE_TXABORT.
TEST_F(ReadWrite, OutputGate) {
    enum Hold { kCtsLow, kXoff, kInputStopped };
    enum Release { kLine, kXon, kInputResumes, kPurge, kDeadline, kSettingsOff };
    const std::pair<Hold, Release> cases[] = {
        {kCtsLow, kLine},  {kXoff, kXon},      {kInputStopped, kInputResumes},
        {kCtsLow, kPurge}, {kXoff, kDeadline}, {kXoff, kSettingsOff}};
    for (const auto& [hold, release] : cases) {
        SCOPED_TRACE(hold * 10 + release);
        DWORD_PTR h = StartPort(0, 1024);
        EditDcb(h, [&](DCB& d) {
            d.fOutxCtsFlow = hold == kCtsLow;
            d.fOutX = hold == kXoff;
            d.fInX = hold == kInputStopped;
            d.fTXContinueOnXoff = 0;
        });
        if (hold == kCtsLow)
            UpdateLineStatus(port, MS_DSR_ON, 0);
        ASSERT_TRUE(hold != kXoff || Ioctl(h, IOCTL_SERIAL_SET_XOFF));
        if (hold == kInputStopped) {
            Feed(Pattern(800));  // above three quarters of 1024
            ASSERT_TRUE(Eventually([&] { return ReadAcquire(&port->inputStopped) == 1; }));
        }
        if (release == kDeadline)
            SetTimeouts(h, MAXDWORD, 0, 0, 0, 200);
        std::atomic<DWORD> written{0xFFFFFFFFu};
        const std::vector<BYTE> data = Pattern(30, 0x40);  // no flow characters in it
        std::thread writer([&] { written = Write(h, data); });
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        EXPECT_LE(host.Sent().size(), 1u) << "nothing but a flow character went";
        if (release == kLine)
            UpdateLineStatus(port, MS_CTS_ON | MS_DSR_ON, 0);
        EXPECT_TRUE(release != kXon || Ioctl(h, IOCTL_SERIAL_SET_XON));
        if (release == kInputResumes) {
            SetTimeouts(h, MAXDWORD, 0, 0);
            EXPECT_EQ(Read(h, 1024).size(), 800u);
        }
        EXPECT_TRUE(release != kPurge || Purge(h, PURGE_TXABORT));
        if (release == kSettingsOff) {
            EditDcb(h, [](DCB& d) { d.fOutX = d.fOutxCtsFlow = 0; });
            // A writer left blocked is released by a purge so that the case ends.
            EXPECT_TRUE(Eventually([&] { return written.load() != 0xFFFFFFFFu; }, 1000) ||
                        !Purge(h, PURGE_TXABORT))
                << "the writer was not released by the settings";
        }
        writer.join();
        const bool sends = release != kPurge && release != kDeadline;
        EXPECT_EQ(written.load(), sends ? 30u : 0u);
        std::vector<BYTE> sent = host.Sent();
        std::erase_if(sent, [](BYTE b) { return b == 0x11 || b == 0x13; });
        EXPECT_EQ(sent, sends ? data : std::vector<BYTE>{});
        Restart();
    }
}

// Input stopped by XOFF is always resumed with XON: also when the port is
// closed and opened again (the first open resets input to running), and when
// XON/XOFF input control was switched off before the ring drained.
TEST_F(ReadWrite, InputStoppedByXoffIsAlwaysResumed) {
    for (bool reopen : {true, false}) {
        SCOPED_TRACE(reopen);
        DWORD_PTR h = StartPort(0, 1024);
        EditDcb(h, [](DCB& d) { d.fInX = 1; });
        Feed(Pattern(800, 0x20));  // above three quarters
        ASSERT_TRUE(Eventually([&] { return host.Sent() == std::vector<BYTE>{0x13}; }));
        if (reopen) {
            EXPECT_TRUE(COM_Close(h));
            h = Open();
        } else {
            EditDcb(h, [](DCB& d) { d.fInX = 0; });
            SetTimeouts(h, MAXDWORD, 0, 0);
            EXPECT_EQ(Read(h, 1024).size(), 800u);
        }
        EXPECT_TRUE(Eventually([&] {
            return host.Sent() == std::vector<BYTE>{0x13, 0x11};
        })) << "the device was left stopped";
        Restart();
    }
}

// Zero-length packets: after a write that ends on a packet boundary when
// one transfer may carry the whole write (0x400), never with the no-ZLP flag
// (0x200), and for a write of nothing. A write interrupted after its
// transfer took whole packets ends with one, as a complete one does; not
// after a partial packet, and not when the next transfer could not be
// issued.
TEST_F(ReadWrite, ZeroLengthPackets) {
    enum End { kDone, kTimeout, kPurge, kNextIssueFails };
    // The mode, the bytes written, how the write ends, the bytes the device
    // took of the held transfer, the transfers' lengths.
    const std::tuple<DWORD, DWORD, End, DWORD, std::vector<DWORD>> cases[] = {
        {0x400, 128, kDone, 128, {128, 0}}, {0x600, 128, kDone, 128, {128}},
        {0, 128, kDone, 128, {62, 62, 4}},  {0, 0, kDone, 0, {0}},
        {0x200, 0, kDone, 0, {}},           {0x400, 128, kPurge, 64, {128, 0}},
        {0x400, 128, kTimeout, 7, {128}},   {0x400, 128, kNextIssueFails, 64, {128}},
    };
    for (const auto& [usbMode, count, end, taken, transfers] : cases) {
        SCOPED_TRACE(usbMode * 1000 + count * 10 + end);
        DWORD_PTR h = StartPort(usbMode);
        if (end == kTimeout)
            SetTimeouts(h, MAXDWORD, 0, 0, 0, 100);
        host.HoldWrites(end != kDone, taken);
        std::atomic<DWORD> written{0xFFFFFFFFu};
        std::thread writer =
            Started([&] { written = Write(h, Pattern(count)); },
                    [&] { return end == kDone || host.Pending(kOut).size() == 1; });
        if (end == kPurge) {
            EXPECT_TRUE(Purge(h, PURGE_TXABORT));
        } else if (end == kNextIssueFails) {
            host.FailIssues(1);
            host.ReleaseWrites(taken);
        }
        writer.join();
        EXPECT_EQ(written.load(), taken);
        std::vector<DWORD> lengths;
        for (auto* w : host.Writes())
            lengths.push_back(w->length);
        EXPECT_EQ(lengths, transfers);
        Restart();
    }
}

}  // namespace
}  // namespace streamtest
