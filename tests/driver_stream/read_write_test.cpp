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
using Clock = std::chrono::steady_clock;

TEST_F(ReadWrite, ReadsAcrossTheRingEndInOrder) {
    PortOptions options;
    options.ringSize = 1024;
    StartPort(options);
    DWORD_PTR h = Open();
    SetTimeouts(h, MAXDWORD, 0, 0);
    // Move the ring's positions to 1000.
    for (int i = 0; i < 4; ++i) {
        Feed(Pattern(250));
        EXPECT_EQ(Read(h, 250).size(), 250u);
    }
    ASSERT_EQ(ReadAcquire(&port->ringTail), 1000);
    // 24 bytes fill the ring to its end: the tail stops at ringSize.
    Feed(Pattern(24, 1));
    EXPECT_EQ(Read(h, 24), Pattern(24, 1));
    EXPECT_EQ(ReadAcquire(&port->ringTail), 1024);
    // 100 bytes from the start; then a block that wraps.
    Feed(Pattern(100, 2));
    EXPECT_EQ(Read(h, 100), Pattern(100, 2));
    for (int i = 0; i < 3; ++i) {
        Feed(Pattern(250, 7));
        EXPECT_EQ(Read(h, 250), Pattern(250, 7));
    }
    Feed(Pattern(200, 9));  // 850..1050: wraps
    EXPECT_EQ(Read(h, 200), Pattern(200, 9));
    EXPECT_EQ(ReadAcquire(&port->ringTail), 26);
    EXPECT_TRUE(COM_Close(h));
}

TEST_F(ReadWrite, EntryRefusals) {
    StartPort();
    DWORD_PTR both = Open();
    DWORD_PTR readOnly = Open(GENERIC_READ);
    DWORD_PTR writeOnly = Open(GENERIC_WRITE);
    SetTimeouts(both, 0, 0, 0);
    host.HoldWrites(true);

    // A reader and a writer block on `both`.
    std::thread reader([&] { Read(both, 5); });
    std::thread writer([&] { Write(both, Pattern(5)); });
    ASSERT_TRUE(
        Eventually([&] { return ReadAcquire(&port->readBusy) != 0 && host.HeldWrites() == 1; }));
    struct Case {
        const char* name;
        DWORD_PTR h;
        bool read;
        DWORD error;
        bool noBuffer = false;
    };
    const Case cases[] = {
        {"second reader, other handle", readOnly, true, ERROR_ACCESS_DENIED},
        {"second reader, same handle", both, true, ERROR_ACCESS_DENIED},
        {"second writer, other handle", writeOnly, false, ERROR_ACCESS_DENIED},
        {"read without read access", writeOnly, true, ERROR_INVALID_ACCESS},
        {"write without write access", readOnly, false, ERROR_INVALID_ACCESS},
        {"read into no buffer", readOnly, true, ERROR_INVALID_PARAMETER, true},
        {"write from no buffer", writeOnly, false, ERROR_INVALID_PARAMETER, true},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        BYTE byte = 0;
        BYTE* buffer = c.noBuffer ? nullptr : &byte;
        DWORD result = c.read ? COM_Read(c.h, buffer, 1) : COM_Write(c.h, buffer, 1);
        EXPECT_EQ(result, 0xFFFFFFFFu) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
        EXPECT_EQ(ReadAcquire(&reinterpret_cast<OpenHandle*>(c.h)->busyCount), c.h == both ? 2 : 0)
            << c.name;
    }
    host.Receive(Pattern(5));
    host.ReleaseHeldWrites();
    reader.join();
    writer.join();

    // Both directions are free again; a read of 0 bytes returns 0 at once,
    // and neither transfer of nothing needs a buffer.
    BYTE byte = 0;
    EXPECT_EQ(COM_Read(readOnly, nullptr, 0), 0u);
    EXPECT_EQ(COM_Write(writeOnly, nullptr, 0), 0u);
    EXPECT_EQ(ReadAcquire(&port->readBusy), 0);
    for (DWORD_PTR h : {both, readOnly, writeOnly})
        EXPECT_TRUE(COM_Close(h));
    SetLastError(0);
    EXPECT_EQ(COM_Read(0, &byte, 1), 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
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
    };
    const Case cases[] = {
        {"constant", 0, 200, false, 7, 180, 1500},
        {"multiplier term", 10, 50, false, 7, 380, 2000},
        {"multiplier term past 32 bits", 0x80000000u, 10, true, 40, 250, 3000},
    };
    StartPort();
    DWORD_PTR h = Open();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetTimeouts(h, 0, 0, 0, c.multiplier, c.constant);
        host.HoldWrites(true, 7);
        const size_t aborts = host.AbortCount();
        std::thread release([&] {
            if (!c.released)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            host.ReleaseHeldWrites();
        });
        auto start = Clock::now();
        EXPECT_EQ(Write(h, Pattern(40)), c.written);
        long ms = ElapsedMs(start);
        release.join();
        EXPECT_GE(ms, c.minMs);
        EXPECT_LE(ms, c.maxMs);
        EXPECT_EQ(host.AbortCount(), aborts + (c.released ? 0 : 1));
    }
    // The next write works.
    host.HoldWrites(false);
    EXPECT_EQ(Write(h, Pattern(10)), 10u);
    EXPECT_TRUE(COM_Close(h));
}

