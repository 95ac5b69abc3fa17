// COM_Read and COM_Write: the ring's wrap, one reader and one writer per
// port, the output flow-control gate, and transfers that never complete or
// cannot be issued. (Read timeouts and zero-length packets are tested end to
// end, against the device model.)
#include <functional>

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
    const struct {
        size_t n;
        BYTE first;
        LONG tailAfter;
    } blocks[] = {{24, 1, 1024}, {100, 2, 100}, {250, 7, 350},
                  {250, 8, 600}, {250, 9, 850}, {200, 10, 26}};
    for (const auto& b : blocks) {
        Feed(Pattern(b.n, b.first));
        EXPECT_EQ(Read(h, static_cast<DWORD>(b.n)), Pattern(b.n, b.first));
        EXPECT_EQ(ReadAcquire(&port->ringTail), b.tailAfter);
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
    struct Case {
        DWORD_PTR h;
        bool read;
        DWORD error;
        bool noBuffer = false;
    } const cases[] = {
        {readOnly, true, ERROR_ACCESS_DENIED},    // second reader
        {writeOnly, false, ERROR_ACCESS_DENIED},  // second writer
        {writeOnly, true, ERROR_INVALID_ACCESS}, {readOnly, true, ERROR_INVALID_PARAMETER, true},
        {0, true, ERROR_INVALID_HANDLE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        SetLastError(0);
        BYTE byte = 0;
        BYTE* buffer = c.noBuffer ? nullptr : &byte;
        EXPECT_EQ(c.read ? COM_Read(c.h, buffer, 1) : COM_Write(c.h, buffer, 1), 0xFFFFFFFFu);
        EXPECT_EQ(GetLastError(), c.error);
        if (c.h != 0) {
            EXPECT_EQ(ReadAcquire(&Rec(c.h)->busyCount), 0);
        }
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

// A write whose transfer never completes is aborted at constant +
// multiplier x count (plus the 20 ms any transfer is given), with the partial
// count the host reported. A deadline past 32 bits is a very long one: that
// write waits until the host completes its transfer.
TEST_F(ReadWrite, WriteTimeoutAbortsATransferThatNeverCompletes) {
    struct Case {
        DWORD multiplier, constant;
        bool released;  // the host completes the transfer after 300 ms
        DWORD written;
        long minMs, maxMs;
    } const cases[] = {
        {0, 200, false, 7, 180, 1500},
        {10, 50, false, 7, 380, 2000},
        {0x80000000u, 10, true, 40, 250, 3000},
    };
    DWORD_PTR h = StartPort();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.multiplier);
        SetTimeouts(h, 0, 0, 0, c.multiplier, c.constant);
        host.HoldWrites(true, 7);
        const int aborts = host.Aborts();
        std::thread release([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(c.released ? 300 : 0));
            if (c.released)
                host.ReleaseWrites();
        });
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Write(h, Pattern(40)), c.written);
        long ms = ElapsedMs(start);
        release.join();
        EXPECT_GE(ms, c.minMs);
        EXPECT_LE(ms, c.maxMs);
        EXPECT_EQ(host.Aborts(), aborts + (c.released ? 0 : 1));
    }
    host.HoldWrites(false);
    EXPECT_EQ(Write(h, Pattern(10)), 10u);
}

