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

TEST_F(ReadWrite, EntryRefusals) {
    DWORD_PTR both = StartPort();
    DWORD_PTR readOnly = Open(GENERIC_READ);
    DWORD_PTR writeOnly = Open(GENERIC_WRITE);
    SetTimeouts(both, 0, 0, 0);
    host.HoldWrites(true);
    // A reader and a writer block on `both`.
    std::thread reader([&] { Read(both, 5); });
    std::thread writer([&] { Write(both, Pattern(5)); });
    ASSERT_TRUE(Eventually(
        [&] { return ReadAcquire(&port->readBusy) != 0 && host.Pending(kOut).size() == 1; }));
    struct Case {
        const char* name;
        DWORD_PTR h;
        bool read;
        DWORD error;
        bool noBuffer = false;
    } const cases[] = {
        {"second reader, other handle", readOnly, true, ERROR_ACCESS_DENIED},
        {"second writer, other handle", writeOnly, false, ERROR_ACCESS_DENIED},
        {"read without read access", writeOnly, true, ERROR_INVALID_ACCESS},
        {"read into no buffer", readOnly, true, ERROR_INVALID_PARAMETER, true},
        {"no handle", 0, true, ERROR_INVALID_HANDLE},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        BYTE byte = 0;
        BYTE* buffer = c.noBuffer ? nullptr : &byte;
        DWORD result = c.read ? COM_Read(c.h, buffer, 1) : COM_Write(c.h, buffer, 1);
        EXPECT_EQ(result, 0xFFFFFFFFu) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
        if (c.h != 0) {
            EXPECT_EQ(ReadAcquire(&reinterpret_cast<OpenHandle*>(c.h)->busyCount),
                      c.h == both ? 2 : 0)
                << c.name;
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
    EXPECT_EQ(ReadAcquire(&port->readBusy), 0);
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
        const char* name;
        DWORD multiplier, constant;
        bool released;  // the host completes the transfer after 300 ms
        DWORD written;
        long minMs, maxMs;
    } const cases[] = {
        {"constant", 0, 200, false, 7, 180, 1500},
        {"multiplier term", 10, 50, false, 7, 380, 2000},
        {"multiplier term past 32 bits", 0x80000000u, 10, true, 40, 250, 3000},
    };
    DWORD_PTR h = StartPort();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetTimeouts(h, 0, 0, 0, c.multiplier, c.constant);
        host.HoldWrites(true, 7);
        const int aborts = host.Aborts();
        std::thread release([&] {
            if (!c.released)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
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
    enum class Hold { kCtsLow, kDsrLow, kXoff, kInputStopped };
    enum class Release { kLine, kXon, kInputResumes, kPurge, kDeadline, kSettingsOff };
    const struct Case {
        const char* name;
        Hold hold;
        Release release;
    } cases[] = {
        {"CTS low, CTS rises", Hold::kCtsLow, Release::kLine},
        {"XOFF, XON request", Hold::kXoff, Release::kXon},
        {"input stopped, input resumes", Hold::kInputStopped, Release::kInputResumes},
        {"CTS low, purge", Hold::kCtsLow, Release::kPurge},
        {"XOFF, deadline", Hold::kXoff, Release::kDeadline},
        {"XOFF, settings turn XON/XOFF output off", Hold::kXoff, Release::kSettingsOff},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DWORD_PTR h = StartPort(0, 1024);
        EditDcb(h, [&](DCB& d) {
            d.fOutxCtsFlow = c.hold == Hold::kCtsLow;
            d.fOutxDsrFlow = c.hold == Hold::kDsrLow;
            d.fOutX = c.hold == Hold::kXoff;
            d.fInX = c.hold == Hold::kInputStopped;
            d.fTXContinueOnXoff = 0;
        });
        switch (c.hold) {
            case Hold::kCtsLow:
            case Hold::kDsrLow:
                UpdateLineStatus(port, c.hold == Hold::kCtsLow ? MS_DSR_ON : MS_CTS_ON, 0);
                break;
            case Hold::kXoff:
                ASSERT_TRUE(Ioctl(h, IOCTL_SERIAL_SET_XOFF));
                break;
            case Hold::kInputStopped:
                Feed(Pattern(800));  // above three quarters of 1024
                ASSERT_TRUE(Eventually([&] { return ReadAcquire(&port->inputStopped) == 1; }));
                break;
        }
        if (c.release == Release::kDeadline)
            SetTimeouts(h, MAXDWORD, 0, 0, 0, 200);
        std::atomic<DWORD> written{0xFFFFFFFFu};
        const std::vector<BYTE> data = Pattern(30, 0x40);  // no flow characters in it
        std::thread writer([&] { written = Write(h, data); });
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        EXPECT_LE(host.Sent().size(), 1u) << "nothing but a flow character went";
        DWORD expected = 30;
        switch (c.release) {
            case Release::kLine:
                UpdateLineStatus(port, MS_CTS_ON | MS_DSR_ON, 0);
                break;
            case Release::kXon:
                EXPECT_TRUE(Ioctl(h, IOCTL_SERIAL_SET_XON));
                break;
            case Release::kInputResumes:
                SetTimeouts(h, MAXDWORD, 0, 0);
                EXPECT_EQ(Read(h, 1024).size(), 800u);
                break;
            case Release::kPurge:
                EXPECT_TRUE(Purge(h, PURGE_TXABORT));
                expected = 0;
                break;
            case Release::kDeadline:
                expected = 0;
                break;
            case Release::kSettingsOff:
                EditDcb(h, [](DCB& d) { d.fOutX = d.fOutxCtsFlow = 0; });
                // A writer left blocked is released by a purge so that the
                // case ends.
                if (!Eventually([&] { return written.load() != 0xFFFFFFFFu; }, 1000)) {
                    ADD_FAILURE() << "the writer was not released by the settings";
                    EXPECT_TRUE(Purge(h, PURGE_TXABORT));
                }
                break;
        }
        writer.join();
        EXPECT_EQ(written.load(), expected);
        if (expected != 0) {
            std::vector<BYTE> sent;
            for (BYTE b : host.Sent()) {
                if (b != 0x11 && b != 0x13)
                    sent.push_back(b);
            }
            EXPECT_EQ(sent, data);
        }
        Restart();
    }
}

// Input stopped by XOFF is always resumed with XON: also when the port is
// closed and opened again (the first open resets input to running), and when
// XON/XOFF input control was switched off before the ring drained.
TEST_F(ReadWrite, InputStoppedByXoffIsAlwaysResumed) {
    for (bool reopen : {true, false}) {
        SCOPED_TRACE(reopen ? "closed and opened again" : "input control off, ring drained");
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

// A write interrupted after its transfer took whole packets ends with a
// zero-length packet, as a complete one does; not after a partial packet,
// and not when the next transfer could not be issued.
TEST_F(ReadWrite, ZeroLengthPacketAfterAnInterruptedWrite) {
    enum class End { kTimeout, kPurge, kNextIssueFails };
    const struct Case {
        const char* name;
        End end;
        DWORD taken;  // bytes the device took of the held transfer
        std::vector<size_t> transfers;
    } cases[] = {
        {"timeout after whole packets", End::kTimeout, 64, {128, 0}},
        {"purge after whole packets", End::kPurge, 64, {128, 0}},
        {"timeout after a partial packet", End::kTimeout, 7, {128}},
        {"next transfer not issued", End::kNextIssueFails, 64, {128}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // One transfer carries the whole write.
        DWORD_PTR h = StartPort(kUsbModeWriteUnlimited);
        if (c.end == End::kTimeout)
            SetTimeouts(h, MAXDWORD, 0, 0, 0, 100);
        host.HoldWrites(true, c.taken);
        std::atomic<DWORD> written{0xFFFFFFFFu};
        std::thread writer([&] { written = Write(h, Pattern(128)); });
        ASSERT_TRUE(host.WaitPending(kOut, 1, 2000));
        if (c.end == End::kPurge) {
            EXPECT_TRUE(Purge(h, PURGE_TXABORT));
        } else if (c.end == End::kNextIssueFails) {
            host.FailIssues(1);
            host.ReleaseWrites(c.taken);
        }
        writer.join();
        EXPECT_EQ(written.load(), c.taken);
        std::vector<size_t> lengths;
        for (const auto& w : host.Writes())
            lengths.push_back(w.size());
        EXPECT_EQ(lengths, c.transfers);
        Restart();
    }
}

}  // namespace
}  // namespace streamtest