TEST_F(ReadWrite, WriteEndsWhenNoTransferCanBeIssued) {
    StartPort();
    DWORD_PTR h = Open();
    host.FailWrites(true);
    EXPECT_EQ(Write(h, Pattern(10)), 0u);
    EXPECT_TRUE(host.Writes().empty());
    host.FailWrites(false);
    EXPECT_TRUE(COM_Close(h));
}

// The output gate: a write held back by each flow-control condition sends
// nothing until the condition is lifted (by the line, by SET_XON, by input
// resuming), ends at its deadline, and ends on PURGE_TXABORT.
TEST_F(ReadWrite, OutputGate) {
    enum class Release { kLine, kXon, kInputResumes, kPurge, kDeadline, kSettingsOff };
    struct Case {
        const char* name;
        std::function<void(DCB&)> dcb;
        std::function<void(StreamTest*, DWORD_PTR)> hold;
        Release release;
    };
    auto lines = [](DWORD modem) {
        return [modem](StreamTest* t, DWORD_PTR) {
            UpdateLineStatus(static_cast<ReadWrite*>(t)->port, modem, 0);
        };
    };
    auto xoff = [](StreamTest* t, DWORD_PTR h) {
        ASSERT_TRUE(
            static_cast<ReadWrite*>(t)->Ioctl(h, IOCTL_SERIAL_SET_XOFF, nullptr, 0, nullptr, 0));
    };
    auto fillRing = [](StreamTest* t, DWORD_PTR) {
        auto* self = static_cast<ReadWrite*>(t);
        self->Feed(Pattern(800));  // above three quarters of 1024
        ASSERT_TRUE(Eventually([&] { return ReadAcquire(&self->port->inputStopped) == 1; }));
    };
    const Case cases[] = {
        {"CTS low, CTS rises", [](DCB& d) { d.fOutxCtsFlow = 1; }, lines(MS_DSR_ON),
         Release::kLine},
        {"DSR low, DSR rises", [](DCB& d) { d.fOutxDsrFlow = 1; }, lines(MS_CTS_ON),
         Release::kLine},
        {"XOFF, XON request", [](DCB& d) { d.fOutX = 1; }, xoff, Release::kXon},
        {"input stopped, input resumes",
         [](DCB& d) {
             d.fInX = 1;
             d.fTXContinueOnXoff = 0;
         },
         fillRing, Release::kInputResumes},
        {"CTS low, purge", [](DCB& d) { d.fOutxCtsFlow = 1; }, lines(MS_DSR_ON), Release::kPurge},
        {"XOFF, deadline", [](DCB& d) { d.fOutX = 1; }, xoff, Release::kDeadline},
        {"XOFF, settings turn XON/XOFF output off", [](DCB& d) { d.fOutX = 1; }, xoff,
         Release::kSettingsOff},
        {"CTS low, settings turn CTS flow off", [](DCB& d) { d.fOutxCtsFlow = 1; },
         lines(MS_DSR_ON), Release::kSettingsOff},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PortOptions options;
        options.ringSize = 1024;
        StartPort(options);
        DWORD_PTR h = Open();
        EditDcb(h, c.dcb);
        c.hold(this, h);
        if (c.release == Release::kDeadline)
            SetTimeouts(h, MAXDWORD, 0, 0, 0, 200);
        std::atomic<DWORD> written{0xFFFFFFFFu};
        const std::vector<BYTE> data = Pattern(30, 0x40);  // no flow characters in it
        std::thread writer([&] { written = Write(h, data); });
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        EXPECT_TRUE(host.SentBytes().size() <= 1u) << "nothing but a flow character went";
        DWORD expected = 30;
        switch (c.release) {
            case Release::kLine:
                UpdateLineStatus(port, MS_CTS_ON | MS_DSR_ON, 0);
                break;
            case Release::kXon:
                EXPECT_TRUE(Ioctl(h, IOCTL_SERIAL_SET_XON, nullptr, 0, nullptr, 0));
                break;
            case Release::kInputResumes:
                SetTimeouts(h, MAXDWORD, 0, 0);
                EXPECT_EQ(Read(h, 1024).size(), 800u);
                break;
            case Release::kPurge: {
                DWORD flags = PURGE_TXABORT;
                EXPECT_TRUE(IoctlIn(h, IOCTL_SERIAL_PURGE, flags));
                expected = 0;
                break;
            }
            case Release::kDeadline:
                expected = 0;
                break;
            case Release::kSettingsOff:
                EditDcb(h, [](DCB& d) {
                    d.fOutX = 0;
                    d.fOutxCtsFlow = 0;
                });
                // A generous bound; a writer left blocked is released by a
                // purge so that the case ends.
                if (!Eventually([&] { return written.load() != 0xFFFFFFFFu; }, 1000)) {
                    ADD_FAILURE() << "the writer was not released by the settings";
                    DWORD flags = PURGE_TXABORT;
                    EXPECT_TRUE(IoctlIn(h, IOCTL_SERIAL_PURGE, flags));
                }
                break;
        }
        writer.join();
        EXPECT_EQ(written.load(), expected);
        if (expected != 0) {
            std::vector<BYTE> sent;
            for (BYTE b : host.SentBytes()) {
                if (b != 0x11 && b != 0x13)
                    sent.push_back(b);
            }
            EXPECT_EQ(sent, data);
        }
        EXPECT_TRUE(COM_Close(h));
        TearDown();
        SetUp();
    }
}