// The output gate: a write held back by each flow-control condition sends
// nothing until the condition is lifted (by the line, by SET_XON, by input
// resuming, by the settings), ends at its deadline, and ends on
// PURGE_TXABORT.
TEST_F(ReadWrite, OutputGate) {
    enum Hold { kCtsLow, kXoff, kInputStopped };
    enum Release { kLine, kXon, kInputResumes, kPurge, kDeadline, kSettingsOff };
    const struct Case {
        Hold hold;
        Release release;
    } cases[] = {{kCtsLow, kLine},  {kXoff, kXon},      {kInputStopped, kInputResumes},
                 {kCtsLow, kPurge}, {kXoff, kDeadline}, {kXoff, kSettingsOff}};
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        DWORD_PTR h = StartPort(0, 1024);
        EditDcb(h, [&](DCB& d) {
            d.fOutxCtsFlow = c.hold == kCtsLow;
            d.fOutX = c.hold == kXoff;
            d.fInX = c.hold == kInputStopped;
            d.fTXContinueOnXoff = 0;
        });
        if (c.hold == kCtsLow)
            UpdateLineStatus(port, MS_DSR_ON, 0);
        ASSERT_TRUE(c.hold != kXoff || Ioctl(h, IOCTL_SERIAL_SET_XOFF));
        if (c.hold == kInputStopped) {
            Feed(Pattern(800));  // above three quarters of 1024
            ASSERT_TRUE(Eventually([&] { return ReadAcquire(&port->inputStopped) == 1; }));
        }
        if (c.release == kDeadline)
            SetTimeouts(h, MAXDWORD, 0, 0, 0, 200);
        std::atomic<DWORD> written{0xFFFFFFFFu};
        const std::vector<BYTE> data = Pattern(30, 0x40);  // no flow characters in it
        std::thread writer([&] { written = Write(h, data); });
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        EXPECT_LE(host.Sent().size(), 1u) << "nothing but a flow character went";
        if (c.release == kLine)
            UpdateLineStatus(port, MS_CTS_ON | MS_DSR_ON, 0);
        EXPECT_TRUE(c.release != kXon || Ioctl(h, IOCTL_SERIAL_SET_XON));
        if (c.release == kInputResumes) {
            SetTimeouts(h, MAXDWORD, 0, 0);
            EXPECT_EQ(Read(h, 1024).size(), 800u);
        }
        EXPECT_TRUE(c.release != kPurge || Purge(h, PURGE_TXABORT));
        if (c.release == kSettingsOff) {
            EditDcb(h, [](DCB& d) { d.fOutX = d.fOutxCtsFlow = 0; });
            // A writer left blocked is released by a purge so that the case ends.
            if (!Eventually([&] { return written.load() != 0xFFFFFFFFu; }, 1000)) {
                ADD_FAILURE() << "the writer was not released by the settings";
                EXPECT_TRUE(Purge(h, PURGE_TXABORT));
            }
        }
        writer.join();
        const bool sends = c.release != kPurge && c.release != kDeadline;
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
    const struct Case {
        DWORD usbMode, count;
        End end;
        DWORD taken;  // bytes the device took of the held transfer
        std::vector<DWORD> transfers;
    } cases[] = {
        {0x400, 128, kDone, 128, {128, 0}},
        {0x600, 128, kDone, 128, {128}},
        {0, 128, kDone, 128, {62, 62, 4}},
        {0, 0, kDone, 0, {0}},
        {0x200, 0, kDone, 0, {}},
        {0x400, 128, kTimeout, 64, {128, 0}},
        {0x400, 128, kPurge, 64, {128, 0}},
        {0x400, 128, kTimeout, 7, {128}},
        {0x400, 128, kNextIssueFails, 64, {128}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        DWORD_PTR h = StartPort(c.usbMode);
        if (c.end == kTimeout)
            SetTimeouts(h, MAXDWORD, 0, 0, 0, 100);
        host.HoldWrites(c.end != kDone, c.taken);
        std::atomic<DWORD> written{0xFFFFFFFFu};
        std::thread writer =
            Started([&] { written = Write(h, Pattern(c.count)); },
                    [&] { return c.end == kDone || host.Pending(kOut).size() == 1; });
        if (c.end == kPurge) {
            EXPECT_TRUE(Purge(h, PURGE_TXABORT));
        } else if (c.end == kNextIssueFails) {
            host.FailIssues(1);
            host.ReleaseWrites(c.taken);
        }
        writer.join();
        EXPECT_EQ(written.load(), c.taken);
        std::vector<DWORD> lengths;
        for (auto* w : host.Writes())
            lengths.push_back(w->length);
        EXPECT_EQ(lengths, c.transfers);
        Restart();
    }
}

}  // namespace
}  // namespace streamtest