// Input stopped by XOFF is always resumed with XON: also when the port is
// closed and opened again (the first open resets input to running), and when
// XON/XOFF input control was switched off before the ring drained.
TEST_F(ReadWrite, InputStoppedByXoffIsAlwaysResumed) {
    struct Case {
        const char* name;
        std::function<void(ReadWrite*, DWORD_PTR*)> resume;
    };
    const Case cases[] = {
        {"closed and opened again",
         [](ReadWrite* t, DWORD_PTR* h) {
             EXPECT_TRUE(COM_Close(*h));
             *h = t->Open();
         }},
        {"input control off, ring drained",
         [](ReadWrite* t, DWORD_PTR* h) {
             t->EditDcb(*h, [](DCB& d) { d.fInX = 0; });
             t->SetTimeouts(*h, MAXDWORD, 0, 0);
             EXPECT_EQ(t->Read(*h, 1024).size(), 800u);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PortOptions options;
        options.ringSize = 1024;
        StartPort(options);
        DWORD_PTR h = Open();
        EditDcb(h, [](DCB& d) { d.fInX = 1; });
        Feed(Pattern(800, 0x20));  // above three quarters
        ASSERT_TRUE(Eventually([&] { return host.SentBytes() == std::vector<BYTE>{0x13}; }));
        c.resume(this, &h);
        EXPECT_TRUE(Eventually([&] {
            return host.SentBytes() == std::vector<BYTE>{0x13, 0x11};
        })) << "the device was left stopped";
        EXPECT_TRUE(COM_Close(h));
        TearDown();
        SetUp();
    }
}

// A write interrupted after its transfer took whole packets ends with a
// zero-length packet, as a complete one does; not after a partial packet,
// and not when the next transfer could not be issued.
TEST_F(ReadWrite, ZeroLengthPacketAfterAnInterruptedWrite) {
    enum class End { kTimeout, kPurge, kNextIssueFails };
    struct Case {
        const char* name;
        End end;
        DWORD taken;  // bytes the device took of the held transfer
        std::vector<size_t> transfers;
    };
    const Case cases[] = {
        {"timeout after whole packets", End::kTimeout, 64, {128, 0}},
        {"purge after whole packets", End::kPurge, 64, {128, 0}},
        {"timeout after a partial packet", End::kTimeout, 7, {128}},
        {"next transfer not issued", End::kNextIssueFails, 64, {128}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PortOptions options;
        options.usbMode = kUsbModeWriteUnlimited;  // one transfer carries the whole write
        StartPort(options);
        DWORD_PTR h = Open();
        if (c.end == End::kTimeout)
            SetTimeouts(h, MAXDWORD, 0, 0, 0, 100);
        host.HoldWrites(true, c.taken);
        std::atomic<DWORD> written{0xFFFFFFFFu};
        std::thread writer([&] { written = Write(h, Pattern(128)); });
        ASSERT_TRUE(host.WaitHeldWrites(1, 2000));
        if (c.end == End::kPurge) {
            DWORD flags = PURGE_TXABORT;
            EXPECT_TRUE(IoctlIn(h, IOCTL_SERIAL_PURGE, flags));
        } else if (c.end == End::kNextIssueFails) {
            host.FailNextWrite();
            host.ReleaseHeldWrites(c.taken);
        }
        writer.join();
        EXPECT_EQ(written.load(), c.taken);
        std::vector<size_t> lengths;
        for (const auto& w : host.Writes())
            lengths.push_back(w.size());
        EXPECT_EQ(lengths, c.transfers);
        EXPECT_TRUE(COM_Close(h));
        TearDown();
        SetUp();
    }
}

// A host that reports more bytes than a transfer asked for: a receive
// transfer delivers no more than it asked (never what lies past its slot),
// and a write counts no more than it offered.
TEST_F(ReadWrite, OverReportedCountsAreClamped) {
    StartPort();
    DWORD_PTR h = Open();
    SetTimeouts(h, MAXDWORD, 0, 0);
    host.OverReport(10);
    Feed(Pattern(64, 0x40), 64);
    EXPECT_EQ(Read(h, 200), Pattern(64, 0x40));
    EXPECT_EQ(Write(h, Pattern(40)), 40u);
    host.OverReport(0);
    EXPECT_TRUE(COM_Close(h));
}

}  // namespace
}  // namespace streamtest
